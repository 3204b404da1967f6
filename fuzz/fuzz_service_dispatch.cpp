// Calls built from the fuzzer's bytes (any member or none, any signature and strings, long arrays, deep containers,
// names on disk not UTF-8, import documents), from any user or root, go through the service's own dispatch onto a
// scratch database and tree (every path taken into it); each that asks is answered in time, and libdbus ending the
// process for a string it must not send is a finding like any crash.
#include <dbus/dbus.h>
#include <zorv/labelmgr.hpp>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "audit.h"
#include "database.h"
#include "fuzz_support.h"
#include "label_service.h"
#include "notifier.h"
#include "protocol/members.h"

namespace {

using zorvd::MessagePtr;
namespace protocol = zorv::protocol;

// The fuzzer's bytes, read front to back; zeros once they are spent.
class Bytes {
public:
    Bytes(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t number(int bytes) {
        uint32_t n = 0;
        for (int i = 0; i < bytes; ++i) n = n << 8 | byte();
        return n;
    }
    std::string take(std::size_t n) {
        n = std::min(n, size_ - at_);
        std::string out(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return out;
    }
    std::string rest() { return take(size_ - at_); }
    bool empty() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    std::size_t size_, at_ = 0;
};

// The service's bus: answers are counted by the serial they answer; questions to the bus daemon are kept to answer.
class Sink : public zorvd::Outbox {
public:
    bool send(MessagePtr message) override {
        take(std::move(message));
        return true;
    }
    void post(MessagePtr message) override { take(std::move(message)); }
    bool ask(DBusMessage* question, dbus_uint32_t* serial) override {
        std::lock_guard<std::mutex> lock(mutex_);
        dbus_message_set_serial(question, ++serial_);
        *serial = serial_;
        questions_.emplace_back(dbus_message_ref(question));
        return true;
    }
    std::vector<MessagePtr> questions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(questions_);
    }
    bool answered(std::set<uint32_t> serials, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] {
            for (auto it = serials.begin(); it != serials.end();)
                it = answered_.erase(*it) ? serials.erase(it) : std::next(it);
            return serials.empty();
        });
    }

private:
    void take(MessagePtr message) {
        if (!message) return;
        const int type = dbus_message_get_type(message.get());
        zorvfuzz::require(type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR);
        // What libdbus would write to the socket: it must marshal.
        char* wire = nullptr;
        int length = 0;
        zorvfuzz::require(dbus_message_marshal(message.get(), &wire, &length));
        dbus_free(wire);
        std::lock_guard<std::mutex> lock(mutex_);
        answered_.insert(dbus_message_get_reply_serial(message.get()));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    dbus_uint32_t serial_ = 1000000;
    std::vector<MessagePtr> questions_;
    std::multiset<uint32_t> answered_;
};

struct Harness {
    std::string dir, tree;
    std::vector<std::string> entries;  // made under the tree by this input, valid UTF-8 or not
    Sink sink;
    std::unique_ptr<zorvd::Database> db;
    std::unique_ptr<zorvd::AuditTrail> audit;
    std::unique_ptr<zorvd::Notifier> notifier;
    std::unique_ptr<zorvd::LabelService> service;
    uint32_t serial = 0;

    Harness() {
        char scratch[] = "/dev/shm/zorv-fuzz-XXXXXX";  // memory: commits sync, a disk would take most of the time
        zorvfuzz::require(::mkdtemp(scratch) != nullptr);
        dir = scratch;
        tree = dir + "/tree";
        zorvfuzz::require(::mkdir(tree.c_str(), 0755) == 0);
        db = std::make_unique<zorvd::Database>(dir + "/labels.db");
        audit = std::make_unique<zorvd::AuditTrail>(*db, zorvd::AuditTrail::Limits());
        notifier = std::make_unique<zorvd::Notifier>("ipc://" + dir + "/notify.socket");
        service = std::make_unique<zorvd::LabelService>(*db, *notifier, sink, *audit);
    }
};

Harness& harness() {
    // Lives until the process ends (its workers may still run then); only its scratch directory is removed.
    static Harness* h = [] {
        Harness* made = new Harness();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(harness().dir, ignored);
        });
        return made;
    }();
    return *h;
}

// A path inside the tree for whatever the fuzzer wrote: its components without "." and "..".
std::string intoTree(const std::string& text) {
    std::string out = harness().tree;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('/', at);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(at, end - at);
        if (!part.empty() && part != "." && part != "..") out += "/" + part;
        at = end + 1;
    }
    return out;
}

// A string for a message, valid UTF-8 as the bus lets through: a path taken into the tree, or an entry made there.
std::string text(Bytes& in) {
    const uint8_t how = in.byte();
    if ((how & 0xC0) == 0xC0 && !harness().entries.empty()) {
        const std::string& entry = harness().entries[in.byte() % harness().entries.size()];
        if (dbus_validate_utf8(entry.c_str(), nullptr)) return entry;
    }
    std::size_t length = how & 0x3F;
    if (how & 0x80) length = length * 80 + in.byte();  // up to the longest paths, and past them
    std::string raw = in.take(length);
    std::string valid;
    for (char c : raw) valid += c == '\0' ? 'x' : c;
    if (!dbus_validate_utf8(valid.c_str(), nullptr)) {
        // Each byte past ASCII as a character of two bytes: texts the service cuts short may then end inside one.
        std::string wide;
        for (unsigned char c : valid)
            wide += c < 0x80 ? std::string(1, char(c)) : std::string{char(0xC3), char(0x80 | (c & 0x3F))};
        valid = wide;
    }
    return !valid.empty() && valid[0] == '/' ? intoTree(valid) : valid;
}

// A complete type for a signature of the fuzzer's own choice, nested at most `depth` deep.
std::string anyType(Bytes& in, int depth) {
    static const char basic[] = "ybnqiuxtdsogh";
    const uint8_t pick = in.byte();
    if (depth <= 0 || pick < 160) return std::string(1, basic[pick % (sizeof basic - 1)]);
    if (pick < 200) return "a" + anyType(in, depth - 1);
    if (pick < 225) return "a{" + std::string(1, basic[in.byte() % (sizeof basic - 1)]) + anyType(in, depth - 1) + "}";
    if (pick < 245) {
        std::string fields = "(";
        for (int n = 1 + in.byte() % 3; n > 0; --n) fields += anyType(in, depth - 1);
        return fields + ")";
    }
    return "v";
}

// What one call may hold: elements of all its arrays, and bytes of its strings (an eighth of what the bus carries:
// larger calls cost seconds each under the sanitizers, and the tests try those).
struct Budget {
    long elements = 20000;
    std::size_t bytes = 4u << 20;
};

void appendValue(DBusMessageIter* out, DBusSignatureIter* type, Bytes& in, Budget& budget, int fd);

void appendAll(DBusMessageIter* out, const char* signature, Bytes& in, Budget& budget, int fd) {
    if (!*signature) return;
    DBusSignatureIter type;
    dbus_signature_iter_init(&type, signature);
    do appendValue(out, &type, in, budget, fd);
    while (dbus_signature_iter_next(&type));
}

void appendArray(DBusMessageIter* out, DBusSignatureIter* type, Bytes& in, Budget& budget, int fd) {
    DBusSignatureIter element;
    dbus_signature_iter_recurse(type, &element);
    char* elementSignature = dbus_signature_iter_get_signature(&element);
    DBusMessageIter sub;
    dbus_message_iter_open_container(out, DBUS_TYPE_ARRAY, elementSignature, &sub);
    dbus_free(elementSignature);
    const uint8_t count = in.byte();
    // Now and then a long run of one element: the answers that grow with a request.
    const bool run = count & 0x80;
    const long n = run ? long(count & 0x7F) * 256 : count % 16;
    const Bytes start = in;
    for (long i = 0; i < n && budget.elements > 0; ++i, --budget.elements) {
        if (run) in = start;
        DBusSignatureIter again = element;
        appendValue(&sub, &again, in, budget, fd);
    }
    dbus_message_iter_close_container(out, &sub);
}

void appendValue(DBusMessageIter* out, DBusSignatureIter* type, Bytes& in, Budget& budget, int fd) {
    const int code = dbus_signature_iter_get_current_type(type);
    DBusMessageIter sub;
    switch (code) {
        case DBUS_TYPE_ARRAY:
            return appendArray(out, type, in, budget, fd);
        case DBUS_TYPE_STRUCT:
        case DBUS_TYPE_DICT_ENTRY: {
            DBusSignatureIter field;
            dbus_signature_iter_recurse(type, &field);
            dbus_message_iter_open_container(out, code, nullptr, &sub);
            do appendValue(&sub, &field, in, budget, fd);
            while (dbus_signature_iter_next(&field));
            dbus_message_iter_close_container(out, &sub);
            return;
        }
        case DBUS_TYPE_VARIANT: {
            dbus_message_iter_open_container(out, DBUS_TYPE_VARIANT, "u", &sub);
            dbus_uint32_t v = in.number(4);
            dbus_message_iter_append_basic(&sub, DBUS_TYPE_UINT32, &v);
            dbus_message_iter_close_container(out, &sub);
            return;
        }
        case DBUS_TYPE_STRING: {
            std::string s = text(in);
            if (s.size() + 8 > budget.bytes) s.clear();
            budget.bytes -= std::min(budget.bytes, s.size() + 8);
            const char* p = s.c_str();
            dbus_message_iter_append_basic(out, code, &p);
            return;
        }
        case DBUS_TYPE_OBJECT_PATH:
        case DBUS_TYPE_SIGNATURE: {
            const char* p = code == DBUS_TYPE_OBJECT_PATH ? "/a" : "s";
            dbus_message_iter_append_basic(out, code, &p);
            return;
        }
        case DBUS_TYPE_UNIX_FD:
            dbus_message_iter_append_basic(out, code, &fd);
            return;
        case DBUS_TYPE_BOOLEAN: {
            dbus_bool_t v = in.byte() & 1;
            dbus_message_iter_append_basic(out, code, &v);
            return;
        }
        default: {
            // The number types: as many bytes as the type is wide.
            const int width = code == DBUS_TYPE_BYTE ? 1 : code == DBUS_TYPE_INT16 || code == DBUS_TYPE_UINT16 ? 2
                              : code == DBUS_TYPE_INT32 || code == DBUS_TYPE_UINT32                       ? 4
                                                                                                          : 8;
            uint64_t n = 0;
            for (int i = 0; i < width; ++i) n = n << 8 | in.byte();
            DBusBasicValue v{};
            if (width == 1) v.byt = static_cast<unsigned char>(n);
            if (width == 2) v.u16 = static_cast<dbus_uint16_t>(n);
            if (width == 4) v.u32 = static_cast<dbus_uint32_t>(n);
            if (width == 8) v.u64 = n;
            dbus_message_iter_append_basic(out, code, &v);
            return;
        }
    }
}

// A file, directory or link to another entry, named by any bytes but "/" and NUL.
void makeEntry(Bytes& in) {
    Harness& h = harness();
    const uint8_t kind = in.byte();
    std::string name = in.take(1 + in.byte() % 16);
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name == "." || name == "..") name = "_";
    const std::string parent = h.entries.empty() || kind & 0x80 ? h.tree : h.entries[in.byte() % h.entries.size()];
    const std::string path = parent + "/" + name;
    int made = -1;
    if (kind % 3 == 0) {
        made = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (made >= 0) ::close(made);
    } else if (kind % 3 == 1) {
        made = ::mkdir(path.c_str(), 0755);
    } else if (!h.entries.empty()) {
        made = ::symlink(h.entries[in.byte() % h.entries.size()].c_str(), path.c_str());  // inside the tree only
    }
    if (made >= 0) h.entries.push_back(path);
}

const protocol::Member* memberOf(uint8_t pick, bool admin) {
    if (admin) return protocol::admin::kMembers[pick % std::size(protocol::admin::kMembers)];
    return protocol::kMembers[pick % protocol::kMemberCount];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    Bytes in(data, size);
    // Each input starts from an empty tree, so that what it finds is found again when it runs alone.
    std::error_code ignored;
    std::filesystem::remove_all(h.tree, ignored);
    std::filesystem::create_directory(h.tree, ignored);
    h.entries.clear();
    for (int n = in.byte() % 4; n > 0; --n) makeEntry(in);

    // The file a call passes: the rest of the input for Import, else a file to write.
    const std::string document = h.dir + "/document", output = h.dir + "/output";
    std::set<uint32_t> waiting;
    for (int calls = 1 + in.byte() % 4; calls > 0 && !in.empty(); --calls) {
        const uint8_t how = in.byte();
        const bool admin = how & 1, root = how & 2, noReply = (how & 0x0C) == 0x0C, ownSignature = (how & 0x30) != 0x30;
        const protocol::Member* member = memberOf(in.byte(), admin);
        std::string name = member->name, interface = admin ? protocol::kAdminInterface : protocol::kInterface;
        const char* path = protocol::kObjectPath;
        switch (how >> 6) {
            case 1: name = "Introspect", interface = DBUS_INTERFACE_INTROSPECTABLE; break;
            case 2:
                if (in.byte() < 32) path = "/elsewhere";
                if (in.byte() < 32) interface = "com.example.Other";
                if (in.byte() < 32) name = "noSuchMember";
                break;
            default: break;
        }
        MessagePtr call(dbus_message_new_method_call(protocol::kServiceName, path, interface.c_str(), name.c_str()));
        dbus_message_set_serial(call.get(), ++h.serial);
        dbus_message_set_sender(call.get(), root ? ":1.0" : ":1.1");
        dbus_message_set_no_reply(call.get(), noReply);
        std::string signature = member->in;
        if (!ownSignature)
            for (signature.clear(); signature.size() < 8 && in.byte() & 1;) signature += anyType(in, 20);
        if (!dbus_signature_validate(signature.c_str(), nullptr)) signature.clear();
        const bool importing = name == protocol::admin::Import.name;
        const std::string& passed = importing ? document : output;
        if (importing) {
            const int write = ::open(document.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            const std::string content = in.rest();
            if (write >= 0 && ::write(write, content.data(), content.size()) < 0) std::abort();
            if (write >= 0) ::close(write);
        }
        const int fd = ::open(passed.c_str(), (importing ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC) | O_CLOEXEC, 0600);
        Budget budget;
        DBusMessageIter args;
        dbus_message_iter_init_append(call.get(), &args);
        appendAll(&args, signature.c_str(), in, budget, fd);
        if (fd >= 0) ::close(fd);  // the message holds a duplicate
        if (!noReply) waiting.insert(h.serial);
        h.service->handle(call.get());
        // Who the caller is, as the bus daemon would tell.
        for (MessagePtr& question : h.sink.questions()) {
            const char* sender = nullptr;
            dbus_message_get_args(question.get(), nullptr, DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID);
            MessagePtr answer(dbus_message_new_method_return(question.get()));
            DBusMessageIter out, dict, entry, value;
            dbus_message_iter_init_append(answer.get(), &out);
            dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "{sv}", &dict);
            const dbus_uint32_t uid = sender && std::strcmp(sender, ":1.0") == 0 ? 0 : 65534, pid = 4242;
            for (const char* key : {"UnixUserID", "ProcessID"}) {
                dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
                dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
                dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "u", &value);
                dbus_message_iter_append_basic(&value, DBUS_TYPE_UINT32, key[4] == 'U' ? &uid : &pid);
                dbus_message_iter_close_container(&entry, &value);
                dbus_message_iter_close_container(&dict, &entry);
            }
            dbus_message_iter_close_container(&out, &dict);
            h.service->handle(answer.get());
        }
    }
    // Every call that asked is answered, by its deadline at the latest (the longest is the full-system one's).
    zorvfuzz::require(
        h.sink.answered(waiting, std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                                        protocol::kFullSystemTimeoutMs + 5000)));
    return 0;
}
