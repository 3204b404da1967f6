// Whole-file reading shared by readFile and the configuration readers.
#pragma once

#include <cstddef>
#include <string>

namespace zorv {
namespace detail {

// The largest file the whole-file readers accept.
constexpr std::size_t kMaxReadSize = std::size_t{64} << 20;

// Reads the regular file at `path` (a /proc file is one) whole into
// `content`. Refuses FIFOs, devices, sockets and directories without opening
// them, never blocks and never throws. On failure logs one error line on
// behalf of `func` -- `openFailure`, a format taking the path, when the file
// cannot be reached -- and returns false.
bool readRegularFile(const char* func, const char* openFailure, const std::string& path,
                     std::string& content) noexcept;

}  // namespace detail
}  // namespace zorv
