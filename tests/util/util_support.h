// Shared by the utility tests: shell commands to compare with.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "scratch_dir.h"

namespace zorvtest {

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
