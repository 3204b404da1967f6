// Typed interface of libzorvlabelmgr. Includes the C interface.
#ifndef ZORV_LABELMGR_HPP
#define ZORV_LABELMGR_HPP

#include <zorv/labelmgr.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define ZORV_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZORV_HIDDEN
#endif

#if defined(__GNUC__)
#define ZORV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZORV_PRINTF(fmt, args)
#endif

namespace log4cpp {
class Category;
}
namespace DBus {
class Connection;
class BusDispatcher;
class Message;
}

// ---------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------

// Process-wide logging facade over log4cpp. Each call names the calling
// function and the source line; the message is only composed when the
// category would write it.
class ZORV_API Logger {
public:
    static Logger& getInstance();

    Logger();
    explicit Logger(const std::string& configFile);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    log4cpp::Category* getCategory(const std::string& name);

    void debug(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void info(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void warn(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void error(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void fatal(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void always(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);

private:
    std::map<std::string, log4cpp::Category*> categories;
    log4cpp::Category& root;
    std::mutex categoriesMutex_;
};

// Logs how long the enclosing scope took when it ends.
class ZORV_API Timer {
public:
    explicit Timer(const std::string& name) : name(name), start(std::chrono::system_clock::now()) {}
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string name;
    std::chrono::system_clock::time_point start;
};

// ---------------------------------------------------------------------------
// Service client
// ---------------------------------------------------------------------------

// Owner of the process's system-bus connections.
class ZORV_API DBusConnectionManager {
public:
    static DBusConnectionManager* getInstance();

    // The connection handed to callers (the library's own calls use others),
    // with its call timeout set to 5000 ms and the messages that nobody
    // consumed dispatched. Throws std::runtime_error("DBus service
    // unavailable") when the bus cannot be reached. A connection that the bus
    // has closed (a bus restart) is replaced first; the replaced one is closed
    // but stays a valid object, so a reference taken earlier never dangles.
    DBus::Connection& getConnection();
    bool isConnected() const;
    bool reconnect();
    ~DBusConnectionManager();

    DBusConnectionManager(const DBusConnectionManager&) = delete;
    DBusConnectionManager& operator=(const DBusConnectionManager&) = delete;

    // The library's own calls. Each holds a bus connection of its own for its
    // length, taken from a small pool: libdbus corrupts its queues when several
    // threads wait on one connection that the bus closes under them, and lets
    // a long call hold up the others on its connection. A pooled
    // connection that the bus closed while it lay idle (a bus restart) is
    // replaced before the call goes out. Blocks until the reply or
    // `timeoutMs`, then hands the connection's other incoming messages to
    // libdbus so that they cannot pile up. Throws std::runtime_error when the
    // bus cannot be reached and DBus::Error for a failed call.
    ZORV_HIDDEN DBus::Message call(DBus::Message& message, int timeoutMs);

private:
    class ZORV_HIDDEN Link;  // one bus connection and the dispatcher that only it uses

    DBusConnectionManager();
    ZORV_HIDDEN std::unique_ptr<Link> openLink(unsigned epoch);
    ZORV_HIDDEN void retireHandleLocked();
    ZORV_HIDDEN std::unique_ptr<Link> takeLink(bool longCall);
    ZORV_HIDDEN void giveBack(std::unique_ptr<Link> link, bool longCall);

    std::unique_ptr<DBus::BusDispatcher> dispatcher_;
    std::unique_ptr<Link> connection_;           // handed to callers of getConnection
    std::vector<std::unique_ptr<Link>> retired_;  // earlier such links, closed; callers may hold them
    std::vector<std::unique_ptr<Link>> idle_;     // links free for the library's calls
    unsigned lent_ = 0;                           // links out with calls
    unsigned longLent_ = 0;                       // of which with calls allowed more than 5000 ms
    unsigned epoch_ = 0;  // bumped when a link is found closed: older idle links are dropped
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;
    std::condition_variable linkReturned_;

    static DBusConnectionManager* instance_;
    static std::once_flag init_flag_;
};

// Lookups and maintenance calls of the service (the C ones are in
// labelmgr.h). The oid lookups return 0, -1 for a missing argument or the
// service's failure value (still stored in *oid), -2 when the call failed.
// The lookups by list add an entry {oid, 0, 0} to `oids` for each name that
// the service knows, overwriting an entry of the same name and keeping the
// others; 0, or -2 when the call failed (oids then unchanged). The string
// calls return "" on failure; addTagFullSystem only logs its result.
ZORV_API int getDeviceOid(const char* device, unsigned long* oid);
ZORV_API int getKernelModuleOid(const char* module, unsigned long* oid);
ZORV_API int getDeviceOids(std::vector<std::string> devices, std::map<std::string, ZORV_ID>& oids);
ZORV_API int getKernelModuleOids(std::vector<std::string> modules, std::map<std::string, ZORV_ID>& oids);
ZORV_API void addTagFullSystem(const char* tag, std::vector<std::string> list);
ZORV_API std::string getPathSm3HashValue(const char* path);
ZORV_API std::string restoreSingleFileLabel(const std::string& path);
ZORV_API std::string restoreSingleFileInitLabel(const std::string& path);

// The service proxy. Its declaration needs dbus-c++; it is visible to callers
// that include <dbus-c++/dbus.h> before this header.
#if defined(__DBUSXX_DBUS_H)
namespace com {
namespace nimbo {
namespace zorv {
class ZORV_API labelmgr_proxy : public ::DBus::InterfaceProxy {
public:
    labelmgr_proxy();
    int32_t setLabelForPkg(const std::vector<std::string>& files, const std::string& pkgname,
                           const uint32_t& pkgType);
};
}  // namespace zorv
}  // namespace nimbo
}  // namespace com

class ZORV_API LabelMgrClient : public com::nimbo::zorv::labelmgr_proxy,
                                public DBus::IntrospectableProxy,
                                public DBus::ObjectProxy {
public:
    LabelMgrClient(DBus::Connection& connection, const char* path, const char* name);
    ~LabelMgrClient();
};
#endif

// Resolves a policy description, names grouped by category, into identifiers
// through the service, and adds them to `ids` under the same categories and
// names (appending to what is there). Names under "subject_pkg" and
// "object_pkg" get one identifier per package id the service gives, under
// "subject_recurfile" and "object_recurfile" one per path id; every other name
// gets one identifier. 0 on success, -1 on any failure (logged; `ids` is then
// unchanged unless memory ran out while it was filled).
ZORV_API int policies_parse(const std::map<std::string, std::vector<std::string>>& policies,
                            std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>& ids);

// ---------------------------------------------------------------------------
// Label model
// ---------------------------------------------------------------------------
// Identifier triple of a labelled object. Its compact binary form is 8, 16 or
// 24 bytes (each number little-endian; file_id and path_id are left out when
// 0); its text form is exactly 50 characters:
// "pppppppppppppppp-ffffffffffffffff-hhhhhhhhhhhhhhhh" in lower-case hex.
// No operation throws for bad input: failures are logged and reported as a
// null pointer or the all-zero Id.
class ZORV_API Id {
public:
    Id() = default;
    Id(uint64_t pkg, uint64_t file, uint64_t path) : pkg_id(pkg), file_id(file), path_id(path) {}

    // Length of the compact form.
    size_t serializedSize();
    // Writes the compact form at buf and returns the position just past it, so
    // that several identifiers can be chained into one buffer. Returns null
    // when buf is null or len is smaller than serializedSize().
    unsigned char* toBytes(unsigned char* buf, size_t len);
    unsigned char* toBytes(unsigned char* buf);
    // The compact form does not say which numbers it holds (only a label's
    // state byte does), so it cannot be decoded alone: always the all-zero Id.
    static Id fromBytes(const unsigned char* data);

    std::string toString() const;
    // Parses the 50-character text form (hex digits of either case); the
    // all-zero Id when the text is malformed.
    static Id fromString(const std::string& text);

    uint64_t pkg_id = 0;
    uint64_t file_id = 0;
    uint64_t path_id = 0;
};

inline bool operator==(const Id& a, const Id& b) {
    return a.pkg_id == b.pkg_id && a.file_id == b.file_id && a.path_id == b.path_id;
}
inline bool operator!=(const Id& a, const Id& b) { return !(a == b); }

// The exception of the label model. Codes: 1 bad input to a decoder, 4 file
// does not exist, 5 attribute could not be set or read, 6 attribute empty,
// 7 file system without extended attributes, 12 serialised size wrong,
// 13 binary decoding failed (the only code that reaches callers, from
// Label::deserializeFromBuffer).
class ZORV_API LabelError : public std::runtime_error {
public:
    LabelError(int32_t code, const std::string& message);
    ~LabelError() override;

    int32_t code;
};

// The security label of one file. Binary form (25 to 81 bytes, stored in the
// extended attribute "security.zorv"): the compact forms of oid_, sid_ and
// creatorOid_, then tid_ and inheritFlag_ as 4 little-endian bytes each when
// not 0, then a state byte saying which optional numbers are present. Text
// form: "oid:tid:sid:inheritFlag:creatorOid", numbers in decimal.
class ZORV_API Label {
public:
    // Length of the binary form.
    size_t serializedBufferSize();
    // Writes the binary form; the number of bytes written, or 0 (logged) when
    // buf is null or len is too small.
    size_t serializeToBuffer(unsigned char* buf, size_t len);
    // Reads the binary form into this label and returns a copy of it. Numbers
    // that the form leaves out keep their values. On bad input throws
    // LabelError (code 13) and leaves this label unchanged.
    Label deserializeFromBuffer(const unsigned char* buf, size_t len);

    // The text form, or "" on failure.
    std::string toString();
    // Parses the text form; the all-zero label (logged) when the text is
    // malformed or the inherit flag is not 0, 5 or 7.
    static Label fromString(const std::string& text);

    // Stores the binary form in "security.zorv" of path (of a symbolic link
    // itself when noFollow). 0 stored, -1 a LabelError was logged, -2 another
    // error (such as a failed status query) was logged.
    int setToXattr(const std::string& path, const bool& noFollow);
    // Reads "security.zorv" of path into this label. 0 read, -1 otherwise; an
    // absent attribute is logged at debug level only.
    int getFromXattr(const std::string& path, const bool& noFollow);

    Id oid_;
    Id sid_;
    Id creatorOid_;
    uint32_t tid_ = 0;
    uint32_t inheritFlag_ = 0;
};

inline bool operator==(const Label& a, const Label& b) {
    return a.oid_ == b.oid_ && a.sid_ == b.sid_ && a.creatorOid_ == b.creatorOid_ && a.tid_ == b.tid_ &&
           a.inheritFlag_ == b.inheritFlag_;
}
inline bool operator!=(const Label& a, const Label& b) { return !(a == b); }

// Two lower-case hex digits per byte, no separators.
ZORV_API std::string bytesToHexString(const unsigned char* data, size_t size);

// ---------------------------------------------------------------------------
// Change notifications
// ---------------------------------------------------------------------------
// A libzmq socket with a context of its own. Every failure of libzmq is
// turned into std::runtime_error with a fixed message; nothing here logs.
// One object owns its two handles: it can be moved but never copied, so each
// handle is released exactly once. A socket is for one thread at a time.
class ZORV_API ZMQSocket {
public:
    // libzmq's socket-type numbers, handed to libzmq unchanged.
    enum socketType {
        PAIR = 0, PUB = 1, SUB = 2, REQ = 3, REP = 4, DEALER = 5,
        ROUTER = 6, PULL = 7, PUSH = 8, XPUB = 9, XSUB = 10, STREAM = 11,
    };

    explicit ZMQSocket(socketType type);
    // Messages not yet taken by a peer get at most kCloseLingerMs to leave: a
    // peer that stopped reading never holds up the destructor.
    ~ZMQSocket();
    static constexpr int kCloseLingerMs = 1000;
    ZMQSocket(const ZMQSocket&) = delete;
    ZMQSocket& operator=(const ZMQSocket&) = delete;
    // A moved-from socket holds nothing; only destruction and assignment are
    // meaningful on it.
    ZMQSocket(ZMQSocket&& other) noexcept;
    ZMQSocket& operator=(ZMQSocket&& other) noexcept;

    void bind(const std::string& address);
    void connect(const std::string& address);
    // Sends the bytes of `message` as one frame; `more` says another frame of
    // the same message follows.
    void send(const std::string& message, bool more);
    // Blocks until one frame arrives and returns its bytes.
    std::string recv();
    // Adds a prefix filter; the empty topic lets every message through.
    void subscribe(const std::string& topic);

private:
    void release() noexcept;
    friend struct ZMQSocketAccess;  // the library's own frame-level reader

    void* context;
    void* socket;
};

// Label-change notifications published by the label manager service.
// A subscriber handle is a ZMQSocket of type SUB, owned by the caller. It
// accepts frames of at most kMaxNotificationFrame bytes (1 MiB): a larger
// one is never received; libzmq drops the connection that brings it, with
// the messages still on the way, and recvLabelChangeMsg connects again.
// Throws std::runtime_error when libzmq cannot create the context or socket
// or set the subscriber up.
constexpr long long kMaxNotificationFrame = 1024 * 1024;
ZORV_API void* createSubscriber();
// Releases a handle from createSubscriber; null is ignored.
ZORV_API void destroySubscriber(void* handle);
// Connects the handle to the service's endpoint and adds `topic` to its
// filter. 0 on success, -1 on failure (logged).
ZORV_API int subscribeLabelChangeMsg(void* handle, const std::string& topic);
// Blocks until a notification arrives and stores a malloc'ed, NUL-terminated
// copy of its payload in *msg (free it with free). The payload may itself
// hold NUL bytes. 0 on success, -1 on failure (logged, *msg untouched unless
// the copy could not be allocated, then it is null).
ZORV_API int recvLabelChangeMsg(void* handle, char** msg);

// ---------------------------------------------------------------------------
// Utilities: hashing, wildcards, paths
// ---------------------------------------------------------------------------
#include <filesystem>

// Hashing. The SM3 digest as 64 lower-case hexadecimal characters ("" when
// SM3 cannot be computed), its last 32 or 64 bits (0 on failure), and the
// 32-bit FNV-1a hash of `len` bytes at `name`.
ZORV_API std::string getSM3HashValue(const std::string& input);
ZORV_API unsigned int getSM3HashLast32Bits(const std::string& input);
ZORV_API unsigned long getSM3HashLast64Bits(const std::string& input);
ZORV_API unsigned int getKmodNameHash(const char* name, unsigned int len);

// Wildcards. `matchesPattern` matches the whole text case-insensitively
// against the regular expression of `wildcardsToRegex` (std::regex_error when
// that does not compile), in time linear in pattern x text for wildcards and
// every expression without back-references, assertions, counted repetition or
// class escapes. Those few go to a backtracking engine that may take at most
// 4,194,304 steps and half the stack the calling thread has left; past either
// bound, and for an expression longer than 262,144 characters or too large to
// compile in 8 MiB, the call logs an error and returns false;
// `matchesPattern1` is fnmatch with FNM_PATHNAME; `searchFilesByPattern` is
// glob with GLOB_TILDE; `traverseDirectory` appends
// `dir` and everything below it to `out` (links are not followed) and returns
// 0, or -1 when `dir` itself cannot be opened.
ZORV_API bool containsWildcard(const std::string& text);
ZORV_API std::string wildcardsToRegex(const std::string& wildcard);
ZORV_API bool matchesPattern(const std::string& pattern, const std::string& text);
ZORV_API bool matchesPattern1(const std::filesystem::path& path, const std::string& pattern);
ZORV_API std::vector<std::string> searchFilesByPattern(const std::string& pattern);
ZORV_API int traverseDirectory(const std::string& dir, std::vector<std::string>& out);

// Paths. Functions that take absolute forms place relative paths under the
// current directory; those documented to do so let std::filesystem errors
// pass (isParentPath, comparePaths, sortPaths and expandPath on an empty or
// unreadable path, getRealPath when the existence test itself fails).
ZORV_API bool isFilesystemReadOnly(const char* path);
ZORV_API bool isParentPath(const std::string& parent, const std::string& child);
ZORV_API std::string getRealPath(const std::string& path);
ZORV_API std::string getLinkRealPath(const std::string& path);
ZORV_API std::string formatPath(const std::string& path);
ZORV_API bool comparePaths(const std::filesystem::path& a, const std::filesystem::path& b);
ZORV_API std::vector<std::string> sortPaths(const std::vector<std::string>& paths);
ZORV_API std::vector<std::filesystem::path> expandPath(const std::filesystem::path& pattern);
ZORV_API std::string findFirstValidParentDir(const std::string& path);
ZORV_API std::string getParentDirWithoutWildcard(const std::string& path);

// Path tests. pathIsDir and pathIsLinkFile examine the entry itself, without
// following a final symbolic link: 1 yes, 0 no (also when it cannot be
// examined). pathIsExists follows the link: 0 exists, -1 not (a dangling link
// does not exist).
ZORV_API int pathIsDir(const char* path);
ZORV_API int pathIsLinkFile(const char* path);
ZORV_API int pathIsExists(const char* path);

// ---------------------------------------------------------------------------
// Utilities: strings, configuration, files, processes
// ---------------------------------------------------------------------------
#include <unordered_map>
#include <utility>

// Text helpers. They work on bytes, never on characters of an encoding, and
// return new strings; only splitString fills a vector of the caller's.
ZORV_API std::string replaceString(const std::string& text, const std::string& oldStr,
                                   const std::string& newStr);
ZORV_API std::string replaceBeginString(const std::string& text, const std::string& oldStr,
                                        const std::string& newStr);
ZORV_API std::string removeSubString(const std::string& text, const std::string& subStr);
ZORV_API std::string removeFirstSubString(const std::string& text, const std::string& subStr);
// Strips blanks, tabs, line feeds and carriage returns at both ends.
ZORV_API std::string trim(const std::string& text);
// Replaces the contents of `out` by the non-empty pieces between delimiters.
ZORV_API void splitString(const std::string& text, const char& delimiter, std::vector<std::string>& out);
ZORV_API bool containsEscapeChars(const std::string& text);
ZORV_API std::string removeEscapeChars(const std::string& text);

// Sectioned key/value files, read like readFile (regular files of at most
// 64 MiB; anything else gives an error line and an empty result).
// parseConfig: '#' comments, trimmed keys and values, assignments outside a
// named section ignored, first value wins.
ZORV_API std::unordered_map<std::string, std::unordered_map<std::string, std::string>> parseConfig(
    const std::string& file);
// readConfig: ';' and '#' comments, keys stored as "section.key", blanks
// removed from values, last value wins.
ZORV_API std::map<std::string, std::string> readConfig(const std::string& file);
// Replaces each "<name>" found in `vars` by its value, at most 100 per call;
// inserted text is not expanded again.
ZORV_API std::string replaceVariable(std::unordered_map<std::string, std::string>& vars, std::string text);

// Whole-file helpers. readFile reads regular files only (a /proc file is
// one) of at most 64 MiB (67,108,864 bytes): for anything else -- a missing
// file, a directory, FIFO or device (refused without being opened, so it
// never blocks), a larger file -- it logs one error line and returns "";
// writeFile rewrites the file in place and returns false when it cannot be
// opened or when writing or closing it fails.
ZORV_API std::string readFile(const std::string& path);
ZORV_API bool writeFile(const std::string& path, const std::string& content);

// Queries of the running system.
ZORV_API std::vector<std::pair<std::string, std::string>> parseKernelCmdline();
// Executable link text -> ids of the processes running it.
ZORV_API std::map<std::string, std::vector<int>> findProcessExeFile();
// Ancestors of `pid` from its parent upwards, without the init process.
// Throws std::out_of_range for a parent id beyond the range of int.
ZORV_API std::vector<int> getAllParent(int pid);
ZORV_API bool commandExists(const std::string& command);
// Standard output of `command` run through /bin/sh, one element per line
// (lines longer than 1023 bytes come in pieces); empty when the command could
// not run, failed or was killed.
ZORV_API std::vector<std::string> executeCommand(const std::string& command);

#endif  // ZORV_LABELMGR_HPP
