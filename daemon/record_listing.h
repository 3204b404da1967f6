// Root's listing of one attribute's user-set records through a descriptor
// the caller passed: a reply carries at most 32 MiB, a store may hold far
// more. Each record is one line: the path (as the record replies send it),
// a NUL, the value, a newline. The value is a decimal number, or for an Oid
// or a Sid the identifier's three numbers separated by spaces. No path holds
// a NUL, and no value a newline, so that a reader splits records without
// quoting.
#pragma once

#include <cstdint>
#include <string>

#include "descriptor_io.h"
#include "store.h"

namespace zorvd {

// Writes the records of the attribute named `kind` ("pkgid", "oid", "sid",
// "tid" or "inherit", as the export names its lists) into `out`, in byte
// order of their paths: every record when `path` is empty, else those of
// `path` and of every path below it. Returns how many were written. Throws
// CallError: InvalidArgs for an unknown kind or a path that is not valid,
// Failed when the descriptor refuses the records or the deadline passes.
uint64_t listRecords(Store& records, const std::string& kind, const std::string& path, DescriptorWriter& out,
                     Deadline deadline);

}  // namespace zorvd
