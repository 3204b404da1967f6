// Results on standard output: plain lines, aligned tables or JSON.
#include <locale.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <cstring>

#include "tool.h"

namespace zorvtool {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
size_t utf8Sequence(const std::string& text, size_t i) {
    auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    unsigned char c = byte(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char d = byte(i + 1);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90))
        return 0;
    return n;
}

// Whether every byte of `text` is printable ASCII, the common case of a
// name, and (unless `backslash`) none is a backslash. A plain loop: the
// sanitizer trees build the tool unoptimised, and a listing passes every
// byte of every path through here.
bool plainAscii(const std::string& text, bool backslash) {
    for (const char *p = text.data(), *end = p + text.size(); p < end; ++p)
        if (*p < 0x20 || *p > 0x7E || (*p == '\\' && !backslash)) return false;
    return true;
}

}  // namespace

size_t displayWidth(const std::string& text) {
    if (plainAscii(text, true)) return text.size();  // a column a character
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8 == nullptr) return text.size();
    locale_t previous = uselocale(utf8);
    size_t width = 0;
    mbstate_t state{};
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        wchar_t wc;
        size_t n = mbrtowc(&wc, p, end - p, &state);
        if (n == 0 || n > static_cast<size_t>(end - p)) break;  // printable() left no invalid bytes
        int w = wcwidth(wc);
        width += w > 0 ? w : 0;
        p += n;
    }
    uselocale(previous);
    return width;
}

namespace {

// The code point of the valid n-byte sequence at text[i].
uint32_t codePoint(const std::string& text, size_t i, size_t n) {
    static const unsigned char leadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t cp = static_cast<unsigned char>(text[i]) & leadBits[n];
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return cp;
}

// Characters that a terminal acts on rather than shows: the C1 controls
// (U+009B alone starts an escape sequence on many terminals) and the
// bidirectional formatting characters, which make what follows them appear
// in another order than it is.
bool actsOnTerminal(uint32_t cp) {
    return (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
           (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

std::string unicodeEscape(uint32_t cp) {
    char buf[12];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
    return buf;
}

// Control characters, the characters above and invalid bytes as escapes;
// backslashes doubled when `backslashes`, so that an escape cannot be
// mistaken for the name's own text.
std::string escaped(const std::string& text, bool backslashes) {
    if (plainAscii(text, !backslashes)) return text;  // nothing to escape
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Sequence(text, i);
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (n == 1 && c == '\\' && backslashes) {
            shown += "\\\\";
        } else if (n == 1 && (c < 0x20 || c == 0x7F)) {
            const char* named = c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : nullptr;
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            shown += named ? named : buf;
        } else if (n == 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            shown += buf;
            n = 1;
        } else if (n > 1 && actsOnTerminal(codePoint(text, i, n))) {
            shown += unicodeEscape(codePoint(text, i, n));
        } else {
            shown.append(text, i, n);
        }
        i += n;
    }
    return shown;
}

}  // namespace

void requireUtf8(const std::string& text, const char* what) {
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Sequence(text, i);
        if (n == 0 || (n == 1 && text[i] == '\0')) usageError(std::string(what) + " is not valid UTF-8");
        i += n;
    }
}

void requireName(const std::string& text, const char* what) {
    if (text.empty()) usageError(std::string("empty ") + what);
    requireUtf8(text, what);
}

std::string printable(const std::string& text) { return escaped(text, true); }

std::string printableMessage(const std::string& text) { return escaped(text, false); }

std::string jsonText(const Json& value, int indent) {
    // Text from the service or from files may hold invalid UTF-8; such bytes
    // are replaced rather than making the document unreadable.
    const std::string dumped = value.dump(indent, ' ', false, Json::error_handler_t::replace);
    // Outside its strings a document is ASCII, so every character a terminal
    // would act on is inside a string, where a \u escape stands for it.
    std::string shown;
    size_t copied = 0;
    for (size_t i = 0; i < dumped.size();) {
        size_t n = std::max<size_t>(utf8Sequence(dumped, i), 1);
        if (n > 1 && actsOnTerminal(codePoint(dumped, i, n))) {
            shown.append(dumped, copied, i - copied);
            shown += unicodeEscape(codePoint(dumped, i, n));
            copied = i + n;
        }
        i += n;
    }
    if (shown.empty()) return dumped;  // the common case: nothing to escape
    shown.append(dumped, copied, std::string::npos);
    return shown;
}

void Output::claimStdout() {
    int fd = ::dup(STDOUT_FILENO);
    FILE* results = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (results == nullptr) {
        if (fd >= 0) ::close(fd);
        return;  // no standard output to protect
    }
    std::fflush(stdout);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    out_ = results;
}

bool Output::finish() {
    bool ok = std::fflush(out_) == 0 && !std::ferror(out_);
    return ok;
}

void Output::line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
}

void Output::document(const Json& value, bool compact) {
    line(jsonText(value, compact ? -1 : 2));
    if (compact) std::fflush(out_);
}

void Output::result(const std::string& text, const Json& value) {
    if (json)
        document(value);
    else
        line(text);
}

void Output::table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], displayWidth(row[c]));
    };
    measure(header);
    for (const auto& row : rows) measure(row);
    auto print = [&](const std::vector<std::string>& row) {
        std::string text;
        for (size_t c = 0; c < row.size(); ++c) {
            text += row[c];
            if (c + 1 < row.size()) text += std::string(widths[c] - displayWidth(row[c]) + 2, ' ');
        }
        line(text);
    };
    print(header);
    for (const auto& row : rows) print(row);
}

}  // namespace zorvtool
