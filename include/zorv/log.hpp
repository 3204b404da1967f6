// Diagnostics of libzorvlabelmgr: the process-wide logger and the scope timer.
#ifndef ZORV_LOG_HPP
#define ZORV_LOG_HPP

#include <zorv/export.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace log4cpp {
class Category;
}

// Process-wide logging facade over log4cpp. Each call names the calling
// function and the source line; the message is only composed when the
// category would write it.
class ZORV_API Logger {
public:
    static Logger& getInstance();

    Logger();
    explicit Logger(const std::string& configFile);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    log4cpp::Category* getCategory(const std::string& name);

    void debug(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void info(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void warn(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void error(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void fatal(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    void always(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);

private:
    std::map<std::string, log4cpp::Category*> categories;
    log4cpp::Category& root;
    std::mutex categoriesMutex_;
};

// Logs how long the enclosing scope took when it ends.
class ZORV_API Timer {
public:
    explicit Timer(const std::string& name) : name(name), start(std::chrono::system_clock::now()) {}
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string name;
    std::chrono::system_clock::time_point start;
};

#endif  // ZORV_LOG_HPP
