#include "record_listing.h"

#include <charconv>

#include "paths.h"
#include "wire.h"

namespace zorvd {

namespace {

struct Kind {
    const char* name;
    Attribute attribute;
};
constexpr Kind kKinds[] = {{"pkgid", Attribute::PkgId},
                           {"oid", Attribute::Oid},
                           {"sid", Attribute::Sid},
                           {"tid", Attribute::Tid},
                           {"inherit", Attribute::InheritFlag}};

Attribute attributeNamed(const std::string& kind) {
    for (const Kind& k : kKinds)
        if (kind == k.name) return k.attribute;
    throw CallError(DBUS_ERROR_INVALID_ARGS, "Records: the kind must be pkgid, oid, sid, tid or inherit");
}

void appendNumber(std::string& line, uint64_t value) {
    char digits[20];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
}

// How many records go by between two looks at the clock.
constexpr uint64_t kRecordsPerClockCheck = 4096;

}  // namespace

uint64_t listRecords(Store& records, const std::string& kind, const std::string& path, DescriptorWriter& out,
                     Deadline deadline) {
    const Attribute attribute = attributeNamed(kind);
    const bool identifier = attribute == Attribute::Oid || attribute == Attribute::Sid;
    const std::string normal = path.empty() ? path : normalPath(path);
    uint64_t count = 0;
    std::string line;
    auto write = [&](const std::string& recorded, const ZORV_ID& value) {
        // A name that is not valid UTF-8 in the form the record replies give it.
        if (sendsAsIs(recorded))
            line.assign(recorded);
        else
            line = wireText(recorded);
        line += '\0';
        appendNumber(line, value.pkg_id);
        if (identifier) {
            line += ' ';
            appendNumber(line, value.file_id);
            line += ' ';
            appendNumber(line, value.path_id);
        }
        line += '\n';
        out.write(line);
        // Only a pipe makes the writer wait, and look at the deadline; a
        // regular file takes whatever comes.
        if (++count % kRecordsPerClockCheck == 0 && std::chrono::steady_clock::now() > deadline)
            throw CallError(DBUS_ERROR_FAILED, "Records: gave up, the listing took longer than a call may");
    };
    // One statement reads one state of the store, from its first row to its last.
    records.forEachUserSet(attribute, path.empty() ? nullptr : &normal, true, write);
    out.flush();
    return count;
}

}  // namespace zorvd
