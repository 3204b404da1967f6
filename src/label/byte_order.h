// Little-endian loads and stores for the stored label format, whatever the
// host's byte order. Compilers turn these loops into single moves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {
namespace label {

template <typename T>
inline unsigned char* storeLittleEndian(unsigned char* out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return out + sizeof(T);
}

template <typename T>
inline T loadLittleEndian(const unsigned char* in) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(in[i]) << (8 * i);
    }
    return value;
}

}  // namespace label
}  // namespace zorv
