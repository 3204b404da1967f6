#include "relabel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "batch_workers.h"
#include "file_access.h"
#include "file_task.h"
#include "paths.h"
#include "protocol/relabel_flags.h"
#include "virtual_file_systems.h"
#include "walk_directory.h"
#include "wire.h"

namespace zorvd {

namespace {

using Clock = std::chrono::steady_clock;
using zorv::detail::FileDescriptor;

// How many files the walk may come to before their outcomes are gathered:
// each gathering waits for the slowest helper (on a busy machine, one the
// scheduler has put aside), so not often; and few enough that a call stops
// close to its time (a few milliseconds of work) and holds little memory
// (about a megabyte).
constexpr std::size_t kBatchSize = 2048;
// The files handed on together: a thread takes them with one claim, so that
// the lock and the wake-ups cost little next to the files' own system calls,
// and a gathering waits for at most one such share of another thread.
constexpr std::size_t kChunk = 32;
// Files decided and waiting beyond which the walk runs a share itself: enough
// to keep the helpers busy while the walk lists a large directory (a thousand
// entries take it about half a millisecond).
constexpr std::size_t kWalkBacklog = 16 * kChunk;

class Walker {
public:
    Walker(Store& records, const RelabelRequest& request, Clock::time_point stopAt, std::size_t maxReports,
           std::vector<RelabelReport>& reports)
        : records_(records),
          request_(request),
          stopAt_(stopAt),
          maxReports_(maxReports),
          reports_(reports),
          files_(records.packageFilesInPathOrder()) {
        if (!request.initial)
            for (int a = 0; a < 5; ++a) values_[a].emplace(records.userSetInPathOrder(static_cast<Attribute>(a)));
        // Only a walk below its paths has files enough to share out.
        const unsigned threads = request.recursive ? std::max(request.threads, 1u) : 1;
        tasks_.resize(threads > 1 ? kBatchSize : 1);
        if (threads > 1)
            workers_ =
                std::make_unique<BatchWorkers>(threads - 1, kChunk, [this](std::size_t i) { apply(tasks_[i]); });
    }

    // False when it stopped before the path and everything below it were
    // done; last() is then the last file done.
    bool walk(const std::string& root, const std::string& after) {
        const std::string prefix = root == "/" ? "/" : root + "/";
        FileDescriptor dir;  // the only descriptor held below: the walk needs no other of the path
        struct stat st {};
        {
            FileDescriptor fd;
            try {
                fd = openWithoutLinks(root);
                if (::fstat(fd.get(), &st) != 0) throw CallError(DBUS_ERROR_FAILED, std::strerror(errno));
            } catch (const CallError& e) {
                fail(root, "", "", e.what());
                return true;
            }
            if (after.empty()) {
                std::optional<PackageFile> file = records_.packageFile(root);
                UserSetValues values;
                if (!request_.initial) values = userSetValues(records_, root);
                LabelPlace place;
                place.io = descriptorPath(fd);
                visit(place, nullptr, root, file, values, !request_.recursive);
                flush();  // before `fd`, which it was read through, is closed
                done(root);
            }
            if (!request_.recursive) return true;
            if (!S_ISDIR(st.st_mode)) {
                if (!after.empty() && after != root) notADirectory(root);  // the cursor is below it
                return true;
            }
            if (prefix.size() >= kMaxPath) return true;  // nothing below it can have a record
            if (const char* type = virtualFileSystem(fd.get())) {
                if (after.empty()) notEntered(root, type);
                return true;
            }
            dir.reset(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!dir.valid()) {
            fail(root, "", "", std::string("cannot read the directory: ") + std::strerror(errno));
            return true;
        }
        const std::string& from = after.empty() || after < prefix ? prefix : after;
        const std::string before = root == "/" ? "0" : root + "0";
        files_.seek(from, before);
        for (auto& v : values_)
            if (v) v->seek(from, before);
        tree(std::move(dir), st.st_dev, prefix, after);
        return !stopped_;
    }

    // Counts and reports what is still to be done of the files decided.
    void finish() { flush(); }

    bool stopped() const { return stopped_; }
    const std::string& last() const { return last_; }
    RelabelCounts counts;

private:
    // The walk below the starting directory, open at `dir`: depth first, in
    // the order of each directory's steps, on a stack of its own (no
    // recursion, so neither the call stack nor the descriptors grow with the
    // depth of the tree).
    void tree(FileDescriptor dir, dev_t device, const std::string& prefix, const std::string& after) {
        std::vector<WalkFrame> frames;
        // The files decided are done before the descriptors they are reached
        // through close, also when the walk ends in an exception.
        struct Settle {
            Walker& walker;
            ~Settle() {
                if (walker.workers_) walker.workers_->finish();
            }
        } settle{*this};
        frames.emplace_back();
        frames.back().prefix = prefix;
        frames.back().fd = std::move(dir);
        frames.back().device = device;
        open_ = 1;
        if (!list(frames.back())) return flush();
        std::string path;
        while (!frames.empty() && !stopped_) {
            if (frames.back().next == frames.back().steps.size()) {
                leave(frames);
                continue;
            }
            if (!frames.back().fd.valid() && !reopen(frames)) continue;
            WalkFrame& frame = frames.back();
            const WalkStep& step = frame.steps[frame.next++];
            const DirectoryEntry& entry = frame.entries[step.entry];
            path.assign(frame.prefix).append(entry.name);
            if (!step.below) {
                if (!after.empty() && path <= after) {  // done by an earlier call
                    if (!entry.directory && below(after, path)) notADirectory(path);
                    continue;
                }
                if (entry.notEntered())
                    notEntered(path, entry.virtualType);
                else
                    child(frame.fd.get(), entry.name, path);
                done(path, sendsAsIs(entry.name));
                continue;
            }
            if (entry.notEntered()) continue;
            if (!after.empty() && after >= path + "0") continue;  // all of it done by an earlier call
            // Records are kept for names that came over the bus, valid UTF-8
            // all: below a name that is not, no file can have one.
            if (!sendsAsIs(entry.name)) continue;
            std::string sub = path + "/";
            if (sub.size() >= kMaxPath) continue;
            FileDescriptor fd(::openat(frame.fd.get(), entry.name.c_str(), kDirectoryFlags));
            struct stat st {};
            if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
                if (errno != ENOENT)  // gone since it was listed
                    fail(path, "", "", std::string("cannot read the directory: ") + std::strerror(errno));
                continue;
            }
            // Mounted there since it was listed: the same rules as for a
            // mount point seen when listing.
            if (st.st_dev != frame.device) {
                const char* type = virtualFileSystem(fd.get());
                if (type || request_.oneFileSystem) {
                    notEntered(path, type);
                    continue;
                }
            }
            WalkFrame next;
            next.name = entry.name;
            next.prefix = std::move(sub);
            next.fd = std::move(fd);
            next.device = st.st_dev;
            next.inode = st.st_ino;
            frames.push_back(std::move(next));  // `frame`, `step` and `entry` are not used past here
            ++open_;
            keepWithinBudget(frames);
            if (!list(frames.back())) leave(frames);
        }
        flush();
    }

    // Done with the innermost directory. Its descriptor is kept until the
    // files decided through it are done.
    void leave(std::vector<WalkFrame>& frames) {
        if (frames.back().fd.valid()) {
            --open_;
            if (used_ > 0) retired_.push_back(std::move(frames.back().fd));
        }
        frames.pop_back();
    }

    // Past the budget, the descriptor of the shallowest directory that holds
    // one, other than the starting directory, is given up: the walk is
    // furthest from coming back to it. Descriptors kept for files not yet
    // done count too: those files are done first.
    void keepWithinBudget(std::vector<WalkFrame>& frames) {
        if (open_ + retired_.size() > kMaxOpenDirectories) flush();
        for (std::size_t i = 1; open_ > kMaxOpenDirectories && i + 1 < frames.size(); ++i)
            if (frames[i].fd.valid()) {
                frames[i].fd.reset();
                --open_;
            }
    }

    // Opens again the innermost directory, and those between it and the
    // nearest one still open, each by its name in its parent, never following
    // a link, and each checked to be the directory that was walked. One that
    // cannot be reached again, or that was replaced (by a link or another
    // directory), fails, and the walk goes on past it.
    bool reopen(std::vector<WalkFrame>& frames) {
        std::size_t open = frames.size() - 1;
        while (!frames[open].fd.valid()) --open;  // the starting directory always is
        for (std::size_t k = open + 1; k < frames.size(); ++k) {
            WalkFrame& frame = frames[k];
            FileDescriptor fd(::openat(frames[k - 1].fd.get(), frame.name.c_str(), kDirectoryFlags));
            struct stat st {};
            std::string problem;
            if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
                problem = std::string("cannot read the directory again: ") + std::strerror(errno);
            else if (st.st_dev != frame.device || st.st_ino != frame.inode)
                problem = "the directory was replaced while it was walked";
            if (!problem.empty()) {
                fail(frame.prefix.substr(0, frame.prefix.size() - 1), "", "", problem);
                while (frames.size() > k) leave(frames);
                return false;
            }
            frame.fd = std::move(fd);
            ++open_;
            keepWithinBudget(frames);
        }
        return true;
    }

    // A directory the cursor lies below is not one any more (a link, say, in
    // its place): what was left of it is not walked, and that is a failure.
    void notADirectory(const std::string& path) {
        fail(path, "", "", "is no longer a directory: the rest below it was not walked");
    }

    // A directory on a virtual file system (`type`), or on another one than
    // its path's when the walk keeps to one: neither it nor anything below it
    // is walked. Its own label is the other file system's too.
    void notEntered(const std::string& path, const char* type) {
        using zorv::protocol::relabel::kNotEntered;
        FileTask& task = decided(path, "", "",
                                 type ? std::string(kNotEntered) + "on a virtual file system (" + type + ")"
                                      : std::string(kNotEntered) + "on another file system");
        task.outcome = FileTask::kSkipped;
        submit();
    }

    static bool below(const std::string& path, const std::string& directory) {
        return path.size() > directory.size() + 1 && path[directory.size()] == '/' &&
               path.compare(0, directory.size(), directory) == 0;
    }

    // Reads the entries of the directory open in `frame` into its steps.
    // False when it cannot be read at all.
    bool list(WalkFrame& frame) {
        std::string problem;
        const bool read = listDirectory(frame, request_.oneFileSystem, problem);
        if (!problem.empty()) fail(frame.prefix, "", "", problem);
        return read;
    }

    // An entry below a path: reached through its directory's descriptor, the
    // entry itself (a link too) and never what it points to.
    void child(int dirFd, const std::string& name, const std::string& path) {
        if (path.size() > kMaxPath) {
            ++counts.checked;
            ++counts.unrecorded;
            return;
        }
        uint64_t v[3];
        std::optional<PackageFile> file;
        if (files_.find(path, v)) file = PackageFile{v[0], static_cast<uint32_t>(v[1])};
        UserSetValues values;
        for (int a = 0; a < 5; ++a)
            if (values_[a] && values_[a]->find(path, v)) values[a] = ZORV_ID{v[0], v[1], v[2]};
        LabelPlace place;
        place.dirFd = dirFd;
        if (!haveXattrAtCalls()) place.io = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
        visit(place, &name, path, file, values, false);
    }

    // A file (`name` in its directory, or null to reach it through
    // `place.io` alone) with the records read for it: the rest is handed on.
    // `named`: the caller named this file itself, so a file without records
    // is a failure.
    void visit(const LabelPlace& place, const std::string* name, const std::string& path,
               const std::optional<PackageFile>& file, const UserSetValues& values, bool named) {
        ++counts.checked;
        if (!file && std::none_of(values.begin(), values.end(), [](const auto& v) { return v.has_value(); })) {
            ++counts.unrecorded;
            if (named) fail(path, "", "", "no record gives it a label");
            return;
        }
        FileTask& task = tasks_[used_];
        task.path = path;
        task.file = file;
        task.values = values;
        task.place.dirFd = place.dirFd;
        task.place.io = place.io;
        if (name) task.name = *name;
        task.place.name = name ? task.name.c_str() : nullptr;
        task.decided = false;
        task.outcome = FileTask::kSame;
        task.reported = false;
        submit();
    }

    void apply(FileTask& task) const noexcept { applyFileTask(task, request_.write, request_.reportWritten); }

    // A report the walk makes itself, in its place among the files decided.
    FileTask& decided(const std::string& path, std::string label, std::string found, std::string problem) {
        FileTask& task = tasks_[used_];
        task.path = path;
        task.decided = true;
        task.setReport(FileTask::kFailed, std::move(label), std::move(found), std::move(problem));
        return task;
    }

    void fail(const std::string& path, const std::string& label, const std::string& found, const std::string& problem) {
        decided(path, label, found, problem);
        submit();
    }

    // The task just filled in goes to the helpers, a chunk at a time, or,
    // without them, is done at once. The batch is gathered when it is full,
    // and before the reports it may add could pass the most a call reports.
    void submit() {
        ++used_;
        if (!workers_) {
            apply(tasks_[0]);
            flush();
            return;
        }
        if (used_ == tasks_.size() || reports_.size() + used_ >= maxReports_) return flush();
        if (used_ % kChunk == 0) {
            workers_->publish(used_);
            workers_->helpWhenBehind(kWalkBacklog);
        }
    }

    // Waits for every file decided, then counts and reports them in the
    // order they were decided; the descriptors kept for them are closed.
    void flush() {
        if (workers_) {
            workers_->publish(used_);
            workers_->finish();
        }
        for (std::size_t i = 0; i < used_; ++i) {
            FileTask& task = tasks_[i];
            switch (task.outcome) {
                case FileTask::kChanged: ++counts.changed; break;
                case FileTask::kFailed: ++counts.failed; break;
                case FileTask::kSkipped: ++counts.skipped; break;
                case FileTask::kSame: break;
            }
            if (task.reported) reports_.push_back(std::move(task.report));
        }
        used_ = 0;
        retired_.clear();
    }

    // One more file done: the walk goes on after it next time; and the
    // limits, looked at every so often. It stops only after a path that can
    // go into the reply as it is (`sendable`): the caller hands it back to
    // go on from, and an escaped name would not lead back to the same place.
    // Files decided but not yet done are done before the call returns.
    void done(const std::string& path, bool sendable = true) {
        if (reports_.size() >= maxReports_ || (++sinceClock_ % 64 == 0 && Clock::now() >= stopAt_)) {
            stopped_ = sendable;
            if (sendable) last_ = path;
        }
    }

    Store& records_;
    const RelabelRequest& request_;
    Clock::time_point stopAt_;
    std::size_t maxReports_;
    std::vector<RelabelReport>& reports_;
    RowsInPathOrder files_;
    std::array<std::optional<RowsInPathOrder>, 5> values_;
    std::string last_;
    std::size_t open_ = 0;  // directory descriptors the walk holds
    unsigned sinceClock_ = 0;
    bool stopped_ = false;
    // The files decided and not yet counted (the first `used_`; never
    // resized once made, as the helpers read them), the directory
    // descriptors kept open for them, and the helpers (gone before either).
    std::vector<FileTask> tasks_;
    std::size_t used_ = 0;
    std::vector<FileDescriptor> retired_;
    std::unique_ptr<BatchWorkers> workers_;
};

bool within(const std::string& path, const std::string& root) {
    if (path == root) return true;
    if (root == "/") return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/';
}

}  // namespace

RelabelCounts relabel(Store& records, const RelabelRequest& request, RelabelCursor& cursor,
                      std::chrono::steady_clock::time_point stopAt, std::size_t maxReports,
                      std::vector<RelabelReport>& reports) {
    Store::Snapshot snapshot(records);
    Walker walker(records, request, stopAt, maxReports, reports);
    for (; cursor.index < request.paths.size(); ++cursor.index, cursor.after.clear()) {
        const std::string& root = request.paths[cursor.index];
        if (!cursor.after.empty() && (!request.recursive || !within(cursor.after, root)))
            throw CallError(DBUS_ERROR_INVALID_ARGS, "the place to go on from, " + cursor.after + ", is not below " + root);
        if (walker.stopped()) break;
        if (!walker.walk(root, cursor.after)) {
            cursor.after = walker.last();
            break;
        }
    }
    walker.finish();
    return walker.counts;
}

}  // namespace zorvd
