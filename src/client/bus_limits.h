// What the bus accepts from a caller: strings it can carry and the size of
// one message. libdbus aborts the whole process when handed a string that is
// not valid UTF-8, and the bus daemon drops the connection of a client that
// sends a message larger than its limit, so both are checked before anything
// is built.
#pragma once

#include <cstddef>

#include "protocol/limits.h"

namespace zorv {

// The bus's limit for one message (protocol/limits.h), under the name the
// library's code uses.
using protocol::kMaxMessageBytes;
// What is left for the arguments once the header (names, path, signature) is
// counted, with room to spare.
constexpr std::size_t kMaxArgumentBytes = kMaxMessageBytes - 4096;

// Whether `text` is UTF-8 as the bus defines it: no overlong forms, no
// encoded surrogates, nothing above U+10FFFF. A string longer than one
// message can carry is refused too: it could never be sent.
bool isValidUtf8(const char* text);

// Whether a caller's string may be handed to libdbus. Logs one error line
// under `function` when it may not.
bool acceptString(const char* function, const char* what, const char* text);

// The size of a message body as libdbus lays it out, counted from the
// caller's arguments before anything is built.
class BodySize {
public:
    BodySize& string(std::size_t length) {
        align(4);
        bytes_ += 4 + length + 1;
        return *this;
    }
    BodySize& uint32() {
        align(4);
        bytes_ += 4;
        return *this;
    }
    // An array's length; its elements then start on their own alignment.
    BodySize& array(std::size_t elementAlignment) {
        align(4);
        bytes_ += 4;
        align(elementAlignment);
        return *this;
    }
    // A dictionary entry starts on 8 bytes.
    BodySize& entry() {
        align(8);
        return *this;
    }
    std::size_t bytes() const { return bytes_; }

private:
    void align(std::size_t n) { bytes_ = (bytes_ + n - 1) / n * n; }
    std::size_t bytes_ = 0;
};

// Whether arguments of `bytes` fit in one message. Logs one error line under
// `function`, naming `what`, when they do not.
bool fitsOneMessage(const char* function, const char* what, std::size_t bytes);

}  // namespace zorv
