// Relabelling and verifying many files in one call: for each path (and, with
// `recursive`, every file below it), the label its records give it compared
// with the one in its security.zorv and, when writing, written where they
// differ. Directories are walked through descriptors, each opened without
// following a link, so no link, in a directory of a path or below it, is
// ever followed; a link below a path gets a label of its own like any file.
// It enters no directory on one of the kernel's virtual file systems, and,
// when asked, none on another device than its path's: those are reported.
// The walk visits files in byte order of their paths, the order the store
// keeps its records in, so that it reads each table once, alongside. It
// holds a small, fixed number of directory descriptors however deep the
// tree: those it gives up are opened again by name when it comes back, and
// a directory found replaced then is a failure of that directory. The
// reading and writing of labels may be shared out among a few threads; the
// walk itself stays on one, and a call returns only once every file it
// decided is done.
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
    bool oneFileSystem = false;   // enter no directory on another device than its path's
    // Threads that read and write the labels of a recursive walk's files,
    // the walk's own included. The walk itself, and so the order in which
    // files are decided, counted and reported, stays on the calling thread.
    unsigned threads = 1;
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
    uint64_t skipped = 0;     // directories not entered: mount points of other or virtual file systems
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
