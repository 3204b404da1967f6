// The five attributes a path's records hold: its package id, Oid, Sid, Tid
// and inherit flag. For each: its family of six members (get, set, delete
// one, delete all, show, query), the kind of its value, the values that may
// be recorded, the topic of its notices and its name and key in the tool's
// and the documents' forms. The library, the service, the tool and the
// Python module read this one table, so that a change to an attribute is one
// edit here.
#pragma once

#include <cstdint>

#include "protocol/members.h"
#include "protocol/notifications.h"

namespace zorv {
namespace protocol {

// The attributes by number; the number is also what the store keeps.
enum class AttributeId { PkgId = 0, Oid = 1, Sid = 2, Tid = 3, InheritFlag = 4 };

// How a value travels: its D-Bus type code, 'd' for an identifier's
// dictionary of its three numbers.
enum class ValueKind : char { Number64 = 't', Number32 = 'u', Identifier = 'd' };

// The only inherit flags a label may carry: none, 5 or 7.
constexpr bool isInheritFlag(uint64_t flag) { return flag == 0 || flag == 5 || flag == 7; }

struct AttributeInfo {
    AttributeId id;
    const char* name;      // in the tool and as the section of an exported document
    const char* valueKey;  // the value's key in JSON forms
    const char* topic;     // of the notices its changes publish
    ValueKind kind;
    // The numbers a caller may record (all-ones is the replies' "none").
    uint64_t lowest;
    uint64_t highest;
    bool subtreeOption;  // whether delete and query take the int32 option
    const Member& get;
    const Member& set;
    const Member& del;
    const Member& delAll;
    const Member& show;
    const Member& query;
};

inline constexpr AttributeInfo kAttributes[] = {
    {AttributeId::PkgId, "pkgid", "pkg_id", topic::kPkgId, ValueKind::Number64, 0, UINT64_MAX - 1, false,
     getPkgId, setPkgId, delUserSetPkgId, delAllUserSetPkgId, showUserSetPkgId, queryUserSetPkgId},
    {AttributeId::Oid, "oid", "oid", topic::kOid, ValueKind::Identifier, 0, 0, true, getFileOid, setFileOid,
     delUserSetFileOid, delAllUserSetFileOid, showUserSetFileOid, queryUserSetFileOid},
    {AttributeId::Sid, "sid", "sid", topic::kSid, ValueKind::Identifier, 0, 0, true, getFileSid, setFileSid,
     delUserSetFileSid, delAllUserSetFileSid, showUserSetFileSid, queryUserSetFileSid},
    {AttributeId::Tid, "tid", "tid", topic::kTid, ValueKind::Number32, 1, UINT32_MAX - 1, true, getFileTid,
     setFileTid, delUserSetFileTid, delAllUserSetFileTid, showUserSetFileTid, queryUserSetFileTid},
    {AttributeId::InheritFlag, "inherit", "inherit", topic::kInheritFlag, ValueKind::Number32, 0, 7, true,
     getFileInheritFlag, setFileInheritFlag, delUserSetFileInheritFlag, delAllUserSetFileInheritFlag,
     showUserSetFileInheritFlag, queryUserSetFileInheritFlag},
};

constexpr const AttributeInfo& attributeInfo(AttributeId id) { return kAttributes[static_cast<int>(id)]; }

// Whether a number may be recorded for a numeric attribute.
constexpr bool acceptsNumber(const AttributeInfo& a, uint64_t value) {
    if (value < a.lowest || value > a.highest) return false;
    return a.id != AttributeId::InheritFlag || isInheritFlag(value);
}

// Whether an identifier may be recorded: every bit set is the replies' "none".
constexpr bool acceptsIdentifier(uint64_t pkg, uint64_t file, uint64_t path) {
    return !(pkg == UINT64_MAX && file == UINT64_MAX && path == UINT64_MAX);
}

static_assert(static_cast<int>(kAttributes[4].id) == 4, "the table is in the order of the attributes' numbers");

}  // namespace protocol
}  // namespace zorv
