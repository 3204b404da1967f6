// packages: the packages the service has recorded, or the files of one,
// through the administration interface (root only), page by page.
#include <memory>

#include "package_pages.h"
#include "protocol/arguments.h"
#include "service_call.h"
#include "tool.h"

namespace zorvtool {

namespace {

constexpr uint32_t kPackagePage = 1000, kFilePage = 10000;

const char* typeName(uint32_t type) {
    switch (type) {
        case zorv::protocol::kPackageTypeNone: return "none";
        case zorv::protocol::kPackageTypePackage: return "package";
        case zorv::protocol::kPackageTypeInterpreter: return "interpreter";
        case zorv::protocol::kPackageTypeDrova: return "drova";
        case zorv::protocol::kPackageTypeLunvex: return "lunvex";
    }
    return "other";
}

}  // namespace

std::vector<Package> allPackages(AdminClient& admin) {
    std::vector<Package> all;
    for (uint64_t after = 0;;) {
        std::vector<Package> page;
        Call<zorv::protocol::admin::Packages>(after, kPackagePage).invoke(admin, page);
        all.insert(all.end(), page.begin(), page.end());
        if (page.size() < kPackagePage) return all;
        after = page.back().id;
    }
}

int32_t dropPackageFiles(AdminClient& admin, const std::string& name, uint32_t type) {
    int32_t status = -1;
    Call<zorv::protocol::setLabelForPkg>(std::vector<std::string>(), name, type).invoke(admin, status);
    return status;
}

namespace {

void listPackages(Tool& tool) {
    AdminClient admin;
    const std::vector<Package> all = inContext("packages", [&admin] { return allPackages(admin); });
    if (tool.out.json) {
        Json list = Json::array();
        for (const Package& p : all)
            list.push_back(
                {{"pkg_id", id64Text(p.id)}, {"name", p.name}, {"type", typeName(p.type)}, {"count", p.files}});
        return tool.out.document(list);
    }
    std::vector<std::vector<std::string>> rows;
    for (const Package& p : all)
        rows.push_back({std::to_string(p.id), printable(p.name), typeName(p.type), std::to_string(p.files)});
    tool.out.table({"PKGID", "NAME", "TYPE", "FILES"}, rows);
}

void listFiles(Tool& tool, const std::string& name) {
    requireName(name, "package name");
    const std::string context = "packages " + printable(name);
    const char* names[] = {name.c_str()};
    unsigned long id = ~0UL;
    int count = getPkgIds(names, 1, &id);
    checkStatus(count, context, "refused by the service");
    if (count != 1 || id == ~0UL) refused(context, "no package has this name");
    AdminClient admin;
    std::vector<std::string> files;
    for (std::string after;;) {
        std::vector<std::string> page;
        inContext(context,
                  [&] { Call<zorv::protocol::admin::PackageFiles>(name, after, kFilePage).invoke(admin, page); });
        files.insert(files.end(), page.begin(), page.end());
        if (page.size() < kFilePage) break;
        after = page.back();
    }
    if (tool.out.json) return tool.out.document({{"name", name}, {"pkg_id", id64Text(id)}, {"files", files}});
    for (const std::string& f : files) tool.out.line(printable(f));
}

}  // namespace

void addPackageListCommand(CLI::App& app, Tool& tool) {
    auto name = std::make_shared<std::string>();
    CLI::App* packages =
        app.add_subcommand("packages", "list the recorded packages, or the files of one (root)");
    CLI::Option* given = packages->add_option("name", *name, "the package whose files to list");
    tool.on(packages, [&tool, name, given] {
        if (given->count() == 0)
            listPackages(tool);
        else
            listFiles(tool, *name);
    });
}

}  // namespace zorvtool
