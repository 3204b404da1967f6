// The flags of the administration member Relabel, shared by the service and
// the tool. The low bits say what the walk does; bits 8 to 15 carry how many
// threads it may use.
#pragma once

#include <cstdint>

namespace zorv {
namespace protocol {
namespace relabel {

constexpr uint32_t kRecursive = 1;       // every file below each path too
constexpr uint32_t kWrite = 2;           // write the label where it differs
constexpr uint32_t kInitial = 4;         // the initial label: the package record only
constexpr uint32_t kReportWritten = 8;   // report each file written, not only failures
constexpr uint32_t kOneFileSystem = 16;  // enter no directory on another device than its path's

// Threads that work on one call of a recursive walk, the walk's own included:
// 0 and 1 both mean one, as before threads were asked for. The service takes
// at most as many as it has processors.
constexpr uint32_t kThreadsShift = 8;
constexpr uint32_t kThreadsMask = 0xffu << kThreadsShift;
constexpr uint32_t kMaxThreads = 0xff;

constexpr uint32_t kKnownFlags = kRecursive | kWrite | kInitial | kReportWritten | kOneFileSystem | kThreadsMask;

constexpr uint32_t threadsFlag(uint32_t threads) {
    return (threads > kMaxThreads ? kMaxThreads : threads) << kThreadsShift;
}
constexpr uint32_t threadsOf(uint32_t flags) { return (flags & kThreadsMask) >> kThreadsShift; }

// The problem a directory that the walk did not enter is reported with
// begins with this: a directory on another file system (with
// kOneFileSystem), or on one of the kernel's virtual file systems, which no
// walk enters. It is not a failure, and is counted as "skipped".
inline constexpr const char kNotEntered[] = "not entered: ";

}  // namespace relabel
}  // namespace protocol
}  // namespace zorv
