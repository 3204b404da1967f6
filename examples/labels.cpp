// A file's own label and the service's lookups, through the C++ interface of
// libzorvlabelmgr. It only reads.
//
//   labels_cxx [PATH]               the label PATH carries in security.zorv,
//                                   the service's normal form and hash of PATH,
//                                   and the oids of two devices
//   labels_cxx --watch SECONDS      prints the label changes the service
//                                   announces during SECONDS
//
// Build: c++ -std=c++17 labels.cpp -o labels_cxx $(pkg-config --cflags --libs zorvlabelmgr)
#include <zorv/labelmgr.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int show(const std::string& path) {
    std::cout << path << "\n";
    // The label a file carries itself; reading it needs no service.
    Label label;
    if (label.getFromXattr(path, false) == 0) {
        std::cout << "label    " << label.toString() << "\n"
                  << "oid      " << label.oid_.toString() << "\n"
                  << "tid      " << label.tid_ << "\n";
    } else {
        std::cout << "label    (none in security.zorv)\n";
    }

    // Lookups answered by the service; "" or -2 when it cannot be reached.
    std::string hash = getPathSm3HashValue(path.c_str());
    std::cout << "sm3      " << (hash.empty() ? "(service unreachable)" : hash) << "\n";
    std::map<std::string, ZORV_ID> oids;
    if (getDeviceOids({"sda", "nvme0n1"}, oids) == 0) {
        for (const auto& [name, id] : oids) std::cout << "device   " << name << " oid " << id.pkg_id << "\n";
        if (oids.empty()) std::cout << "device   (neither sda nor nvme0n1 is registered)\n";
    }
    return 0;
}

int watch(int seconds) {
    void* subscriber = nullptr;
    try {
        subscriber = createSubscriber();
    } catch (const std::exception& e) {
        std::cerr << "createSubscriber: " << e.what() << "\n";
        return 1;
    }
    // The empty topic lets every notification through.
    if (subscribeLabelChangeMsg(subscriber, "") != 0) {
        destroySubscriber(subscriber);
        return 1;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        char* message = nullptr;
        int rc = recvLabelChangeMsgWithin(subscriber, &message, static_cast<int>(left.count()));
        if (rc == 1) break;  // nothing more in time
        if (rc != 0) {
            destroySubscriber(subscriber);
            return 1;
        }
        std::cout << message << "\n";
        std::free(message);
    }
    destroySubscriber(subscriber);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--watch") == 0) return watch(std::atoi(argv[2]));
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::cerr << "usage: " << argv[0] << " [PATH] | --watch SECONDS\n";
        return 2;
    }
    return show(argc == 2 ? argv[1] : "/usr/bin/true");
}
