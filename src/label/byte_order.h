// Little-endian loads and stores for the stored label format, whatever the
// host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorv {
namespace label {

template <typename T>
inline T swapToLittleEndian(T value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "only 32 and 64 bit numbers are stored");
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(value);
    return __builtin_bswap32(value);
#else
    return value;
#endif
}

template <typename T>
inline unsigned char* storeLittleEndian(unsigned char* out, T value) {
    value = swapToLittleEndian(value);
    std::memcpy(out, &value, sizeof value);
    return out + sizeof value;
}

template <typename T>
inline T loadLittleEndian(const unsigned char* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return swapToLittleEndian(value);
}

}  // namespace label
}  // namespace zorv
