#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <zorv/labelmgr.hpp>

#include "log_capture.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <regex>
#include <thread>

namespace {

TEST(ContainsWildcard, EscapesAndNonWildcards) {
    EXPECT_FALSE(containsWildcard(""));
    EXPECT_FALSE(containsWildcard("\\*"));
    EXPECT_FALSE(containsWildcard("a{b,c}!"));
    EXPECT_TRUE(containsWildcard("]"));
    EXPECT_TRUE(containsWildcard("\\\\*"));  // escaped backslash, then a real star
    EXPECT_TRUE(containsWildcard("\\[x]"));
}

TEST(WildcardsToRegex, TranslationTable) {
    EXPECT_EQ(wildcardsToRegex("*.txt"), ".*\\.txt");
    EXPECT_EQ(wildcardsToRegex("file?.log"), "file.\\.log");
    EXPECT_EQ(wildcardsToRegex("[!abc]*"), "[^abc].*");
    EXPECT_EQ(wildcardsToRegex("{a,b}.c"), "(a|b)\\.c");
    EXPECT_EQ(wildcardsToRegex("x,y"), "x,y");
    EXPECT_EQ(wildcardsToRegex("\\."), ".");
    EXPECT_EQ(wildcardsToRegex("ab\\"), "ab");
    EXPECT_EQ(wildcardsToRegex(""), "");
    EXPECT_EQ(wildcardsToRegex("$()+^|"), "\\$\\(\\)\\+\\^\\|");
    EXPECT_EQ(wildcardsToRegex("a}b"), "a}b");
    EXPECT_EQ(wildcardsToRegex("{a{b}c}"), "(a(b)c}");  // groups do not nest
    EXPECT_EQ(wildcardsToRegex("[a*]"), "[a.*]");
    EXPECT_EQ(wildcardsToRegex("x["), "x[");
    EXPECT_EQ(wildcardsToRegex("\\\\d"), "\\d");
}

TEST(MatchesPattern, WholeTextCaseInsensitive) {
    EXPECT_TRUE(matchesPattern("*.TXT", "readme.txt"));
    EXPECT_FALSE(matchesPattern("*.txt", "readme.txt.bak"));
    EXPECT_TRUE(matchesPattern("/usr/lib/*.so.?", "/USR/lib/libz.so.1"));
    EXPECT_TRUE(matchesPattern("{bin,sbin}/*", "sbin/init"));
    EXPECT_FALSE(matchesPattern("{bin,sbin}/*", "lib/init"));
    EXPECT_TRUE(matchesPattern("[!a-c]x", "dx"));
    EXPECT_FALSE(matchesPattern("[!a-c]x", "Bx"));
    EXPECT_TRUE(matchesPattern("*", ""));
    EXPECT_FALSE(matchesPattern("?", ""));
    EXPECT_FALSE(matchesPattern("*", "a\nb"));  // '.' stops at line ends
    // Escapes hand the next character to the expression untranslated.
    EXPECT_TRUE(matchesPattern("a\\+", "aaa"));
    EXPECT_TRUE(matchesPattern("{x}\\\\1", "xx"));  // a back-reference
    EXPECT_FALSE(matchesPattern("{x,y}\\\\1", "xy"));
}

// A bad expression throws every time, cached or not, and logs nothing.
TEST(MatchesPattern, CompileErrorsAreThrownEveryTime) {
    zorvtest::LogCapture log;
    for (int i = 0; i < 3; ++i) {
        EXPECT_THROW(matchesPattern("[abc", "a"), std::regex_error);
        EXPECT_THROW(matchesPattern("{a,b", "a"), std::regex_error);
        EXPECT_TRUE(matchesPattern("a*", "abc"));  // a good pattern in between
    }
    EXPECT_EQ(log.size(), 0u);
}

// std::regex's own matcher would overflow the stack on these texts.
TEST(MatchesPattern, LongTextsDoNotCrash) {
    const std::string text(100000, 'a');
    EXPECT_TRUE(matchesPattern("*", text));
    EXPECT_TRUE(matchesPattern("a*a", text));
    EXPECT_FALSE(matchesPattern("*b", text));
    EXPECT_TRUE(matchesPattern("a\\+", text));          // runs on std::regex
    EXPECT_TRUE(matchesPattern("{a}\\\\1*", text));     // back-reference
    EXPECT_FALSE(matchesPattern("{b}\\\\1*", text));
    std::string pattern(3000, 'a');
    EXPECT_TRUE(matchesPattern(pattern, std::string(3000, 'A')));
    pattern[1500] = '\\';
    pattern[1501] = '+';  // long expression outside the automaton
    EXPECT_TRUE(matchesPattern(pattern, std::string(3000, 'a')));
}

// A caller's thread with a small stack gets the same protection.
TEST(MatchesPattern, SmallCallerStacksDoNotOverflow) {
    struct Job {
        int result = -1;
        static void* run(void* arg) {
            auto* job = static_cast<Job*>(arg);
            const std::string text(5000, 'a');
            job->result = matchesPattern("a\\+", text) && matchesPattern("*a", text) ? 1 : 0;
            return nullptr;
        }
    } job;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, &Job::run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(job.result, 1);
}

// Many patterns (more than the cache holds) from several threads at once.
TEST(MatchesPattern, ConcurrentUseOfManyPatterns) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                const int n = (i * 7 + t) % 300;
                const std::string pattern = "f" + std::to_string(n) + "*.{c,h}";
                if (!matchesPattern(pattern, "F" + std::to_string(n) + "x.H")) ++wrong;
                if (matchesPattern(pattern, "g" + std::to_string(n) + ".c")) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(MatchesPattern1, FnmatchWithPathname) {
    EXPECT_TRUE(matchesPattern1("/etc/passwd", "/etc/*"));
    EXPECT_FALSE(matchesPattern1("/etc/passwd", "/*"));
    EXPECT_TRUE(matchesPattern1(".hidden", "*"));
    EXPECT_TRUE(matchesPattern1("a*b", "a\\*b"));
    EXPECT_FALSE(matchesPattern1("a/b", "a[/]b"));
}

}  // namespace
