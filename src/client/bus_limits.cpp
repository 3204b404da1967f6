#include "client/bus_limits.h"

#include <dbus/dbus.h>

#include <cstring>

#include "log/log.h"

namespace zorv {

bool isValidUtf8(const char* text) {
    // libdbus's own check, so that the two can never disagree. It measures the
    // string in an int, hence the length test first. Plain ASCII, as most
    // paths are, needs no closer look.
    const std::size_t length = std::strlen(text);
    if (length > kMaxMessageBytes) return false;
    unsigned char bits = 0;
    for (std::size_t i = 0; i < length; ++i) bits |= static_cast<unsigned char>(text[i]);
    return bits < 0x80 || dbus_validate_utf8(text, nullptr);
}

bool acceptString(const char* function, const char* what, const char* text) {
    if (!fitsOneMessage(function, what, BodySize().string(std::strlen(text)).bytes())) return false;
    if (isValidUtf8(text)) return true;
    ZLOG_ERROR_FOR(function, "Invalid UTF-8 sequence in %s: %s", what, text);
    return false;
}

bool fitsOneMessage(const char* function, const char* what, std::size_t bytes) {
    if (bytes <= kMaxArgumentBytes) return true;
    ZLOG_ERROR_FOR(function, "%s too large for one bus message: %zu bytes, at most %zu", what, bytes,
                   kMaxArgumentBytes);
    return false;
}

}  // namespace zorv
