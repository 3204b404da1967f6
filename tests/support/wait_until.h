// Waiting on an event that no one tells the test of: the condition is looked at again every few milliseconds until it
// holds or the deadline passes, so that a test never stands a fixed sleep in for "long enough".
#pragma once

#include <chrono>
#include <thread>

#include "emulator.h"

namespace zorvtest {

// Whether `condition` came to hold within `seconds` (that many times longer under the emulator); it is looked at once
// more at the deadline.
template <typename Condition>
bool waitUntil(Condition&& condition, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds * slowdown());
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace zorvtest
