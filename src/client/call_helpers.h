// Pieces that recur among the service calls: how caller arguments are vetted
// before anything reaches the bus, how an identifier dictionary is read, and
// the getter that stores its reply before testing it.
#pragma once

#include <zorv/labelmgr.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/service_call.h"
#include "log/log.h"
#include "protocol/arguments.h"

namespace zorv {

// A missing path is refused silently, one that libdbus would choke on with a
// log line; neither reaches the bus.
inline bool refusePath(const char* function, const char* path, const char* what = "path") {
    return path == nullptr || !acceptString(function, what, path);
}

// For calls whose every failure is logged: a missing string is too.
inline bool refuseText(const char* function, const char* what, const char* text) {
    if (text != nullptr) return !acceptString(function, what, text);
    ZLOG_ERROR_FOR(function, "Exception occurred: %s is null", what);
    return true;
}

// Every entry of a list must be fit for the bus, or none of it is sent.
inline bool refuseList(const char* function, const char* what, const std::vector<std::string>& list) {
    for (const std::string& entry : list)
        if (!acceptString(function, what, entry.c_str())) return true;
    return false;
}

// The wire form of a ZORV_ID.
using IdentifierMap = std::map<std::string, uint64_t>;

// Stores the fields that the dictionary holds; other keys are ignored and
// fields whose key is absent are left as they are.
inline void fillIdentifier(ZORV_ID& id, const IdentifierMap& fields) {
    for (const auto& [key, value] : fields) {
        if (key == protocol::kIdKeyPkg)
            id.pkg_id = value;
        else if (key == protocol::kIdKeyFile)
            id.file_id = value;
        else if (key == protocol::kIdKeyPath)
            id.path_id = value;
    }
}

// Reads one unsigned value for a name; it is stored before it is tested, so
// a failure reply leaves the all-ones value behind.
template <const protocol::Member& M, typename T>
int valueGetter(const char* function, const char* name, T* out, const char* what = "path") {
    if (out == nullptr || refusePath(function, name, what)) return -1;
    return guarded(function, -2, [&] {
        T reply = 0;
        Call<M>(std::string(name)).invoke(reply);
        *out = reply;
        return reply == static_cast<T>(~T(0)) ? -1 : 0;
    });
}

}  // namespace zorv
