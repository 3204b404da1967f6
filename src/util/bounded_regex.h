// std::regex for the expressions that no linear-time engine takes
// (back-references, assertions, counted repetition, class escapes). Its
// matcher backtracks, recursing once per step: long texts would overflow the
// stack and some expressions take exponential time. It therefore runs on the
// calling thread only within a budget of steps and of the stack that thread
// has left, and throws MatchRefused past either.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <cstddef>
#include <memory>
#include <regex>
#include <string>

namespace zorv {
namespace detail {

// How matchesPattern compiles the expression of a wildcard.
constexpr auto kWildcardRegexSyntax = std::regex::ECMAScript | std::regex::icase;

// Steps std::regex may take for one match before it is refused (well under
// a second).
constexpr std::size_t kRegexStepBudget = std::size_t{1} << 22;

class BoundedRegex {
public:
    // Compiles `regexText` with the ECMAScript grammar, case-insensitive.
    // Throws std::regex_error when std::regex does, and MatchRefused when
    // compiling needs more stack than is left.
    explicit BoundedRegex(const std::string& regexText);

    // Whole-text match.
    bool matches(const std::string& text) const;

private:
    std::regex regex_;
    std::size_t regexSize_;
};

}  // namespace detail
}  // namespace zorv
