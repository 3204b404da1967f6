#include "label/compact_id.h"
#include "log/log.h"

#include <iomanip>
#include <sstream>

namespace {

constexpr size_t kIdTextLength = 50;

// Reads one hex number the way stream extraction does, but refuses a minus
// sign: extraction would accept "-1" and wrap it to 2^64 - 1.
bool readHexNumber(std::istream& in, uint64_t& value) {
    in >> std::ws;
    if (in.peek() == '-') return false;
    return static_cast<bool>(in >> value);
}

}  // namespace

size_t Id::serializedSize() { return zorv::label::compactIdSize(*this); }

unsigned char* Id::toBytes(unsigned char* buf, size_t len) {
    if (buf == nullptr) {
        ZLOG_ERROR("input buffer is nullptr");
        return nullptr;
    }
    size_t required = serializedSize();
    if (len < required) {
        ZLOG_ERROR("Buffer size is insufficient. Required: %zu, provided: %zu", required, len);
        return nullptr;
    }
    return zorv::label::writeCompactId(buf, *this);
}

unsigned char* Id::toBytes(unsigned char* buf) { return toBytes(buf, serializedSize()); }

Id Id::fromBytes(const unsigned char*) { return Id(); }

std::string Id::toString() const {
    std::ostringstream out;
    out << std::hex << std::nouppercase << std::setfill('0') << std::setw(16) << pkg_id << '-' << std::setw(16)
        << file_id << '-' << std::setw(16) << path_id;
    return out.str();
}

Id Id::fromString(const std::string& text) {
    if (text.size() != kIdTextLength) {
        ZLOG_ERROR("Invalid ID string length: %zu", text.size());
        return Id();
    }
    std::istringstream in(text);
    in >> std::hex;
    Id id;
    char dash1 = 0;
    char dash2 = 0;
    bool ok = readHexNumber(in, id.pkg_id) && in.get(dash1) && readHexNumber(in, id.file_id) && in.get(dash2) &&
              readHexNumber(in, id.path_id);
    // Nothing may follow the third number.
    if (!ok || dash1 != '-' || dash2 != '-' || in.peek() != std::char_traits<char>::eof()) {
        ZLOG_ERROR("Invalid ID format (expect pkg-file-path)");
        return Id();
    }
    return id;
}
