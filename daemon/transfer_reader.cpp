// Reading an export document as the parser meets it, element by element,
// and handing each element to the importer once it is whole.
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <vector>

#include "store_transfer.h"
#include "transfer_format.h"
#include "transfer_importer.h"
#include "wire.h"

namespace zorvd {

namespace {

using json = nlohmann::json;

[[noreturn]] void invalid(const std::string& where, const std::string& what) { invalidImport(where, what); }

// The keys of the top object, of the records object and of each kind of
// element, in the order the reader numbers them.
const char* const kTopKeys[] = {"format", "version", "devices", "modules", "packages", "records"};
enum TopKey { kFormatKey, kVersionKey, kDevicesKey, kModulesKey, kPackagesKey, kRecordsKey };
enum PackageKey { kPkgIdKey, kNameKey, kFilesKey };

// The lists of elements: the three of the top object, then the sections of
// "records" in their order.
enum ElementList { kDevices, kModules, kPackages, kFirstRecords };
const char* const kTopLists[kFirstRecords] = {"devices", "modules", "packages"};

std::string listName(std::size_t list) {
    if (list < kFirstRecords) return kTopLists[list];
    return std::string("records.") + sectionAttribute(list - kFirstRecords).name;
}

// The names of the sections of "records".
struct SectionNames {
    const char* names[kRecordSections] = {};
    constexpr SectionNames() {
        for (std::size_t i = 0; i < kRecordSections; ++i) names[i] = sectionAttribute(i).name;
    }
};
constexpr SectionNames kSectionNames;

struct KeyList {
    const char* names[3];
    std::size_t count;
};

KeyList elementKeys(std::size_t list) {
    switch (list) {
        case kDevices: return {{"device", "oid", nullptr}, 2};
        case kModules: return {{"module", "oid", nullptr}, 2};
        case kPackages: return {{"pkg_id", "name", "files"}, 3};
        default: return {{"path", sectionAttribute(list - kFirstRecords).valueKey, nullptr}, 2};
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
            case Place::Records:
                recordsKey_ = keyIndex(kSectionNames.names, kRecordSections, key, recordsSeen_, "records");
                return true;
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
    std::string where() const { return listName(list_) + "[" + std::to_string(element_.index) + "]"; }
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
                    if (v.kind != ElementValue::Kind::Text || v.text != kTransferFormat) notAnExport();
                } else if (topKey_ == kVersionKey) {
                    if (v.kind != ElementValue::Kind::Number) invalid("document", "has a version that is not a number");
                    if (v.number != uint64_t(kTransferVersion))
                        invalid("document", "is of version " + std::to_string(v.number) + ", not " +
                                                std::to_string(kTransferVersion));
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

    [[noreturn]] static void notAnExport() {
        invalid("document", std::string("is not a ") + kTransferFormat + " document");
    }

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
                invalid("document", listName(kFirstRecords + recordsKey_) + " is not a list of objects");
            case Place::List:
                invalid(listName(list_) + "[" + std::to_string(listCount_) + "]", "is not an object");
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

TransferCounts importStore(Store& writer, const std::string& document) {
    Importer importer(writer);
    DocumentReader reader(importer);
    if (!json::sax_parse(document, &reader)) invalid("document", "is not JSON");
    return importer.counts;
}

}  // namespace zorvd
