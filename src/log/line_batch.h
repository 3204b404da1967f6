// Lines that one call writes by the thousand, one per file of a package.
// Written one event each, their layout, locking and write would cost far more
// than the call they describe; a batch gathers them into events of a few
// kilobytes instead. Each line keeps its "[function:line] " prefix; the
// appender's heading (date, thread, level) comes before the first line of
// each event. Lines go where Logger::always writes, at its level.
#pragma once

#include <zorv/log.hpp>

#include <charconv>
#include <cstring>
#include <string>

namespace zorv {

class LineBatch {
public:
    explicit LineBatch(const char* function);
    ~LineBatch() { flush(); }
    LineBatch(const LineBatch&) = delete;
    LineBatch& operator=(const LineBatch&) = delete;

    // Adds "[function:line] " and `parts` (texts and integers) as one line.
    // Costs nothing when the level is not written.
    template <typename... Parts>
    void add(int line, const Parts&... parts) {
        if (category_ == nullptr) return;
        if (used_ != 0) put("\n", 1);
        put("[", 1);
        put(function_, functionLength_);
        put(":", 1);
        put(line);
        put("] ", 2);
        (void)std::initializer_list<int>{(put(parts), 0)...};
        if (used_ >= kEventBytes) flush();
    }

    // Writes what has been gathered, so that a line logged next follows it.
    void flush() noexcept;

private:
    // Small enough for any appender to take as one event, large enough that
    // a package of 100,000 files makes about a thousand of them.
    static constexpr std::size_t kEventBytes = 8192;

    // Pieces are copied straight into the room kept in text_, whose size is
    // that room; only its first used_ bytes are lines.
    void put(const char* text, std::size_t length) {
        if (length > text_.size() - used_) text_.resize(used_ + length + kEventBytes);
        std::memcpy(&text_[used_], text, length);
        used_ += length;
    }
    void put(const char* text) { text ? put(text, std::strlen(text)) : put("(null)", 6); }
    void put(const std::string& text) { put(text.data(), text.size()); }
    void put(long long number) {
        char digits[24];
        put(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, number).ptr - digits));
    }
    void put(int number) { put(static_cast<long long>(number)); }

    log4cpp::Category* category_;  // null when the level is not written
    const char* function_;
    std::size_t functionLength_;
    std::string text_;
    std::size_t used_ = 0;
};

}  // namespace zorv
