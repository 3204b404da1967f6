// Shared by the utility tests: shell commands to compare with, and what was
// logged in a compact form.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "scratch_dir.h"

namespace zorvtest {

// The lines logged, one a line, as "LEVEL func: text" (line numbers left out).
inline std::string logged(const LogCapture& log) {
    std::string out;
    for (const auto& line : log.lines()) {
        const std::string& m = line.message;  // "[func:line] text"
        out += (out.empty() ? "" : "\n") +
               (line.priority == 300 ? "ERROR" : line.priority == 700 ? "DEBUG" : std::to_string(line.priority)) +
               " " + m.substr(1, m.find(':') - 1) + ": " + m.substr(m.find("] ") + 2);
    }
    return out;
}

// Quotes `s` for /bin/sh.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Output lines of a shell command; empty when the command fails.
inline std::vector<std::string> commandLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    char* line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; (n = ::getline(&line, &capacity, pipe)) > 0;)
        lines.emplace_back(line, static_cast<size_t>(n) - (line[n - 1] == '\n'));
    ::free(line);
    if (::pclose(pipe) != 0) lines.clear();
    return lines;
}

}  // namespace zorvtest
