// Binary label decoder: never crashes or overreads; a decoded label survives the encoder; a failure changes nothing.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Label before{Id(1, 2, 3), Id(4, 5, 6), Id(7, 8, 9), 10, 11};
    Label label = before;
    try {
        label.deserializeFromBuffer(data, size);
    } catch (const LabelError& e) {
        zorvfuzz::require(e.code == 13 && label == before);
        return 0;
    }
    unsigned char bytes[81];
    size_t written = label.serializeToBuffer(bytes, sizeof bytes);
    zorvfuzz::require(written == label.serializedBufferSize());
    zorvfuzz::require(Label().deserializeFromBuffer(bytes, written) == label);
    return 0;
}
