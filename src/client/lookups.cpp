// Lookups and maintenance calls: identifiers of devices, kernel modules and
// packages, package names, derived values of paths, the labelling status, and
// the two maintenance actions (restoring one file's label, tagging the whole
// system). Each is one service call.
#include <zorv/client.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "client/call_helpers.h"

namespace {

namespace protocol = zorv::protocol;
using zorv::Call;
using zorv::Failure;
using zorv::guarded;
using Member = zorv::protocol::Member;

// One oid by name; a found one is logged as 16 hexadecimal digits.
template <const Member& M>
int oidLookup(const char* function, const char* what, const char* name, unsigned long* oid) {
    int status = zorv::valueGetter<M>(function, name, oid, what);
    if (status == 0) ZLOG_INFO_FOR(function, "%s: %s, oid: %016lx", what, name, *oid);
    return status;
}

// Oids by a list of names, added to the caller's map once the whole reply is read.
template <const Member& M>
int oidsLookup(const char* function, const char* what, const std::vector<std::string>& names,
               std::map<std::string, ZORV_ID>& oids) {
    if (zorv::refuseList(function, what, names)) return -2;
    return guarded(function, -2, [&] {
        std::map<std::string, uint64_t> reply;
        Call<M>(names).invoke(reply);
        for (const auto& [name, oid] : reply) oids[name] = ZORV_ID{oid, 0, 0};
        return 0;
    });
}

// A call on one path whose reply is one string; "" on any failure.
template <const Member& M>
std::string textOfPath(const char* function, const char* path) {
    if (zorv::refuseText(function, "path", path)) return std::string();
    return guarded(function, std::string(), [&] {
        std::string text;
        Call<M>(std::string(path)).invoke(text);
        return text;
    });
}

// A copy on the C heap for a caller of the C interface.
char* heapCopy(const std::string& text) { return strdup(text.c_str()); }

}  // namespace

int getDeviceOid(const char* device, unsigned long* oid) {
    return oidLookup<protocol::getDeviceOid>(__func__, "device", device, oid);
}
int getKernelModuleOid(const char* module, unsigned long* oid) {
    return oidLookup<protocol::getKernelModuleOid>(__func__, "kernel module", module, oid);
}

int getDeviceOids(std::vector<std::string> devices, std::map<std::string, ZORV_ID>& oids) {
    return oidsLookup<protocol::getDeviceOids>(__func__, "device", devices, oids);
}
int getKernelModuleOids(std::vector<std::string> modules, std::map<std::string, ZORV_ID>& oids) {
    return oidsLookup<protocol::getKernelModuleOids>(__func__, "kernel module", modules, oids);
}

// Runs under its own long timeout (the table's entry); calls on other threads
// keep theirs.
void addTagFullSystem(const char* tag, std::vector<std::string> list) {
    if (zorv::refuseText(__func__, "tag", tag) || zorv::refuseList(__func__, "list entry", list)) return;
    guarded(__func__, 0, [&] {
        int32_t reply = 0;
        Call<protocol::addTagFullSystem>(std::string(tag), list).invoke(reply);
        ZLOG_INFO_FOR("addTagFullSystem", "addTagFullSystem ret: %u", static_cast<unsigned>(reply));
        return 0;
    });
}

std::string getPathSm3HashValue(const char* path) {
    return textOfPath<protocol::getPathSm3HashValue>(__func__, path);
}
std::string restoreSingleFileLabel(const std::string& path) {
    return textOfPath<protocol::restoreSingleFileLabel>(__func__, path.c_str());
}
std::string restoreSingleFileInitLabel(const std::string& path) {
    return textOfPath<protocol::restoreSingleFileInitLabel>(__func__, path.c_str());
}

extern "C" {

int getLabelSetStatus(void) {
    return guarded(__func__, -1, [] {
        int32_t status = 0;
        Call<protocol::getLabelSetStatus>().invoke(status);
        return static_cast<int>(status);
    });
}

char* pathNormalize(const char* path) {
    if (path == nullptr) {
        ZLOG_ERROR("Invalid path parameter");
        return nullptr;
    }
    if (!zorv::acceptString(__func__, "path", path)) return nullptr;
    Failure<char*> failure{nullptr, nullptr, true, "pathNormalize failed: "};
    return guarded(__func__, failure, [&] {
        std::string normal;
        Call<protocol::pathNormalize>(std::string(path)).invoke(normal);
        return heapCopy(normal);
    });
}

char* getPkgNameById(unsigned long pkgId) {
    if (pkgId == 0 || pkgId == UINT64_MAX) {
        ZLOG_ERROR("Invalid package ID: %lu", pkgId);
        return nullptr;
    }
    Failure<char*> failure{nullptr, nullptr, true, "error occurred: "};
    return guarded(__func__, failure, [&] {
        std::string name;
        Call<protocol::getPkgNameById>(pkgId).invoke(name);
        return heapCopy(name);
    });
}

// Writes at most `count` identifiers: the caller sized pkgIds for one per
// name sent.
int getPkgIds(const char** names, unsigned int count, unsigned long* pkgIds) {
    if (names == nullptr || pkgIds == nullptr) return -1;
    for (unsigned int i = 0; i < count; ++i)
        if (zorv::refusePath(__func__, names[i], "package name")) return -1;
    return guarded(__func__, -2, [&] {
        std::vector<std::string> list(names, names + count);
        std::vector<uint64_t> ids;
        int32_t unused = 0;
        Call<protocol::getPkgIds>(list).invoke(ids, unused);
        if (ids.size() > count)
            ZLOG_WARN_FOR("getPkgIds", "%zu package identifiers for %u names; the rest is dropped", ids.size(), count);
        size_t written = std::min<size_t>(ids.size(), count);
        std::copy_n(ids.begin(), written, pkgIds);
        return static_cast<int>(written);
    });
}

}  // extern "C"
