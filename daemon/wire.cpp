#include "wire.h"

#include <cstdio>

namespace zorvd {

namespace {

// Length of the valid UTF-8 sequence at text[i] (overlong forms, surrogates
// and code points past U+10FFFF are not valid), or 0 when there is none.
std::size_t sequenceAt(const std::string& text, std::size_t i) {
    auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char d = byte(i + 1);
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90))
        return 0;
    return n;
}

void appendEscape(std::string& out, unsigned char byte) {
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    out += code;
}

}  // namespace

std::string wireText(const std::string& text) {
    if (sendsAsIs(text)) return text;
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = text[i] == '\0' ? 0 : sequenceAt(text, i);
        if (n == 0) {
            appendEscape(out, static_cast<unsigned char>(text[i++]));
        } else if (text[i] == '\\') {
            out += "\\\\";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    if (dbus_validate_utf8(out.c_str(), nullptr)) return out;
    // Where libdbus is stricter than the rules above, nothing but ASCII is left.
    std::string ascii;
    for (unsigned char c : out)
        if (c < 0x80)
            ascii += static_cast<char>(c);
        else
            appendEscape(ascii, c);
    return ascii;
}

MessagePtr errorReply(DBusMessage* call, const char* name, const std::string& text) {
    return MessagePtr(dbus_message_new_error(call, name, wireText(text).c_str()));
}

}  // namespace zorvd
