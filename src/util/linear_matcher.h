// Runs an expression of the linear-time subset: a pattern of fixed pieces
// between stars directly, any other through the prefilter first; then, where
// neither decides, RE2, whose automata take time linear in expression x text
// and use no recursion.
#pragma once

#include "util/match_prefilter.h"
#include "util/regex_subset.h"
#include "util/star_pattern.h"

#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace zorv {
namespace detail {

class LinearMatcher {
public:
    enum Engines {
        kPrefilterFirst,
        kRe2Only,  // for comparing the engines
    };

    // Throws MatchRefused when the expression is too large for RE2's memory
    // bound. RE2 is not compiled for expressions decided without it.
    explicit LinearMatcher(const RegexTree& tree, Engines engines = kPrefilterFirst);
    ~LinearMatcher();
    LinearMatcher(const LinearMatcher&) = delete;
    LinearMatcher& operator=(const LinearMatcher&) = delete;

    // Whole-text match. Inline: most calls end in the prefilter.
    bool matches(const std::string& text) const {
        if (usePrefilter_) {
            const MatchPrefilter::Verdict verdict = pieces_ ? pieces_->check(text) : prefilter_.check(text);
            if (verdict != MatchPrefilter::kUndecided) return verdict == MatchPrefilter::kMatch;
        }
        return matchesOnRe2(text);
    }

private:
    bool matchesOnRe2(const std::string& text) const;

    std::unique_ptr<StarPattern> pieces_;
    MatchPrefilter prefilter_;
    bool usePrefilter_;
    std::unique_ptr<re2::RE2> re2_;
};

}  // namespace detail
}  // namespace zorv
