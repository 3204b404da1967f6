// Text label parser: never crashes; what it accepts prints back to a text that parses to the same label.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Label label = Label::fromString(std::string(reinterpret_cast<const char*>(data), size));
    zorvfuzz::require(label.inheritFlag_ == 0 || label.inheritFlag_ == 5 || label.inheritFlag_ == 7);
    zorvfuzz::require(Label::fromString(label.toString()) == label);
    return 0;
}
