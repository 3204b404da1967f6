// The compact binary form of an identifier, inline so that the label codec
// does not pay an exported call per identifier.
#pragma once

#include "label/byte_order.h"

#include <zorv/label.hpp>

namespace zorv {
namespace label {

inline size_t compactIdSize(const Id& id) { return 8 + (id.file_id != 0 ? 8 : 0) + (id.path_id != 0 ? 8 : 0); }

// The caller provides compactIdSize(id) bytes at out.
inline unsigned char* writeCompactId(unsigned char* out, const Id& id) {
    out = storeLittleEndian(out, id.pkg_id);
    if (id.file_id != 0) out = storeLittleEndian(out, id.file_id);
    if (id.path_id != 0) out = storeLittleEndian(out, id.path_id);
    return out;
}

}  // namespace label
}  // namespace zorv
