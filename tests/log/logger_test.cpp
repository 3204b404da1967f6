// What the library writes to the log: prefix, levels, categories, the timer.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <cerrno>

#include "emulator.h"
#include "log_capture.h"

using zorvtest::LogCapture;

namespace {

// Building the logger (in a fresh process) and logging leave errno alone, for callers that log strerror(errno).
TEST(Logger, LeavesErrnoAlone) {
    // A cross-built tree cannot run the program again; there a fork is as fresh, one case to a process.
    GTEST_FLAG_SET(death_test_style, zorvtest::emulator().empty() ? "threadsafe" : "fast");
    EXPECT_EXIT(
        {
            errno = EDOM;
            Logger& logger = Logger::getInstance();
            bool kept = errno == EDOM;
            logger.error("f", 1, "x");
            ::_exit(kept && errno == EDOM ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Each line starts "[function:line] ", each level filtered by its category's priority; long arguments logged whole;
// one category per name, whichever thread asks first.
TEST(Logger, PrefixesLevelsCategoriesAndLongArguments) {
    LogCapture log(false);  // the configured priority: INFO without a configuration file
    Logger& logger = Logger::getInstance();
    std::string format(2000, 'a');
    logger.warn("g", 12, "%s", format.c_str());  // the argument is not limited
    logger.warn("g", 12, format.c_str(), 0);     // how much of a long format is kept is not promised
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "[g:12] " + format);
    EXPECT_EQ(lines[1].message.rfind("[g:12] aaaa", 0), 0u) << lines[1].message;
    EXPECT_LE(lines[1].message.size(), ("[g:12] " + format).size());
    log.clear();

    logger.debug("d", 1, "hidden %s", "text");
    logger.info("i", 2, "x=%d", 5);
    logger.always("a", 3, "always %d", 1);
    lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "[i:2] x=5");
    EXPECT_EQ(lines[0].priority, log4cpp::Priority::INFO);
    EXPECT_EQ(lines[1].message, "[a:3] always 1");
    EXPECT_EQ(lines[1].category, "INFO");

    // `always` follows the priority of its own category, not the root's alone.
    log4cpp::Category* info = logger.getCategory("INFO");
    info->setPriority(log4cpp::Priority::WARN);
    logger.always("a", 4, "now filtered");
    info->setPriority(log4cpp::Priority::NOTSET);
    EXPECT_EQ(log.size(), 2u);

    std::vector<std::thread> threads;
    std::vector<log4cpp::Category*> seen(8);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) logger.getCategory("zorv.test." + std::to_string(i % 20));
            seen[t] = logger.getCategory("zorv.test.shared");
        });
    for (auto& th : threads) th.join();
    for (auto* c : seen) EXPECT_EQ(c, seen[0]);
    EXPECT_EQ(logger.getCategory("zorv.test.shared"), &log4cpp::Category::getInstance("zorv.test.shared"));
}

TEST(Timer, LogsTheSpanOfItsScope) {
    LogCapture log;
    {
        Timer timer("#zorv_labelmgr, set label for pkg");
        // The span measured is the point here, not a wait on anything.
        std::this_thread::sleep_for(std::chrono::microseconds(12500));
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].category, "INFO");
    const std::string& text = lines[0].message;
    const std::string tail = "] #zorv_labelmgr, set label for pkg execution time: ";
    const auto at = text.find(tail);
    ASSERT_TRUE(text.rfind("[~Timer:", 0) == 0 && at != std::string::npos) << text;
    const std::string number = text.substr(at + tail.size());  // "0.012345 s": six decimals
    ASSERT_TRUE(number.size() == 10 && number.substr(8) == " s") << text;
    EXPECT_GE(std::stod(number), 0.0125);
    EXPECT_LT(std::stod(number), 0.5);
}

}  // namespace
