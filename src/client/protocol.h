// The D-Bus protocol of the label manager service: where it lives, how long a
// call may take, and every method with its in- and out-signature. The client
// and the stand-in service used by the tests both read this one table.
#pragma once

#include <cstddef>
#include <cstring>

namespace zorv {
namespace protocol {

constexpr const char* kServiceName = "com.nimbo.zorv.labelmgr";
constexpr const char* kInterface = "com.nimbo.zorv.labelmgr";
constexpr const char* kObjectPath = "/org/freedesktop/DBus/nimbo/zorv/labelmgr";

constexpr int kCallTimeoutMs = 5000;
constexpr int kBulkTimeoutMs = 100000;
constexpr int kFullSystemTimeoutMs = 360000;

struct Member {
    const char* name;
    const char* in;   // in-arguments, D-Bus signature
    const char* out;  // out-arguments, D-Bus signature
};

constexpr Member kMembers[] = {
    // Package identifier of a path.
    {"getPkgId", "s", "t"},
    {"setPkgId", "st", "i"},
    {"delUserSetPkgId", "s", "i"},
    {"delAllUserSetPkgId", "", "i"},
    {"showUserSetPkgId", "", "a{st}"},
    {"queryUserSetPkgId", "s", "a{st}"},
    // Object identifier.
    {"getFileOid", "s", "a{st}"},
    {"setFileOid", "sa{st}i", "i"},
    {"delUserSetFileOid", "si", "i"},
    {"delAllUserSetFileOid", "", "i"},
    {"showUserSetFileOid", "", "a{sa{st}}"},
    {"queryUserSetFileOid", "si", "a{sa{st}}"},
    // Subject identifier.
    {"getFileSid", "s", "a{st}"},
    {"setFileSid", "sa{st}i", "i"},
    {"delUserSetFileSid", "si", "i"},
    {"delAllUserSetFileSid", "", "i"},
    {"showUserSetFileSid", "", "a{sa{st}}"},
    {"queryUserSetFileSid", "si", "a{sa{st}}"},
    // Type identifier.
    {"getFileTid", "s", "u"},
    {"setFileTid", "sui", "i"},
    {"delUserSetFileTid", "si", "i"},
    {"delAllUserSetFileTid", "", "i"},
    {"showUserSetFileTid", "", "a{su}"},
    {"queryUserSetFileTid", "si", "a{su}"},
    // Inherit flag.
    {"getFileInheritFlag", "s", "u"},
    {"setFileInheritFlag", "sui", "i"},
    {"delUserSetFileInheritFlag", "si", "i"},
    {"delAllUserSetFileInheritFlag", "", "i"},
    {"showUserSetFileInheritFlag", "", "a{su}"},
    {"queryUserSetFileInheritFlag", "si", "a{su}"},
    // Lookups and maintenance.
    {"getDeviceOid", "s", "t"},
    {"getDeviceOids", "as", "a{st}"},
    {"getKernelModuleOid", "s", "t"},
    {"getKernelModuleOids", "as", "a{st}"},
    {"addTagFullSystem", "sas", "i"},
    {"getPathSm3HashValue", "s", "s"},
    {"restoreSingleFileLabel", "s", "s"},
    {"restoreSingleFileInitLabel", "s", "s"},
    {"getLabelSetStatus", "", "i"},
    {"pathNormalize", "s", "s"},
    {"getPkgNameById", "t", "s"},
    {"getPkgIds", "as", "ati"},
    // Bulk labelling and policies.
    {"setLabelForPkg", "assu", "i"},
    {"setLabelForLunvexInterpreter", "s", "i"},
    {"setLabelForDrovaInterpreter", "s", "i"},
    {"setLabelForDrovaBaseFiles", "a{ss}", "i"},
    {"policies_parse", "a{sas}", "a{sa{sa{st}}}"},
};

constexpr std::size_t kMemberCount = sizeof kMembers / sizeof kMembers[0];
static_assert(kMemberCount == 47, "the service interface has 47 methods");

// The entry for `name`, or null when the service has no such method.
inline const Member* findMember(const char* name) {
    for (const Member& m : kMembers)
        if (std::strcmp(m.name, name) == 0) return &m;
    return nullptr;
}

}  // namespace protocol
}  // namespace zorv
