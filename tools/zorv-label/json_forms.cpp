#include "json_forms.h"

#include <charconv>
#include <cstdio>

namespace zorvtool {

namespace {

bool hex16(const std::string& text, size_t at, uint64_t& value) {
    if (at + 16 > text.size()) return false;
    const char* begin = text.data() + at;
    auto [end, ec] = std::from_chars(begin, begin + 16, value, 16);
    return ec == std::errc() && end == begin + 16;
}

}  // namespace

std::string identifierText(const ZORV_ID& id) {
    return id64Text(id.pkg_id) + "-" + id64Text(id.file_id) + "-" + id64Text(id.path_id);
}

std::string id64Text(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool parseIdentifierText(const std::string& text, ZORV_ID& id) {
    ZORV_ID read{};
    if (text.size() != 50 || text[16] != '-' || text[33] != '-') return false;
    if (!hex16(text, 0, read.pkg_id) || !hex16(text, 17, read.file_id) || !hex16(text, 34, read.path_id))
        return false;
    id = read;
    return true;
}

bool parseId64Text(const std::string& text, uint64_t& value) {
    uint64_t read = 0;
    if (text.size() != 16 || !hex16(text, 0, read)) return false;
    value = read;
    return true;
}

std::string rfc3339(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "";
    std::string s = text;
    // strftime writes the offset as +hhmm.
    if (s.size() > 5) s.insert(s.size() - 2, ":");
    return s;
}

std::string rfc3339FromMicros(uint64_t microsecondsSinceEpoch) {
    return rfc3339(static_cast<std::time_t>(microsecondsSinceEpoch / 1000000));
}

nlohmann::ordered_json errorObject(const std::string& message, int status) {
    return {{"error", message}, {"status", status}};
}

}  // namespace zorvtool
