#include "attribute_values.h"

#include "failure_replies.h"

namespace zorvd {

namespace protocol = zorv::protocol;
using protocol::ValueKind;

static_assert(static_cast<int>(Attribute::PkgId) == static_cast<int>(protocol::AttributeId::PkgId) &&
                  static_cast<int>(Attribute::Oid) == static_cast<int>(protocol::AttributeId::Oid) &&
                  static_cast<int>(Attribute::Sid) == static_cast<int>(protocol::AttributeId::Sid) &&
                  static_cast<int>(Attribute::Tid) == static_cast<int>(protocol::AttributeId::Tid) &&
                  static_cast<int>(Attribute::InheritFlag) == static_cast<int>(protocol::AttributeId::InheritFlag),
              "the store numbers the attributes as the protocol does");

namespace {

ZORV_ID asId(const Id& id) { return {id.pkg_id, id.file_id, id.path_id}; }

}  // namespace

ZORV_ID readValue(const AttributeInfo& a, Reader& in) {
    switch (a.kind) {
        case ValueKind::Number64: return {in.u64(), 0, 0};
        case ValueKind::Number32: return {in.u32(), 0, 0};
        case ValueKind::Identifier: break;
    }
    return in.id();
}

void writeValue(const AttributeInfo& a, Writer& out, const ZORV_ID& v) {
    switch (a.kind) {
        case ValueKind::Number64: return out.u64(v.pkg_id);
        case ValueKind::Number32: return out.u32(static_cast<uint32_t>(v.pkg_id));
        case ValueKind::Identifier: return out.id(v);
    }
}

std::string valueText(const AttributeInfo& a, const std::optional<ZORV_ID>& v) {
    if (!v) return "";
    if (a.kind != ValueKind::Identifier) return std::to_string(v->pkg_id);
    return Id(v->pkg_id, v->file_id, v->path_id).toString();
}

ZORV_ID failureValue(const AttributeInfo& a) {
    switch (a.kind) {
        case ValueKind::Number64: return {kAllOnes64, 0, 0};
        case ValueKind::Number32: return {kAllOnes32, 0, 0};
        case ValueKind::Identifier: break;
    }
    return {kAllOnes64, kAllOnes64, kAllOnes64};
}

void checkValue(const AttributeInfo& a, const ZORV_ID& v) {
    const bool ok = a.kind == ValueKind::Identifier ? protocol::acceptsIdentifier(v.pkg_id, v.file_id, v.path_id)
                                                     : protocol::acceptsNumber(a, v.pkg_id);
    if (!ok) throw CallError(DBUS_ERROR_INVALID_ARGS, std::string("not a valid value for ") + a.set.name);
}

std::optional<ZORV_ID> valueInLabel(const AttributeInfo& a, const Label& label) {
    switch (a.id) {
        case protocol::AttributeId::PkgId: return ZORV_ID{label.oid_.pkg_id, 0, 0};
        case protocol::AttributeId::Oid: return asId(label.oid_);
        case protocol::AttributeId::Sid: return asId(label.sid_);
        case protocol::AttributeId::Tid:
            return label.tid_ ? std::optional<ZORV_ID>(ZORV_ID{label.tid_, 0, 0}) : std::nullopt;
        case protocol::AttributeId::InheritFlag: return ZORV_ID{label.inheritFlag_, 0, 0};
    }
    return std::nullopt;
}

}  // namespace zorvd
