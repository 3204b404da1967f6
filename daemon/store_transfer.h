// Export and import of everything the service holds, as one JSON document:
// user-set records of the five attributes, packages with their identifiers
// and files, devices and kernel modules. The audit trail is not part of it.
// An export is written in one fixed order (devices and modules by name,
// packages by identifier, files and records by path), so that exporting,
// importing elsewhere and exporting again gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "descriptor_io.h"
#include "store.h"

namespace zorvd {

// How many of each kind a document holds: "devices", "files", "modules",
// "packages", "records".
using TransferCounts = std::map<std::string, uint64_t>;

// Writes the document, read in one snapshot of `records`.
TransferCounts exportStore(Store& records, DescriptorWriter& out);

// The largest document an import reads (readAll's limit for it).
constexpr std::size_t kMaxImportBytes = std::size_t(2) << 30;

// Reads `document` into `writer`, within the caller's transaction. Throws
// CallError: InvalidArgs for a document that is not an export of this
// version or holds an invalid value, Failed when the store holds records
// already. The document is read as it is parsed, element by element: no
// value in it is ever built whole but those of one element (scalars), and
// what the format has no place for is refused as soon as it is met, so that
// its cost beyond the document itself is bounded by its largest element (and
// the files of a package that come before the package's identifier). Error
// texts name a place in the document (as "packages[3].files[17]"), never
// quote its bytes.
TransferCounts importStore(Store& writer, const std::string& document);

}  // namespace zorvd
