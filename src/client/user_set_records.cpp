// The user-set record queries: every record of one attribute, or the records
// that answer a query for one path, handed to the caller as one array from the
// C heap, in byte order of their paths. One pattern serves all ten: the shape
// of the reply (path to a package identifier, a Tid or flag, or an identifier
// dictionary) decides how a record is filled.
#include <zorv/labelmgr.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "client/call_helpers.h"
#include "util/bounded_copy.h"

static_assert(sizeof(UserSetRecord) == 4120 && offsetof(UserSetRecord, id) == 4096,
              "UserSetRecord is a path of 4096 bytes followed by a ZORV_ID");

namespace {

namespace protocol = zorv::protocol;
using zorv::Call;
using zorv::IdentifierMap;
using Member = zorv::protocol::Member;

// A single value (package identifier, Tid, inherit flag) goes to id.pkg_id.
void fillRecord(ZORV_ID& id, uint64_t value) { id.pkg_id = value; }
void fillRecord(ZORV_ID& id, const IdentifierMap& fields) { zorv::fillIdentifier(id, fields); }

// Sends `M` and hands its reply (path -> Value) to the caller as records. The
// reply is read whole before anything is allocated, so a failed or malformed
// reply leaves nothing behind; the array is zero-filled, so fields that a
// reply does not carry read 0.
template <const Member& M, typename Value, typename... In>
int readRecords(const char* function, UserSetRecord** records, const In&... in) {
    return zorv::guarded(function, -2, [&] {
        std::map<std::string, Value> reply;
        Call<M>(in...).invoke(reply);
        if (reply.empty()) return 0;
        auto* array = static_cast<UserSetRecord*>(std::calloc(reply.size(), sizeof(UserSetRecord)));
        if (array == nullptr) return -3;
        UserSetRecord* record = array;
        for (const auto& [path, value] : reply) {
            // A path too long for the field leaves it empty; the record still counts.
            zorv::copyBounded(record->path, sizeof record->path, path.data(), path.size());
            fillRecord(record->id, value);
            ++record;
        }
        *records = array;
        return static_cast<int>(reply.size());
    });
}

template <const Member& M, typename Value>
int showRecords(const char* function, UserSetRecord** records) {
    if (records == nullptr) return -1;
    return readRecords<M, Value>(function, records);
}

template <const Member& M, typename Value>
int queryRecords(const char* function, const char* path, UserSetRecord** records, int option) {
    if (records == nullptr || zorv::refusePath(function, path)) return -1;
    return readRecords<M, Value>(function, records, std::string(path), option);
}

}  // namespace

extern "C" {

int showUserSetPkgId(UserSetRecord** records) {
    return showRecords<protocol::showUserSetPkgId, uint64_t>(__func__, records);
}

int queryUserSetPkgId(const char* path, unsigned long* pkgId) {
    if (pkgId == nullptr || zorv::refusePath(__func__, path)) return -1;
    return zorv::guarded(__func__, -2, [&] {
        std::map<std::string, uint64_t> reply;
        Call<protocol::queryUserSetPkgId>(std::string(path)).invoke(reply);
        if (reply.empty()) return 1;  // no record
        auto found = reply.find(path);
        *pkgId = found == reply.end() ? 0 : found->second;
        return 0;
    });
}

int showUserSetFileOid(UserSetRecord** records) {
    return showRecords<protocol::showUserSetFileOid, IdentifierMap>(__func__, records);
}
int queryUserSetFileOid(const char* path, UserSetRecord** records, int option) {
    return queryRecords<protocol::queryUserSetFileOid, IdentifierMap>(__func__, path, records, option);
}

int showUserSetFileSid(UserSetRecord** records) {
    return showRecords<protocol::showUserSetFileSid, IdentifierMap>(__func__, records);
}
int queryUserSetFileSid(const char* path, UserSetRecord** records, int option) {
    return queryRecords<protocol::queryUserSetFileSid, IdentifierMap>(__func__, path, records, option);
}

int showUserSetFileTid(UserSetRecord** records) {
    return showRecords<protocol::showUserSetFileTid, uint32_t>(__func__, records);
}
int queryUserSetFileTid(const char* path, UserSetRecord** records, int option) {
    return queryRecords<protocol::queryUserSetFileTid, uint32_t>(__func__, path, records, option);
}

int showUserSetFileInheritFlag(UserSetRecord** records) {
    return showRecords<protocol::showUserSetFileInheritFlag, uint32_t>(__func__, records);
}
int queryUserSetFileInheritFlag(const char* path, UserSetRecord** records, int option) {
    return queryRecords<protocol::queryUserSetFileInheritFlag, uint32_t>(__func__, path, records, option);
}

}  // extern "C"
