// Compiled form of the regular expression that a wildcard translates to.
//
// std::regex answers correctly but its matcher backtracks, recursing once per
// step: long texts overflow the stack and some expressions take exponential
// time. Expressions made of literals, '.', bracket expressions, groups and
// the quantifiers '*', '+' and '?' -- everything an ordinary wildcard
// produces and most of what escapes add -- are therefore run on an automaton
// whose time is linear in expression x text and which uses no recursion: a
// bit-parallel one for expressions of up to 256 positions, a Thompson one
// beyond. Only the rest (back-references, assertions, counted repetition,
// class escapes) stays with std::regex, on the calling thread, within a budget
// of steps and of the stack that thread has left.
#pragma once

#include <cstddef>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

namespace zorv {
namespace detail {

class PositionAutomaton;
class ThompsonAutomaton;

// Thrown when an expression or a text lies beyond what std::regex may be
// given safely; the message says which bound was reached.
class MatchRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Steps std::regex may take for one match before it is refused (well under
// a second).
constexpr std::size_t kRegexStepBudget = std::size_t{1} << 22;

class CompiledWildcard {
public:
    // Compiles `regexText` with the ECMAScript grammar, case-insensitive.
    // Throws std::regex_error exactly when std::regex does, and MatchRefused
    // when compiling it with std::regex needs more stack than is left.
    explicit CompiledWildcard(const std::string& regexText);
    ~CompiledWildcard();
    CompiledWildcard(const CompiledWildcard&) = delete;
    CompiledWildcard& operator=(const CompiledWildcard&) = delete;

    // Whole-text match. Throws MatchRefused when std::regex would need more
    // stack than is left or more than kRegexStepBudget steps.
    bool matches(const std::string& text) const;

    // Whether an automaton answers (rather than std::regex).
    bool usesAutomaton() const { return positions_ || thompson_; }

    // The expression on the Thompson automaton whatever its size (null when
    // it needs std::regex), for comparing the two automata.
    static std::unique_ptr<CompiledWildcard> onThompsonAutomaton(const std::string& regexText);

private:
    CompiledWildcard() = default;

    std::unique_ptr<PositionAutomaton> positions_;  // short expressions
    std::unique_ptr<ThompsonAutomaton> thompson_;   // long ones
    std::unique_ptr<std::regex> regex_;
    std::size_t regexSize_ = 0;
};

// The compiled form of the wildcard `pattern`, from a small bounded cache that
// all threads share. A pattern that does not compile is not cached: its
// std::regex_error (or MatchRefused) is thrown on every call.
std::shared_ptr<const CompiledWildcard> compiledWildcard(const std::string& pattern);

}  // namespace detail
}  // namespace zorv
