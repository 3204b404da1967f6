// Service client of libzorvlabelmgr: the process's system-bus connection and
// the typed calls to the label manager service. The calls with C linkage are
// in <zorv/labelmgr.h>, the dbus-c++ proxy of the service in <zorv/proxy.hpp>.
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

    // The library's own calls; not exported.
    ZORV_HIDDEN DBus::Message call(DBus::Message& message, int timeoutMs);

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

// Resolves a policy description, names grouped by category, into identifiers
// through the service, and adds them to `ids` under the same categories and
// names (appending to what is there). Names under "subject_pkg" and
// "object_pkg" get one identifier per package id the service gives, under
// "subject_recurfile" and "object_recurfile" one per path id; every other name
// gets one identifier. 0 on success, -1 on any failure (logged; `ids` is then
// unchanged unless memory ran out while it was filled).
ZORV_API int policies_parse(const std::map<std::string, std::vector<std::string>>& policies,
                            std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>& ids);

#endif  // ZORV_CLIENT_HPP
