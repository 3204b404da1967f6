// The service's work on files' own labels: reading one as a caller could,
// and writing one without following a symbolic link anywhere on the path.
#pragma once

#include <zorv/labelmgr.hpp>

#include <optional>
#include <string>

#include "bus_credentials.h"
#include "util/file_descriptor.h"

namespace zorvd {

// The label stored in `path`'s security.zorv (not following a final link),
// if `caller` could reach the file itself: every directory of the path
// searched with the caller's identity. Otherwise, or without a label, none.
std::optional<Label> readOwnLabel(const std::string& path, const Caller& caller);

// Opens the file named by the normal path `path` for its attributes only,
// resolving no symbolic link in any of its directories; a final link is
// opened itself. Throws CallError when a directory is a link or the file is
// missing.
zorv::detail::FileDescriptor openWithoutLinks(const std::string& path);

// The path through which a descriptor of openWithoutLinks is read and
// written: the file it was opened on, whatever became of its name since.
std::string descriptorPath(const zorv::detail::FileDescriptor& fd);

}  // namespace zorvd
