// Waiting on an event that no one tells the test of, instead of a fixed sleep for "long enough".
#pragma once

#include <chrono>
#include <thread>

#include "emulator.h"

namespace zorvtest {

// Whether `condition` came to hold within `seconds` (longer under the emulator), looked at once more at the deadline.
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
