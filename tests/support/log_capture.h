// Collects what the library logs, from log4cpp's root (and Logger::always's category, if configured apart).
#pragma once

#include <zorv/labelmgr.hpp>

#include "log/log.h"

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/LoggingEvent.hh>
#include <log4cpp/Priority.hh>

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace zorvtest {

// An appender that hands each event to a function: the tests collect the lines, the fuzzers drop them.
class LogSink : public log4cpp::AppenderSkeleton {
public:
    explicit LogSink(std::function<void(const log4cpp::LoggingEvent&)> take, const std::string& name = "zorv-log-sink")
        : log4cpp::AppenderSkeleton(name), take_(std::move(take)) {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override { take_(event); }

private:
    std::function<void(const log4cpp::LoggingEvent&)> take_;
};

struct LogLine {
    int priority;          // log4cpp priority value
    std::string category;  // "" for the root category
    std::string message;   // "[func:line] text"
};

class LogCapture {
public:
    // Lowers the root priority to DEBUG while alive unless told otherwise.
    explicit LogCapture(bool debug = true) {
        Logger::getInstance();  // the library's configuration comes first
        previous_ = root_.getPriority();
        if (debug) root_.setPriority(log4cpp::Priority::DEBUG);
        root_.addAppender(sink_);
        // The installed configuration gives that category a file of its own, not additive.
        if (!always_.getAdditivity()) always_.addAppender(alwaysSink_);
    }
    ~LogCapture() {
        always_.removeAppender(&alwaysSink_);
        root_.removeAppender(&sink_);
        root_.setPriority(previous_);
    }

    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Lines whose message contains `text`.
    std::vector<LogLine> matching(const std::string& text) const {
        std::vector<LogLine> out;
        for (auto& line : lines())
            if (line.message.find(text) != std::string::npos) out.push_back(line);
        return out;
    }
    bool contains(const std::string& text) const { return !matching(text).empty(); }
    size_t size() const { return lines().size(); }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    void take(const log4cpp::LoggingEvent& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({event.priority, event.categoryName, event.message});
    }
    LogSink sink_{[this](const log4cpp::LoggingEvent& event) { take(event); }};
    LogSink alwaysSink_{[this](const log4cpp::LoggingEvent& event) { take(event); }, "zorv-log-sink-always"};
    log4cpp::Category& root_ = log4cpp::Category::getRoot();
    log4cpp::Category& always_ = log4cpp::Category::getInstance(zorv::kAlwaysCategory);
    int previous_ = 0;
};

}  // namespace zorvtest
