#include "util/bounded_regex.h"

#include "util/compiled_wildcard.h"
#include "util/sanitizer_build.h"

#include <pthread.h>

#include <cstdint>
#include <iterator>

namespace zorv {
namespace detail {

namespace {

// How much stack std::regex may need. libstdc++ spends about 100 to 250 bytes
// per character when compiling and, when matching, about 300 bytes per text
// character for every state on the way, so the estimates below are generous;
// sanitizers make frames several times larger.
#if defined(ZORV_ADDRESS_SANITIZER)
constexpr std::size_t kFrameScale = 4;
#else
constexpr std::size_t kFrameScale = 1;
#endif
constexpr std::size_t kUnknownStackBudget = 64 * 1024;

std::size_t compileStackEstimate(std::size_t regexSize) {
    return (64 * 1024 + 256 * regexSize) * kFrameScale;
}

std::size_t matchStackEstimate(std::size_t regexSize, std::size_t textSize) {
    // Saturates instead of wrapping for absurd sizes.
    const std::size_t perChar = 160 * (regexSize + 4);
    if (textSize + 1 > (SIZE_MAX / 8) / perChar) return SIZE_MAX;
    return (64 * 1024 + (textSize + 1) * perChar) * kFrameScale;
}

// Bytes of stack left below the caller's frame on the current thread (0 if
// the thread's stack cannot be determined). Stacks grow down.
std::size_t stackRemaining() {
    thread_local const uintptr_t lowest = [] {
        uintptr_t low = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0) {
                std::size_t guard = 0;
                pthread_attr_getguardsize(&attr, &guard);
                low = reinterpret_cast<uintptr_t>(base) + guard;
            }
            pthread_attr_destroy(&attr);
        }
        return low;
    }();
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return lowest != 0 && here > lowest ? here - lowest : 0;
}

// Refuses work whose stack estimate exceeds half of what is left.
void requireStack(std::size_t estimate, const std::string& what) {
    const std::size_t remaining = stackRemaining();
    const std::size_t budget = remaining == 0 ? kUnknownStackBudget : remaining / 2;
    if (estimate > budget) throw MatchRefused(what + " needs more stack than the calling thread has left");
}

// std::regex has no limit of its own; it reads the text only through its
// iterators, so an iterator that counts comparisons and reads bounds its work.
struct StepBudget {
    std::size_t left = kRegexStepBudget;
    void spend() {
        if (left-- == 0) throw MatchRefused("the match needs more steps than allowed");
    }
};

class BudgetedIterator {
public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    BudgetedIterator() = default;
    BudgetedIterator(const char* at, StepBudget* budget) : at_(at), budget_(budget) {}

    reference operator*() const {
        if (budget_) budget_->spend();
        return *at_;
    }
    BudgetedIterator& operator++() {
        ++at_;
        return *this;
    }
    BudgetedIterator operator++(int) { return BudgetedIterator(at_++, budget_); }
    BudgetedIterator& operator--() {
        --at_;
        return *this;
    }
    BudgetedIterator operator--(int) { return BudgetedIterator(at_--, budget_); }
    friend bool operator==(const BudgetedIterator& a, const BudgetedIterator& b) {
        if (a.budget_) a.budget_->spend();
        return a.at_ == b.at_;
    }
    friend bool operator!=(const BudgetedIterator& a, const BudgetedIterator& b) { return !(a == b); }

private:
    const char* at_ = nullptr;
    StepBudget* budget_ = nullptr;
};

}  // namespace

BoundedRegex::BoundedRegex(const std::string& regexText) : regexSize_(regexText.size()) {
    requireStack(compileStackEstimate(regexText.size()),
                 "compiling an expression of " + std::to_string(regexText.size()) + " characters");
    regex_.assign(regexText, kWildcardRegexSyntax);
}

bool BoundedRegex::matches(const std::string& text) const {
    requireStack(matchStackEstimate(regexSize_, text.size()),
                 "matching a text of " + std::to_string(text.size()) + " bytes");
    StepBudget budget;
    const char* begin = text.data();
    return std::regex_match(BudgetedIterator(begin, &budget), BudgetedIterator(begin + text.size(), &budget), regex_);
}

}  // namespace detail
}  // namespace zorv
