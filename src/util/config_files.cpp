// The two readers of sectioned key/value files and the placeholder expander.
// Both readers are in use by different tools, so each keeps its own dialect:
// they differ in comment characters, whitespace rules, result shape and which
// of two equal keys wins.
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/file_reading.h"

#include <algorithm>
#include <exception>

namespace {

// Calls `onLine` for every line of `file` (the text up to each line feed, and
// after the last one if any is left). False, after an error line on behalf of
// `func`, when the file cannot be read or memory runs out on the way.
template <typename OnLine>
bool forEachLine(const char* func, const char* openFailure, const std::string& file, OnLine onLine) {
    std::string content;
    if (!zorv::detail::readRegularFile(func, openFailure, file, content)) return false;
    try {
        std::string line;
        for (size_t start = 0; start < content.size();) {
            size_t end = content.find('\n', start);
            if (end == std::string::npos) end = content.size();
            line.assign(content, start, end - start);
            onLine(line);
            start = end + 1;
        }
    } catch (const std::exception& e) {
        ZLOG_ERROR_FOR(func, "Failed to read config: %s, %s", file.c_str(), e.what());
        return false;
    }
    return true;
}

const char* const kBlankOrTab = " \t";

void eraseLeadingBlanks(std::string& text) { text.erase(0, text.find_first_not_of(kBlankOrTab)); }

const size_t kMaxSubstitutions = 100;

}  // namespace

std::unordered_map<std::string, std::unordered_map<std::string, std::string>> parseConfig(const std::string& file) {
    std::unordered_map<std::string, std::unordered_map<std::string, std::string>> result;
    std::string section;
    const bool read = forEachLine(__func__, "Failed to open config: %s", file, [&](const std::string& raw) {
        // Blanks, tabs and line ends are trimmed from both ends of the line,
        // the key and the value, and nowhere else: the files written for
        // this reader, and its callers, rely on exactly that.
        const std::string line = trim(raw);
        if (line.empty() || line.front() == '#') return;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            result[section];  // a section without keys is still listed
            return;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos || section.empty()) return;
        // emplace keeps the first value of a key
        result[section].emplace(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    });
    if (!read) result.clear();
    return result;
}

std::map<std::string, std::string> readConfig(const std::string& file) {
    std::map<std::string, std::string> result;
    std::string section;
    const bool read = forEachLine(__func__, "can not open file %s", file, [&](std::string& line) {
        eraseLeadingBlanks(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') return;
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close != std::string::npos) section = line.substr(1, close - 1);
            return;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) return;
        // Odd whitespace rules, kept because callers and the files written
        // for them rely on them: spaces and carriage returns are dropped
        // anywhere in a value while tabs inside it stay, and blanks before
        // '=' stay in the key.
        std::string value = line.substr(eq + 1);
        eraseLeadingBlanks(value);
        value.erase(std::remove_if(value.begin(), value.end(),
                                   [](char c) { return c == ' ' || c == '\r' || c == '\n'; }),
                    value.end());
        line.resize(eq);  // the key, blanks before '=' included
        result[section.empty() ? line : section + "." + line] = std::move(value);
    });
    if (!read) result.clear();
    return result;
}

std::string replaceVariable(std::unordered_map<std::string, std::string>& vars, std::string text) {
    const size_t firstOpen = text.find('<');
    if (firstOpen == std::string::npos || text.find('>', firstOpen) == std::string::npos) return text;

    size_t pos = 0;
    size_t substitutions = 0;
    while (substitutions < kMaxSubstitutions) {
        size_t open = text.find('<', pos);
        if (open == std::string::npos) break;
        size_t close = text.find('>', open);
        if (close == std::string::npos) break;
        auto it = close > open + 1 ? vars.find(text.substr(open + 1, close - open - 1)) : vars.end();
        if (it == vars.end()) {
            pos = close + 1;
            continue;
        }
        text.replace(open, close - open + 1, it->second);
        // Inserted text is never expanded again; an empty value just removes
        // the placeholder and the search goes on where it stood.
        pos = open + it->second.size();
        ++substitutions;
    }
    ZLOG_DEBUG("replaced: %s", text.c_str());
    return text;
}
