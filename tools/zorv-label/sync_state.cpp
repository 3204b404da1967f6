#include "sync_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tool.h"
#include "util/file_descriptor.h"

namespace zorvtool {

namespace {

using zorv::detail::FileDescriptor;

const char* const kHeader = "zorv-label sync-packages state 1";
// The second line; each one after it is a package.
const char* const kDiversions = "diversions\t";

[[noreturn]] void saveFailed(const std::string& what, const std::string& path) {
    throw Failure(kRefused, "cannot " + what + " " + printable(path) + ": " + std::strerror(errno));
}

void writeAll(int fd, const std::string& text, const std::string& path) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) saveFailed("write", path);
        done += size_t(n);
    }
}

}  // namespace

SyncState loadSyncState(const std::string& path, std::string& diversionsStamp) {
    SyncState state;
    diversionsStamp.clear();
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kHeader || !std::getline(in, line) ||
        line.rfind(kDiversions, 0) != 0)
        return state;
    diversionsStamp = line.substr(std::strlen(kDiversions));
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, count;
        SyncedPackage p;
        if (!std::getline(fields, name, '\t') || !std::getline(fields, p.version, '\t') ||
            !std::getline(fields, p.listStamp, '\t') || !std::getline(fields, count, '\t') ||
            !std::getline(fields, p.digest) || count.empty() ||
            count.find_first_not_of("0123456789") != std::string::npos)
            continue;
        p.count = std::stoull(count);
        state[name] = p;
    }
    return state;
}

void saveSyncState(const std::string& path, const SyncState& state, const std::string& diversionsStamp) {
    std::string text = std::string(kHeader) + "\n" + kDiversions + diversionsStamp + "\n";
    for (const auto& [name, p] : state)
        text += name + "\t" + p.version + "\t" + p.listStamp + "\t" + std::to_string(p.count) + "\t" + p.digest + "\n";

    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) saveFailed("make the directory", dir);
    std::string temporary = path + ".XXXXXX";
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) saveFailed("create a file beside", path);
    struct Unlink {
        std::string* name;
        ~Unlink() {
            if (name) ::unlink(name->c_str());
        }
    } cleanup{&temporary};
    if (::fchmod(fd.get(), 0644) != 0) saveFailed("set the mode of", temporary);
    writeAll(fd.get(), text, temporary);
    if (::fsync(fd.get()) != 0) saveFailed("sync", temporary);
    if (!fd.close()) saveFailed("close", temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) saveFailed("replace", path);
    cleanup.name = nullptr;
    FileDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid() || ::fsync(dirFd.get()) != 0) saveFailed("sync the directory", dir);
}

}  // namespace zorvtool
