// Shared by the text and system tests: what was logged, and a scratch directory.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "log_capture.h"

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

// A fresh directory under /tmp, removed with its contents when the test ends.
struct ScratchDir {
    std::string path = [] {
        char pattern[] = "/tmp/zorv-util-XXXXXX";
        return std::string(::mkdtemp(pattern) ? pattern : throw std::runtime_error("mkdtemp failed"));
    }();
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

}  // namespace zorvtest
