// get, set, del, clear, show and query for the five attributes that the
// service keeps per path. One table describes the attributes; every command is
// written once over it. Values travel as a ZORV_ID, as in UserSetRecord: a
// single number (package id, Tid, inherit flag) in pkg_id.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tool.h"

namespace zorvtool {

namespace {

enum class Kind { Number64, Number32, Identifier };

struct Attribute {
    const char* name;
    Kind kind;
    uint64_t lowest;  // smallest value that set accepts
    bool recursive;   // whether del and query take the subtree option
    int (*get)(const char* path, ZORV_ID* value);
    int (*set)(const char* path, ZORV_ID value, int option);
    int (*del)(const char* path, int option);
    int (*clear)();
    int (*show)(UserSetRecord** records);
    int (*query)(const char* path, UserSetRecord** records, int option);
};

// The package id's query answers one value rather than records.
int queryPkgIdRecords(const char* path, UserSetRecord** records, int) {
    unsigned long value = 0;
    int status = queryUserSetPkgId(path, &value);
    if (status != 0) return status == 1 ? 0 : status;
    auto* record = static_cast<UserSetRecord*>(std::calloc(1, sizeof(UserSetRecord)));
    if (record == nullptr) return -3;
    std::strncpy(record->path, path, sizeof record->path - 1);
    record->id.pkg_id = value;
    *records = record;
    return 1;
}

const Attribute kAttributes[] = {
    {"pkgid", Kind::Number64, 0, false,
     [](const char* p, ZORV_ID* v) {
         unsigned long x = 0;
         int status = getPkgId(p, &x);
         *v = ZORV_ID{x, 0, 0};
         return status;
     },
     [](const char* p, ZORV_ID v, int) { return setPkgId(p, v.pkg_id); },
     [](const char* p, int) { return delUserSetPkgId(p); }, clearUserSetPkgId, showUserSetPkgId,
     queryPkgIdRecords},
    {"oid", Kind::Identifier, 0, true, getFileOid, setFileOid, delFileOid, clearFileOid, showUserSetFileOid,
     queryUserSetFileOid},
    {"sid", Kind::Identifier, 0, true, getFileSid, setFileSid, delFileSid, clearFileSid, showUserSetFileSid,
     queryUserSetFileSid},
    {"tid", Kind::Number32, 1, true,
     [](const char* p, ZORV_ID* v) {
         unsigned int x = 0;
         int status = getFileTid(p, &x);
         *v = ZORV_ID{x, 0, 0};
         return status;
     },
     [](const char* p, ZORV_ID v, int o) { return setFileTid(p, static_cast<unsigned>(v.pkg_id), o); }, delFileTid,
     clearFileTid, showUserSetFileTid, queryUserSetFileTid},
    {"inherit", Kind::Number32, 0, true,
     [](const char* p, ZORV_ID* v) {
         unsigned int x = 0;
         int status = getFileInheritFlag(p, &x);
         *v = ZORV_ID{x, 0, 0};
         return status;
     },
     [](const char* p, ZORV_ID v, int o) { return setFileInheritFlag(p, static_cast<unsigned>(v.pkg_id), o); },
     delFileInheritFlag, clearFileInheritFlag, showUserSetFileInheritFlag, queryUserSetFileInheritFlag},
};

const Attribute& attribute(const std::string& name) {
    for (const Attribute& a : kAttributes)
        if (name == a.name) return a;
    usageError("unknown attribute '" + name + "'");  // CLI11 has checked it already
}

std::string text(const Attribute& a, const ZORV_ID& v) {
    if (a.kind == Kind::Identifier) return Id(v.pkg_id, v.file_id, v.path_id).toString();
    return std::to_string(v.pkg_id);
}

Json json(const Attribute& a, const ZORV_ID& v) {
    if (a.kind == Kind::Identifier) return text(a, v);
    return v.pkg_id;
}

ZORV_ID parseValue(const Attribute& a, const std::string& value) {
    if (a.kind == Kind::Identifier) return parseIdentifier(value, a.name);
    uint64_t high = a.kind == Kind::Number32 ? UINT32_MAX : UINT64_MAX;
    return ZORV_ID{parseNumber(value, a.name, a.lowest, high), 0, 0};
}

int option(const Attribute& a, bool recursive) {
    if (recursive && !a.recursive) usageError(std::string(a.name) + " has no --recursive form");
    return recursive ? 1 : 0;
}

void printRecords(Tool& tool, const Attribute& a, int count, UserSetRecord* records, const std::string& context) {
    std::unique_ptr<UserSetRecord, decltype(&std::free)> owned(count > 0 ? records : nullptr, &std::free);
    checkStatus(count, context, "refused by the service");
    if (tool.out.json) {
        Json list = Json::array();
        for (int i = 0; i < count; ++i) list.push_back({{"path", records[i].path}, {a.name, json(a, records[i].id)}});
        tool.out.document(list);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) rows.push_back({printable(records[i].path), text(a, records[i].id)});
    std::string heading = a.name;
    for (char& c : heading) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    tool.out.table({"PATH", heading}, rows);
}

}  // namespace

void addAttributeCommands(CLI::App& app, Tool& tool) {
    std::vector<std::string> names;
    for (const Attribute& a : kAttributes) names.push_back(a.name);
    const auto known = CLI::IsMember(names);
    // The values are kept for the actions, which run after parsing.
    struct Args {
        std::string attribute, path, value;
        bool recursive = false, dryRun = false;
    };
    auto args = std::make_shared<Args>();
    auto command = [&](const char* name, const char* help) {
        CLI::App* c = app.add_subcommand(name, help);
        c->add_option("attribute", args->attribute, "pkgid, oid, sid, tid or inherit")->required()->check(known);
        return c;
    };

    CLI::App* get = command("get", "print the value of an attribute of a path");
    get->add_option("path", args->path, "the path")->required();
    tool.on(get, [&tool, args] {
        const Attribute& a = attribute(args->attribute);
        std::string path = servicePath(args->path);
        ZORV_ID value{};
        checkStatus(a.get(path.c_str(), &value), "get " + args->attribute + " " + printable(path),
                    std::string("the service has no ") + a.name + " for this path");
        tool.out.result(text(a, value), {{"path", path}, {a.name, json(a, value)}});
    });

    CLI::App* set = command("set", "record a value of an attribute for a path");
    set->add_option("path", args->path, "the path")->required();
    set->add_option("value", args->value, "a number, or for oid and sid an identifier such as 1-0-2a")->required();
    tool.on(set, [args] {
        const Attribute& a = attribute(args->attribute);
        std::string path = servicePath(args->path);
        ZORV_ID value = parseValue(a, args->value);
        checkStatus(a.set(path.c_str(), value, 0), "set " + args->attribute + " " + printable(path),
                    "refused by the service");
    });

    CLI::App* del = command("del", "remove the value recorded for a path");
    del->add_option("path", args->path, "the path")->required();
    del->add_flag("-r,--recursive", args->recursive, "also the paths below it");
    tool.on(del, [args] {
        const Attribute& a = attribute(args->attribute);
        std::string path = servicePath(args->path);
        checkStatus(a.del(path.c_str(), option(a, args->recursive)), "del " + args->attribute + " " + printable(path),
                    "no value was recorded for this path");
    });

    CLI::App* clear = command("clear", "remove every recorded value of an attribute");
    clear->add_flag("-n,--dry-run", args->dryRun, "only list the values that would be removed");
    tool.on(clear, [&tool, args] {
        const Attribute& a = attribute(args->attribute);
        if (args->dryRun) {
            UserSetRecord* records = nullptr;
            int count = a.show(&records);
            printRecords(tool, a, count, records, "clear " + args->attribute);
            return;
        }
        checkStatus(a.clear(), "clear " + args->attribute, "refused by the service");
    });

    CLI::App* show = command("show", "list every recorded value of an attribute");
    tool.on(show, [&tool, args] {
        const Attribute& a = attribute(args->attribute);
        UserSetRecord* records = nullptr;
        int count = a.show(&records);
        printRecords(tool, a, count, records, "show " + args->attribute);
    });

    CLI::App* query = command("query", "list the values recorded for a path");
    query->add_option("path", args->path, "the path")->required();
    query->add_flag("-r,--recursive", args->recursive, "also the paths below it");
    tool.on(query, [&tool, args] {
        const Attribute& a = attribute(args->attribute);
        std::string path = servicePath(args->path);
        UserSetRecord* records = nullptr;
        int count = a.query(path.c_str(), &records, option(a, args->recursive));
        printRecords(tool, a, count, records, "query " + args->attribute + " " + printable(path));
    });
}

}  // namespace zorvtool
