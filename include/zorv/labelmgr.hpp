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
    ~ZMQSocket();
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
// A subscriber handle is a ZMQSocket of type SUB, owned by the caller.
// Throws std::runtime_error when libzmq cannot create the context or socket.
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
// @@utilities-a@@

// ---------------------------------------------------------------------------
// Utilities: strings, configuration, files, processes
// ---------------------------------------------------------------------------
// @@utilities-b@@

#endif  // ZORV_LABELMGR_HPP
