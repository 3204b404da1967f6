#include <unistd.h>

#include <algorithm>
#include <map>

#include "backup.h"
#include "call_context.h"
#include "descriptor_io.h"
#include "log/log.h"
#include "paths.h"
#include "protocol/relabel_flags.h"
#include "record_listing.h"
#include "relabel.h"
#include "store_transfer.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;

// Export, import, backup and relabelling: the caller passes a file it opened
// with its own rights, and the service reads or writes only that.
void LabelService::addTransfers() {
    auto passedFile = [](Call& c) {
        zorv::detail::FileDescriptor fd(c.in.unixFd());
        if (!fd.valid()) throw CallError(DBUS_ERROR_INVALID_ARGS, "no file was passed");
        return fd;
    };
    auto writeCounts = [](Writer& out, const std::map<std::string, uint64_t>& counts) {
        out.array("{st}", [&](Writer& d) {
            for (const auto& [key, n] : counts) d.entry(key, [n = n](Writer& w) { w.u64(n); });
        });
    };
    auto countsText = [](const std::map<std::string, uint64_t>& counts) {
        std::string text;
        for (const auto& [key, n] : counts) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + key;
        return text;
    };
    addAdmin(protocol::admin::Export, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        DescriptorWriter out(fd.get(), c.deadline());
        writeCounts(c.out, exportStore(c.store(), out));
    });
    addAdmin(protocol::admin::Records, [=](Call& c) {
        const std::string kind = c.in.string(), path = c.in.string();
        zorv::detail::FileDescriptor fd = passedFile(c);
        DescriptorWriter out(fd.get(), c.deadline());
        c.out.u64(listRecords(c.store(), kind, path, out, c.deadline()));
    });
    addAdmin(protocol::admin::Import, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        // Read whole before the write lock is taken: a slow writer at the
        // other end holds up no change but this one.
        const std::string document = readAll(fd.get(), c.deadline(), kMaxImportBytes);
        c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
            TransferCounts counts = importStore(w, document);
            record.newValue = countsText(counts);
            writeCounts(c.out, counts);
            uint64_t total = 0;
            for (const auto& entry : counts) total += entry.first == "files" ? 0 : entry.second;
            return c.notice({{notice_key::kCount, total}});
        });
    });
    addAdmin(protocol::admin::Backup, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        Store& source = c.store();
        c.out.u64(backupDatabase(source.handle(), source.path(), fd.get()));
        ZLOG_INFO("database copied for a backup by uid %u", c.caller.uid);
    });
    addAdmin(protocol::admin::Relabel, [=](Call& c) {
        RelabelRequest request;
        for (const std::string& p : c.in.strings()) request.paths.push_back(normalPath(p));
        const uint32_t flags = c.in.u32();
        RelabelCursor cursor;
        cursor.index = c.in.u32();
        cursor.after = c.in.string();
        namespace flag = protocol::relabel;
        if (flags & ~flag::kKnownFlags) throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: unknown flags");
        if (cursor.index > request.paths.size()) throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: index past the paths");
        if (!cursor.after.empty() && normalPath(cursor.after) != cursor.after)
            throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: the place to go on from is not a normal path");
        request.recursive = flags & flag::kRecursive;
        request.write = flags & flag::kWrite;
        request.initial = flags & flag::kInitial;
        request.reportWritten = flags & flag::kReportWritten;
        request.oneFileSystem = flags & flag::kOneFileSystem;
        // A call takes at most a thread per processor, whatever it asks for.
        const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
        const unsigned most = processors > 1 ? static_cast<unsigned>(processors) : 1;
        request.threads = std::clamp(flag::threadsOf(flags), 1u, most);
        const std::string subject = cursor.index < request.paths.size() ? request.paths[cursor.index] : "";
        // About a second of work per call, and a reply well within what the
        // bus carries: the caller calls again from where this one stopped.
        std::vector<RelabelReport> reports;
        const auto stopAt = std::min(Clock::now() + std::chrono::seconds(1), c.deadline());
        RelabelCounts counts = relabel(c.store(), request, cursor, stopAt, 4000, reports);
        if (request.write) {
            const std::string what = std::to_string(counts.changed) + " labels written, " +
                                     std::to_string(counts.checked) + " files checked, " +
                                     std::to_string(counts.failed) + " failed";
            if (counts.changed == 0) {
                c.unchanged(subject, what);
            } else {
                c.commit(
                    [&](Store&, ChangeRecord& record) -> std::optional<Notice> {
                        record.subject = subject;
                        record.newValue = what;
                        return c.notice({{notice_key::kPath, subject}, {notice_key::kCount, counts.changed}});
                    },
                    true);
            }
        }
        c.out.array("(ssss)", [&](Writer& list) {
            for (const RelabelReport& r : reports)
                list.structure([&](Writer& s) {
                    s.string(r.path);
                    s.string(r.label);
                    s.string(r.found);
                    s.string(r.problem);
                });
        });
        c.out.u32(cursor.index);
        c.out.string(cursor.after);
        writeCounts(c.out, {{"changed", counts.changed},
                            {"checked", counts.checked},
                            {"failed", counts.failed},
                            {"skipped", counts.skipped},
                            {"unrecorded", counts.unrecorded}});
    });
}

}  // namespace zorvd
