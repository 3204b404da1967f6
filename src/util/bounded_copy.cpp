#include "util/bounded_copy.h"

#include <cstring>

namespace zorv {

bool copyBounded(char* dest, std::size_t destSize, const char* source, std::size_t length) {
    if (dest == nullptr || destSize == 0) return false;
    if (source == nullptr || length >= destSize) {
        dest[0] = '\0';
        return false;
    }
    std::memcpy(dest, source, length);
    dest[length] = '\0';
    return true;
}

}  // namespace zorv
