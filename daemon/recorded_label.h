// The label a path's records give it: its package record first, then the
// values users set over it. Shared by the single restore and the tree walk.
#pragma once

#include <zorv/labelmgr.hpp>

#include <array>
#include <optional>
#include <string>

#include "store.h"

namespace zorvd {

// The user-set values of one path, by Attribute.
using UserSetValues = std::array<std::optional<ZORV_ID>, 5>;

UserSetValues userSetValues(Store& records, const std::string& path);

// From the package record: OID (pkg, 0, path identifier), SID (pkg, 0, 0),
// Tid the package type; then Oid, PkgId, Sid, Tid and InheritFlag as set.
// None when neither kind of record names the path. Leave `values` empty for
// the initial label.
std::optional<Label> recordedLabel(const std::string& path, const std::optional<PackageFile>& file,
                                   const UserSetValues& values);

}  // namespace zorvd
