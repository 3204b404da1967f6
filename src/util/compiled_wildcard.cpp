#include "util/compiled_wildcard.h"

#include <zorv/util.hpp>

#include "util/bounded_regex.h"
#include "util/regex_subset.h"

#include <list>
#include <locale>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace zorv {
namespace detail {

namespace {

// Longer expressions are refused before any engine reads them: RE2 would
// refuse most for their memory anyway, and the rest would cost seconds and
// hundreds of megabytes to compile.
constexpr std::size_t kMaxExpressionSize = 256 * 1024;

}  // namespace

CompiledWildcard::CompiledWildcard(const std::string& regexText) {
    if (regexText.size() > kMaxExpressionSize) {
        throw MatchRefused("the expression is longer than " + std::to_string(kMaxExpressionSize) + " characters");
    }
    // The subset reader takes only well-formed expressions; for everything
    // else std::regex decides, so its errors are exactly its own.
    RegexTree tree;
    if (readRegexSubset(regexText, std::locale(), tree)) {
        linear_ = std::make_unique<LinearMatcher>(tree);
    } else {
        bounded_ = std::make_unique<BoundedRegex>(regexText);
    }
}

CompiledWildcard::~CompiledWildcard() = default;

bool CompiledWildcard::matchesBounded(const std::string& text) const { return bounded_->matches(text); }

namespace {

// Least-recently-used cache of compiled wildcards. Compilation happens outside
// the lock so that one slow pattern does not hold up the others.
class WildcardCache {
public:
    static constexpr std::size_t kCapacity = 128;

    std::shared_ptr<const CompiledWildcard> get(const std::string& pattern) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = index_.find(pattern);
            if (found != index_.end()) {
                order_.splice(order_.begin(), order_, found->second);
                return found->second->second;
            }
        }
        auto compiled = std::make_shared<const CompiledWildcard>(wildcardsToRegex(pattern));
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = index_.find(pattern);
        if (found != index_.end()) return found->second->second;
        order_.emplace_front(pattern, compiled);
        index_.emplace(pattern, order_.begin());
        if (order_.size() > kCapacity) {
            index_.erase(order_.back().first);
            order_.pop_back();
        }
        return compiled;
    }

private:
    using Entry = std::pair<std::string, std::shared_ptr<const CompiledWildcard>>;
    std::mutex mutex_;
    std::list<Entry> order_;
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace

std::shared_ptr<const CompiledWildcard> compiledWildcard(const std::string& pattern) {
    static WildcardCache cache;
    return cache.get(pattern);
}

}  // namespace detail
}  // namespace zorv
