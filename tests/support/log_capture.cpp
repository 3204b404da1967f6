#include "log_capture.h"

#include "log_sink.h"

#include <zorv/labelmgr.hpp>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

namespace zorvtest {

struct LogCapture::Impl {
    mutable std::mutex mutex;
    std::vector<LogLine> lines;
    LogSink appender{[this](const log4cpp::LoggingEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({event.priority, event.categoryName, event.message});
    }};
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

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lines;
}

std::vector<LogLine> LogCapture::matching(const std::string& text) const {
    std::vector<LogLine> out;
    for (auto& line : lines())
        if (line.message.find(text) != std::string::npos) out.push_back(line);
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->lines.clear();
}

}  // namespace zorvtest
