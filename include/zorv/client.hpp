/// @file
/// Service client of libzorvlabelmgr: the process's system-bus connection and
/// the typed calls to the label manager service. The calls with C linkage are
/// in <zorv/labelmgr.h>, the dbus-c++ proxy of the service in <zorv/proxy.hpp>.
/// Every call here may be made from any thread at any time.
#ifndef ZORV_CLIENT_HPP
#define ZORV_CLIENT_HPP

#include <zorv/export.h>
#include <zorv/labelmgr.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace DBus {
class Connection;
class BusDispatcher;
class Message;
}

/// Owner of the process's system-bus connections: one manager per process,
/// created on first use and never destroyed by the library.
class ZORV_API DBusConnectionManager {
public:
    /// The process's manager, created (and the bus opened) by the first call.
    /// Thread-safe.
    static DBusConnectionManager* getInstance();

    /// The connection handed to callers (the library's own calls use others),
    /// with its call timeout set to 5000 ms and the messages that nobody
    /// consumed dispatched. Throws std::runtime_error("DBus service
    /// unavailable") when the bus cannot be reached. A connection that the bus
    /// has closed (a bus restart) is replaced first; the replaced one is closed
    /// but stays a valid object, so a reference taken earlier never dangles.
    /// Thread-safe to call; the connection itself is dbus-c++'s, one for all
    /// callers, whose calls the caller serialises.
    DBus::Connection& getConnection();
    /// Whether the bus is open: false once the bus closed the connection (the
    /// next call opens a new one). Thread-safe.
    bool isConnected() const;
    /// Opens a new connection to the bus for the calls that follow; calls in
    /// flight finish on theirs. @return true when the bus could be reached
    /// (logged otherwise). Thread-safe.
    bool reconnect();
    /// Closes every connection. The library never destroys its manager;
    /// destroying it is for a process that is ending.
    ~DBusConnectionManager();

    DBusConnectionManager(const DBusConnectionManager&) = delete;
    DBusConnectionManager& operator=(const DBusConnectionManager&) = delete;

    /// @cond internal
    // The library's own calls; not exported.
    ZORV_HIDDEN DBus::Message call(DBus::Message& message, int timeoutMs);
    /// @endcond

private:
    // The connection pool of the library's own calls. Callers never touch it,
    // but the members stay here: the class's size is part of the library's ABI.
    class ZORV_HIDDEN Link;

    DBusConnectionManager();
    ZORV_HIDDEN std::unique_ptr<Link> openLink(unsigned epoch);
    ZORV_HIDDEN void retireHandleLocked();
    ZORV_HIDDEN std::unique_ptr<Link> takeLink(bool longCall);
    ZORV_HIDDEN void giveBack(std::unique_ptr<Link> link, bool longCall);

    std::unique_ptr<DBus::BusDispatcher> dispatcher_;
    std::unique_ptr<Link> connection_;
    std::vector<std::unique_ptr<Link>> retired_;
    std::vector<std::unique_ptr<Link>> idle_;
    unsigned lent_ = 0;
    unsigned longLent_ = 0;
    unsigned epoch_ = 0;
    std::atomic<bool> connected_{false};
    mutable std::mutex mutex_;
    std::condition_variable linkReturned_;

    static DBusConnectionManager* instance_;
    static std::once_flag init_flag_;
};

// Lookups and maintenance calls of the service (the C ones are in
// labelmgr.h).

/// The oid of the device `device` (a name such as "sda") as registered with
/// the service.
/// @return 0 with it in `*oid`; -1 for a null argument, or when the device is
/// not registered (`*oid` then holds all ones); -2 when the call failed.
/// Thread-safe.
ZORV_API int getDeviceOid(const char* device, unsigned long* oid);
/// The oid of the kernel module `module` as registered with the service.
/// Results as getDeviceOid(). Thread-safe.
ZORV_API int getKernelModuleOid(const char* module, unsigned long* oid);
/// The oids of several devices: adds an entry {oid, 0, 0} to `oids` for each
/// name the service knows, overwriting an entry of the same name and keeping
/// the others.
/// @return 0 (also when none is known); -2 when the call failed (`oids`
/// unchanged). Thread-safe.
ZORV_API int getDeviceOids(std::vector<std::string> devices, std::map<std::string, ZORV_ID>& oids);
/// The oids of several kernel modules, as getDeviceOids(). Thread-safe.
ZORV_API int getKernelModuleOids(std::vector<std::string> modules, std::map<std::string, ZORV_ID>& oids);
/// Registers devices (`tag` "device") or kernel modules (`tag` "kmod") with
/// the service (root only); a registered name keeps its oid. The result is
/// only logged: check with getDeviceOids() or getKernelModuleOids(). May take
/// up to 360 s. Thread-safe.
ZORV_API void addTagFullSystem(const char* tag, std::vector<std::string> list);
/// The service's SM3 digest of the normal form of `path`, 64 lower-case hex
/// digits; "" for a null or invalid path or when the call failed. Thread-safe.
ZORV_API std::string getPathSm3HashValue(const char* path);
/// Has the service write the label its records give `path` into the file's
/// `security.zorv` (root only). @return the label's text form; "" when no
/// record gives one, the label cannot be written, or the call failed.
/// Thread-safe.
ZORV_API std::string restoreSingleFileLabel(const std::string& path);
/// As restoreSingleFileLabel(), with the initial label: the package's,
/// without the values users set. Thread-safe.
ZORV_API std::string restoreSingleFileInitLabel(const std::string& path);

/// Resolves a policy description, names grouped by category, into identifiers
/// through the service, and adds them to `ids` under the same categories and
/// names (appending to what is there). Names under "subject_pkg" and
/// "object_pkg" get one identifier per package id the service gives, under
/// "subject_recurfile" and "object_recurfile" one per path id; every other name
/// gets one identifier. May take up to 100 s.
/// @return 0 on success; -1 on any failure (logged; `ids` is then unchanged
/// unless memory ran out while it was filled). Thread-safe.
ZORV_API int policies_parse(const std::map<std::string, std::vector<std::string>>& policies,
                            std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>& ids);

#endif  // ZORV_CLIENT_HPP
