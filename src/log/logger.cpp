#include <zorv/log.hpp>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iostream>

#include "log/log.h"

namespace {

using zorv::kAlwaysCategory;

const char* const kConfigFile = "/etc/zorv/label/zorv-label-log.properties";
const char* const kFallbackDir = "/var/log/zorv";
const char* const kFallbackFile = "/var/log/zorv/zorv_label_manager.log";
const char* const kPattern = "%d{%Y-%m-%d %H:%M:%S.%l} %t [%p] %m %n";

// Prefixes the caller's format with "[func:line] " in a fixed stack buffer and
// hands it to log4cpp, which expands the arguments.
void emit(log4cpp::Category& category, log4cpp::Priority::Value priority, const char* func, int line,
          const char* format, va_list args) {
    char composed[1024];
    std::snprintf(composed, sizeof composed, "[%s:%d] %s", func ? func : "", line, format ? format : "");
    category.logva(priority, composed, args);
}

}  // namespace

namespace {

// Callers format strerror(errno) into the very call that fetches the logger,
// and read errno after logging: neither the first construction (which tries
// files and directories) nor a write may change it under them.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

}  // namespace

Logger& Logger::getInstance() {
    ErrnoKeeper keeper;
    static Logger instance;
    return instance;
}

Logger::Logger() : root(log4cpp::Category::getRoot()) {
    try {
        log4cpp::PropertyConfigurator::configure(kConfigFile);
        log4cpp::Category& info = log4cpp::Category::getInstance(kAlwaysCategory);
        info.setAdditivity(false);
        categories[kAlwaysCategory] = &info;
    } catch (const std::runtime_error&) {
        std::cout << "read log config error." << std::endl;
        // Without the directory the fallback file cannot be opened and every
        // line would be lost without a trace.
        if (::mkdir(kFallbackDir, 0755) != 0 && errno != EEXIST) {
            std::cerr << "cannot create " << kFallbackDir << std::endl;
        }
        auto* appender = new log4cpp::FileAppender("rootAppender", kFallbackFile, true, 0644);
        auto* layout = new log4cpp::PatternLayout();
        layout->setConversionPattern(kPattern);
        appender->setLayout(layout);
        root.setPriority(log4cpp::Priority::INFO);
        root.addAppender(appender);
    }
}

Logger::Logger(const std::string& configFile) : root(log4cpp::Category::getRoot()) {
    log4cpp::PropertyConfigurator::configure(configFile);
}

Logger::~Logger() { log4cpp::Category::shutdown(); }

log4cpp::Category* Logger::getCategory(const std::string& name) {
    std::lock_guard<std::mutex> lock(categoriesMutex_);
    auto it = categories.find(name);
    if (it == categories.end()) {
        it = categories.emplace(name, &log4cpp::Category::getInstance(name)).first;
    }
    return it->second;
}

// The priority is tested before anything is composed, so a filtered-out call
// costs one virtual call.
#define ZORV_LOGGER_LEVEL(method, priority, category)                   \
    void Logger::method(const char* func, int line, const char* format, ...) { \
        log4cpp::Category& target = (category);                         \
        if (!target.isPriorityEnabled(priority)) return;                \
        ErrnoKeeper keeper;                                             \
        va_list args;                                                   \
        va_start(args, format);                                         \
        emit(target, priority, func, line, format, args);               \
        va_end(args);                                                   \
    }

ZORV_LOGGER_LEVEL(debug, log4cpp::Priority::DEBUG, root)
ZORV_LOGGER_LEVEL(info, log4cpp::Priority::INFO, root)
ZORV_LOGGER_LEVEL(warn, log4cpp::Priority::WARN, root)
ZORV_LOGGER_LEVEL(error, log4cpp::Priority::ERROR, root)
ZORV_LOGGER_LEVEL(fatal, log4cpp::Priority::FATAL, root)
ZORV_LOGGER_LEVEL(always, log4cpp::Priority::INFO, *getCategory(kAlwaysCategory))

#undef ZORV_LOGGER_LEVEL
