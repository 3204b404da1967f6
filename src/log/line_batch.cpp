#include "log/line_batch.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <charconv>

#include "log/log.h"

namespace zorv {

namespace {
// Small enough for any appender to take as one event, large enough that a
// package of 100,000 files makes a few hundred of them.
constexpr std::size_t kEventBytes = 8192;
}  // namespace

LineBatch::LineBatch(const char* function) : category_(nullptr), function_(function) {
    log4cpp::Category* category = Logger::getInstance().getCategory(kAlwaysCategory);
    if (category->isPriorityEnabled(log4cpp::Priority::INFO)) category_ = category;
}

void LineBatch::start(int line) {
    if (!text_.empty()) text_ += '\n';
    text_ += '[';
    text_ += function_;
    text_ += ':';
    append(line);
    text_ += "] ";
}

void LineBatch::finish() {
    if (text_.size() >= kEventBytes) flush();
}

void LineBatch::append(const char* text) { text_ += text ? text : "(null)"; }

void LineBatch::append(long long number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    text_.append(digits, end);
}

void LineBatch::flush() noexcept {
    if (category_ == nullptr || text_.empty()) return;
    category_->log(log4cpp::Priority::INFO, text_);
    text_.clear();
}

}  // namespace zorv
