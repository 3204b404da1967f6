// packages: the packages the service has recorded, or the files of one,
// through the administration interface (root only), page by page.
#include <memory>

#include "admin_client.h"
#include "protocol/members.h"
#include "package_pages.h"
#include "protocol/arguments.h"
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

std::vector<Package> readPackages(DBusMessage* reply) {
    std::vector<Package> out;
    DBusMessageIter it, list;
    if (!dbus_message_iter_init(reply, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY)
        throw Failure(kRefused, "packages: the service answered something else than a list");
    dbus_message_iter_recurse(&it, &list);
    for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&list)) {
        DBusMessageIter f;
        dbus_message_iter_recurse(&list, &f);
        dbus_uint64_t id = 0;
        const char* name = "";
        dbus_uint32_t type = 0, files = 0;
        dbus_message_iter_get_basic(&f, &id);
        dbus_message_iter_next(&f);
        dbus_message_iter_get_basic(&f, &name);
        dbus_message_iter_next(&f);
        dbus_message_iter_get_basic(&f, &type);
        dbus_message_iter_next(&f);
        dbus_message_iter_get_basic(&f, &files);
        out.push_back({id, name, type, files});
    }
    return out;
}

namespace {

std::vector<std::string> readStrings(DBusMessage* reply) {
    std::vector<std::string> out;
    DBusMessageIter it, list;
    if (!dbus_message_iter_init(reply, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY)
        throw Failure(kRefused, "packages: the service answered something else than a list");
    dbus_message_iter_recurse(&it, &list);
    for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRING; dbus_message_iter_next(&list)) {
        const char* s = "";
        dbus_message_iter_get_basic(&list, &s);
        out.emplace_back(s);
    }
    return out;
}

void listPackages(Tool& tool) {
    AdminClient admin;
    std::vector<Package> all;
    for (uint64_t after = 0;;) {
        AdminClient::Message call = AdminClient::newCall(zorv::protocol::admin::Packages.name);
        dbus_uint64_t a = after;
        dbus_uint32_t limit = kPackagePage;
        dbus_message_append_args(call.get(), DBUS_TYPE_UINT64, &a, DBUS_TYPE_UINT32, &limit, DBUS_TYPE_INVALID);
        std::vector<Package> page;
        try {
            page = readPackages(admin.call(call.get(), zorv::protocol::admin::Packages.timeoutMs).get());
        } catch (const Failure& f) {
            throw Failure(f.code, std::string("packages: ") + f.what());
        }
        all.insert(all.end(), page.begin(), page.end());
        if (page.size() < kPackagePage) break;
        after = page.back().id;
    }
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
        AdminClient::Message call = AdminClient::newCall(zorv::protocol::admin::PackageFiles.name);
        const char *n = name.c_str(), *a = after.c_str();
        dbus_uint32_t limit = kFilePage;
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &n, DBUS_TYPE_STRING, &a, DBUS_TYPE_UINT32, &limit,
                                 DBUS_TYPE_INVALID);
        std::vector<std::string> page;
        try {
            page = readStrings(admin.call(call.get(), zorv::protocol::admin::PackageFiles.timeoutMs).get());
        } catch (const Failure& f) {
            throw Failure(f.code, context + ": " + f.what());
        }
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
