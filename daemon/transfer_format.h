// The form of an exported document, shared by its writer and its reader: its
// name and version, and the sections of "records", one for each attribute,
// named and keyed as the attribute table names them and in its order.
#pragma once

#include <cstddef>
#include <iterator>

#include "protocol/attributes.h"
#include "store_transfer.h"

namespace zorvd {

inline constexpr const char* kTransferFormat = "zorv-label-export";
inline constexpr int kTransferVersion = 1;

inline constexpr std::size_t kRecordSections = std::size(zorv::protocol::kAttributes);

constexpr const zorv::protocol::AttributeInfo& sectionAttribute(std::size_t section) {
    return zorv::protocol::kAttributes[section];
}

inline TransferCounts noneTransferred() {
    return {{"devices", 0}, {"files", 0}, {"modules", 0}, {"packages", 0}, {"records", 0}};
}

}  // namespace zorvd
