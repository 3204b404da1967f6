#include "file_task.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "label/label_format.h"

namespace zorvd {

namespace {

using zorv::label::kMaxLabelSize;

void compareAndWrite(FileTask& task, bool write, bool reportWritten) {
    // Worked out here rather than in the walk, which need not wait for the
    // path's digest and the encoding.
    Label label = *recordedLabel(task.path, task.file, task.values);
    unsigned char want[kMaxLabelSize], have[kMaxLabelSize + 1];
    const std::size_t size = label.serializeToBuffer(want, sizeof want);
    if (size == 0) return task.setReport(FileTask::kFailed, "", "", "its label cannot be encoded");
    ssize_t got = task.place.get(have, sizeof have);
    if (got < 0 && errno == ERANGE) got = sizeof have;  // longer than any label
    if (got < 0 && errno != ENODATA) {
        const std::string problem = std::string("cannot read its label: ") + std::strerror(errno);
        return task.setReport(FileTask::kFailed, label.toString(), "", problem);
    }
    if (got == static_cast<ssize_t>(size) && std::memcmp(have, want, size) == 0) return;
    Label old;
    bool decoded = false;
    if (got > 0) {
        try {
            old.deserializeFromBuffer(have, static_cast<std::size_t>(got));
            if (old == label) return;  // the same label, encoded otherwise
            decoded = true;
        } catch (const LabelError&) {
        }
    }
    // The text forms only for what is reported: they cost more than the rest.
    auto found = [&] {
        if (got <= 0) return std::string();
        return decoded ? old.toString() : "(not a label: " + std::to_string(got) + " bytes)";
    };
    if (!write) return task.setReport(FileTask::kChanged, label.toString(), found(), "");
    if (task.place.set(want, size) != 0) {
        const std::string problem = std::string("cannot write its label: ") + std::strerror(errno);
        return task.setReport(FileTask::kFailed, label.toString(), found(), problem);
    }
    task.outcome = FileTask::kChanged;
    if (reportWritten) task.setReport(FileTask::kChanged, label.toString(), found(), "");
}

}  // namespace

void FileTask::setReport(Outcome to, std::string label, std::string found, std::string problem) {
    outcome = to;
    reported = true;
    report = {path, std::move(label), std::move(found), std::move(problem)};
}

void applyFileTask(FileTask& task, bool write, bool reportWritten) noexcept {
    if (task.decided) return;
    try {
        compareAndWrite(task, write, reportWritten);
    } catch (const std::exception& e) {  // no memory for a text, say
        task.setReport(FileTask::kFailed, "", "", e.what());
    }
}

}  // namespace zorvd
