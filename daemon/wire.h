// Reading a call's arguments and writing a reply's, over libdbus's message
// iterators. The call's signature has been checked against the member table
// before a Reader is made, so the readers trust the types they meet.
//
// Every string the service sends, in a reply or in an error, goes through
// Writer::string or errorReply, the one place that checks it: libdbus ends
// the process when handed a string that is not valid UTF-8, and file names
// read from disk, error texts of the system and of parsers, and texts cut
// short need not be.
#pragma once

#include <dbus/dbus.h>
#include <zorv/labelmgr.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/arguments.h"
#include "protocol/limits.h"
#include "protocol/service_names.h"

namespace zorvd {

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

// Whether `text` may go into a message as it is: valid UTF-8 without NUL.
inline bool sendsAsIs(const std::string& text) {
    return text.find('\0') == std::string::npos && dbus_validate_utf8(text.c_str(), nullptr);
}

// `text` as it may go into a message: unchanged when it is valid UTF-8 and
// holds no NUL; otherwise each byte that is not part of a valid UTF-8
// sequence (NUL included) becomes \xHH (two lower-case hex digits) and each
// backslash \\, so that such a name can be told from one that is spelt so.
std::string wireText(const std::string& text);

// An error reply to `call` whose text is made fit with wireText; null when
// libdbus has no memory for it (sending a null message does nothing).
MessagePtr errorReply(DBusMessage* call, const char* name, const std::string& text);

// A call that is answered with a D-Bus error of this name.
class CallError : public std::runtime_error {
public:
    CallError(const char* name, const std::string& text) : std::runtime_error(text), name(name) {}
    const char* name;
};

using zorv::protocol::kErrorNotFound;

// A reply over the largest message the system bus carries would have the bus
// throw the service off. A reply is refused as soon as its writing passes
// this size, header room kept aside.
constexpr std::size_t kMaxReplyBytes = zorv::protocol::kMaxMessageBytes - 64 * 1024;

class Reader {
public:
    explicit Reader(DBusMessage* message) { dbus_message_iter_init(message, &it_); }
    explicit Reader(const DBusMessageIter& it) : it_(it) {}

    std::string string() { return basic<const char*>(); }
    uint32_t u32() { return basic<dbus_uint32_t>(); }
    int32_t i32() { return basic<dbus_int32_t>(); }
    uint64_t u64() { return basic<dbus_uint64_t>(); }
    // A file descriptor passed with the call: libdbus hands out a duplicate,
    // which the caller owns.
    int unixFd() { return basic<int>(); }
    std::vector<std::string> strings() {
        std::vector<std::string> out;
        eachString([&out](std::string s) { out.push_back(std::move(s)); });
        return out;
    }
    // Calls f(text) for each string of an array, without keeping them all.
    template <typename F>
    void eachString(F&& f) {
        Reader items = enter();
        while (items.more()) f(items.string());
    }
    // Calls f(key, valueReader) for each entry of a dictionary.
    template <typename F>
    void entries(F&& f) {
        Reader items = enter();
        while (items.more()) {
            Reader entry = items.enter();
            std::string key = entry.string();
            f(key, entry);
        }
    }
    // An identifier dictionary: "pkg_id", "file_id" and "path_id", absent keys 0.
    ZORV_ID id();
    bool more() { return dbus_message_iter_get_arg_type(&it_) != DBUS_TYPE_INVALID; }

private:
    template <typename T>
    T basic() {
        T value{};
        dbus_message_iter_get_basic(&it_, &value);
        dbus_message_iter_next(&it_);
        return value;
    }
    Reader enter() {
        DBusMessageIter sub;
        dbus_message_iter_recurse(&it_, &sub);
        dbus_message_iter_next(&it_);
        return Reader(sub);
    }
    DBusMessageIter it_;
};

// Appends a reply's arguments, counting the bytes they take on the wire as it
// goes (the body's alignment rules included), and throws CallError
// (LimitsExceeded) as soon as they pass the limit, before the rest is built.
class Writer {
public:
    explicit Writer(DBusMessage* message, std::size_t limit = kMaxReplyBytes) : size_(&bodySize_), limit_(limit) {
        dbus_message_iter_init_append(message, &it_);
    }

    void string(const std::string& s) {
        if (!sendsAsIs(s)) return appendString(wireText(s));
        appendString(s);
    }
    void u32(uint32_t v) {
        grow(4, 4);
        append(DBUS_TYPE_UINT32, &v);
    }
    void i32(int32_t v) {
        grow(4, 4);
        append(DBUS_TYPE_INT32, &v);
    }
    void u64(uint64_t v) {
        grow(8, 8);
        append(DBUS_TYPE_UINT64, &v);
    }
    std::size_t size() const { return *size_; }
    // Refuses at once a reply that is known to take at least `bytes`, before
    // the work of building it.
    static void mustFit(std::size_t bytes) {
        if (bytes > kMaxReplyBytes) throw tooLarge();
    }
    // A container left open by an exception (a reply over the limit, say) is
    // abandoned, or libdbus keeps what it allocated for it for ever.
    ~Writer() {
        if (open_ != nullptr) dbus_message_iter_abandon_container(&open_->it_, &it_);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    void id(const ZORV_ID& v);
    // An array of `element` (a complete type); fill(Writer&) appends the items.
    template <typename F>
    void array(const char* element, F&& fill) {
        Writer sub(this, DBUS_TYPE_ARRAY, element);
        fill(sub);
        sub.close(this);
    }
    // One structure inside an array of them: fill(Writer&) appends its fields.
    template <typename F>
    void structure(F&& fill) {
        Writer sub(this, DBUS_TYPE_STRUCT, nullptr);
        fill(sub);
        sub.close(this);
    }
    // One dictionary entry inside an array of them: the key, then fill(Writer&)
    // appends the value.
    template <typename F>
    void entry(const std::string& key, F&& fill) {
        Writer sub(this, DBUS_TYPE_DICT_ENTRY, nullptr);
        sub.string(key);
        fill(sub);
        sub.close(this);
    }

private:
    void appendString(const std::string& s) {
        grow(4, 4 + s.size() + 1);
        const char* p = s.c_str();
        append(DBUS_TYPE_STRING, &p);
    }
    static CallError tooLarge() {
        static const std::string text = "the reply would be larger than the bus carries in one message (" +
                                        std::to_string(zorv::protocol::kMaxMessageBytes >> 20) + " MiB): ask for less";
        return CallError(DBUS_ERROR_LIMITS_EXCEEDED, text);
    }
    Writer(Writer* parent, int type, const char* contained) : size_(parent->size_), limit_(parent->limit_) {
        if (type == DBUS_TYPE_ARRAY) {
            grow(4, 4);  // the length, then padding to the first element
            grow(std::strchr("xtd{(", contained[0]) ? 8 : std::strchr("ybv", contained[0]) ? 1 : 4, 0);
        } else {
            grow(8, 0);  // a dictionary entry or a structure starts on 8 bytes
        }
        if (!dbus_message_iter_open_container(&parent->it_, type, contained, &it_)) throw std::bad_alloc();
        open_ = parent;
    }
    void grow(std::size_t align, std::size_t bytes) {
        *size_ = (*size_ + align - 1) / align * align + bytes;
        if (*size_ > limit_) throw tooLarge();
    }
    void close(Writer* parent) {
        open_ = nullptr;  // closed or, on failure, abandoned by libdbus itself
        if (!dbus_message_iter_close_container(&parent->it_, &it_)) throw std::bad_alloc();
    }
    void append(int type, const void* value) {
        if (!dbus_message_iter_append_basic(&it_, type, value)) throw std::bad_alloc();
    }
    DBusMessageIter it_;
    std::size_t bodySize_ = 0;
    std::size_t* size_;  // the outermost writer's count
    std::size_t limit_;
    Writer* open_ = nullptr;  // the parent whose container this one is, until closed
};

inline ZORV_ID Reader::id() {
    ZORV_ID v{0, 0, 0};
    entries([&v](const std::string& key, Reader& value) {
        uint64_t n = value.u64();
        if (key == zorv::protocol::kIdKeyPkg)
            v.pkg_id = n;
        else if (key == zorv::protocol::kIdKeyFile)
            v.file_id = n;
        else if (key == zorv::protocol::kIdKeyPath)
            v.path_id = n;
        else
            throw CallError(DBUS_ERROR_INVALID_ARGS, "identifier key " + key + " is none of " +
                                                         zorv::protocol::kIdKeyPkg + ", " + zorv::protocol::kIdKeyFile +
                                                         ", " + zorv::protocol::kIdKeyPath);
    });
    return v;
}

// Keys in byte order, as every dictionary of the protocol is sent.
inline void Writer::id(const ZORV_ID& v) {
    array("{st}", [&v](Writer& d) {
        d.entry(zorv::protocol::kIdKeyFile, [&v](Writer& w) { w.u64(v.file_id); });
        d.entry(zorv::protocol::kIdKeyPath, [&v](Writer& w) { w.u64(v.path_id); });
        d.entry(zorv::protocol::kIdKeyPkg, [&v](Writer& w) { w.u64(v.pkg_id); });
    });
}

}  // namespace zorvd
