// Compiled form of the regular expression that a wildcard translates to.
//
// std::regex answers correctly but slowly, and its matcher recurses once per
// character of the text, which overflows the stack on long texts. Expressions
// made of literals, '.', bracket expressions, '*' on a single character and
// (a|b) groups -- everything an ordinary wildcard produces -- are therefore
// run on a bit-parallel position automaton that gives the same answers
// without recursion. Anything else (and every expression that does not
// compile) stays with std::regex, run on a helper thread with a large stack
// when the text is long.
#pragma once

#include <cstddef>
#include <memory>
#include <regex>
#include <string>

namespace zorv {
namespace detail {

class PositionAutomaton;

class CompiledWildcard {
public:
    // Compiles `regexText` with the ECMAScript grammar, case-insensitive.
    // Throws std::regex_error exactly when std::regex does.
    explicit CompiledWildcard(const std::string& regexText);
    ~CompiledWildcard();
    CompiledWildcard(const CompiledWildcard&) = delete;
    CompiledWildcard& operator=(const CompiledWildcard&) = delete;

    // Whole-text match. Throws std::regex_error (error_stack) only if a long
    // text needs a helper thread that cannot be created.
    bool matches(const std::string& text) const;

    // Whether the position automaton answers (rather than std::regex).
    bool usesAutomaton() const { return automaton_ != nullptr; }

private:
    std::unique_ptr<PositionAutomaton> automaton_;
    std::unique_ptr<std::regex> regex_;
    std::size_t regexSize_;
};

// The compiled form of the wildcard `pattern`, from a small bounded cache that
// all threads share. A pattern that does not compile is not cached: its
// std::regex_error is thrown on every call.
std::shared_ptr<const CompiledWildcard> compiledWildcard(const std::string& pattern);

}  // namespace detail
}  // namespace zorv
