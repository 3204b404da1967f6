#include "label/hex.h"

#include <zorv/label.hpp>

namespace zorv {
namespace label {

void writeHex(char* out, const unsigned char* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0f];
    }
}

}  // namespace label
}  // namespace zorv

std::string bytesToHexString(const unsigned char* data, size_t size) {
    if (data == nullptr || size == 0) return std::string();
    std::string hex(2 * size, '\0');
    zorv::label::writeHex(&hex[0], data, size);
    return hex;
}
