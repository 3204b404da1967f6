/// @file
/// Diagnostics of libzorvlabelmgr: the process-wide logger and the scope timer.
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

/// Process-wide logging facade over log4cpp. Each call names the calling
/// function and the source line and writes "[func:line] " and the formatted
/// text; the message is only composed when the category would write it. The
/// logging calls are thread-safe (log4cpp serialises its appenders).
class ZORV_API Logger {
public:
    /// The process's logger, configured from
    /// /etc/zorv/label/zorv-label-log.properties, else writing INFO and above
    /// to /var/log/zorv/zorv_label_manager.log. Created by the first call;
    /// thread-safe.
    static Logger& getInstance();

    /// Configures log4cpp as getInstance() does. Use getInstance() instead:
    /// log4cpp's configuration is the whole process's.
    Logger();
    /// Configures log4cpp for the whole process from `configFile` (log4cpp's
    /// property syntax); throws log4cpp::ConfigureFailure when it cannot. Not
    /// thread-safe with respect to logging in other threads.
    explicit Logger(const std::string& configFile);
    /// Shuts log4cpp's categories down for the whole process.
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    /// log4cpp's category `name`, made on first use. Thread-safe.
    log4cpp::Category* getCategory(const std::string& name);

    /// Logs at DEBUG: `func` and `line` name the caller, `format` and the
    /// arguments are printf's. Thread-safe.
    void debug(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    /// Logs at INFO, as debug(). Thread-safe.
    void info(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    /// Logs at WARN, as debug(). Thread-safe.
    void warn(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    /// Logs at ERROR, as debug(). Thread-safe.
    void error(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    /// Logs at FATAL, as debug(); the process goes on. Thread-safe.
    void fatal(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);
    /// Logs at INFO to the category "INFO", which writes whatever the root
    /// category's level. Thread-safe.
    void always(const char* func, int line, const char* format, ...) ZORV_PRINTF(4, 5);

private:
    std::map<std::string, log4cpp::Category*> categories;
    log4cpp::Category& root;
    std::mutex categoriesMutex_;
};

/// Logs how long the enclosing scope took when it ends. Per object.
class ZORV_API Timer {
public:
    /// Starts timing; `name` heads the log line.
    explicit Timer(const std::string& name) : name(name), start(std::chrono::system_clock::now()) {}
    /// Logs "<name> execution time: <seconds> s" through Logger::always();
    /// never throws.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    std::string name;
    std::chrono::system_clock::time_point start;
};

#endif  // ZORV_LOG_HPP
