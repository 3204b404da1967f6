#include "log/line_batch.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "log/log.h"

namespace zorv {

LineBatch::LineBatch(const char* function)
    : category_(nullptr), function_(function), functionLength_(std::strlen(function)) {
    log4cpp::Category* category = Logger::getInstance().getCategory(kAlwaysCategory);
    if (!category->isPriorityEnabled(log4cpp::Priority::INFO)) return;
    text_.resize(2 * kEventBytes);
    category_ = category;
}

void LineBatch::flush() noexcept {
    if (category_ == nullptr || used_ == 0) return;
    const std::size_t room = text_.size();
    text_.resize(used_);  // within its capacity: nothing is allocated
    category_->log(log4cpp::Priority::INFO, text_);
    text_.resize(room);
    used_ = 0;
}

}  // namespace zorv
