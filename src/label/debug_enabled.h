// Whether debug lines would be written, so that hot paths prepare their
// debug arguments only when someone reads them.
#pragma once

#include <zorv/log.hpp>

#include <log4cpp/Category.hh>

namespace zorv {
namespace label {

inline bool debugEnabled() {
    // Found once: each lookup of a category takes the hierarchy's lock, and a
    // relabelled tree encodes a label per file. The library's log
    // configuration comes first.
    static log4cpp::Category& root = (Logger::getInstance(), log4cpp::Category::getRoot());
    return root.isDebugEnabled();
}

}  // namespace label
}  // namespace zorv
