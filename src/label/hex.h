// Hex rendering without allocation, for debug lines on hot paths.
#pragma once

#include <cstddef>

namespace zorv {
namespace label {

// Writes two lower-case hex digits per byte to out (2 * size characters, no
// terminator).
void writeHex(char* out, const unsigned char* data, size_t size);

// The same into a fixed buffer, NUL-terminated, for up to N bytes.
template <size_t N>
struct HexText {
    HexText(const unsigned char* data, size_t size) {
        if (size > N) size = N;
        writeHex(text, data, size);
        text[2 * size] = '\0';
    }
    char text[2 * N + 1];
};

}  // namespace label
}  // namespace zorv
