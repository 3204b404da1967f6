#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "util/wildcard_engine.h"

#include <zorv/labelmgr.hpp>

#include "util/large_stack.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <list>
#include <locale>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zorv {
namespace detail {

namespace {

constexpr auto kSyntax = std::regex::ECMAScript | std::regex::icase;

// How much stack std::regex may need. libstdc++ spends about
// 100 to 250 bytes per character when compiling and, when matching, about
// 300 bytes per text character for every state on the way, so the estimates
// below are generous; sanitizers make frames several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kFrameScale = 4;
#else
constexpr std::size_t kFrameScale = 1;
#endif
constexpr std::size_t kUnknownStackBudget = 64 * 1024;
constexpr std::size_t kHelperStackBase = 1024 * 1024;
// The estimates multiply text and expression sizes; beyond this the helper's
// stack (address space, touched only as far as used) is not grown further.
constexpr std::size_t kHelperStackLimit = std::size_t{2} << 30;

std::size_t compileStackEstimate(std::size_t regexSize) {
    return (64 * 1024 + 256 * regexSize) * kFrameScale;
}

std::size_t matchStackEstimate(std::size_t regexSize, std::size_t textSize) {
    return (64 * 1024 + (textSize + 1) * 160 * (regexSize + 4)) * kFrameScale;
}

// Runs `work` here when `estimate` fits within half of what is left of the
// caller's stack, else on a helper thread with room enough.
void runWithStack(std::size_t estimate, const std::function<void()>& work) {
    const std::size_t remaining = stackRemaining();
    const std::size_t budget = remaining == 0 ? kUnknownStackBudget : remaining / 2;
    if (estimate <= budget) {
        work();
        return;
    }
    if (!runOnLargeStack(kHelperStackBase + std::min(estimate, kHelperStackLimit), work)) {
        throw std::regex_error(std::regex_constants::error_stack);
    }
}

using ByteSet = std::bitset<256>;

// Limits of the automaton; larger expressions stay with std::regex.
constexpr std::size_t kMaxWords = 4;
constexpr std::size_t kMaxPositions = 64 * kMaxWords;
constexpr int kMaxNesting = 32;

bool isAsciiPunct(char c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

struct Node {
    enum Kind { kAtom, kStar, kSequence, kAlternation } kind;
    int position = -1;  // atoms and stars
    std::vector<int> children;
};

// Reads the subset of ECMAScript that the automaton handles; every character
// class is turned into the set of bytes that std::regex itself accepts for it.
class SubsetParser {
public:
    SubsetParser(const std::string& re, const std::locale& locale)
        : re_(re), locale_(locale), ctype_(std::use_facet<std::ctype<char>>(locale)) {
        for (int b = 0; b < 256; ++b) lower_[b] = upper_[b] = static_cast<char>(b);
        ctype_.tolower(lower_, lower_ + 256);
        ctype_.toupper(upper_, upper_ + 256);
    }

    // False when the expression leaves the subset.
    bool parse() {
        if (!parseAlternation(0, root)) return false;
        return pos_ == re_.size();
    }

    std::vector<Node> nodes;
    std::vector<ByteSet> sets;  // indexed by position
    int root = -1;

private:
    int addNode(Node node) {
        nodes.push_back(std::move(node));
        return static_cast<int>(nodes.size()) - 1;
    }

    bool parseAlternation(int depth, int& out) {
        Node alternation{Node::kAlternation, -1, {}};
        for (;;) {
            int sequence = -1;
            if (!parseSequence(depth, sequence)) return false;
            alternation.children.push_back(sequence);
            if (pos_ < re_.size() && re_[pos_] == '|') {
                ++pos_;
                continue;
            }
            break;
        }
        out = addNode(std::move(alternation));
        return true;
    }

    bool parseSequence(int depth, int& out) {
        Node sequence{Node::kSequence, -1, {}};
        while (pos_ < re_.size() && re_[pos_] != '|' && re_[pos_] != ')') {
            const char c = re_[pos_];
            int item = -1;
            if (c == '(') {
                if (depth + 1 > kMaxNesting || (pos_ + 1 < re_.size() && re_[pos_ + 1] == '?')) return false;
                ++pos_;
                if (!parseAlternation(depth + 1, item)) return false;
                if (pos_ >= re_.size() || re_[pos_] != ')') return false;
                ++pos_;
                if (pos_ < re_.size() && isQuantifier(re_[pos_])) return false;
                sequence.children.push_back(item);
                continue;
            }
            ByteSet set;
            if (!parseAtom(set)) return false;
            bool starred = false;
            if (pos_ < re_.size() && re_[pos_] == '*') {
                starred = true;
                ++pos_;
            }
            if (pos_ < re_.size() && isQuantifier(re_[pos_])) return false;
            if (sets.size() >= kMaxPositions) return false;
            sets.push_back(set);
            item = addNode({starred ? Node::kStar : Node::kAtom, static_cast<int>(sets.size()) - 1, {}});
            sequence.children.push_back(item);
        }
        out = addNode(std::move(sequence));
        return true;
    }

    static bool isQuantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

    bool parseAtom(ByteSet& set) {
        const char c = re_[pos_];
        switch (c) {
            case '.':
                ++pos_;
                set = anyCharacter();
                return true;
            case '\\':
                // Only identity escapes of punctuation: letters and digits
                // name classes, assertions, control codes or back-references.
                if (pos_ + 1 >= re_.size() || !isAsciiPunct(re_[pos_ + 1])) return false;
                set = literal(re_[pos_ + 1]);
                pos_ += 2;
                return true;
            case '[':
                return parseBracket(set);
            case '^':
            case '$':
            case '*':
            case '+':
            case '?':
            case '{':
            case '\0':
                return false;
            default:  // ']' and '}' are ordinary characters here
                ++pos_;
                set = literal(c);
                return true;
        }
    }

    // Finds where the bracket expression ends by libstdc++'s scanning rules,
    // then asks std::regex which bytes the expression accepts.
    bool parseBracket(ByteSet& set) {
        std::size_t end = pos_ + 1;
        if (end < re_.size() && re_[end] == '^') ++end;
        for (;;) {
            if (end >= re_.size()) return false;
            const char c = re_[end];
            if (c == ']') break;
            if (c == '\0') return false;
            if (c == '\\') {
                if (end + 1 >= re_.size() || !isAsciiPunct(re_[end + 1])) return false;
                end += 2;
                continue;
            }
            if (c == '[' && end + 1 < re_.size() &&
                (re_[end + 1] == '.' || re_[end + 1] == ':' || re_[end + 1] == '=')) {
                return false;
            }
            ++end;
        }
        const std::string text = re_.substr(pos_, end + 1 - pos_);
        pos_ = end + 1;
        if (plainBracket(text, set)) return true;
        try {
            std::regex bracket;
            bracket.imbue(locale_);
            bracket.assign(text, kSyntax);
            char one[1];
            for (int b = 0; b < 256; ++b) {
                one[0] = static_cast<char>(b);
                set[b] = std::regex_match(one, one + 1, bracket);
            }
        } catch (const std::regex_error&) {
            return false;
        }
        return true;
    }

    // Brackets made only of characters and ranges between two characters
    // (no dash elsewhere, no escape next to a dash) are worked out directly,
    // by the rules of libstdc++'s bracket matcher: a byte belongs if its lower
    // case equals the lower case of a listed character, or if its lower or its
    // upper case lies within a range (compared as char). Anything else is
    // asked of std::regex, byte by byte.
    bool plainBracket(const std::string& text, ByteSet& set) const {
        std::size_t i = 1;
        const bool negated = text.size() > 2 && text[1] == '^';
        if (negated) ++i;
        const std::size_t end = text.size() - 1;  // the closing ']'
        auto plain = [](char c) { return c != '\\' && c != '[' && c != ']' && c != '-' && c != '\0'; };
        std::vector<char> members;
        std::vector<std::pair<char, char>> ranges;
        while (i < end) {
            char c = text[i];
            bool escaped = false;
            if (c == '\\') {  // identity escape of punctuation, checked by the caller
                c = text[i + 1];
                escaped = true;
                i += 2;
            } else if (plain(c)) {
                ++i;
            } else {
                return false;
            }
            if (i < end && text[i] == '-') {
                if (escaped || i + 1 >= end || !plain(text[i + 1]) || text[i + 1] < c) return false;
                ranges.emplace_back(c, text[i + 1]);
                i += 2;
                if (i < end && text[i] == '-') return false;
                continue;
            }
            members.push_back(lower_[static_cast<unsigned char>(c)]);
        }
        for (int b = 0; b < 256; ++b) {
            const char lower = lower_[b];
            const char upper = upper_[b];
            bool in = std::find(members.begin(), members.end(), lower) != members.end();
            for (const auto& r : ranges) {
                in = in || (r.first <= lower && lower <= r.second) || (r.first <= upper && upper <= r.second);
            }
            set[b] = in != negated;
        }
        return true;
    }

    // The same tests as libstdc++'s case-insensitive character matchers.
    ByteSet literal(char c) const {
        ByteSet set;
        const char folded = lower_[static_cast<unsigned char>(c)];
        for (int b = 0; b < 256; ++b) set[b] = lower_[b] == folded;
        return set;
    }

    ByteSet anyCharacter() const {
        ByteSet set;
        const char newline = lower_[static_cast<unsigned char>('\n')];
        const char ret = lower_[static_cast<unsigned char>('\r')];
        for (int b = 0; b < 256; ++b) set[b] = lower_[b] != newline && lower_[b] != ret;
        return set;
    }

    const std::string& re_;
    std::locale locale_;
    const std::ctype<char>& ctype_;
    char lower_[256];  // the locale's case mappings of every byte
    char upper_[256];
    std::size_t pos_ = 0;
};

using Bits = std::vector<uint64_t>;

struct Fragment {
    bool nullable = false;
    Bits first;
    Bits last;
};

}  // namespace

// Glushkov automaton: one state per character position; a set of live
// positions is a bit mask, advanced by the union of the follow sets of the
// live positions, restricted to the positions that accept the next byte.
class PositionAutomaton {
public:
    static std::unique_ptr<PositionAutomaton> build(const std::string& re, const std::locale& locale) {
        SubsetParser parser(re, locale);
        if (!parser.parse()) return nullptr;
        std::unique_ptr<PositionAutomaton> automaton(new PositionAutomaton);
        automaton->init(parser);
        return automaton;
    }

    bool matches(const std::string& text) const {
        const auto* s = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        if (n == 0) return nullable_;
        if (words_ == 1) return matchesOneWord(s, n);
        uint64_t live[kMaxWords];
        uint64_t next[kMaxWords];
        bool any = false;
        for (std::size_t w = 0; w < words_; ++w) {
            live[w] = first_[w] & accept_[s[0] * words_ + w];
            any |= live[w] != 0;
        }
        for (std::size_t i = 1; i < n && any; ++i) {
            std::fill(next, next + words_, 0);
            for (std::size_t w = 0; w < words_; ++w) {
                for (uint64_t bits = live[w]; bits != 0; bits &= bits - 1) {
                    const std::size_t p = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
                    const uint64_t* f = &follow_[p * words_];
                    for (std::size_t v = 0; v < words_; ++v) next[v] |= f[v];
                }
            }
            any = false;
            const uint64_t* accepting = &accept_[s[i] * words_];
            for (std::size_t w = 0; w < words_; ++w) {
                live[w] = next[w] & accepting[w];
                any |= live[w] != 0;
            }
        }
        if (!any) return false;
        for (std::size_t w = 0; w < words_; ++w) {
            if (live[w] & last_[w]) return true;
        }
        return false;
    }

private:
    PositionAutomaton() = default;

    bool matchesOneWord(const unsigned char* s, std::size_t n) const {
        const uint64_t* follow = follow_.data();
        const uint64_t* accept = accept_.data();
        uint64_t live = first_[0] & accept[s[0]];
        for (std::size_t i = 1; i < n && live != 0; ++i) {
            uint64_t next = 0;
            for (uint64_t bits = live; bits != 0; bits &= bits - 1) next |= follow[__builtin_ctzll(bits)];
            live = next & accept[s[i]];
        }
        return (live & last_[0]) != 0;
    }

    void init(const SubsetParser& parser) {
        const std::size_t positions = parser.sets.size();
        words_ = positions == 0 ? 1 : (positions + 63) / 64;
        follow_.assign(std::max<std::size_t>(positions, 1) * words_, 0);
        accept_.assign(256 * words_, 0);
        for (std::size_t p = 0; p < positions; ++p) {
            for (int b = 0; b < 256; ++b) {
                if (parser.sets[p][b]) accept_[b * words_ + p / 64] |= uint64_t{1} << (p % 64);
            }
        }
        Fragment whole = analyse(parser, parser.root);
        nullable_ = whole.nullable;
        first_ = std::move(whole.first);
        last_ = std::move(whole.last);
    }

    Bits single(int position) const {
        Bits bits(words_, 0);
        bits[position / 64] |= uint64_t{1} << (position % 64);
        return bits;
    }

    void unite(uint64_t* into, const Bits& from) const {
        for (std::size_t w = 0; w < words_; ++w) into[w] |= from[w];
    }
    void unite(Bits& into, const Bits& from) const { unite(into.data(), from); }
    uint64_t* followOf(std::size_t position) { return &follow_[position * words_]; }

    Fragment analyse(const SubsetParser& parser, int index) {
        const Node& node = parser.nodes[index];
        Fragment fragment;
        switch (node.kind) {
            case Node::kAtom:
            case Node::kStar:
                fragment.first = single(node.position);
                fragment.last = fragment.first;
                fragment.nullable = node.kind == Node::kStar;
                if (fragment.nullable) unite(followOf(node.position), fragment.first);
                return fragment;
            case Node::kSequence:
                fragment.nullable = true;
                fragment.first.assign(words_, 0);
                fragment.last.assign(words_, 0);
                for (int child : node.children) {
                    Fragment part = analyse(parser, child);
                    forEach(fragment.last, [&](std::size_t p) { unite(followOf(p), part.first); });
                    if (fragment.nullable) unite(fragment.first, part.first);
                    if (part.nullable) {
                        unite(fragment.last, part.last);
                    } else {
                        fragment.last = std::move(part.last);
                    }
                    fragment.nullable = fragment.nullable && part.nullable;
                }
                return fragment;
            case Node::kAlternation:
                fragment.first.assign(words_, 0);
                fragment.last.assign(words_, 0);
                for (int child : node.children) {
                    Fragment part = analyse(parser, child);
                    unite(fragment.first, part.first);
                    unite(fragment.last, part.last);
                    fragment.nullable = fragment.nullable || part.nullable;
                }
                return fragment;
        }
        return fragment;
    }

    template <typename F>
    static void forEach(const Bits& bits, F f) {
        for (std::size_t w = 0; w < bits.size(); ++w) {
            for (uint64_t b = bits[w]; b != 0; b &= b - 1) f(w * 64 + static_cast<std::size_t>(__builtin_ctzll(b)));
        }
    }

    std::size_t words_ = 1;
    bool nullable_ = false;
    Bits first_;
    Bits last_;
    Bits follow_;  // positions x words_
    Bits accept_;  // 256 bytes x words_
};

}  // namespace detail
}  // namespace zorv

namespace zorv {
namespace detail {

CompiledWildcard::CompiledWildcard(const std::string& regexText) : regexSize_(regexText.size()) {
    // The automaton reads only well-formed expressions of its subset; for
    // everything else std::regex decides, so its errors are exactly its own.
    automaton_ = PositionAutomaton::build(regexText, std::locale());
    if (automaton_) return;
    auto regex = std::make_unique<std::regex>();
    runWithStack(compileStackEstimate(regexText.size()), [&] { regex->assign(regexText, kSyntax); });
    regex_ = std::move(regex);
}

CompiledWildcard::~CompiledWildcard() = default;

bool CompiledWildcard::matches(const std::string& text) const {
    if (automaton_) return automaton_->matches(text);
    bool matched = false;
    runWithStack(matchStackEstimate(regexSize_, text.size()), [&] { matched = std::regex_match(text, *regex_); });
    return matched;
}

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
