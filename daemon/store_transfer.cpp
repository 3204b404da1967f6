#include "store_transfer.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
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

const char* const kRecordPaths[] = {"a path of the pkgid records", "a path of the oid records",
                                    "a path of the sid records", "a path of the tid records",
                                    "a path of the inherit records"};

constexpr uint64_t kAllOnes = ~uint64_t(0);

bool identifierValued(Attribute a) { return a == Attribute::Oid || a == Attribute::Sid; }

std::string hex16(uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, v);
    return text;
}

std::string identifierText(uint64_t a, uint64_t b, uint64_t c) { return hex16(a) + "-" + hex16(b) + "-" + hex16(c); }

// `what` (and the package it belongs to) name the value in the error text;
// the value itself never goes there: it is not valid UTF-8, which the bus
// would refuse.
std::string quoted(const std::string& text, const char* what, uint64_t package = 0) {
    try {
        return json(text).dump();
    } catch (const json::exception&) {
        throw CallError(DBUS_ERROR_FAILED, std::string(what) + (package ? " of package " + hex16(package) : "") +
                                               " in the store is not valid UTF-8");
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

// A value of an element as the reader met it: elements hold nothing but
// these. Error texts name a value by its place and key, never by its bytes.
struct ElementValue {
    enum class Kind { Other, Text, Number };  // Number: an integer of 0 or more
    Kind kind = Kind::Other;
    std::string text;
    uint64_t number = 0;
};

// No string that came over the bus holds a NUL; none that is imported may.
const std::string& text(const ElementValue& v, const std::string& where, const char* key) {
    if (v.kind != ElementValue::Kind::Text) invalid(where, std::string(key) + " is not a string");
    if (v.text.find('\0') != std::string::npos) invalid(where, std::string(key) + " holds a NUL character");
    return v.text;
}

uint64_t number(const ElementValue& v, const std::string& where, const char* key, uint64_t low, uint64_t high) {
    if (v.kind != ElementValue::Kind::Number) invalid(where, std::string(key) + " is not a number");
    if (v.number < low || v.number > high) invalid(where, std::string(key) + " is out of range");
    return v.number;
}

// Exactly 16 hexadecimal digits.
uint64_t hexAt(const std::string& t, std::size_t at, const std::string& where, const char* key) {
    uint64_t n = 0;
    for (std::size_t i = at; i < at + 16; ++i) {
        char ch = i < t.size() ? t[i] : '\0';
        int d = ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                : ch >= 'A' && ch <= 'F'               ? ch - 'A' + 10
                                                       : -1;
        if (d < 0) invalid(where, std::string(key) + " is not 16 hexadecimal digits");
        n = n << 4 | static_cast<uint64_t>(d);
    }
    return n;
}

uint64_t hexNumber(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& t = text(v, where, key);
    if (t.size() != 16) invalid(where, std::string(key) + " is not 16 hexadecimal digits");
    return hexAt(t, 0, where, key);
}

ZORV_ID identifier(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& t = text(v, where, key);
    if (t.size() != 50 || t[16] != '-' || t[33] != '-')
        invalid(where, std::string(key) + " is not an identifier of 50 characters");
    return ZORV_ID{hexAt(t, 0, where, key), hexAt(t, 17, where, key), hexAt(t, 34, where, key)};
}

std::string normalOnly(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& p = text(v, where, key);
    bool normal = false;
    try {
        normal = normalPath(p) == p;
    } catch (const CallError&) {  // its text quotes the path
        invalid(where, std::string(key) + " is not an absolute path of at most 4095 bytes");
    }
    if (!normal) invalid(where, std::string(key) + " is not in normal form");
    return p;
}

std::string nameText(const ElementValue& v, const std::string& where, const char* key, std::size_t limit) {
    const std::string& t = text(v, where, key);
    if (t.empty() || t.size() > limit)
        invalid(where, std::string(key) + " must be 1 to " + std::to_string(limit) + " bytes long");
    return t;
}

// A file of a package, checked; those read before the package's identifier
// wait for it.
struct ImportedFile {
    std::string path;
    uint64_t type;
    std::size_t index;  // in the package's list
};

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

    void object(ObjectKind kind, const std::string& where, const ElementValue& nameValue,
                const ElementValue& oidValue) {
        const char* key = kind == ObjectKind::Device ? "device" : "module";
        std::string n = nameText(nameValue, where, key, kMaxPath);
        uint64_t oid = hexNumber(oidValue, where, "oid");
        if (oid == kAllOnes) invalid(where, "has the failure value as its oid");
        insert(object_, where, [&](Query& q) { q.bind(1, uint64_t(kind)).bind(2, n).bind(3, oid); });
        ++counts[kind == ObjectKind::Device ? "devices" : "modules"];
    }

    uint64_t packageId(const ElementValue& v, const std::string& where) {
        uint64_t id = hexNumber(v, where, "pkg_id");
        if (id == 0 || id > uint64_t(INT64_MAX)) invalid(where, "pkg_id is out of range");
        return id;
    }

    void package(uint64_t id, const ElementValue& nameValue, const std::string& where) {
        std::string n = nameText(nameValue, where, "name", 255);
        insert(package_, where, [&](Query& q) { q.bind(1, id).bind(2, n); });
        ++counts["packages"];
    }

    ImportedFile file(const ElementValue& path, const ElementValue& type, std::size_t index, const std::string& where) {
        ImportedFile f{normalOnly(path, where, "path"), 0, index};
        f.type = number(type, where, "type", 1, 4);
        return f;
    }

    void insertFile(uint64_t id, const ImportedFile& f, const std::string& where) {
        insert(file_, where, [&](Query& q) { q.bind(1, f.path).bind(2, id).bind(3, f.type); });
        ++counts["files"];
    }

    void record(std::size_t attribute, const std::string& where, const ElementValue& pathValue,
                const ElementValue& value) {
        const Attribute a = kAttributes[attribute];
        const char* key = kValueKeys[attribute];
        std::string path = normalOnly(pathValue, where, "path");
        ZORV_ID v{0, 0, 0};
        bool ok = true;
        switch (a) {
            case Attribute::PkgId: v.pkg_id = hexNumber(value, where, key); ok = v.pkg_id != kAllOnes; break;
            case Attribute::Oid:
            case Attribute::Sid:
                v = identifier(value, where, key);
                ok = !(v.pkg_id == kAllOnes && v.file_id == kAllOnes && v.path_id == kAllOnes);
                break;
            case Attribute::Tid: v.pkg_id = number(value, where, key, 1, UINT32_MAX - 1); break;
            case Attribute::InheritFlag:
                v.pkg_id = number(value, where, key, 0, 7);
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

// The keys of the top object, of the records object and of each kind of
// element, in the order the reader numbers them.
const char* const kTopKeys[] = {"format", "version", "devices", "modules", "packages", "records"};
enum TopKey { kFormatKey, kVersionKey, kDevicesKey, kModulesKey, kPackagesKey, kRecordsKey };
enum PackageKey { kPkgIdKey, kNameKey, kFilesKey };

// The lists of elements: the three of the top object, then the five of
// "records" in the order of kSections.
enum ElementList { kDevices, kModules, kPackages, kFirstRecords };
constexpr std::size_t kLists = kFirstRecords + 5;
const char* const kListNames[kLists] = {"devices",   "modules",   "packages",      "records.pkgid",
                                        "records.oid", "records.sid", "records.tid", "records.inherit"};

struct KeyList {
    const char* names[3];
    std::size_t count;
};

KeyList elementKeys(std::size_t list) {
    switch (list) {
        case kDevices: return {{"device", "oid", nullptr}, 2};
        case kModules: return {{"module", "oid", nullptr}, 2};
        case kPackages: return {{"pkg_id", "name", "files"}, 3};
        default: return {{"path", kValueKeys[list - kFirstRecords], nullptr}, 2};
    }
}
const KeyList kFileKeys{{"path", "type", nullptr}, 2};

template <std::size_t N>
int indexOf(const char* const (&names)[N], std::size_t count, const std::string& key) {
    for (std::size_t i = 0; i < count && i < N; ++i)
        if (key == names[i]) return static_cast<int>(i);
    return -1;
}

// The fields of the element being read: a scalar for each key seen.
struct ElementFields {
    ElementValue values[3];
    unsigned seen = 0;  // a bit for each key
    std::size_t index = 0;
};

// Reads a document as the parser meets it, knowing at each point which
// container of the format it is in: the top object; "records"; a list of
// elements; an element; a package's "files"; a file. Whatever the format has
// no place for is refused at once, before it is read further: a container
// where the format has none (so nothing nests deeper than a file in a
// package, five levels), an unknown key, a key twice, a value of the wrong
// kind. Elements are kept as scalars only, imported when they end and then
// dropped; a package's files are imported one by one.
class DocumentReader : public nlohmann::json_sax<json> {
public:
    explicit DocumentReader(Importer& importer) : importer_(importer) {}

    bool null() override { return scalar(ElementValue{}); }
    bool boolean(bool) override { return scalar(ElementValue{}); }
    bool number_integer(number_integer_t n) override {  // below zero, or "-0"
        return n == 0 ? number_unsigned(0) : scalar(ElementValue{});
    }
    bool number_unsigned(number_unsigned_t n) override {
        return scalar(ElementValue{ElementValue::Kind::Number, {}, n});
    }
    bool number_float(number_float_t, const string_t&) override { return scalar(ElementValue{}); }
    bool string(string_t& value) override {
        return scalar(ElementValue{ElementValue::Kind::Text, std::move(value), 0});
    }
    bool binary(binary_t&) override { return scalar(ElementValue{}); }

    bool start_object(std::size_t) override {
        switch (here()) {
            case Place::Outside: enter(Place::Top); return true;
            case Place::Top:
                if (topKey_ != kRecordsKey) wrongKind();
                enter(Place::Records);
                return true;
            case Place::List:
                element_ = ElementFields{};
                element_.index = listCount_++;
                files_.clear();
                packageId_ = 0;
                enter(Place::Element);
                return true;
            case Place::Files:
                file_ = ElementFields{};
                file_.index = fileCount_++;
                enter(Place::File);
                return true;
            default: wrongKind();
        }
    }

    bool start_array(std::size_t) override {
        switch (here()) {
            case Place::Top:
                if (topKey_ != kDevicesKey && topKey_ != kModulesKey && topKey_ != kPackagesKey) wrongKind();
                startList(topKey_ == kDevicesKey ? kDevices : topKey_ == kModulesKey ? kModules : kPackages);
                return true;
            case Place::Records: startList(kFirstRecords + recordsKey_); return true;
            case Place::Element:
                if (list_ != kPackages || elementKey_ != kFilesKey) wrongKind();
                // The files go in one by one once the package's identifier is
                // known; those that come before it wait for it.
                if (element_.seen & 1u << kPkgIdKey)
                    packageId_ = importer_.packageId(element_.values[kPkgIdKey], where());
                fileCount_ = 0;
                enter(Place::Files);
                return true;
            default: wrongKind();
        }
    }

    bool key(string_t& key) override {
        switch (here()) {
            case Place::Top: topKey_ = keyIndex(kTopKeys, 6, key, topSeen_, "document"); return true;
            case Place::Records: recordsKey_ = keyIndex(kSections, 5, key, recordsSeen_, "records"); return true;
            case Place::Element: {
                const KeyList keys = elementKeys(list_);
                elementKey_ = keyIndex(keys.names, keys.count, key, element_.seen, where());
                return true;
            }
            case Place::File:
                fileKey_ = keyIndex(kFileKeys.names, kFileKeys.count, key, file_.seen, fileWhere(file_.index));
                return true;
            default: throw std::logic_error("a key outside an object");
        }
    }

    bool end_object() override {
        switch (leave()) {
            case Place::Top:
                if (!(topSeen_ & 1u << kFormatKey)) notAnExport();
                if (!(topSeen_ & 1u << kVersionKey)) invalid("document", "has no version");
                return true;
            case Place::Element: endElement(); return true;
            case Place::File: {
                const std::string at = fileWhere(file_.index);
                complete(file_, kFileKeys, at);
                ImportedFile f = importer_.file(file_.values[0], file_.values[1], file_.index, at);
                if (packageId_ != 0)
                    importer_.insertFile(packageId_, f, at);
                else
                    files_.push_back(std::move(f));
                return true;
            }
            default: return true;  // "records"
        }
    }

    bool end_array() override {
        leave();
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        // The parser's own text quotes the bytes it stopped at.
        throw CallError(DBUS_ERROR_INVALID_ARGS, "the import is not JSON at byte " + std::to_string(position));
    }

private:
    enum class Place { Outside, Top, Records, List, Element, Files, File };
    static constexpr std::size_t kMaxDepth = 5;  // top, "packages", a package, "files", a file

    Place here() const { return depth_ == 0 ? Place::Outside : places_[depth_ - 1]; }
    void enter(Place p) {
        if (depth_ == kMaxDepth) throw std::logic_error("the format nests deeper than it does");
        places_[depth_++] = p;
    }
    Place leave() { return places_[--depth_]; }

    void startList(std::size_t list) {
        list_ = list;
        listCount_ = 0;
        enter(Place::List);
    }

    // The place of the element or file being read, by list and index.
    std::string where() const { return std::string(kListNames[list_]) + "[" + std::to_string(element_.index) + "]"; }
    std::string fileWhere(std::size_t index) const { return where() + ".files[" + std::to_string(index) + "]"; }

    template <std::size_t N>
    int keyIndex(const char* const (&names)[N], std::size_t count, const std::string& key, unsigned& seen,
                 const std::string& at) {
        const int i = indexOf(names, count, key);
        if (i < 0) invalid(at, "has a key the format does not know");
        if (seen & 1u << i) invalid(at, std::string("has \"") + names[i] + "\" twice");
        seen |= 1u << i;
        return i;
    }

    static void complete(const ElementFields& f, const KeyList& keys, const std::string& at) {
        for (std::size_t i = 0; i < keys.count; ++i)
            if (!(f.seen & 1u << i)) invalid(at, std::string("lacks \"") + keys.names[i] + "\"");
    }

    void endElement() {
        const std::string at = where();
        complete(element_, elementKeys(list_), at);
        ElementValue* v = element_.values;
        switch (list_) {
            case kDevices: importer_.object(ObjectKind::Device, at, v[0], v[1]); break;
            case kModules: importer_.object(ObjectKind::KernelModule, at, v[0], v[1]); break;
            case kPackages: {
                const uint64_t id = packageId_ != 0 ? packageId_ : importer_.packageId(v[kPkgIdKey], at);
                importer_.package(id, v[kNameKey], at);
                for (const ImportedFile& f : files_) importer_.insertFile(id, f, fileWhere(f.index));
                files_.clear();
                files_.shrink_to_fit();
                break;
            }
            default: importer_.record(list_ - kFirstRecords, at, v[0], v[1]);
        }
    }

    // A scalar where the format has one, or the refusal of one where it has not.
    bool scalar(ElementValue&& v) {
        switch (here()) {
            case Place::Top:
                if (topKey_ == kFormatKey) {
                    if (v.kind != ElementValue::Kind::Text || v.text != kFormat) notAnExport();
                } else if (topKey_ == kVersionKey) {
                    if (v.kind != ElementValue::Kind::Number) invalid("document", "has a version that is not a number");
                    if (v.number != uint64_t(kVersion))
                        invalid("document",
                                "is of version " + std::to_string(v.number) + ", not " + std::to_string(kVersion));
                } else {
                    wrongKind();
                }
                return true;
            case Place::Element:
                if (list_ == kPackages && elementKey_ == kFilesKey) wrongKind();
                element_.values[elementKey_] = std::move(v);
                return true;
            case Place::File: file_.values[fileKey_] = std::move(v); return true;
            default: wrongKind();
        }
    }

    [[noreturn]] static void notAnExport() { invalid("document", std::string("is not a ") + kFormat + " document"); }

    // A value of a kind the format has no place for here, named by the place.
    [[noreturn]] void wrongKind() const {
        switch (here()) {
            case Place::Outside: notAnExport();
            case Place::Top:
                if (topKey_ == kFormatKey) notAnExport();
                if (topKey_ == kVersionKey) invalid("document", "has a version that is not a number");
                if (topKey_ == kRecordsKey) invalid("document", "records is not an object");
                invalid("document", std::string(kTopKeys[topKey_]) + " is not a list of objects");
            case Place::Records:
                invalid("document", std::string(kListNames[kFirstRecords + recordsKey_]) + " is not a list of objects");
            case Place::List:
                invalid(std::string(kListNames[list_]) + "[" + std::to_string(listCount_) + "]", "is not an object");
            case Place::Element:
                if (list_ == kPackages && elementKey_ == kFilesKey) invalid(where(), "files is not a list");
                invalid(where(), std::string(elementKeys(list_).names[elementKey_]) + " is not a string or a number");
            case Place::Files: invalid(fileWhere(fileCount_), "is not an object");
            case Place::File:
                invalid(fileWhere(file_.index),
                        std::string(kFileKeys.names[fileKey_]) + " is not a string or a number");
        }
        throw std::logic_error("no such place");
    }

    Importer& importer_;
    Place places_[kMaxDepth] = {};
    std::size_t depth_ = 0;
    unsigned topSeen_ = 0, recordsSeen_ = 0;
    int topKey_ = -1, recordsKey_ = -1, elementKey_ = -1, fileKey_ = -1;
    std::size_t list_ = 0, listCount_ = 0, fileCount_ = 0;
    ElementFields element_, file_;
    uint64_t packageId_ = 0;         // of the package being read, once known
    std::vector<ImportedFile> files_;  // its files read before it was known
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
            list.item(std::string("{\"") + (device ? "device" : "module") + "\":" +
                      quoted(q.text(0), device ? "a device name" : "a module name") + ",\"oid\":\"" +
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
            packages.item("{\"pkg_id\":\"" + hex16(id) + "\",\"name\":" + quoted(q.text(1), "the name", id) +
                          ",\"files\":[");
            open = true;
            ++counts["packages"];
            bool firstFile = true;
            for (; more && q.number(0) == id; more = q.next()) {
                if (q.text(2).empty()) continue;  // a package without files (no path is empty)
                out.write(firstFile ? "\n" : ",\n");
                out.write("{\"path\":" + quoted(q.text(2), "a file", id) + ",\"type\":" + std::to_string(q.number(3)) +
                          "}");
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
            list.item("{\"path\":" + quoted(q.text(0), kRecordPaths[i]) + ",\"" + kValueKeys[i] + "\":" + value + "}");
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
    DocumentReader reader(importer);
    if (!json::sax_parse(document, &reader)) invalid("document", "is not JSON");
    return importer.counts;
}

}  // namespace zorvd
