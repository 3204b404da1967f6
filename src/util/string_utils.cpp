// Byte-string helpers shared by the service's tools and the configuration
// readers.
#include <zorv/util.hpp>

#include "log/log.h"

#include <algorithm>

namespace {

const char* const kTrimmed = " \t\n\r";

// Replaces every non-overlapping occurrence of `oldStr` (non-empty), scanning
// left to right; replaced text is never searched again.
std::string replaceAll(const std::string& text, const std::string& oldStr, const std::string& newStr,
                       size_t reserve) {
    std::string result;
    result.reserve(reserve);
    size_t pos = 0;
    for (;;) {
        size_t found = text.find(oldStr, pos);
        if (found == std::string::npos) {
            result.append(text, pos, std::string::npos);
            break;
        }
        result.append(text, pos, found - pos);
        result.append(newStr);
        pos = found + oldStr.size();
        if (pos >= text.size()) break;
    }
    return result;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return prefix.size() <= text.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The shared guard of the two logging replacers; false when `text` must be
// returned as it is (empty or nothing to look for).
bool replaceArgumentsUsable(const char* func, const std::string& text, const std::string& oldStr) {
    if (text.empty()) {
        ZLOG_ERROR_FOR(func, "text is empty");
        return false;
    }
    if (oldStr.empty()) {
        ZLOG_ERROR_FOR(func, "oldStr is empty");
        return false;
    }
    return true;
}

}  // namespace

std::string replaceString(const std::string& text, const std::string& oldStr, const std::string& newStr) {
    if (!replaceArgumentsUsable(__func__, text, oldStr)) return text;
    return replaceAll(text, oldStr, newStr, text.size() * 2);
}

std::string replaceBeginString(const std::string& text, const std::string& oldStr, const std::string& newStr) {
    if (!replaceArgumentsUsable(__func__, text, oldStr)) return text;
    if (startsWith(text, oldStr)) return newStr + text.substr(oldStr.size());
    return text;
}

std::string removeSubString(const std::string& text, const std::string& subStr) {
    if (text.empty() || subStr.empty()) return text;
    std::string result = replaceAll(text, subStr, std::string(), text.size());
    result.shrink_to_fit();
    return result;
}

std::string removeFirstSubString(const std::string& text, const std::string& subStr) {
    if (subStr.empty() || !startsWith(text, subStr)) return text;
    return text.substr(subStr.size());
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(kTrimmed);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(kTrimmed);
    return text.substr(first, last - first + 1);
}

void splitString(const std::string& text, const char& delimiter, std::vector<std::string>& out) {
    // Pieces are collected apart from `out` because `text` or `delimiter` may
    // live inside one of its strings.
    std::vector<std::string> pieces;
    if (text.empty()) {
        out.clear();
        ZLOG_DEBUG("input string is empty");
        return;
    }
    const char delim = delimiter;
    pieces.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), delim)) + 1);
    size_t start = 0;
    for (size_t found = text.find(delim); found != std::string::npos; found = text.find(delim, start)) {
        if (start < found) pieces.emplace_back(text, start, found - start);
        start = found + 1;
    }
    if (start < text.size()) pieces.emplace_back(text, start, std::string::npos);
    out.swap(pieces);
}

bool containsEscapeChars(const std::string& text) { return text.find('\\') != std::string::npos; }

std::string removeEscapeChars(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    std::remove_copy(text.begin(), text.end(), std::back_inserter(result), '\\');
    return result;
}
