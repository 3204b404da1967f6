#include "recorded_label.h"

#include "paths.h"

namespace zorvd {

namespace {

Id asLabelId(const ZORV_ID& id) { return Id(id.pkg_id, id.file_id, id.path_id); }

const std::optional<ZORV_ID>& value(const UserSetValues& values, Attribute a) {
    return values[static_cast<std::size_t>(a)];
}

}  // namespace

UserSetValues userSetValues(Store& records, const std::string& path) {
    UserSetValues values;
    for (Attribute a : {Attribute::PkgId, Attribute::Oid, Attribute::Sid, Attribute::Tid, Attribute::InheritFlag})
        values[static_cast<std::size_t>(a)] = records.userSet(a, path);
    return values;
}

std::optional<Label> recordedLabel(const std::string& path, const std::optional<PackageFile>& file,
                                   const UserSetValues& values) {
    bool any = file.has_value();
    for (const auto& v : values) any = any || v.has_value();
    if (!any) return std::nullopt;
    Label label;
    if (file) {
        label.oid_ = Id(file->pkgId, 0, pathId(path));
        label.sid_ = Id(file->pkgId, 0, 0);
        label.tid_ = file->type;
    }
    if (auto& v = value(values, Attribute::Oid)) label.oid_ = asLabelId(*v);
    if (auto& v = value(values, Attribute::PkgId)) label.oid_.pkg_id = v->pkg_id;
    if (auto& v = value(values, Attribute::Sid)) label.sid_ = asLabelId(*v);
    if (auto& v = value(values, Attribute::Tid)) label.tid_ = static_cast<uint32_t>(v->pkg_id);
    if (auto& v = value(values, Attribute::InheritFlag)) label.inheritFlag_ = static_cast<uint32_t>(v->pkg_id);
    return label;
}

}  // namespace zorvd
