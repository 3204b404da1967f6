// Lookups of devices, kernel modules and packages, the service's path
// helpers and maintenance calls, and the hashes computed locally.
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "tool.h"

namespace zorvtool {

namespace {

using CString = std::unique_ptr<char, decltype(&std::free)>;

// Prints the names that the service knows, in the order asked, then fails if
// it did not know them all; with --json the failure leaves standard output
// empty. `key` names the value in JSON, `nameKey` the name.
void printLookup(Tool& tool, const char* column, const char* nameKey, const char* key,
                 const std::vector<std::string>& names, const std::map<std::string, uint64_t>& found,
                 const std::string& context) {
    std::vector<std::vector<std::string>> rows;
    Json list = Json::array();
    std::string unknown;
    for (const std::string& name : names) {
        auto it = found.find(name);
        if (it == found.end()) {
            unknown += (unknown.empty() ? "" : ", ") + printable(name);
            continue;
        }
        rows.push_back({printable(name), std::to_string(it->second)});
        list.push_back({{nameKey, name}, {key, id64Text(it->second)}});
    }
    if (!unknown.empty() && tool.out.json) refused(context, "not known to the service: " + unknown);
    if (tool.out.json)
        tool.out.document(list);
    else if (!rows.empty())
        tool.out.table({"NAME", column}, rows);
    if (!unknown.empty()) refused(context, "not known to the service: " + unknown);
}

// Device and kernel-module lookups share their shape.
void lookupOids(Tool& tool, const std::vector<std::string>& names, bool device) {
    const char* what = device ? "device" : "kernel module";
    for (const std::string& name : names) requireName(name, device ? "device name" : "module name");
    std::map<std::string, ZORV_ID> oids;
    std::string context = std::string(what) + " lookup";
    checkStatus((device ? getDeviceOids : getKernelModuleOids)(names, oids), context, "refused by the service");
    std::map<std::string, uint64_t> found;
    for (const auto& [name, id] : oids) found[name] = id.pkg_id;
    printLookup(tool, "OID", device ? "device" : "module", "oid", names, found, context);
}

// A string answer of the service; empty (or null) is a failure.
std::string answer(const std::string& text, const std::string& context) {
    if (text.empty()) callFailed(context, "the service gave no answer");
    return text;
}

std::string answer(CString text, const std::string& context) {
    if (!text) callFailed(context, "the service gave no answer");
    return text.get();
}

}  // namespace

void addLookupCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::vector<std::string> names;
        std::string path, id, tag, text;
        unsigned bits = 0;
    };
    auto args = std::make_shared<Args>();

    CLI::App* device = app.add_subcommand("device", "print the oids of devices");
    device->add_option("names", args->names, "device names")->required();
    tool.on(device, [&tool, args] { lookupOids(tool, args->names, true); });

    CLI::App* kmod = app.add_subcommand("kmod", "print the oids of kernel modules");
    kmod->add_option("names", args->names, "module names")->required();
    tool.on(kmod, [&tool, args] { lookupOids(tool, args->names, false); });

    CLI::App* pkgId = app.add_subcommand("pkg-id", "print the identifiers of packages");
    pkgId->add_option("names", args->names, "package names")->required();
    tool.on(pkgId, [&tool, args] {
        std::vector<const char*> names;
        for (const std::string& name : args->names) {
            requireName(name, "package name");
            names.push_back(name.c_str());
        }
        std::vector<unsigned long> ids(names.size());
        int count = getPkgIds(names.data(), static_cast<unsigned>(names.size()), ids.data());
        checkStatus(count, "package lookup", "refused by the service");
        std::map<std::string, uint64_t> found;
        for (int i = 0; i < count && i < static_cast<int>(names.size()); ++i)
            if (ids[i] != ~0UL) found[args->names[i]] = ids[i];
        printLookup(tool, "PKGID", "name", "pkg_id", args->names, found, "package lookup");
    });

    CLI::App* pkgName = app.add_subcommand("pkg-name", "print the name of a package");
    pkgName->add_option("id", args->id, "package identifier")->required();
    tool.on(pkgName, [&tool, args] {
        uint64_t id = parseNumber(args->id, "package id", 1, UINT64_MAX - 1);
        std::string name = answer(CString(getPkgNameById(id), &std::free), "pkg-name " + args->id);
        tool.out.result(printable(name), {{"pkg_id", id64Text(id)}, {"name", name}});
    });

    CLI::App* normalize = app.add_subcommand("normalize", "print the service's normal form of a path");
    normalize->add_option("path", args->path, "the path")->required();
    tool.on(normalize, [&tool, args] {
        std::string path = servicePath(args->path);
        std::string normal = answer(CString(pathNormalize(path.c_str()), &std::free), "normalize");
        tool.out.result(printable(normal), {{"path", path}, {"normalized", normal}});
    });

    CLI::App* pathHash = app.add_subcommand("path-hash", "print the service's SM3 hash of a path");
    pathHash->add_option("path", args->path, "the path")->required();
    tool.on(pathHash, [&tool, args] {
        std::string path = servicePath(args->path);
        std::string hash = answer(getPathSm3HashValue(path.c_str()), "path-hash");
        tool.out.result(printable(hash), {{"path", path}, {"sm3", hash}});
    });

    CLI::App* status = app.add_subcommand("status", "print the labelling status of the system");
    tool.on(status, [&tool] {
        int value = getLabelSetStatus();
        if (value == -1) callFailed("status", "the service gave no answer");
        tool.out.result(std::to_string(value), {{"label_status", value}});
    });

    CLI::App* tag = app.add_subcommand("tag", "register devices or kernel modules with the service");
    tag->add_option("tag", args->tag, "device or kmod")->required()->check(CLI::IsMember({"device", "kmod"}));
    tag->add_option("names", args->names, "names to register")->required();
    tool.on(tag, [&tool, args] {
        bool device = args->tag == "device";
        for (const std::string& name : args->names) requireName(name, device ? "device name" : "module name");
        // The call answers nothing; the lookup after it tells whether the
        // names are registered now.
        addTagFullSystem(args->tag.c_str(), args->names);
        try {
            lookupOids(tool, args->names, device);
        } catch (const Failure& f) {
            // Registering is refused to anyone but root: say so, not "not known".
            if (f.code != kRefused || ::geteuid() == 0) throw;
            refused("tag " + args->tag, changeRefusal("refused by the service"));
        }
    });

    CLI::App* hash = app.add_subcommand("hash", "hashes computed locally");
    hash->require_subcommand(1);
    CLI::App* sm3 = hash->add_subcommand("sm3", "the SM3 digest of a text");
    sm3->add_option("text", args->text, "the text")->required();
    sm3->add_option("--bits", args->bits, "print only the last 32 or 64 bits, as a number")
        ->check(CLI::IsMember({32, 64}));
    tool.on(sm3, [&tool, args] {
        if (getSM3HashValue("").empty()) refused("hash sm3", "SM3 is not available");
        if (args->bits == 0) {
            std::string digest = getSM3HashValue(args->text);
            tool.out.result(digest, {{"text", args->text}, {"sm3", digest}});
        } else if (args->bits == 32) {
            uint32_t value = getSM3HashLast32Bits(args->text);
            tool.out.result(std::to_string(value), {{"text", args->text}, {"last32", value}});
        } else {
            uint64_t value = getSM3HashLast64Bits(args->text);
            tool.out.result(std::to_string(value), {{"text", args->text}, {"last64", id64Text(value)}});
        }
    });
    CLI::App* kmodHash = hash->add_subcommand("kmod", "the hash of a kernel module name");
    kmodHash->add_option("name", args->text, "the module name")->required();
    tool.on(kmodHash, [&tool, args] {
        unsigned value = getKmodNameHash(args->text.data(), static_cast<unsigned>(args->text.size()));
        tool.out.result(std::to_string(value), {{"module", args->text}, {"hash", value}});
    });
}

}  // namespace zorvtool
