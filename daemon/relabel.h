// Relabelling and verifying many files in one call: for each path (and, with
// `recursive`, every file below it), the label its records give it compared
// with the one in its security.zorv and, when writing, written where they
// differ. Directories are walked through descriptors, each opened without
// following a link, so no link, in a directory of a path or below it, is
// ever followed; a link below a path gets a label of its own like any file.
// The walk visits files in byte order of their paths, the order the store
// keeps its records in, so that it reads each table once, alongside. It
// holds a small, fixed number of directory descriptors however deep the
// tree: those it gives up are opened again by name when it comes back, and
// a directory found replaced then is a failure of that directory.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "store.h"

namespace zorvd {

struct RelabelRequest {
    std::vector<std::string> paths;  // normal form
    bool recursive = false;
    bool write = false;
    bool initial = false;         // the initial label: the package record only
    bool reportWritten = false;   // report each file written, not only failures
};

// A file whose label differs from its records' (or is written), or that
// failed: its path, the label of the records, the label found in the file
// ("" none), and what went wrong ("" nothing).
struct RelabelReport {
    std::string path, label, found, problem;
};

struct RelabelCounts {
    uint64_t checked = 0;     // files looked at
    uint64_t changed = 0;     // of them, labels that differed (and were written, when writing)
    uint64_t unrecorded = 0;  // files no record gives a label
    uint64_t failed = 0;      // files that could not be read, opened or written
};

// Where the work stands: the path it is at, and the last file done below it
// ("" none yet).
struct RelabelCursor {
    uint32_t index = 0;
    std::string after;
};

// Goes on from `cursor` until every path is done (cursor.index then equals
// the number of paths), `stopAt` has passed or `maxReports` are reported;
// it always finishes at least one file. Throws CallError for a cursor that is
// not within its path.
RelabelCounts relabel(Store& records, const RelabelRequest& request, RelabelCursor& cursor,
                      std::chrono::steady_clock::time_point stopAt, std::size_t maxReports,
                      std::vector<RelabelReport>& reports);

}  // namespace zorvd
