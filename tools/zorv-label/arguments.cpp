// Command-line values: numbers, identifiers, labels, paths and file lists.
// Each is checked whole before anything is sent.
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "protocol/attributes.h"
#include "tool.h"

namespace zorvtool {

namespace {

bool parseDigits(const std::string& text, int base, uint64_t& value) {
    if (text.empty()) return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    return ec == std::errc() && ptr == end;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

}  // namespace

uint64_t parseNumber(const std::string& text, const char* what, uint64_t low, uint64_t high) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    const char* end = digits.data() + digits.size();
    uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, hex ? 16 : 10);
    if (digits.empty() || ptr != end || ec == std::errc::invalid_argument)
        usageError(std::string(what) + " '" + printable(text) + "' is not a number");
    if (ec == std::errc::result_out_of_range || value < low || value > high)
        usageError(std::string(what) + " '" + text + "' is out of range (" + std::to_string(low) + " to " +
                   std::to_string(high) + ")");
    return value;
}

ZORV_ID parseIdentifier(const std::string& text, const char* what) {
    std::vector<std::string> parts = split(text, '-');
    uint64_t n[3];
    bool ok = parts.size() == 3;
    for (size_t i = 0; ok && i < 3; ++i) ok = parts[i].size() <= 16 && parseDigits(parts[i], 16, n[i]);
    if (!ok)
        usageError(std::string(what) + " '" + printable(text) +
                   "' is not an identifier (three hexadecimal numbers joined by '-')");
    return ZORV_ID{n[0], n[1], n[2]};
}

Label parseLabel(const std::string& text) {
    std::vector<std::string> fields = split(text, ':');
    if (fields.size() != 5) usageError("label '" + printable(text) + "' is not OID:TID:SID:INHERIT:CREATOR");
    auto id = [](const ZORV_ID& z) { return Id(z.pkg_id, z.file_id, z.path_id); };
    Label label;
    label.oid_ = id(parseIdentifier(fields[0], "label OID"));
    label.tid_ = static_cast<uint32_t>(parseNumber(fields[1], "label TID", 0, UINT32_MAX));
    label.sid_ = id(parseIdentifier(fields[2], "label SID"));
    const uint64_t highestFlag = zorv::protocol::attributeInfo(zorv::protocol::AttributeId::InheritFlag).highest;
    label.inheritFlag_ = static_cast<uint32_t>(parseNumber(fields[3], "label inherit flag", 0, highestFlag));
    if (!zorv::protocol::isInheritFlag(label.inheritFlag_))
        usageError("label inherit flag must be 0, 5 or 7");
    label.creatorOid_ = id(parseIdentifier(fields[4], "label creator OID"));
    return label;
}

std::string servicePath(const std::string& text) {
    if (text.empty()) usageError("empty path");
    requireUtf8(text, "path");
    if (text[0] == '/') return text;
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(text, ec);
    if (ec) usageError("cannot make '" + printable(text) + "' absolute: " + ec.message());
    return absolute.string();
}

std::string readInput(const std::string& source, const char* what) {
    if (source.empty() || source == "-") return std::string(std::istreambuf_iterator<char>(std::cin), {});
    std::ifstream in(source, std::ios::binary);
    std::string content;
    if (in) content.assign(std::istreambuf_iterator<char>(in), {});
    if (!in.is_open() || in.bad()) usageError(std::string("cannot read the ") + what + " '" + printable(source) + "'");
    return content;
}

std::vector<std::string> readList(const std::string& source, bool nul) {
    std::string content = readInput(source, "list");
    std::vector<std::string> entries;
    for (std::string& entry : split(content, nul ? '\0' : '\n')) {
        if (!nul && !entry.empty() && entry.back() == '\r') entry.pop_back();
        if (!entry.empty()) entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace zorvtool
