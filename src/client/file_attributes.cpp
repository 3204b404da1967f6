// The per-file attribute calls: package identifier, Oid, Sid, Tid and inherit
// flag of a path, each read, set, deleted and cleared with one service call.
#include <zorv/labelmgr.h>

#include <cstdint>
#include <map>
#include <string>

#include "client/service_call.h"

namespace {

using zorv::ServiceCall;
using zorv::guarded;

// How an int32 status reply becomes the call's result.
enum class ReplyRule {
    AllOnes,  // -1 is the failure value, anything else success
    NonZero,  // 0 is success, anything else failure
};

int statusFrom(ReplyRule rule, int32_t reply) {
    if (rule == ReplyRule::AllOnes) return reply == -1 ? -1 : 0;
    return reply == 0 ? 0 : -1;
}

// A call without a path whose reply is one int32 status.
template <typename... In>
int statusCall(const char* function, const char* member, ReplyRule rule, const In&... in) {
    return guarded(function, -2, [&] {
        int32_t reply = 0;
        ServiceCall(member).with(in...).invoke(reply);
        return statusFrom(rule, reply);
    });
}

// A missing path is refused silently, one that libdbus would choke on with a
// log line; neither reaches the bus.
bool refusePath(const char* function, const char* path) {
    return path == nullptr || !zorv::acceptString(function, "path", path);
}

// A call on one path whose reply is one int32 status.
template <typename... In>
int pathCall(const char* function, const char* member, ReplyRule rule, const char* path, const In&... in) {
    if (refusePath(function, path)) return -1;
    return statusCall(function, member, rule, std::string(path), in...);
}

// Reads one unsigned value; it is stored before it is tested, so a failure
// reply leaves the all-ones value behind.
template <typename T>
int valueGetter(const char* function, const char* member, const char* path, T* out) {
    if (out == nullptr || refusePath(function, path)) return -1;
    return guarded(function, -2, [&] {
        T reply = 0;
        ServiceCall(member).with(std::string(path)).invoke(reply);
        *out = reply;
        return reply == static_cast<T>(~T(0)) ? -1 : 0;
    });
}

using IdentifierMap = std::map<std::string, uint64_t>;

IdentifierMap toMap(const ZORV_ID& id) {
    return {{"pkg_id", id.pkg_id}, {"file_id", id.file_id}, {"path_id", id.path_id}};
}

// Reads an identifier dictionary: absent keys count as 0, other keys are
// ignored, and all three fields all-ones is the failure value.
int identifierGetter(const char* function, const char* member, const char* path, ZORV_ID* id) {
    if (id == nullptr || refusePath(function, path)) return -1;
    *id = ZORV_ID{0, 0, 0};
    return guarded(function, -2, [&] {
        IdentifierMap reply;
        ServiceCall(member).with(std::string(path)).invoke(reply);
        auto field = [&reply](const char* key) {
            auto it = reply.find(key);
            return it == reply.end() ? uint64_t(0) : it->second;
        };
        ZORV_ID read{field("pkg_id"), field("file_id"), field("path_id")};
        if (read.pkg_id == UINT64_MAX && read.file_id == UINT64_MAX && read.path_id == UINT64_MAX) return -1;
        *id = read;
        return 0;
    });
}

}  // namespace

extern "C" {

int getPkgId(const char* path, unsigned long* pkgId) { return valueGetter(__func__, "getPkgId", path, pkgId); }
int setPkgId(const char* path, unsigned long pkgId) {
    return pathCall(__func__, "setPkgId", ReplyRule::NonZero, path, pkgId);
}
int delUserSetPkgId(const char* path) { return pathCall(__func__, "delUserSetPkgId", ReplyRule::NonZero, path); }
int clearUserSetPkgId(void) { return statusCall(__func__, "delAllUserSetPkgId", ReplyRule::NonZero); }

int getFileOid(const char* path, ZORV_ID* id) { return identifierGetter(__func__, "getFileOid", path, id); }
int setFileOid(const char* path, ZORV_ID id, int option) {
    return pathCall(__func__, "setFileOid", ReplyRule::AllOnes, path, toMap(id), option);
}
int delFileOid(const char* path, int option) {
    return pathCall(__func__, "delUserSetFileOid", ReplyRule::AllOnes, path, option);
}
int clearFileOid(void) { return statusCall(__func__, "delAllUserSetFileOid", ReplyRule::AllOnes); }

int getFileSid(const char* path, ZORV_ID* id) { return identifierGetter(__func__, "getFileSid", path, id); }
int setFileSid(const char* path, ZORV_ID id, int option) {
    return pathCall(__func__, "setFileSid", ReplyRule::AllOnes, path, toMap(id), option);
}
int delFileSid(const char* path, int option) {
    return pathCall(__func__, "delUserSetFileSid", ReplyRule::AllOnes, path, option);
}
int clearFileSid(void) { return statusCall(__func__, "delAllUserSetFileSid", ReplyRule::AllOnes); }

int getFileTid(const char* path, unsigned int* tid) { return valueGetter(__func__, "getFileTid", path, tid); }
int setFileTid(const char* path, unsigned int tid, int option) {
    if (tid == 0) return -1;  // no file is ever given type 0
    return pathCall(__func__, "setFileTid", ReplyRule::AllOnes, path, tid, option);
}
int delFileTid(const char* path, int option) {
    return pathCall(__func__, "delUserSetFileTid", ReplyRule::AllOnes, path, option);
}
int clearFileTid(void) { return statusCall(__func__, "delAllUserSetFileTid", ReplyRule::AllOnes); }

int getFileInheritFlag(const char* path, unsigned int* flag) {
    return valueGetter(__func__, "getFileInheritFlag", path, flag);
}
int setFileInheritFlag(const char* path, unsigned int flag, int option) {
    return pathCall(__func__, "setFileInheritFlag", ReplyRule::AllOnes, path, flag, option);
}
int delFileInheritFlag(const char* path, int option) {
    return pathCall(__func__, "delUserSetFileInheritFlag", ReplyRule::AllOnes, path, option);
}
int clearFileInheritFlag(void) { return statusCall(__func__, "delAllUserSetFileInheritFlag", ReplyRule::AllOnes); }

}  // extern "C"
