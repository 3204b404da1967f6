// The administration interface's readings of the store for root: the audit
// trail (History) and the packages with their files (Packages, PackageFiles).
// Its transfers are in transfer_calls.cpp.
#include <algorithm>

#include "call_context.h"
#include "paths.h"

namespace zorvd {

namespace protocol = zorv::protocol;

void LabelService::addAdministration() {
    addAdmin(protocol::admin::History, [](Call& c) {
        std::string path = c.in.string();
        if (!path.empty()) path = normalPath(path);
        uint64_t since = c.in.u64(), after = c.in.u64();
        uint32_t limit = c.in.u32();
        c.out.array("(ttuusssss)", [&](Writer& list) {
            c.store().forEachAudit(path, static_cast<int64_t>(std::min<uint64_t>(since, INT64_MAX)), after,
                                   limit ? limit : UINT32_MAX, [&](const AuditRecord& r) {
                                       list.structure([&](Writer& s) {
                                           s.u64(r.id);
                                           s.u64(static_cast<uint64_t>(r.timeUs));
                                           s.u32(r.uid);
                                           s.u32(r.pid);
                                           s.string(r.member);
                                           s.string(r.subject);
                                           s.string(r.oldValue);
                                           s.string(r.newValue);
                                           s.string(r.result);
                                       });
                                   });
        });
    });
    // Both lists page: a limit of 0 is as many as one reply carries.
    addAdmin(protocol::admin::Packages, [](Call& c) {
        uint64_t after = c.in.u64();
        uint32_t limit = c.in.u32();
        c.out.array("(tsuu)", [&](Writer& list) {
            c.store().forEachPackage(after, limit ? limit : UINT32_MAX, [&](const PackageSummary& p) {
                list.structure([&](Writer& s) {
                    s.u64(p.id);
                    s.string(p.name);
                    s.u32(p.type);
                    s.u32(static_cast<uint32_t>(std::min<uint64_t>(p.files, UINT32_MAX)));
                });
            });
        });
    });
    addAdmin(protocol::admin::PackageFiles, [](Call& c) {
        std::string name = c.in.string(), after = c.in.string();
        uint32_t limit = c.in.u32();
        std::optional<uint64_t> id = c.store().packageId(name);
        if (!id) throw CallError(kErrorNotFound, "no package is named " + name);
        c.out.array("s", [&](Writer& list) {
            c.store().forEachPackageFile(*id, after, limit ? limit : UINT32_MAX,
                                         [&](const std::string& path) { list.string(path); });
        });
    });
}

}  // namespace zorvd
