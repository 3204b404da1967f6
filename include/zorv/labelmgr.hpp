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
// @@utilities-a@@

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

// Sectioned key/value files. parseConfig: '#' comments, trimmed keys and
// values, assignments outside a named section ignored, first value wins.
ZORV_API std::unordered_map<std::string, std::unordered_map<std::string, std::string>> parseConfig(
    const std::string& file);
// readConfig: ';' and '#' comments, keys stored as "section.key", blanks
// removed from values, last value wins.
ZORV_API std::map<std::string, std::string> readConfig(const std::string& file);
// Replaces each "<name>" found in `vars` by its value, at most 100 per call;
// inserted text is not expanded again.
ZORV_API std::string replaceVariable(std::unordered_map<std::string, std::string>& vars, std::string text);

// Whole-file helpers. readFile returns "" when the file cannot be opened;
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
