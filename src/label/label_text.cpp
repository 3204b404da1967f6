// The text form of a label: "oid:tid:sid:inheritFlag:creatorOid".
#include <zorv/label.hpp>

#include "label/label_format.h"
#include "log/log.h"
#include "protocol/attributes.h"

#include <limits>
#include <sstream>

namespace {

using namespace zorv::label;

std::string nextToken(std::istream& in, char delimiter, const char* missingMessage) {
    std::string token;
    if (!std::getline(in, token, delimiter)) throw std::runtime_error(missingMessage);
    return token;
}

// Decimal like std::stoul, whose exceptions it passes on; but a value that
// does not fit 32 bits, or a negative one that stoul would wrap, is out of
// range rather than silently cut to another number.
uint32_t toUint32(const std::string& token) {
    unsigned long value = std::stoul(token);
    size_t first = token.find_first_not_of(" \t\n\v\f\r");
    if (value > std::numeric_limits<uint32_t>::max() || (first != std::string::npos && token[first] == '-')) {
        throw std::out_of_range("stoul");
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

std::string Label::toString() {
    try {
        std::ostringstream out;
        out << oid_.toString() << ':' << tid_ << ':' << sid_.toString() << ':' << inheritFlag_ << ':'
            << creatorOid_.toString();
        return out.str();
    } catch (const std::exception& e) {
        ZLOG_ERROR("Label serialization failed: %s", e.what());
        return std::string();
    }
}

Label Label::fromString(const std::string& text) {
    try {
        std::istringstream in(text);
        Label label;
        label.oid_ = Id::fromString(nextToken(in, ':', "Invalid format: missing OID"));
        label.tid_ = toUint32(nextToken(in, ':', "Invalid format: missing TID"));
        label.sid_ = Id::fromString(nextToken(in, ':', "Invalid format: missing SID"));
        label.inheritFlag_ = toUint32(nextToken(in, ':', "Invalid format: missing inherit flag"));
        label.creatorOid_ = Id::fromString(nextToken(in, '\n', "Invalid format: missing creator OID"));
        if (!zorv::protocol::isInheritFlag(label.inheritFlag_)) {
            throw LabelError(kBadInput, "Invalid inherit flag value");
        }
        return label;
    } catch (const std::exception& e) {
        ZLOG_ERROR("label deserialization failed: %s", e.what());
        return Label();
    }
}
