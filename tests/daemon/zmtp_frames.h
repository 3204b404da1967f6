// What a subscriber sends a publisher, byte by byte: greeting, commands and frames.
#pragma once

#include <cstdint>
#include <string>

namespace zmtp {

// A peer's greeting: signature, version, mechanism, not a server.
inline std::string greeting(const std::string& mechanism = "NULL", char major = 3) {
    std::string g(64, '\0');
    g[0] = '\xff', g[9] = '\x7f', g[10] = major;
    return g.replace(12, mechanism.size(), mechanism);
}
inline std::string bigEndian(uint64_t value, int size) {
    std::string bytes;
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
    return bytes;
}
// A frame in the short form where it fits, unless `asLong`.
inline std::string frame(unsigned char flags, const std::string& body, bool asLong = false) {
    if (asLong || body.size() > 255) return static_cast<char>(flags | 0x02) + bigEndian(body.size(), 8) + body;
    return std::string{static_cast<char>(flags), static_cast<char>(body.size())} + body;
}
inline std::string command(const std::string& name, const std::string& data) {
    return frame(0x04, static_cast<char>(name.size()) + name + data);
}
inline std::string property(const std::string& name, const std::string& value) {
    return static_cast<char>(name.size()) + name + bigEndian(value.size(), 4) + value;
}
inline std::string ready(const std::string& type) { return command("READY", property("Socket-Type", type)); }
inline std::string subscribe(const std::string& prefix, bool asLong = false) {
    return frame(0, '\x01' + prefix, asLong);
}
inline std::string handshake() { return greeting() + ready("SUB"); }

}  // namespace zmtp
