// Compiled form of the regular expression that a wildcard translates to:
// what lies in the linear-time subset runs on RE2, the rest on a bounded
// std::regex.
#pragma once

#include "util/linear_matcher.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace zorv {
namespace detail {

class BoundedRegex;

// Thrown when an expression or a text lies beyond what may be matched
// safely; the message says which bound was reached.
class MatchRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CompiledWildcard {
public:
    // Compiles `regexText` as an ECMAScript expression, case-insensitive.
    // Throws std::regex_error exactly when std::regex does, and MatchRefused
    // when the expression is too large to compile within the bounds.
    explicit CompiledWildcard(const std::string& regexText);
    ~CompiledWildcard();
    CompiledWildcard(const CompiledWildcard&) = delete;
    CompiledWildcard& operator=(const CompiledWildcard&) = delete;

    // Whole-text match, with std::regex's answer. Throws MatchRefused when
    // std::regex would need more stack than is left or more steps than
    // allowed.
    bool matches(const std::string& text) const { return linear_ ? linear_->matches(text) : matchesBounded(text); }

    // Whether the answer comes in linear time (rather than from std::regex).
    bool isLinear() const { return linear_ != nullptr; }

private:
    bool matchesBounded(const std::string& text) const;

    std::unique_ptr<LinearMatcher> linear_;
    std::unique_ptr<BoundedRegex> bounded_;
};

// The compiled form of the wildcard `pattern`, from a small bounded cache that
// all threads share. A pattern that does not compile is not cached: its
// std::regex_error (or MatchRefused) is thrown on every call.
std::shared_ptr<const CompiledWildcard> compiledWildcard(const std::string& pattern);

}  // namespace detail
}  // namespace zorv
