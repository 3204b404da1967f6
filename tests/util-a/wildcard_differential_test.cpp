// The compiled wildcard must answer exactly as std::regex (ECMAScript,
// case-insensitive, whole match) does, for valid and invalid expressions.
#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <zorv/labelmgr.hpp>

#include "util/wildcard_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <locale>
#include <random>
#include <regex>

namespace {

using zorv::detail::CompiledWildcard;

const std::string kPatternAlphabet = "abAB09_.*?*[]!-{},\\^$()+|/ \xe9\xc9";
const std::string kTextAlphabet = "abAB5_.-/,|(\n\xe9\xc9";

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    std::string pattern() {
        std::string p;
        const int length = pick(13);
        for (int i = 0; i < length; ++i) p += kPatternAlphabet[pick(kPatternAlphabet.size())];
        return p;
    }

    // Texts shaped after the pattern match far more often than random ones.
    std::string textFor(const std::string& pattern) {
        if (pick(3) == 0) return randomText(pick(8));
        std::string t;
        for (char c : pattern) {
            switch (c) {
                case '*': t += randomText(pick(4)); break;
                case '?': t += randomText(1); break;
                case '\\': case '{': case '}': case '[': case ']': if (pick(2)) t += c; break;
                case ',': if (pick(2)) t += randomText(1); else t += c; break;
                default: t += pick(4) == 0 ? randomText(1)[0] : flipCase(c); break;
            }
        }
        return t;
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    std::string randomText(std::size_t n) {
        std::string t;
        for (std::size_t i = 0; i < n; ++i) t += kTextAlphabet[pick(kTextAlphabet.size())];
        return t;
    }
    char flipCase(char c) {
        if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
        if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
        return c;
    }
    std::mt19937 rng_;
};

struct Tally {
    int patterns = 0, invalid = 0, automaton = 0, matched = 0, texts = 0;
};

void compareOn(unsigned seed, int patterns, Tally& tally) {
    Generator gen(seed);
    for (int i = 0; i < patterns; ++i) {
        const std::string wildcard = gen.pattern();
        const std::string re = wildcardsToRegex(wildcard);
        ++tally.patterns;
        std::unique_ptr<std::regex> reference;
        std::regex_constants::error_type referenceError{};
        try {
            reference = std::make_unique<std::regex>(re, std::regex::ECMAScript | std::regex::icase);
        } catch (const std::regex_error& e) {
            referenceError = e.code();
        }
        std::unique_ptr<CompiledWildcard> compiled;
        try {
            compiled = std::make_unique<CompiledWildcard>(re);
        } catch (const std::regex_error& e) {
            ASSERT_FALSE(reference) << "pattern " << wildcard << " regex " << re;
            ASSERT_EQ(e.code(), referenceError) << "pattern " << wildcard;
            ++tally.invalid;
            continue;
        }
        ASSERT_TRUE(reference) << "pattern " << wildcard << " regex " << re << " should not compile";
        tally.automaton += compiled->usesAutomaton();
        for (int k = 0; k < 24; ++k) {
            const std::string text = gen.textFor(wildcard);
            const bool expected = std::regex_match(text, *reference);
            ASSERT_EQ(compiled->matches(text), expected)
                << "pattern [" << wildcard << "] regex [" << re << "] text [" << text << "]";
            tally.matched += expected;
            ++tally.texts;
        }
    }
}

TEST(WildcardDifferential, SameAnswersAsStdRegex) {
    Tally tally;
    compareOn(20240601u, 20000, tally);
    // The comparison only means something if it covers all three outcomes and
    // mostly exercises the automaton.
    EXPECT_GT(tally.invalid, tally.patterns / 20);
    EXPECT_GT(tally.automaton, (tally.patterns - tally.invalid) * 3 / 4);
    EXPECT_GT(tally.matched, tally.texts / 20);
    std::printf("patterns %d, invalid %d, automaton %d, texts %d, matching %d\n", tally.patterns, tally.invalid,
                tally.automaton, tally.texts, tally.matched);
}

// Case folding follows the global locale, as std::regex's does.
TEST(WildcardDifferential, SameAnswersUnderAnotherLocale) {
    std::locale other;
    try {
        other = std::locale("C.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "C.UTF-8 locale not installed";
    }
    const std::locale previous = std::locale::global(other);
    Tally tally;
    compareOn(7u, 1500, tally);
    std::locale::global(previous);
}

// Ordinary wildcards, those without escapes, never need std::regex.
TEST(WildcardDifferential, OrdinaryWildcardsUseTheAutomaton) {
    for (const char* pattern : {"*", "*.txt", "/usr/lib/*.so.?", "{a,b,}*[!x-z]", "[]x", "[!]", "a]}b",
                                "[.*]", "{(,)}", "^$+|"}) {
        CompiledWildcard compiled(wildcardsToRegex(pattern));
        EXPECT_TRUE(compiled.usesAutomaton()) << pattern;
    }
    EXPECT_FALSE(CompiledWildcard(wildcardsToRegex("a\\+")).usesAutomaton());
    EXPECT_FALSE(CompiledWildcard(std::string(300, 'a')).usesAutomaton());  // too many positions
}

}  // namespace
