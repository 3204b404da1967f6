#include "store_transfer.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "paths.h"
#include "read_snapshot.h"
#include "wire.h"

namespace zorvd {

namespace {

using json = nlohmann::json;

const char* const kFormat = "zorv-label-export";
constexpr int kVersion = 1;

// Section of each attribute under "records", and the key of its value, in
// the order of Attribute.
const char* const kSections[] = {"pkgid", "oid", "sid", "tid", "inherit"};
const char* const kValueKeys[] = {"pkg_id", "oid", "sid", "tid", "inherit"};
constexpr Attribute kAttributes[] = {Attribute::PkgId, Attribute::Oid, Attribute::Sid, Attribute::Tid,
                                     Attribute::InheritFlag};

constexpr uint64_t kAllOnes = ~uint64_t(0);

bool identifierValued(Attribute a) { return a == Attribute::Oid || a == Attribute::Sid; }

std::string hex16(uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, v);
    return text;
}

std::string identifierText(uint64_t a, uint64_t b, uint64_t c) { return hex16(a) + "-" + hex16(b) + "-" + hex16(c); }

std::string quoted(const std::string& text) {
    try {
        return json(text).dump();
    } catch (const json::exception&) {
        throw CallError(DBUS_ERROR_FAILED, "a stored name is not valid UTF-8: \"" + text.substr(0, 200) + "\"");
    }
}

// Writes `open`, then each item on a line of its own, then the closing bracket.
class List {
public:
    List(DescriptorWriter& out, const char* open) : out_(out) { out_.write(open); }
    void item(const std::string& text) {
        out_.write(first_ ? "\n" : ",\n");
        out_.write(text);
        first_ = false;
    }
    void close(const char* bracket) {
        if (!first_) out_.write("\n");
        out_.write(bracket);
    }

private:
    DescriptorWriter& out_;
    bool first_ = true;
};

// --- Reading a document ------------------------------------------------------

[[noreturn]] void invalid(const std::string& where, const std::string& what) {
    throw CallError(DBUS_ERROR_INVALID_ARGS, "the import " + where + ": " + what);
}

// The element's keys must be exactly `keys`.
void exactKeys(const json& e, std::initializer_list<const char*> keys, const std::string& where) {
    if (!e.is_object()) invalid(where, "is not an object");
    for (const char* k : keys)
        if (!e.contains(k)) invalid(where, std::string("lacks \"") + k + "\"");
    if (e.size() != keys.size())
        for (const auto& item : e.items()) {
            bool known = false;
            for (const char* k : keys) known = known || item.key() == k;
            if (!known) invalid(where, "has an unknown key \"" + item.key() + "\"");
        }
}

// No string that came over the bus holds a NUL; none that is imported may.
std::string text(const json& v, const std::string& where) {
    if (!v.is_string()) invalid(where, "is not a string");
    std::string t = v.get<std::string>();
    if (t.find('\0') != std::string::npos) invalid(where, "holds a NUL character");
    return t;
}

uint64_t number(const json& v, const std::string& where, uint64_t low, uint64_t high) {
    if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0)) invalid(where, "is not a number");
    uint64_t n = v.get<uint64_t>();
    if (n < low || n > high) invalid(where, "is out of range");
    return n;
}

// Exactly 16 hexadecimal digits.
uint64_t hexAt(const std::string& t, std::size_t at, const std::string& where) {
    uint64_t n = 0;
    for (std::size_t i = at; i < at + 16; ++i) {
        char ch = i < t.size() ? t[i] : '\0';
        int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                : ch >= 'A' && ch <= 'F'               ? ch - 'A' + 10
                                                       : -1;
        if (d < 0) invalid(where, "is not 16 hexadecimal digits");
        n = n << 4 | static_cast<uint64_t>(d);
    }
    return n;
}

uint64_t hexNumber(const json& v, const std::string& where) {
    std::string t = text(v, where);
    if (t.size() != 16) invalid(where, "is not 16 hexadecimal digits");
    return hexAt(t, 0, where);
}

ZORV_ID identifier(const json& v, const std::string& where) {
    std::string t = text(v, where);
    if (t.size() != 50 || t[16] != '-' || t[33] != '-') invalid(where, "is not an identifier of 50 characters");
    return ZORV_ID{hexAt(t, 0, where), hexAt(t, 17, where), hexAt(t, 34, where)};
}

std::string normalOnly(const json& v, const std::string& where) {
    std::string p = text(v, where);
    if (normalPath(p) != p) invalid(where, "is not in normal form");
    return p;
}

// Inserts of an import; a row that is there already makes the document invalid.
class Importer {
public:
    explicit Importer(Store& writer)
        : db_(writer.handle()),
          package_(db_, "INSERT INTO package(id, name) VALUES(?1, ?2)"),
          file_(db_, "INSERT INTO package_file(path, pkg_id, type) VALUES(?1, ?2, ?3)"),
          record_(db_, "INSERT INTO user_set(attribute, path, pkg_id, file_id, path_id) VALUES(?1, ?2, ?3, ?4, ?5)"),
          object_(db_, "INSERT INTO system_object(kind, name, oid) VALUES(?1, ?2, ?3)") {
        Statement any(db_,
                      "SELECT EXISTS(SELECT 1 FROM user_set) OR EXISTS(SELECT 1 FROM package) OR"
                      " EXISTS(SELECT 1 FROM package_file) OR EXISTS(SELECT 1 FROM system_object)");
        Query q = any.use();
        if (q.next() && q.number(0) != 0)
            throw CallError(DBUS_ERROR_FAILED, "the service holds records already: an import goes into an empty one");
    }

    void object(ObjectKind kind, const json& e) {
        const char* key = kind == ObjectKind::Device ? "device" : "module";
        const std::string where = std::string(key) + " " + (e.is_object() && e.contains(key) ? e[key].dump() : "");
        exactKeys(e, {key, "oid"}, where);
        std::string name = text(e[key], where);
        checkedName(name, "a device or module name", kMaxPath);
        uint64_t oid = hexNumber(e["oid"], where + " oid");
        if (oid == kAllOnes) invalid(where, "has the failure value as its oid");
        insert(object_, where, [&](Query& q) { q.bind(1, uint64_t(kind)).bind(2, name).bind(3, oid); });
        ++counts[kind == ObjectKind::Device ? "devices" : "modules"];
    }

    void package(const json& e) {
        const std::string where = "package " + (e.is_object() && e.contains("name") ? e["name"].dump() : "");
        exactKeys(e, {"pkg_id", "name", "files"}, where);
        uint64_t id = hexNumber(e["pkg_id"], where + " pkg_id");
        if (id == 0 || id > uint64_t(INT64_MAX)) invalid(where, "pkg_id is out of range");
        std::string name = text(e["name"], where);
        checkedName(name, "a package name");
        if (!e["files"].is_array()) invalid(where, "files is not a list");
        insert(package_, where, [&](Query& q) { q.bind(1, id).bind(2, name); });
        for (const json& f : e["files"]) {
            const std::string at = where + " file " + (f.is_object() && f.contains("path") ? f["path"].dump() : "");
            exactKeys(f, {"path", "type"}, at);
            std::string path = normalOnly(f["path"], at);
            uint64_t type = number(f["type"], at + " type", 1, 4);
            insert(file_, at, [&](Query& q) { q.bind(1, path).bind(2, id).bind(3, type); });
        }
        ++counts["packages"];
        counts["files"] += e["files"].size();
    }

    void record(std::size_t attribute, const json& e) {
        const Attribute a = kAttributes[attribute];
        const char* key = kValueKeys[attribute];
        const std::string where = std::string("record ") + kSections[attribute] + " " +
                                  (e.is_object() && e.contains("path") ? e["path"].dump() : "");
        exactKeys(e, {"path", key}, where);
        std::string path = normalOnly(e["path"], where);
        ZORV_ID v{0, 0, 0};
        bool ok = true;
        switch (a) {
            case Attribute::PkgId: v.pkg_id = hexNumber(e[key], where); ok = v.pkg_id != kAllOnes; break;
            case Attribute::Oid:
            case Attribute::Sid:
                v = identifier(e[key], where);
                ok = !(v.pkg_id == kAllOnes && v.file_id == kAllOnes && v.path_id == kAllOnes);
                break;
            case Attribute::Tid: v.pkg_id = number(e[key], where, 1, UINT32_MAX - 1); break;
            case Attribute::InheritFlag:
                v.pkg_id = number(e[key], where, 0, 7);
                ok = v.pkg_id == 0 || v.pkg_id == 5 || v.pkg_id == 7;
                break;
        }
        if (!ok) invalid(where, "holds a value the service refuses");
        insert(record_, where, [&](Query& q) {
            q.bind(1, uint64_t(a)).bind(2, path).bind(3, v.pkg_id).bind(4, v.file_id).bind(5, v.path_id);
        });
        ++counts["records"];
    }

    TransferCounts counts{{"devices", 0}, {"files", 0}, {"modules", 0}, {"packages", 0}, {"records", 0}};

private:
    template <typename Bind>
    void insert(Statement& s, const std::string& where, Bind bind) {
        Query q = s.use();
        bind(q);
        try {
            q.run();
        } catch (const StoreError& e) {
            if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_CONSTRAINT) invalid(where, "appears twice");
            throw;
        }
    }

    sqlite3* db_;
    Statement package_, file_, record_, object_;
};

}  // namespace

TransferCounts exportStore(Store& records, DescriptorWriter& out) {
    sqlite3* db = records.handle();
    Snapshot snapshot(db);
    TransferCounts counts{{"devices", 0}, {"files", 0}, {"modules", 0}, {"packages", 0}, {"records", 0}};
    out.write(std::string("{\"format\":\"") + kFormat + "\",\"version\":" + std::to_string(kVersion) + ",\n");

    Statement objects(db, "SELECT name, oid FROM system_object WHERE kind = ?1 ORDER BY name");
    for (ObjectKind kind : {ObjectKind::Device, ObjectKind::KernelModule}) {
        const bool device = kind == ObjectKind::Device;
        List list(out, device ? "\"devices\":[" : ",\n\"modules\":[");
        Query q = objects.use();
        q.bind(1, uint64_t(kind));
        while (q.next()) {
            list.item(std::string("{\"") + (device ? "device" : "module") + "\":" + quoted(q.text(0)) + ",\"oid\":\"" +
                      hex16(q.number(1)) + "\"}");
            ++counts[device ? "devices" : "modules"];
        }
        list.close("]");
    }

    {
        List packages(out, ",\n\"packages\":[");
        Statement rows(db,
                       "SELECT p.id, p.name, f.path, f.type FROM package p LEFT JOIN package_file f ON f.pkg_id = p.id"
                       " ORDER BY p.id, f.path");
        Query q = rows.use();
        bool open = false, more = q.next();
        while (more) {
            const uint64_t id = q.number(0);
            if (open) out.write("]}");
            packages.item("{\"pkg_id\":\"" + hex16(id) + "\",\"name\":" + quoted(q.text(1)) + ",\"files\":[");
            open = true;
            ++counts["packages"];
            bool firstFile = true;
            for (; more && q.number(0) == id; more = q.next()) {
                if (q.text(2).empty()) continue;  // a package without files (no path is empty)
                out.write(firstFile ? "\n" : ",\n");
                out.write("{\"path\":" + quoted(q.text(2)) + ",\"type\":" + std::to_string(q.number(3)) + "}");
                firstFile = false;
                ++counts["files"];
            }
            if (!firstFile) out.write("\n");
        }
        if (open) out.write("]}");
        packages.close("]");
    }

    out.write(",\n\"records\":{");
    Statement values(db, "SELECT path, pkg_id, file_id, path_id FROM user_set WHERE attribute = ?1 ORDER BY path");
    for (std::size_t i = 0; i < 5; ++i) {
        List list(out, (std::string(i ? ",\n\"" : "\n\"") + kSections[i] + "\":[").c_str());
        Query q = values.use();
        q.bind(1, uint64_t(kAttributes[i]));
        while (q.next()) {
            std::string value = identifierValued(kAttributes[i])
                                    ? "\"" + identifierText(q.number(1), q.number(2), q.number(3)) + "\""
                                : kAttributes[i] == Attribute::PkgId ? "\"" + hex16(q.number(1)) + "\""
                                                                     : std::to_string(q.number(1));
            list.item("{\"path\":" + quoted(q.text(0)) + ",\"" + kValueKeys[i] + "\":" + value + "}");
            ++counts["records"];
        }
        list.close("]");
    }
    out.write("\n}}\n");
    out.flush();
    return counts;
}

TransferCounts importStore(Store& writer, const std::string& document) {
    Importer importer(writer);
    // Elements are taken as the parser finishes them and then dropped, so
    // that a large document never stands whole in memory as values.
    std::vector<char> containers;  // 'o' object, 'a' array, from the top down
    std::string section, attribute;
    auto inArray = [&containers](std::size_t depth) { return containers.size() == depth && containers.back() == 'a'; };
    auto callback = [&](int depth, json::parse_event_t event, json& parsed) -> bool {
        switch (event) {
            case json::parse_event_t::object_start: containers.push_back('o'); return true;
            case json::parse_event_t::array_start: containers.push_back('a'); return true;
            case json::parse_event_t::array_end: containers.pop_back(); return true;
            case json::parse_event_t::key:
                if (depth == 1) section = parsed.get<std::string>();
                if (depth == 2 && section == "records") attribute = parsed.get<std::string>();
                return true;
            case json::parse_event_t::value: return true;
            case json::parse_event_t::object_end: break;
        }
        containers.pop_back();
        if (depth == 2 && inArray(2) && (section == "devices" || section == "modules")) {
            importer.object(section == "devices" ? ObjectKind::Device : ObjectKind::KernelModule, parsed);
            return false;
        }
        if (depth == 2 && inArray(2) && section == "packages") {
            importer.package(parsed);
            return false;
        }
        if (depth == 3 && inArray(3) && section == "records") {
            for (std::size_t i = 0; i < 5; ++i)
                if (attribute == kSections[i]) {
                    importer.record(i, parsed);
                    return false;
                }
        }
        return true;
    };
    json rest;
    try {
        rest = json::parse(document, callback);
    } catch (const json::parse_error& e) {
        throw CallError(DBUS_ERROR_INVALID_ARGS, std::string("the import is not JSON: ") + e.what());
    }
    // What is left: the header and the emptied lists.
    if (!rest.is_object() || rest.value("format", json()) != kFormat)
        invalid("document", std::string("is not a ") + kFormat + " document");
    if (rest.value("version", json()) != kVersion)
        invalid("document", "is of version " + rest.value("version", json()).dump() + ", not " + std::to_string(kVersion));
    for (const auto& item : rest.items()) {
        const std::string& key = item.key();
        if (key == "format" || key == "version") continue;
        if (key == "records") {
            if (!item.value().is_object()) invalid("document", "records is not an object");
            for (const auto& list : item.value().items()) {
                bool known = false;
                for (const char* s : kSections) known = known || list.key() == s;
                if (!known) invalid("document", "has no records of kind \"" + list.key() + "\"");
                if (!list.value().is_array() || !list.value().empty())
                    invalid("document", "records " + list.key() + " is not a list of objects");
            }
            continue;
        }
        if (key != "devices" && key != "modules" && key != "packages")
            invalid("document", "has an unknown key \"" + key + "\"");
        if (!item.value().is_array() || !item.value().empty()) invalid("document", key + " is not a list of objects");
    }
    return importer.counts;
}

}  // namespace zorvd
