// How much memory a process holds, from /proc/PID/status, for the tests that check that hostile input or many calls
// do not make a process grow.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace zorvtest {

// The field `field` of /proc/`pid`/status in KiB ("VmRSS": resident now, "VmHWM": the peak of that), or -1 when it
// cannot be read.
inline long memoryKiB(pid_t pid, const std::string& field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

}  // namespace zorvtest
