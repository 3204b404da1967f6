// Shared set-up of the fuzz targets: the library formats every log message as usual, into an appender that drops it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log_capture.h"

namespace zorvfuzz {

// A broken property: stop with a crash so that libFuzzer keeps the input.
inline void require(bool condition) { if (!condition) std::abort(); }

}  // namespace zorvfuzz

// Each target is one source file that includes this header once.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Logger::getInstance();
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    root.addAppender(new zorvtest::LogSink([](const log4cpp::LoggingEvent&) {}));  // the category owns it
    root.setPriority(log4cpp::Priority::DEBUG);
    return 0;
}
