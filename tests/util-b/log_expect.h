// Assertions on the lines that a LogCapture collected.
#pragma once

#include <gtest/gtest.h>

#include "log_capture.h"

namespace zorvtest {

const int kErrorPriority = 300;
const int kDebugPriority = 700;

// Exactly one line was logged, at `priority`, by `func`, its text beginning with `text`.
inline ::testing::AssertionResult hasOneLine(const LogCapture& log, int priority, const std::string& func,
                                             const std::string& text) {
    auto lines = log.lines();
    const std::string expected = "[" + func + ":";
    if (lines.size() == 1 && lines[0].priority == priority && lines[0].message.rfind(expected, 0) == 0 &&
        lines[0].message.find("] " + text) == lines[0].message.find("] "))
        return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure() << "expected " << expected << "...] " << text << " at " << priority;
    for (auto& line : lines) failure << "\n  logged " << line.message << " at " << line.priority;
    return failure;
}

}  // namespace zorvtest
