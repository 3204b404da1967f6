// Whether debug lines would be written, so that hot paths prepare their
// debug arguments only when someone reads them.
#pragma once

#include <zorv/log.hpp>

#include <log4cpp/Category.hh>

namespace zorv {
namespace label {

inline bool debugEnabled() {
    Logger::getInstance();  // the library's log configuration comes first
    return log4cpp::Category::getRoot().isDebugEnabled();
}

}  // namespace label
}  // namespace zorv
