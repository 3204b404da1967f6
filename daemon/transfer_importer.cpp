#include "transfer_importer.h"

#include "paths.h"
#include "protocol/limits.h"
#include "transfer_format.h"
#include "wire.h"

namespace zorvd {

namespace {

using zorv::protocol::AttributeInfo;
using zorv::protocol::ValueKind;

// No string that came over the bus holds a NUL; none that is imported may.
const std::string& text(const ElementValue& v, const std::string& where, const char* key) {
    if (v.kind != ElementValue::Kind::Text) invalidImport(where, std::string(key) + " is not a string");
    if (v.text.find('\0') != std::string::npos) invalidImport(where, std::string(key) + " holds a NUL character");
    return v.text;
}

uint64_t number(const ElementValue& v, const std::string& where, const char* key, uint64_t low, uint64_t high) {
    if (v.kind != ElementValue::Kind::Number) invalidImport(where, std::string(key) + " is not a number");
    if (v.number < low || v.number > high) invalidImport(where, std::string(key) + " is out of range");
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
        if (d < 0) invalidImport(where, std::string(key) + " is not 16 hexadecimal digits");
        n = n << 4 | static_cast<uint64_t>(d);
    }
    return n;
}

uint64_t hexNumber(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& t = text(v, where, key);
    if (t.size() != 16) invalidImport(where, std::string(key) + " is not 16 hexadecimal digits");
    return hexAt(t, 0, where, key);
}

ZORV_ID identifier(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& t = text(v, where, key);
    if (t.size() != 50 || t[16] != '-' || t[33] != '-')
        invalidImport(where, std::string(key) + " is not an identifier of 50 characters");
    return ZORV_ID{hexAt(t, 0, where, key), hexAt(t, 17, where, key), hexAt(t, 34, where, key)};
}

std::string normalOnly(const ElementValue& v, const std::string& where, const char* key) {
    const std::string& p = text(v, where, key);
    bool normal = false;
    try {
        normal = normalPath(p) == p;
    } catch (const CallError&) {  // its text quotes the path
        invalidImport(where, std::string(key) + " is not an absolute path of at most " +
                                 std::to_string(zorv::protocol::kMaxPathBytes) + " bytes");
    }
    if (!normal) invalidImport(where, std::string(key) + " is not in normal form");
    return p;
}

std::string nameText(const ElementValue& v, const std::string& where, const char* key, std::size_t limit) {
    const std::string& t = text(v, where, key);
    if (t.empty() || t.size() > limit)
        invalidImport(where, std::string(key) + " must be 1 to " + std::to_string(limit) + " bytes long");
    return t;
}

void insertedOnce(bool inserted, const std::string& where) {
    if (!inserted) invalidImport(where, "appears twice");
}

}  // namespace

void invalidImport(const std::string& where, const std::string& what) {
    throw CallError(DBUS_ERROR_INVALID_ARGS, "the import " + where + ": " + what);
}

Importer::Importer(Store& writer) : counts(noneTransferred()), writer_(writer) {
    if (writer_.holdsRecords())
        throw CallError(DBUS_ERROR_FAILED, "the service holds records already: an import goes into an empty one");
}

void Importer::object(ObjectKind kind, const std::string& where, const ElementValue& nameValue,
                      const ElementValue& oidValue) {
    const char* key = kind == ObjectKind::Device ? "device" : "module";
    std::string n = nameText(nameValue, where, key, zorv::protocol::kMaxPathBytes);
    uint64_t oid = hexNumber(oidValue, where, "oid");
    if (oid == ~uint64_t(0)) invalidImport(where, "has the failure value as its oid");
    insertedOnce(writer_.importObject(kind, n, oid), where);
    ++counts[kind == ObjectKind::Device ? "devices" : "modules"];
}

uint64_t Importer::packageId(const ElementValue& v, const std::string& where) {
    uint64_t id = hexNumber(v, where, "pkg_id");
    if (id == 0 || id > uint64_t(INT64_MAX)) invalidImport(where, "pkg_id is out of range");
    return id;
}

void Importer::package(uint64_t id, const ElementValue& nameValue, const std::string& where) {
    std::string n = nameText(nameValue, where, "name", 255);
    insertedOnce(writer_.importPackage(id, n), where);
    ++counts["packages"];
}

ImportedFile Importer::file(const ElementValue& path, const ElementValue& type, std::size_t index,
                            const std::string& where) {
    ImportedFile f{normalOnly(path, where, "path"), 0, index};
    f.type = static_cast<uint32_t>(number(type, where, "type", 1, 4));
    return f;
}

void Importer::insertFile(uint64_t id, const ImportedFile& f, const std::string& where) {
    insertedOnce(writer_.importPackageFile(f.path, id, f.type), where);
    ++counts["files"];
}

void Importer::record(std::size_t section, const std::string& where, const ElementValue& pathValue,
                      const ElementValue& value) {
    const AttributeInfo& info = sectionAttribute(section);
    const char* key = info.valueKey;
    std::string path = normalOnly(pathValue, where, "path");
    ZORV_ID v{0, 0, 0};
    bool ok = true;
    switch (info.kind) {
        case ValueKind::Number64:
            v.pkg_id = hexNumber(value, where, key);
            ok = zorv::protocol::acceptsNumber(info, v.pkg_id);
            break;
        case ValueKind::Identifier:
            v = identifier(value, where, key);
            ok = zorv::protocol::acceptsIdentifier(v.pkg_id, v.file_id, v.path_id);
            break;
        case ValueKind::Number32:
            v.pkg_id = number(value, where, key, info.lowest, info.highest);
            ok = zorv::protocol::acceptsNumber(info, v.pkg_id);
            break;
    }
    if (!ok) invalidImport(where, "holds a value the service refuses");
    insertedOnce(writer_.importUserSet(storedAttribute(info), path, v), where);
    ++counts["records"];
}

}  // namespace zorvd
