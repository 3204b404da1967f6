// The bounded copy of a string into a fixed-size field.
#pragma once

#include <cstddef>

namespace zorv {

// Copies `length` bytes from `source` into `dest`, which holds `destSize`
// bytes, and terminates them. A source that does not fit with its
// terminator leaves `dest` an empty string and gives false; nothing is ever
// written past `destSize`.
bool copyBounded(char* dest, std::size_t destSize, const char* source, std::size_t length);

}  // namespace zorv
