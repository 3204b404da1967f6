// Collects what the library logs, by attaching an appender to log4cpp's root.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zorvtest {

struct LogLine {
    int priority;          // log4cpp priority value
    std::string category;  // "" for the root category
    std::string message;   // "[func:line] text"
};

class LogCapture {
public:
    // Lowers the root priority to DEBUG while alive unless told otherwise.
    explicit LogCapture(bool debug = true);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    // Lines whose message contains `text`.
    std::vector<LogLine> matching(const std::string& text) const;
    bool contains(const std::string& text) const { return !matching(text).empty(); }
    size_t size() const { return lines().size(); }
    void clear();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorvtest
