// Typed interface of libzorvlabelmgr. Includes the C interface.
#ifndef ZORV_LABELMGR_HPP
#define ZORV_LABELMGR_HPP

#include <zorv/labelmgr.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

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

// Owner of the process's one system-bus connection.
class ZORV_API DBusConnectionManager {
public:
    static DBusConnectionManager* getInstance();

    // The shared connection; throws std::runtime_error("DBus service
    // unavailable") when the bus cannot be reached. A connection that the bus
    // closed (bus restart) is replaced first.
    DBus::Connection& getConnection();
    // The same connection, held for as long as the caller keeps the pointer,
    // so that a reconnect on another thread cannot pull it away mid-call.
    std::shared_ptr<DBus::Connection> acquireConnection();
    bool isConnected() const;
    bool reconnect();
    ~DBusConnectionManager();

    DBusConnectionManager(const DBusConnectionManager&) = delete;
    DBusConnectionManager& operator=(const DBusConnectionManager&) = delete;

private:
    DBusConnectionManager();
    bool reconnectLocked();
    std::shared_ptr<DBus::Connection> connectionLocked();

    std::unique_ptr<DBus::BusDispatcher> dispatcher_;
    std::shared_ptr<DBus::Connection> connection_;
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;

    static DBusConnectionManager* instance_;
    static std::once_flag init_flag_;
};

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

// ---------------------------------------------------------------------------
// Label model
// ---------------------------------------------------------------------------
// @@label-model@@

// ---------------------------------------------------------------------------
// Change notifications
// ---------------------------------------------------------------------------
// @@notifications@@

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
// that does not compile); `matchesPattern1` is fnmatch with FNM_PATHNAME;
// `searchFilesByPattern` is glob with GLOB_TILDE; `traverseDirectory` appends
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

// ---------------------------------------------------------------------------
// Utilities: strings, configuration, files, processes
// ---------------------------------------------------------------------------
// @@utilities-b@@

#endif  // ZORV_LABELMGR_HPP
