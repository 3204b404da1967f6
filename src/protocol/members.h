// The D-Bus protocol of the label manager service: every method with its in-
// and out-signature and the time a call of it may take. The client and the
// stand-in service used by the tests both read this one table; the client
// names each member through its entry (protocol::getFileTid), and its call
// frame checks at compile time that the C++ types it sends and reads give the
// entry's signatures.
#pragma once

#include <cstddef>
#include <cstring>

#include "protocol/service_names.h"

namespace zorv {
namespace protocol {

constexpr int kCallTimeoutMs = 5000;
constexpr int kBulkTimeoutMs = 100000;
constexpr int kFullSystemTimeoutMs = 360000;

struct Member {
    const char* name;
    const char* in;   // in-arguments, D-Bus signature
    const char* out;  // out-arguments, D-Bus signature
    int timeoutMs;    // how long one call may wait for its reply
};

// The table: METHOD(member, in, out, timeout). The member name is written
// once, as the entry's identifier.
#define ZORV_PROTOCOL_METHODS(METHOD)                                      \
    /* Package identifier of a path. */                                    \
    METHOD(getPkgId, "s", "t", kCallTimeoutMs)                             \
    METHOD(setPkgId, "st", "i", kCallTimeoutMs)                            \
    METHOD(delUserSetPkgId, "s", "i", kCallTimeoutMs)                      \
    METHOD(delAllUserSetPkgId, "", "i", kCallTimeoutMs)                    \
    METHOD(showUserSetPkgId, "", "a{st}", kCallTimeoutMs)                  \
    METHOD(queryUserSetPkgId, "s", "a{st}", kCallTimeoutMs)                \
    /* Object identifier. */                                               \
    METHOD(getFileOid, "s", "a{st}", kCallTimeoutMs)                       \
    METHOD(setFileOid, "sa{st}i", "i", kCallTimeoutMs)                     \
    METHOD(delUserSetFileOid, "si", "i", kCallTimeoutMs)                   \
    METHOD(delAllUserSetFileOid, "", "i", kCallTimeoutMs)                  \
    METHOD(showUserSetFileOid, "", "a{sa{st}}", kCallTimeoutMs)            \
    METHOD(queryUserSetFileOid, "si", "a{sa{st}}", kCallTimeoutMs)         \
    /* Subject identifier. */                                              \
    METHOD(getFileSid, "s", "a{st}", kCallTimeoutMs)                       \
    METHOD(setFileSid, "sa{st}i", "i", kCallTimeoutMs)                     \
    METHOD(delUserSetFileSid, "si", "i", kCallTimeoutMs)                   \
    METHOD(delAllUserSetFileSid, "", "i", kCallTimeoutMs)                  \
    METHOD(showUserSetFileSid, "", "a{sa{st}}", kCallTimeoutMs)            \
    METHOD(queryUserSetFileSid, "si", "a{sa{st}}", kCallTimeoutMs)         \
    /* Type identifier. */                                                 \
    METHOD(getFileTid, "s", "u", kCallTimeoutMs)                           \
    METHOD(setFileTid, "sui", "i", kCallTimeoutMs)                         \
    METHOD(delUserSetFileTid, "si", "i", kCallTimeoutMs)                   \
    METHOD(delAllUserSetFileTid, "", "i", kCallTimeoutMs)                  \
    METHOD(showUserSetFileTid, "", "a{su}", kCallTimeoutMs)                \
    METHOD(queryUserSetFileTid, "si", "a{su}", kCallTimeoutMs)             \
    /* Inherit flag. */                                                    \
    METHOD(getFileInheritFlag, "s", "u", kCallTimeoutMs)                   \
    METHOD(setFileInheritFlag, "sui", "i", kCallTimeoutMs)                 \
    METHOD(delUserSetFileInheritFlag, "si", "i", kCallTimeoutMs)           \
    METHOD(delAllUserSetFileInheritFlag, "", "i", kCallTimeoutMs)          \
    METHOD(showUserSetFileInheritFlag, "", "a{su}", kCallTimeoutMs)        \
    METHOD(queryUserSetFileInheritFlag, "si", "a{su}", kCallTimeoutMs)     \
    /* Lookups and maintenance. */                                         \
    METHOD(getDeviceOid, "s", "t", kCallTimeoutMs)                         \
    METHOD(getDeviceOids, "as", "a{st}", kCallTimeoutMs)                   \
    METHOD(getKernelModuleOid, "s", "t", kCallTimeoutMs)                   \
    METHOD(getKernelModuleOids, "as", "a{st}", kCallTimeoutMs)             \
    METHOD(addTagFullSystem, "sas", "i", kFullSystemTimeoutMs)             \
    METHOD(getPathSm3HashValue, "s", "s", kCallTimeoutMs)                  \
    METHOD(restoreSingleFileLabel, "s", "s", kCallTimeoutMs)               \
    METHOD(restoreSingleFileInitLabel, "s", "s", kCallTimeoutMs)           \
    METHOD(getLabelSetStatus, "", "i", kCallTimeoutMs)                     \
    METHOD(pathNormalize, "s", "s", kCallTimeoutMs)                        \
    METHOD(getPkgNameById, "t", "s", kCallTimeoutMs)                       \
    METHOD(getPkgIds, "as", "ati", kCallTimeoutMs)                         \
    /* Bulk labelling and policies. */                                     \
    METHOD(setLabelForPkg, "assu", "i", kBulkTimeoutMs)                    \
    METHOD(setLabelForLunvexInterpreter, "s", "i", kBulkTimeoutMs)         \
    METHOD(setLabelForDrovaInterpreter, "s", "i", kBulkTimeoutMs)          \
    METHOD(setLabelForDrovaBaseFiles, "a{ss}", "i", kBulkTimeoutMs)        \
    METHOD(policies_parse, "a{sas}", "a{sa{sa{st}}}", kBulkTimeoutMs)

// One named entry per method: protocol::getFileTid and so on.
#define ZORV_PROTOCOL_ENTRY(member, in, out, timeout) inline constexpr Member member{#member, in, out, timeout};
ZORV_PROTOCOL_METHODS(ZORV_PROTOCOL_ENTRY)
#undef ZORV_PROTOCOL_ENTRY

// All of them, for those that serve or list the whole interface.
#define ZORV_PROTOCOL_LISTED(member, in, out, timeout) &member,
inline constexpr const Member* kMembers[] = {ZORV_PROTOCOL_METHODS(ZORV_PROTOCOL_LISTED)};
#undef ZORV_PROTOCOL_LISTED
#undef ZORV_PROTOCOL_METHODS

constexpr std::size_t kMemberCount = sizeof kMembers / sizeof kMembers[0];
static_assert(kMemberCount == 47, "the service interface has 47 methods");

// The service's administration interface, root only: what the interface above
// cannot carry. The library does not call it; the tool does.
//   History(path, since, afterId, limit): audit entries (id, time in
//   microseconds since the epoch, uid, pid, member, subject, old value, new
//   value, result), oldest first, after the entry afterId, not older than
//   since, at most limit of them; with a path, those naming it or a path
//   below it.
//   Packages(afterId, limit): the recorded packages (id, name, type, number
//   of files) with an id above afterId, in id order, at most limit of them.
//   PackageFiles(name, after, limit): the files recorded for the package,
//   those after the path `after` in byte order, at most limit of them.
//   Export(fd): writes every record the service holds (user-set records,
//   packages with their files, devices, kernel modules; not the audit trail)
//   as one JSON document into the file behind fd; answers counts by kind
//   ("devices", "files", "modules", "packages", "records").
//   Import(fd): reads such a document from fd into a service that holds no
//   record yet, in one transaction; answers the same counts.
//   Backup(fd): copies the database, as it stands, into the regular file
//   behind fd; answers its size in bytes.
//   Records(kind, path, fd): writes the user-set records of one attribute
//   ("pkgid", "oid", "sid", "tid" or "inherit"), of every path ("") or of
//   path and every path below it, into the file behind fd in byte order of
//   their paths, one a line: the path, a NUL, the value in decimal (an
//   identifier's three numbers separated by spaces), a newline; answers how
//   many. The show and query members answer the same records in one reply,
//   which the bus limits to 32 MiB.
//   Relabel(paths, flags, index, after): the label its records give each
//   path (flag 1: and every file below it, links not followed) compared with
//   its security.zorv and, with flag 2, written where it differs (flag 4: the
//   initial label; flag 8: also report each file written). Works for about a
//   second, from the path paths[index] on, past `after` (the last path done,
//   "" at first); answers the files that differ or failed (path, label of
//   the records, label found, problem), where to go on (index, after; index
//   equals the number of paths when all are done), and counts ("changed",
//   "checked", "failed", "unrecorded").
#define ZORV_ADMIN_METHODS(METHOD)                                         \
    METHOD(History, "sttu", "a(ttuusssss)", kCallTimeoutMs)                \
    METHOD(Packages, "tu", "a(tsuu)", kCallTimeoutMs)                      \
    METHOD(PackageFiles, "ssu", "as", kCallTimeoutMs)                      \
    METHOD(Export, "h", "a{st}", kBulkTimeoutMs)                           \
    METHOD(Import, "h", "a{st}", kBulkTimeoutMs)                           \
    METHOD(Backup, "h", "t", kBulkTimeoutMs)                               \
    METHOD(Records, "ssh", "t", kBulkTimeoutMs)                            \
    METHOD(Relabel, "asuus", "a(ssss)usa{st}", kBulkTimeoutMs)

namespace admin {
#define ZORV_PROTOCOL_ENTRY(member, in, out, timeout) inline constexpr Member member{#member, in, out, timeout};
ZORV_ADMIN_METHODS(ZORV_PROTOCOL_ENTRY)
#undef ZORV_PROTOCOL_ENTRY
#define ZORV_PROTOCOL_LISTED(member, in, out, timeout) &member,
inline constexpr const Member* kMembers[] = {ZORV_ADMIN_METHODS(ZORV_PROTOCOL_LISTED)};
#undef ZORV_PROTOCOL_LISTED
}  // namespace admin
#undef ZORV_ADMIN_METHODS

// The entry for `name`, or null when the service has no such method.
inline const Member* findMember(const char* name) {
    for (const Member* m : kMembers)
        if (std::strcmp(m->name, name) == 0) return m;
    return nullptr;
}

}  // namespace protocol
}  // namespace zorv
