// Identifier text parser: never crashes; what it accepts prints back to a text that parses to the same identifier.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Id id = Id::fromString(std::string(reinterpret_cast<const char*>(data), size));
    std::string text = id.toString();
    zorvfuzz::require(text.size() == 50);
    zorvfuzz::require(Id::fromString(text) == id);
    return 0;
}
