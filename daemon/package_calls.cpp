// Bulk labelling (setLabelForPkg, setLabelForLunvexInterpreter,
// setLabelForDrovaInterpreter, setLabelForDrovaBaseFiles) and the resolution
// of policies' names (policies_parse).
#include <zorv/labelmgr.hpp>

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <map>

#include "call_context.h"
#include "log/log.h"
#include "paths.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;

namespace {

// A policy category whose names stand for whole trees.
bool coversTree(const std::string& category) {
    return category == "subject_recurfile" || category == "object_recurfile";
}

}  // namespace

void LabelService::addBulkAndPolicies() {
    // The package's (or application's) recorded files become exactly `files`.
    auto replaceFiles = [](Call& c, const std::string& owner, const std::vector<std::string>& files, uint32_t type) {
        c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
            uint64_t pkg = w.addPackage(owner);
            record.subject = owner;
            record.oldValue = std::to_string(w.packageFileCount(pkg)) + " files";
            w.replacePackageFiles(pkg, files, type);
            record.newValue = std::to_string(files.size()) + " files of type " + std::to_string(type);
            c.out.i32(0);
            return c.notice({{notice_key::kOwner, owner}, {notice_key::kCount, files.size()}});
        });
        ZLOG_INFO("%s: %zu files of %s", c.member(), files.size(), owner.c_str());
    };
    add(protocol::setLabelForPkg, Access::Root, [replaceFiles](Call& c) {
        std::vector<std::string> files = c.in.strings();
        std::string owner = checkedName(c.in.string(), "the owner name");
        uint32_t type = c.in.u32();
        if (type != protocol::kPackageTypePackage && type != protocol::kPackageTypeDrova &&
            type != protocol::kPackageTypeLunvex)
            throw CallError(DBUS_ERROR_INVALID_ARGS, "pkgType must be 1, 3 or 4");
        for (std::string& f : files) f = normalPath(f);
        replaceFiles(c, owner, files, type);
    });
    // An interpreter's tree, walked without following links, is recorded as
    // the files of a package named after the interpreter. 1: the base is not
    // a directory (or a link to one); nothing changes.
    for (const char* lang : {"Lunvex", "Drova"}) {
        const bool lunvex = std::strcmp(lang, "Lunvex") == 0;
        std::string owner = std::string(lang) + "-interpreter";
        for (char& ch : owner) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        add(lunvex ? protocol::setLabelForLunvexInterpreter : protocol::setLabelForDrovaInterpreter, Access::Root,
            [replaceFiles, owner](Call& c) {
                std::string base = normalPath(c.in.string());
                std::vector<std::string> files;
                struct stat st;
                if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || traverseDirectory(base, files) != 0) {
                    c.out.i32(1);
                    c.unchanged(base, "not a directory");
                    return;
                }
                for (std::string& f : files) f = normalPath(f);
                replaceFiles(c, owner, files, protocol::kPackageTypeInterpreter);
            });
    }
    // Each Drova base file takes the package of the host file it stands for.
    // 1: some host file is no recorded package file; nothing changes.
    add(protocol::setLabelForDrovaBaseFiles, Access::Root, [](Call& c) {
        std::vector<std::pair<std::string, std::string>> pairs;
        c.in.entries([&pairs](const std::string& drova, Reader& host) {
            pairs.emplace_back(normalPath(drova), normalPath(host.string()));
        });
        c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
            record.newValue = std::to_string(pairs.size()) + " files";
            for (const auto& [drova, host] : pairs) {
                std::optional<PackageFile> file = w.packageFile(host);
                if (!file) {
                    record.subject = host;
                    c.out.i32(1);
                    throw Call::NothingChanged{"the host file " + host + " belongs to no package"};
                }
                w.recordFile(drova, file->pkgId, protocol::kPackageTypeDrova);
            }
            c.out.i32(0);
            return c.notice({{notice_key::kCount, pairs.size()}});
        });
    });
    // Packages resolve to their identifier, recursively covered paths to
    // their path identifier, and any other name, a path, to the identifier
    // of the recorded file (no fields when it is not recorded).
    add(protocol::policies_parse, Access::Everyone, [](Call& c) {
        // Every name comes back as a dictionary entry of its own (its length,
        // text, NUL and the length of its fields), a covered tree's always
        // with its path identifier (an 8-byte aligned entry: key and number):
        // a request whose answer cannot fit is refused before any lookup.
        const std::size_t pathField = (4 + std::strlen(protocol::kIdKeyPath) + 1 + 7) / 8 * 8 + 8;
        std::size_t atLeast = 0;
        Reader(c.in).entries([&](const std::string& category, Reader& names) {
            const bool tree = coversTree(category);
            names.eachString([&](const std::string& name) {
                atLeast += 4 + name.size() + 1 + 4 + (tree ? pathField : 0);
            });
        });
        Writer::mustFit(atLeast);
        std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>> reply;
        c.in.entries([&](const std::string& category, Reader& names) {
            auto& byName = reply[category];
            bool pkg = category == "subject_pkg" || category == "object_pkg";
            bool tree = coversTree(category);
            names.eachString([&](const std::string& name) {
                auto& fields = byName[name];
                if (pkg) {
                    if (auto id = c.store().packageId(name)) fields[protocol::kIdKeyPkg] = *id;
                    return;
                }
                std::string path = normalPath(name);
                if (tree) {
                    fields[protocol::kIdKeyPath] = pathId(path);
                } else if (auto file = c.store().packageFile(path)) {
                    fields[protocol::kIdKeyPkg] = file->pkgId;
                    fields[protocol::kIdKeyPath] = pathId(path);
                }
            });
        });
        c.out.array("{sa{sa{st}}}", [&](Writer& cats) {
            for (const auto& category : reply)
                cats.entry(category.first, [&](Writer& cw) {
                    cw.array("{sa{st}}", [&](Writer& names) {
                        for (const auto& name : category.second)
                            names.entry(name.first, [&](Writer& n) {
                                n.array("{st}", [&](Writer& fs) {
                                    for (const auto& [key, value] : name.second)
                                        fs.entry(key, [value = value](Writer& w) { w.u64(value); });
                                });
                            });
                    });
                });
        });
    });
}

}  // namespace zorvd
