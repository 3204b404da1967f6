// Lookups that name no path's attribute: devices' and kernel modules'
// identifiers (getDeviceOid, getDeviceOids, getKernelModuleOid,
// getKernelModuleOids, and addTagFullSystem, which registers them), a path's
// digest and normal form, whether any package is labelled, and packages' names
// and identifiers.
#include <zorv/labelmgr.hpp>

#include "call_context.h"
#include "failure_replies.h"
#include "paths.h"
#include "protocol/limits.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;

void LabelService::addLookups() {
    for (ObjectKind kind : {ObjectKind::Device, ObjectKind::KernelModule}) {
        const bool device = kind == ObjectKind::Device;
        add(device ? protocol::getDeviceOid : protocol::getKernelModuleOid, Access::Everyone, [kind](Call& c) {
            c.out.u64(c.store().objectId(kind, c.in.string()).value_or(kAllOnes64));
        });
        add(device ? protocol::getDeviceOids : protocol::getKernelModuleOids, Access::Everyone, [kind](Call& c) {
            std::map<std::string, uint64_t> found;
            c.in.eachString([&](const std::string& name) {
                if (auto oid = c.store().objectId(kind, name)) found[name] = *oid;
            });
            c.out.array("{st}", [&](Writer& d) {
                for (const auto& [name, oid] : found) d.entry(name, [oid = oid](Writer& w) { w.u64(oid); });
            });
        });
    }
    // Registers devices ("device") or kernel modules ("kmod"); their
    // identifiers come from the names' hashes and never change afterwards.
    add(protocol::addTagFullSystem, Access::Root, [](Call& c) {
        std::string tag = c.in.string();
        std::vector<std::string> names = c.in.strings();
        if (tag != "device" && tag != "kmod") throw CallError(DBUS_ERROR_INVALID_ARGS, "tag must be device or kmod");
        ObjectKind kind = tag == "device" ? ObjectKind::Device : ObjectKind::KernelModule;
        for (const std::string& name : names) checkedName(name, "a device or module name", protocol::kMaxPathBytes);
        c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
            int added = 0;
            for (const std::string& name : names) {
                uint64_t oid = kind == ObjectKind::Device
                                   ? getSM3HashLast64Bits(name)
                                   : getKmodNameHash(name.data(), static_cast<unsigned>(name.size()));
                added += w.addObject(kind, name, oid);
            }
            record.subject = tag;
            record.newValue = std::to_string(added) + " of " + std::to_string(names.size()) + " names registered";
            c.out.i32(added);
            if (added == 0) return std::nullopt;
            return c.notice({{notice_key::kTag, tag}, {notice_key::kCount, added}});
        });
    });
    add(protocol::getPathSm3HashValue, Access::Everyone,
        [](Call& c) { c.out.string(getSM3HashValue(normalPath(c.in.string()))); });
    add(protocol::pathNormalize, Access::Everyone, [](Call& c) { c.out.string(normalPath(c.in.string())); });
    add(protocol::getLabelSetStatus, Access::Everyone,
        [](Call& c) { c.out.i32(c.store().anyPackageFile() ? 1 : 0); });
    add(protocol::getPkgNameById, Access::Everyone, [](Call& c) {
        uint64_t id = c.in.u64();
        std::optional<std::string> name = c.store().packageName(id);
        if (!name) throw CallError(kErrorNotFound, "no package has the identifier " + std::to_string(id));
        c.out.string(*name);
    });
    // Identifiers in the order of the names, all-ones for an unknown one; then
    // how many were unknown. Streamed: no copy of a long list is kept.
    add(protocol::getPkgIds, Access::Everyone, [](Call& c) {
        int32_t unknown = 0;
        c.out.array("t", [&](Writer& a) {
            c.in.eachString([&](const std::string& name) {
                std::optional<uint64_t> id = c.store().packageId(name);
                unknown += !id;
                a.u64(id.value_or(kAllOnes64));
            });
        });
        c.out.i32(unknown);
    });
}

}  // namespace zorvd
