#include "log_capture.h"

#include <zorv/labelmgr.hpp>

#include <log4cpp/AppenderSkeleton.hh>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

namespace zorvtest {

namespace {
class CollectingAppender : public log4cpp::AppenderSkeleton {
public:
    CollectingAppender() : log4cpp::AppenderSkeleton("zorv-test-capture") {}
    void close() override {}
    bool requiresLayout() const override { return false; }
    void setLayout(log4cpp::Layout*) override {}

    std::vector<LogLine> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

protected:
    void _append(const log4cpp::LoggingEvent& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({event.priority, event.categoryName, event.message});
    }

private:
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};
}  // namespace

struct LogCapture::Impl {
    CollectingAppender appender;
    int previousPriority = 0;
};

LogCapture::LogCapture(bool debug) : impl_(new Impl) {
    Logger::getInstance();  // the library's configuration comes first
    log4cpp::Category& root = log4cpp::Category::getRoot();
    impl_->previousPriority = root.getPriority();
    if (debug) root.setPriority(log4cpp::Priority::DEBUG);
    root.addAppender(impl_->appender);
}

LogCapture::~LogCapture() {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAppender(&impl_->appender);
    root.setPriority(impl_->previousPriority);
}

std::vector<LogLine> LogCapture::lines() const { return impl_->appender.lines(); }

std::vector<LogLine> LogCapture::matching(const std::string& text) const {
    std::vector<LogLine> out;
    for (auto& line : lines())
        if (line.message.find(text) != std::string::npos) out.push_back(line);
    return out;
}

void LogCapture::clear() { impl_->appender.clear(); }

}  // namespace zorvtest
