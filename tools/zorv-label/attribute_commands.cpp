// get, set, del, clear, show and query for the five attributes that the
// service keeps per path. The protocol's table tells what each attribute is
// (its name, key, kind of value and the values it may hold); the tool adds the
// library calls that reach it, and every command is written once over the
// two. Values travel as a ZORV_ID, as in UserSetRecord: a single number
// (package id, Tid, inherit flag) in pkg_id.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "protocol/attributes.h"
#include "protocol/limits.h"
#include "record_stream.h"
#include "tool.h"

namespace zorvtool {

namespace protocol = zorv::protocol;
using protocol::AttributeId;
using protocol::ValueKind;

struct Attribute {
    const protocol::AttributeInfo& info;
    int (*get)(const char* path, ZORV_ID* value);
    int (*set)(const char* path, ZORV_ID value, int option);
    int (*del)(const char* path, int option);
    int (*clear)();
    int (*show)(UserSetRecord** records);
    int (*query)(const char* path, UserSetRecord** records, int option);
};

namespace {

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

// The getter of a single number, its value given in pkg_id.
template <typename Number, int (*get)(const char*, Number*)>
int getNumber(const char* path, ZORV_ID* value) {
    Number number = 0;
    const int status = get(path, &number);
    *value = ZORV_ID{number, 0, 0};
    return status;
}

// The library calls of each of the protocol's attributes, in its order.
constexpr Attribute kAttributes[] = {
    {protocol::attributeInfo(AttributeId::PkgId), getNumber<unsigned long, getPkgId>,
     [](const char* p, ZORV_ID v, int) { return setPkgId(p, v.pkg_id); },
     [](const char* p, int) { return delUserSetPkgId(p); }, clearUserSetPkgId, showUserSetPkgId,
     queryPkgIdRecords},
    {protocol::attributeInfo(AttributeId::Oid), getFileOid, setFileOid, delFileOid, clearFileOid, showUserSetFileOid,
     queryUserSetFileOid},
    {protocol::attributeInfo(AttributeId::Sid), getFileSid, setFileSid, delFileSid, clearFileSid, showUserSetFileSid,
     queryUserSetFileSid},
    {protocol::attributeInfo(AttributeId::Tid), getNumber<unsigned int, getFileTid>,
     [](const char* p, ZORV_ID v, int o) { return setFileTid(p, static_cast<unsigned>(v.pkg_id), o); }, delFileTid,
     clearFileTid, showUserSetFileTid, queryUserSetFileTid},
    {protocol::attributeInfo(AttributeId::InheritFlag), getNumber<unsigned int, getFileInheritFlag>,
     [](const char* p, ZORV_ID v, int o) { return setFileInheritFlag(p, static_cast<unsigned>(v.pkg_id), o); },
     delFileInheritFlag, clearFileInheritFlag, showUserSetFileInheritFlag, queryUserSetFileInheritFlag},
};

constexpr bool inProtocolOrder() {
    if (std::size(kAttributes) != std::size(protocol::kAttributes)) return false;
    for (size_t i = 0; i < std::size(kAttributes); ++i)
        if (&kAttributes[i].info != &protocol::kAttributes[i]) return false;
    return true;
}
static_assert(inProtocolOrder(), "the tool has the calls of every attribute, once, in the protocol's order");

// "pkgid, oid, sid, tid or inherit", for the help and the usage errors.
std::string attributeNames() {
    std::string names;
    for (size_t i = 0; i < std::size(kAttributes); ++i) {
        if (i > 0) names += i + 1 == std::size(kAttributes) ? " or " : ", ";
        names += kAttributes[i].info.name;
    }
    return names;
}

const Attribute& attribute(const std::string& name) {
    for (const Attribute& a : kAttributes)
        if (name == a.info.name) return a;
    usageError("unknown attribute '" + printable(name) + "' (" + attributeNames() + ")");
}

std::string text(const Attribute& a, const ZORV_ID& v) {
    if (a.info.kind == ValueKind::Identifier) return identifierText(v);
    return std::to_string(v.pkg_id);
}

Json json(const Attribute& a, const ZORV_ID& v) {
    if (a.info.kind == ValueKind::Identifier) return identifierText(v);
    if (a.info.kind == ValueKind::Number64) return id64Text(v.pkg_id);
    return v.pkg_id;
}

ZORV_ID checked(const Attribute& a, ZORV_ID v) {
    if (a.info.kind == ValueKind::Identifier) {
        if (!protocol::acceptsIdentifier(v.pkg_id, v.file_id, v.path_id))
            usageError(std::string(a.info.name) +
                       ": the identifier with every bit set means none; it cannot be recorded");
        return v;
    }
    if (v.pkg_id < a.info.lowest || v.pkg_id > a.info.highest)
        usageError(std::string(a.info.name) + " " + std::to_string(v.pkg_id) + " is out of range (" +
                   std::to_string(a.info.lowest) + " to " + std::to_string(a.info.highest) + ")");
    if (a.info.id == AttributeId::InheritFlag && !protocol::isInheritFlag(v.pkg_id))
        usageError("the inherit flag must be 0, 5 or 7");
    return v;
}

ZORV_ID parseValue(const Attribute& a, const std::string& value) {
    if (a.info.kind == ValueKind::Identifier) return checked(a, parseIdentifier(value, a.info.name));
    return checked(a, ZORV_ID{parseNumber(value, a.info.name, 0, UINT64_MAX), 0, 0});
}

// A value in JSON: a number, or a string in a command-line form; for the
// package id also the 16 hex digits that --json prints.
ZORV_ID parseJsonValue(const Attribute& a, const nlohmann::json& value) {
    if (value.is_number_unsigned() && a.info.kind != ValueKind::Identifier)
        return checked(a, ZORV_ID{value.get<uint64_t>(), 0, 0});
    if (!value.is_string())
        usageError(std::string("\"value\" of ") + a.info.name + " must be " +
                   (a.info.kind == ValueKind::Identifier ? "a string" : "a number or a string"));
    const std::string text = value.get<std::string>();
    uint64_t id = 0;
    if (a.info.kind == ValueKind::Number64 && parseId64Text(text, id)) return checked(a, ZORV_ID{id, 0, 0});
    return parseValue(a, text);
}

std::string requirePath(const std::string& path) {
    std::string absolute = servicePath(path);
    if (absolute.size() > protocol::kMaxPathBytes)
        usageError("path longer than " + std::to_string(protocol::kMaxPathBytes) + " bytes");
    return absolute;
}

std::string heading(const Attribute& a) {
    std::string heading = a.info.name;
    for (char& c : heading) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return heading;
}

void printRecords(Tool& tool, const Attribute& a, int count, UserSetRecord* records, const std::string& context) {
    std::unique_ptr<UserSetRecord, decltype(&std::free)> owned(count > 0 ? records : nullptr, &std::free);
    checkStatus(count, context, "refused by the service");
    if (tool.out.json) {
        Json list = Json::array();
        for (int i = 0; i < count; ++i)
            list.push_back({{"path", records[i].path}, {a.info.valueKey, json(a, records[i].id)}});
        tool.out.document(list);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    rows.reserve(count);
    for (int i = 0; i < count; ++i) rows.push_back({printable(records[i].path), text(a, records[i].id)});
    tool.out.table({"PATH", heading(a)}, rows);
}

// Root's listing, which no reply limit bounds: the records come through a
// pipe and are printed as they come (JSON), or once the table's widths are
// known (text). The same text as printRecords gives the same records.
void printStreamed(Tool& tool, const Attribute& a, const std::string& path, const std::string& context) {
    if (tool.out.json) {
        JsonList list(tool.out);
        streamRecords(a.info.name, path, context, [&](const std::string& p, const ZORV_ID& v) {
            list.add({{"path", p}, {a.info.valueKey, json(a, v)}});
        });
        list.close();
        return;
    }
    SpooledTable table({"PATH", heading(a)});
    streamRecords(a.info.name, path, context,
                  [&](const std::string& p, const ZORV_ID& v) { table.add({printable(p), text(a, v)}); });
    table.print(tool.out);
}

// How many records of the attribute the service holds now.
int recordCount(const Attribute& a, const std::string& context) {
    if (::geteuid() == 0) {
        int count = 0;
        streamRecords(a.info.name, "", context, [&count](const std::string&, const ZORV_ID&) { ++count; });
        return count;
    }
    UserSetRecord* records = nullptr;
    int count = a.show(&records);
    if (count > 0) std::free(records);
    checkStatus(count, context, "refused by the service");
    return count;
}

const char* const kVerbs[] = {"set", "del", "clear"};

// A path as a word that apply reads back: quoted when it holds more than
// plain characters, control characters and invalid bytes shown as escapes.
std::string word(const std::string& path) {
    static const char plain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-:@,=%";
    const std::string shown = printable(path);
    if (!shown.empty() && shown.find_first_not_of(plain) == std::string::npos) return shown;
    std::string quoted = "'";
    for (char c : shown) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string AttributeChange::text() const {
    std::string line = std::string(kVerbs[verb]) + " " + attribute->info.name;
    if (verb == Clear) return line;
    line += " " + word(path);
    if (verb == Set) line += " " + zorvtool::text(*attribute, value);
    if (recursive) line += " -r";
    return line;
}

Json AttributeChange::json() const {
    Json object = {{"command", kVerbs[verb]}, {"attribute", attribute->info.name}};
    if (verb != Clear) object["path"] = path;
    if (verb == Set) object["value"] = zorvtool::json(*attribute, value);
    if (verb == Del) object["recursive"] = recursive;
    return object;
}

void AttributeChange::apply() const {
    const Attribute& a = *attribute;
    const std::string context = text();
    switch (verb) {
        case Set:
            checkStatus(a.set(path.c_str(), value, 0), context, changeRefusal("refused by the service"));
            break;
        case Del:
            checkStatus(a.del(path.c_str(), recursive ? 1 : 0), context,
                        changeRefusal(recursive ? "no value was recorded for this path or below it"
                                                : "no value was recorded for this path"));
            break;
        case Clear:
            checkStatus(a.clear(), context, changeRefusal("refused by the service"));
            break;
    }
}

namespace {

// A change from its words, all but the value of a set.
AttributeChange withoutValue(AttributeChange::Verb verb, const ChangeWords& words) {
    AttributeChange change;
    change.verb = verb;
    change.attribute = &attribute(words.attribute);
    if (verb == AttributeChange::Clear) return change;
    change.path = requirePath(words.path);
    if (words.recursive && !change.attribute->info.subtreeOption)
        usageError(std::string(change.attribute->info.name) + " has no --recursive form");
    change.recursive = words.recursive;
    return change;
}

}  // namespace

AttributeChange makeChange(AttributeChange::Verb verb, const ChangeWords& words) {
    AttributeChange change = withoutValue(verb, words);
    if (verb == AttributeChange::Set) change.value = parseValue(*change.attribute, words.value);
    return change;
}

AttributeChange makeChange(const nlohmann::json& object) {
    if (!object.is_object()) usageError("not a JSON object");
    for (const auto& [key, value] : object.items())
        if (key != "command" && key != "attribute" && key != "path" && key != "value" && key != "recursive")
            usageError("unknown key \"" + printable(key) + "\" (command, attribute, path, value, recursive)");
    auto text = [&object](const char* key, bool required) {
        auto it = object.find(key);
        if (it == object.end()) {
            if (required) usageError(std::string("\"") + key + "\" is missing");
            return std::string();
        }
        if (!it->is_string()) usageError(std::string("\"") + key + "\" must be a string");
        return it->get<std::string>();
    };
    const std::string command = text("command", true);
    int verb = -1;
    for (int v = 0; v < 3; ++v)
        if (command == kVerbs[v]) verb = v;
    if (verb < 0) usageError("\"command\" '" + printable(command) + "' is none of set, del, clear");
    ChangeWords words;
    words.attribute = text("attribute", true);
    const bool clear = verb == AttributeChange::Clear, set = verb == AttributeChange::Set;
    if (!clear) words.path = text("path", true);
    if (clear && object.contains("path")) usageError("clear takes no \"path\"");
    if (!set && object.contains("value")) usageError(command + " takes no \"value\"");
    if (set && !object.contains("value")) usageError("\"value\" is missing");
    if (auto r = object.find("recursive"); r != object.end()) {
        if (!r->is_boolean()) usageError("\"recursive\" must be true or false");
        if (verb != AttributeChange::Del) usageError(command + " takes no \"recursive\"");
        words.recursive = r->get<bool>();
    }
    AttributeChange change = withoutValue(static_cast<AttributeChange::Verb>(verb), words);
    if (set) change.value = parseJsonValue(*change.attribute, object.at("value"));
    return change;
}

namespace {

// A command whose first word names the attribute.
CLI::App* attributeCommand(CLI::App& app, const char* name, const char* help, std::string& attribute) {
    std::vector<std::string> names;
    for (const Attribute& a : kAttributes) names.push_back(a.info.name);
    CLI::App* c = app.add_subcommand(name, help);
    c->add_option("attribute", attribute, attributeNames())->required()->check(CLI::IsMember(names));
    return c;
}

}  // namespace

std::vector<CLI::App*> addChangeCommands(CLI::App& app, ChangeWords& words) {
    auto command = [&](const char* name, const char* help) {
        return attributeCommand(app, name, help, words.attribute);
    };
    CLI::App* set = command("set", "record a value of an attribute for a path");
    set->add_option("path", words.path, "the path")->required();
    set->add_option("value", words.value, "a number, or for oid and sid an identifier such as 1-0-2a")->required();
    CLI::App* del = command("del", "remove the value recorded for a path");
    del->add_option("path", words.path, "the path")->required();
    del->add_flag("-r,--recursive", words.recursive, "also the paths below it");
    CLI::App* clear = command("clear", "remove every recorded value of an attribute");
    return {set, del, clear};
}

void addAttributeCommands(CLI::App& app, Tool& tool) {
    // The values are kept for the actions, which run after parsing.
    struct Args {
        ChangeWords words;
        bool dryRun = false;
    };
    auto args = std::make_shared<Args>();
    auto command = [&](const char* name, const char* help) {
        return attributeCommand(app, name, help, args->words.attribute);
    };

    CLI::App* get = command("get", "print the value of an attribute of a path");
    get->add_option("path", args->words.path, "the path")->required();
    tool.on(get, [&tool, args] {
        const Attribute& a = attribute(args->words.attribute);
        std::string path = requirePath(args->words.path);
        ZORV_ID value{};
        checkStatus(a.get(path.c_str(), &value), "get " + args->words.attribute + " " + printable(path),
                    std::string("the service has no ") + a.info.name + " for this path");
        tool.out.result(text(a, value), {{"path", path}, {a.info.valueKey, json(a, value)}});
    });

    std::vector<CLI::App*> changes = addChangeCommands(app, args->words);
    changes[2]->add_flag("--dry-run", args->dryRun, "print how many values would be removed; change nothing");
    tool.on(changes[0], [&tool, args] {
        AttributeChange change = makeChange(AttributeChange::Set, args->words);
        change.apply();
        tool.out.changed(
            {{"path", change.path}, {change.attribute->info.valueKey, json(*change.attribute, change.value)}});
    });
    tool.on(changes[1], [&tool, args] {
        AttributeChange change = makeChange(AttributeChange::Del, args->words);
        change.apply();
        tool.out.changed(
            {{"attribute", change.attribute->info.name}, {"path", change.path}, {"recursive", change.recursive}});
    });
    tool.on(changes[2], [&tool, args] {
        AttributeChange change = makeChange(AttributeChange::Clear, args->words);
        const Attribute& a = *change.attribute;
        if (args->dryRun) {
            int count = recordCount(a, "clear " + std::string(a.info.name));
            tool.out.result("would remove " + std::to_string(count) + " " + a.info.name + " values",
                            {{"attribute", a.info.name}, {"count", count}, {"dry_run", true}});
            return;
        }
        change.apply();
        tool.out.changed({{"attribute", a.info.name}, {"dry_run", false}});
    });

    CLI::App* show = command("show", "list every recorded value of an attribute");
    tool.on(show, [&tool, args] {
        const Attribute& a = attribute(args->words.attribute);
        if (::geteuid() == 0) return printStreamed(tool, a, "", "show " + args->words.attribute);
        UserSetRecord* records = nullptr;
        int count = a.show(&records);
        printRecords(tool, a, count, records, "show " + args->words.attribute);
    });

    CLI::App* query = command("query", "list the values recorded for a path");
    query->add_option("path", args->words.path, "the path")->required();
    query->add_flag("-r,--recursive", args->words.recursive, "also the paths below it");
    tool.on(query, [&tool, args] {
        const Attribute& a = attribute(args->words.attribute);
        std::string path = requirePath(args->words.path);
        if (args->words.recursive && !a.info.subtreeOption)
            usageError(std::string(a.info.name) + " has no --recursive form");
        const std::string context = "query " + args->words.attribute + " " + printable(path);
        if (args->words.recursive && ::geteuid() == 0) return printStreamed(tool, a, path, context);
        UserSetRecord* records = nullptr;
        int count = a.query(path.c_str(), &records, args->words.recursive ? 1 : 0);
        printRecords(tool, a, count, records, context);
    });
}

}  // namespace zorvtool
