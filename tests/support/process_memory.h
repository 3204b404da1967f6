// How much memory a process holds, for the tests that hostile input or many calls must not make a process grow.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace zorvtest {

// The field of /proc/`pid`/status in KiB ("VmRSS": resident now, "VmHWM": the peak of that), or -1.
inline long memoryKiB(pid_t pid, const std::string& field = "VmRSS") {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

}  // namespace zorvtest
