// A log4cpp appender that hands each event to a function instead of writing
// it anywhere: the tests collect the lines, the fuzzers drop them.
#pragma once

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/LoggingEvent.hh>

#include <functional>
#include <utility>

namespace zorvtest {

class LogSink : public log4cpp::AppenderSkeleton {
public:
    explicit LogSink(std::function<void(const log4cpp::LoggingEvent&)> take)
        : log4cpp::AppenderSkeleton("zorv-log-sink"), take_(std::move(take)) {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

protected:
    void _append(const log4cpp::LoggingEvent& event) override { take_(event); }

private:
    std::function<void(const log4cpp::LoggingEvent&)> take_;
};

}  // namespace zorvtest
