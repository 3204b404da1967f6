// Assertions on the lines that a LogCapture collected.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"

namespace zorvtest {

const int kErrorPriority = 300;
const int kDebugPriority = 700;

// The line was written at `priority` by `func` and its text (after the
// "[func:line] " prefix) begins with `text`.
inline ::testing::AssertionResult isLine(const LogLine& line, int priority, const std::string& func,
                                         const std::string& text) {
    const std::string prefix = "[" + func + ":";
    size_t close = line.message.find("] ");
    if (line.priority != priority || line.message.rfind(prefix, 0) != 0 || close == std::string::npos ||
        line.message.compare(close + 2, text.size(), text) != 0)
        return ::testing::AssertionFailure()
               << "logged \"" << line.message << "\" at " << line.priority << ", expected " << prefix << "...] "
               << text << "\" at " << priority;
    return ::testing::AssertionSuccess();
}

// The capture holds exactly one line, and it is the one described.
inline ::testing::AssertionResult hasOneLine(const LogCapture& log, int priority, const std::string& func,
                                             const std::string& text) {
    auto lines = log.lines();
    if (lines.size() != 1) return ::testing::AssertionFailure() << lines.size() << " lines logged, expected 1";
    return isLine(lines[0], priority, func, text);
}

}  // namespace zorvtest
