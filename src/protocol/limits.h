// Sizes that the library, the service and the tool must agree on.
#pragma once

#include <cstddef>

namespace zorv {
namespace protocol {

// dbus-daemon's limit for one message on the system bus (its built-in
// default; the stock configuration keeps it). The bus drops a client that
// sends more, and a reply larger than this cannot be delivered.
constexpr std::size_t kMaxMessageBytes = std::size_t(32) << 20;

// The longest path the service keeps and callers may name, in bytes: it
// must fit, with its terminator, the 4096-byte path field of the clients'
// records.
constexpr std::size_t kMaxPathBytes = 4095;

}  // namespace protocol
}  // namespace zorv
