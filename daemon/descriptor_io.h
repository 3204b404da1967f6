// Reading and writing a file descriptor that a caller passed with a call.
// The other end may be a pipe that is never drained or never written: each
// wait is bounded by the call's deadline, so that a worker is never held
// past it, and a pipe is written in pieces it takes without blocking.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "util/file_descriptor.h"

namespace zorvd {

using Deadline = std::chrono::steady_clock::time_point;

// Buffers what is written and hands it on in large pieces. Throws CallError
// (Failed) when the descriptor refuses a write or the deadline passes.
class DescriptorWriter {
public:
    DescriptorWriter(int fd, Deadline deadline);
    void write(const std::string& text) {
        buffer_ += text;
        if (buffer_.size() >= kChunk) flush();
    }
    void flush();
    std::size_t written() const { return written_; }

private:
    static constexpr std::size_t kChunk = 1 << 16;
    int fd_;
    Deadline deadline_;
    bool pipe_;  // not a regular file: wait until it takes more
    std::string buffer_;
    std::size_t written_ = 0;
};

// The whole content behind `fd`, at most `limit` bytes. Throws CallError
// (Failed) on a read error, past the limit or past the deadline. A regular
// file's content is read into room of its size, taken at once (a file larger
// than `limit` is refused before a byte is read); a pipe's grows as it comes,
// to twice what it holds at most.
std::string readAll(int fd, Deadline deadline, std::size_t limit);

}  // namespace zorvd
