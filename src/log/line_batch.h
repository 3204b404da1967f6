// Lines that one call writes by the thousand, one per file of a package.
// Written one event each, their layout, locking and write would cost far more
// than the call they describe; a batch gathers them into events of a few
// kilobytes instead. Each line keeps its "[function:line] " prefix; the
// appender's heading (date, thread, level) comes before the first line of
// each event. Lines go where Logger::always writes, at its level.
#pragma once

#include <zorv/labelmgr.hpp>

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
        start(line);
        (void)std::initializer_list<int>{(append(parts), 0)...};
        finish();
    }

    // Writes what has been gathered, so that a line logged next follows it.
    void flush() noexcept;

private:
    void start(int line);
    void finish();
    void append(const char* text);
    void append(const std::string& text) { text_ += text; }
    void append(long long number);
    void append(int number) { append(static_cast<long long>(number)); }

    log4cpp::Category* category_;  // null when the level is not written
    const char* function_;
    std::string text_;
};

}  // namespace zorv
