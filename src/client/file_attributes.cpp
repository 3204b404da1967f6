// The per-file attribute calls: package identifier, Oid, Sid, Tid and inherit
// flag of a path, each read, set, deleted and cleared with one service call.
#include <zorv/labelmgr.h>

#include <cstdint>
#include <map>
#include <string>

#include "client/call_helpers.h"
#include "protocol/attributes.h"

// The interface passes package identifiers and device and module Oids, which
// are 64-bit values on the bus, as unsigned long: where that type is
// narrower (ILP32 targets such as armhf or i386) they would be cut without a
// word. The build refuses such targets when it is configured, too.
static_assert(sizeof(unsigned long) >= sizeof(std::uint64_t),
              "unsigned long is narrower than 64 bits on this target: package ids and Oids would be cut");

namespace {

namespace protocol = zorv::protocol;
using zorv::Call;
using zorv::guarded;
using zorv::IdentifierMap;
using zorv::refusePath;
using zorv::valueGetter;
using Member = zorv::protocol::Member;

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
template <const Member& M, typename... In>
int statusCall(const char* function, ReplyRule rule, const In&... in) {
    return guarded(function, -2, [&] {
        int32_t reply = 0;
        Call<M>(in...).invoke(reply);
        return statusFrom(rule, reply);
    });
}

// A call on one path whose reply is one int32 status.
template <const Member& M, typename... In>
int pathCall(const char* function, ReplyRule rule, const char* path, const In&... in) {
    if (refusePath(function, path)) return -1;
    return statusCall<M>(function, rule, std::string(path), in...);
}

IdentifierMap toMap(const ZORV_ID& id) {
    return {{protocol::kIdKeyPkg, id.pkg_id}, {protocol::kIdKeyFile, id.file_id}, {protocol::kIdKeyPath, id.path_id}};
}

// Reads an identifier dictionary: absent keys count as 0, other keys are
// ignored, and the one identifier no path may be given (all three fields
// all-ones) is the failure value.
template <const Member& M>
int identifierGetter(const char* function, const char* path, ZORV_ID* id) {
    if (id == nullptr || refusePath(function, path)) return -1;
    *id = ZORV_ID{0, 0, 0};
    return guarded(function, -2, [&] {
        IdentifierMap reply;
        Call<M>(std::string(path)).invoke(reply);
        ZORV_ID read{0, 0, 0};
        zorv::fillIdentifier(read, reply);
        if (!protocol::acceptsIdentifier(read.pkg_id, read.file_id, read.path_id)) return -1;
        *id = read;
        return 0;
    });
}

}  // namespace

extern "C" {

int getPkgId(const char* path, unsigned long* pkgId) { return valueGetter<protocol::getPkgId>(__func__, path, pkgId); }
int setPkgId(const char* path, unsigned long pkgId) {
    return pathCall<protocol::setPkgId>(__func__, ReplyRule::NonZero, path, pkgId);
}
int delUserSetPkgId(const char* path) { return pathCall<protocol::delUserSetPkgId>(__func__, ReplyRule::NonZero, path); }
int clearUserSetPkgId(void) { return statusCall<protocol::delAllUserSetPkgId>(__func__, ReplyRule::NonZero); }

int getFileOid(const char* path, ZORV_ID* id) { return identifierGetter<protocol::getFileOid>(__func__, path, id); }
int setFileOid(const char* path, ZORV_ID id, int option) {
    return pathCall<protocol::setFileOid>(__func__, ReplyRule::AllOnes, path, toMap(id), option);
}
int delFileOid(const char* path, int option) {
    return pathCall<protocol::delUserSetFileOid>(__func__, ReplyRule::AllOnes, path, option);
}
int clearFileOid(void) { return statusCall<protocol::delAllUserSetFileOid>(__func__, ReplyRule::AllOnes); }

int getFileSid(const char* path, ZORV_ID* id) { return identifierGetter<protocol::getFileSid>(__func__, path, id); }
int setFileSid(const char* path, ZORV_ID id, int option) {
    return pathCall<protocol::setFileSid>(__func__, ReplyRule::AllOnes, path, toMap(id), option);
}
int delFileSid(const char* path, int option) {
    return pathCall<protocol::delUserSetFileSid>(__func__, ReplyRule::AllOnes, path, option);
}
int clearFileSid(void) { return statusCall<protocol::delAllUserSetFileSid>(__func__, ReplyRule::AllOnes); }

int getFileTid(const char* path, unsigned int* tid) { return valueGetter<protocol::getFileTid>(__func__, path, tid); }
int setFileTid(const char* path, unsigned int tid, int option) {
    // No file is ever given type 0: a Tid below the lowest is refused unsent.
    if (tid < protocol::attributeInfo(protocol::AttributeId::Tid).lowest) return -1;
    return pathCall<protocol::setFileTid>(__func__, ReplyRule::AllOnes, path, tid, option);
}
int delFileTid(const char* path, int option) {
    return pathCall<protocol::delUserSetFileTid>(__func__, ReplyRule::AllOnes, path, option);
}
int clearFileTid(void) { return statusCall<protocol::delAllUserSetFileTid>(__func__, ReplyRule::AllOnes); }

int getFileInheritFlag(const char* path, unsigned int* flag) {
    return valueGetter<protocol::getFileInheritFlag>(__func__, path, flag);
}
int setFileInheritFlag(const char* path, unsigned int flag, int option) {
    return pathCall<protocol::setFileInheritFlag>(__func__, ReplyRule::AllOnes, path, flag, option);
}
int delFileInheritFlag(const char* path, int option) {
    return pathCall<protocol::delUserSetFileInheritFlag>(__func__, ReplyRule::AllOnes, path, option);
}
int clearFileInheritFlag(void) { return statusCall<protocol::delAllUserSetFileInheritFlag>(__func__, ReplyRule::AllOnes); }

}  // extern "C"
