// Constants of the label model shared by its sources: error codes, the bits
// of the binary form's trailing state byte and the form's size limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorv {
namespace label {

enum ErrorCode : int32_t {
    kBadInput = 1,
    kFileMissing = 4,
    kXattrIo = 5,
    kXattrEmpty = 6,
    kXattrUnsupported = 7,
    kSerializedSize = 12,
    kDecodeFailed = 13,
};

enum StateBit : unsigned char {
    kOidFile = 0x80,
    kOidPath = 0x40,
    kTid = 0x20,
    kSidFile = 0x10,
    kSidPath = 0x08,
    kInheritFlag = 0x04,
    kCreatorFile = 0x02,
    kCreatorPath = 0x01,
};

// Three package numbers and the state byte; everything present.
constexpr size_t kMinLabelSize = 3 * 8 + 1;
constexpr size_t kMaxLabelSize = 3 * 24 + 4 + 4 + 1;

constexpr const char* kXattrName = "security.zorv";

}  // namespace label
}  // namespace zorv
