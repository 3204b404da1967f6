// Library-internal pieces of the process and system queries, reachable by the
// tests through the static build.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Parent process id from /proc/<pid>/stat, or -1 when the process has no entry
// or the entry cannot be read. A parent id beyond the range of int throws
// std::out_of_range.
int getParentPid(int pid);

// The parent id field of the text of a stat file, as getParentPid reads it.
int parentPidFromStat(const std::string& stat);

// Key/value pairs of one kernel command line, cut at every single blank.
std::vector<std::pair<std::string, std::string>> parseKernelCmdlineText(const std::string& line);
