// The values of an import's elements, checked one element at a time as the
// document reader meets them, and their rows inserted into the store. Error
// texts name a value by its place in the document and its key, never by its
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "store.h"
#include "store_transfer.h"

namespace zorvd {

// Refuses the document: InvalidArgs, naming the place and what is wrong there.
[[noreturn]] void invalidImport(const std::string& where, const std::string& what);

// A value of an element as the reader met it: elements hold nothing but these.
struct ElementValue {
    enum class Kind { Other, Text, Number };  // Number: an integer of 0 or more
    Kind kind = Kind::Other;
    std::string text;
    uint64_t number = 0;
};

// A file of a package, checked; those read before the package's identifier
// wait for it.
struct ImportedFile {
    std::string path;
    uint32_t type;
    std::size_t index;  // in the package's list
};

// Inserts of an import; a row that is there already makes the document invalid.
class Importer {
public:
    // Throws CallError (Failed) when the store holds records already.
    explicit Importer(Store& writer);

    void object(ObjectKind kind, const std::string& where, const ElementValue& nameValue,
                const ElementValue& oidValue);
    uint64_t packageId(const ElementValue& v, const std::string& where);
    void package(uint64_t id, const ElementValue& nameValue, const std::string& where);
    ImportedFile file(const ElementValue& path, const ElementValue& type, std::size_t index, const std::string& where);
    void insertFile(uint64_t id, const ImportedFile& f, const std::string& where);
    // A record of the attribute of the section `section` of "records".
    void record(std::size_t section, const std::string& where, const ElementValue& pathValue,
                const ElementValue& value);

    TransferCounts counts;

private:
    Store& writer_;
};

}  // namespace zorvd
