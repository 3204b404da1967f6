// One file's share of a relabel walk once the walk has read its records: the
// label they give it, the label it has, and the one written where they
// differ. The walk reads the records in path order; the rest runs on any of
// the call's threads, each task touching only itself, and the outcomes are
// counted and reported in the order the walk came to the files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "label_place.h"
#include "recorded_label.h"
#include "relabel.h"

namespace zorvd {

struct FileTask {
    enum Outcome : uint8_t { kSame, kChanged, kFailed, kSkipped };

    std::string path;
    std::string name;  // in its directory; `place.name` points here
    LabelPlace place;
    std::optional<PackageFile> file;
    UserSetValues values;
    bool decided = false;  // nothing left to do: a report the walk made itself

    Outcome outcome = kSame;
    bool reported = false;
    RelabelReport report;

    void setReport(Outcome outcome, std::string label, std::string found, std::string problem);
};

// The rest of the task's work, unless it is decided already: compares the
// label its records give it with the one it has and, with `write`, writes it
// where they differ. Reports a difference, a failure, and with
// `reportWritten` each label written.
void applyFileTask(FileTask& task, bool write, bool reportWritten) noexcept;

}  // namespace zorvd
