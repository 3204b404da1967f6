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

    // The shared connection, with its call timeout set to 5000 ms. Throws
    // std::runtime_error("DBus service unavailable") when the bus cannot be
    // reached. A connection that the bus has closed (a bus restart) is
    // replaced first.
    DBus::Connection& getConnection();
    bool isConnected() const;
    bool reconnect();
    ~DBusConnectionManager();

    DBusConnectionManager(const DBusConnectionManager&) = delete;
    DBusConnectionManager& operator=(const DBusConnectionManager&) = delete;

    // The library's own calls: the connection held for the length of one call,
    // so that a reconnect on another thread cannot pull it away mid-call. Its
    // handle carries no connection-wide timeout; each call states its own.
    ZORV_HIDDEN std::shared_ptr<DBus::Connection> callConnection();
    // Hands queued incoming messages that no call consumes to libdbus, so
    // that they cannot pile up on a connection whose dispatcher never runs.
    // Without `wait` it gives way to a thread that is already draining.
    ZORV_HIDDEN void drainIncoming(bool wait = false);
    // Whether the bus has closed the current connection under its users.
    ZORV_HIDDEN bool connectionLost() const;

private:
    DBusConnectionManager();
    ZORV_HIDDEN bool isConnectedLocked() const;
    ZORV_HIDDEN bool reconnectLocked();
    ZORV_HIDDEN void ensureConnectedLocked();

    std::unique_ptr<DBus::BusDispatcher> dispatcher_;
    std::shared_ptr<DBus::Connection> connection_;      // handed to callers of getConnection
    std::shared_ptr<DBus::Connection> callConnection_;  // same bus link, used by the library's calls
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;
    std::mutex drainMutex_;

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
// @@utilities-b@@

#endif  // ZORV_LABELMGR_HPP
