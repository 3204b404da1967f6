#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "util/wildcard_engine.h"

#include <zorv/util.hpp>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <iterator>
#include <list>
#include <locale>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zorv {
namespace detail {

namespace {

constexpr auto kSyntax = std::regex::ECMAScript | std::regex::icase;

// ------------------------------------------------------------ stack budget

// How much stack std::regex may need. libstdc++ spends about 100 to 250 bytes
// per character when compiling and, when matching, about 300 bytes per text
// character for every state on the way, so the estimates below are generous;
// sanitizers make frames several times larger.
#if defined(__SANITIZE_ADDRESS__)
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

// ------------------------------------------------------------- step budget

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

// ------------------------------------------------------------------ parser

using ByteSet = std::bitset<256>;

// Deeper group nesting stays with std::regex (the parser recurses per level).
constexpr int kMaxNesting = 32;

bool isAsciiPunct(char c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

struct Node {
    enum Kind { kAtom, kSequence, kAlternation, kRepeat } kind;
    int set = -1;               // atoms: index into the parser's sets
    bool atLeastOnce = false;   // repeats: '+'
    bool unbounded = false;     // repeats: '*' and '+'
    std::vector<int> children;  // a repeat has one
    int position = -1;          // atoms: their order in the expression
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
        std::fill(std::begin(literalSet_), std::end(literalSet_), -1);
    }

    // False when the expression leaves the subset.
    bool parse() {
        if (!parseAlternation(0, root)) return false;
        return pos_ == re_.size();
    }

    std::vector<Node> nodes;
    std::vector<ByteSet> sets;  // distinct sets only
    std::vector<int> atomSets;  // by position
    int root = -1;

private:
    int addNode(Node node) {
        nodes.push_back(std::move(node));
        return static_cast<int>(nodes.size()) - 1;
    }

    int intern(const ByteSet& set) {
        std::array<uint64_t, 4> key{};
        for (int b = 0; b < 256; ++b) key[b / 64] |= uint64_t{set[b]} << (b % 64);
        auto found = setIndex_.emplace(key, static_cast<int>(sets.size()));
        if (found.second) sets.push_back(set);
        return found.first->second;
    }

    bool parseAlternation(int depth, int& out) {
        Node alternation{Node::kAlternation, -1, false, false, {}};
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
        Node sequence{Node::kSequence, -1, false, false, {}};
        while (pos_ < re_.size() && re_[pos_] != '|' && re_[pos_] != ')') {
            int item = -1;
            if (re_[pos_] == '(') {
                if (depth + 1 > kMaxNesting || (pos_ + 1 < re_.size() && re_[pos_ + 1] == '?')) return false;
                ++pos_;
                if (!parseAlternation(depth + 1, item)) return false;
                if (pos_ >= re_.size() || re_[pos_] != ')') return false;
                ++pos_;
            } else {
                int set = -1;
                if (!parseAtom(set)) return false;
                atomSets.push_back(set);
                item = addNode({Node::kAtom, set, false, false, {}, static_cast<int>(atomSets.size()) - 1});
            }
            // Like libstdc++, quantifiers in a row each apply to what the
            // previous ones built ("a**" is "(a*)*"); a '?' right after a
            // quantifier makes it lazy, which matches the same texts. Such a
            // row is one repeat: at least once only if every quantifier is
            // '+', without bound if any is '*' or '+'.
            bool quantified = false, atLeastOnce = true, unbounded = false;
            while (pos_ < re_.size() && (re_[pos_] == '*' || re_[pos_] == '+' || re_[pos_] == '?')) {
                const char quantifier = re_[pos_++];
                if (pos_ < re_.size() && re_[pos_] == '?') ++pos_;
                quantified = true;
                atLeastOnce = atLeastOnce && quantifier == '+';
                unbounded = unbounded || quantifier != '?';
            }
            if (quantified) item = addNode({Node::kRepeat, -1, atLeastOnce, unbounded, {item}, -1});
            if (pos_ < re_.size() && re_[pos_] == '{') return false;  // counted repetition is std::regex's
            sequence.children.push_back(item);
        }
        out = addNode(std::move(sequence));
        return true;
    }

    bool parseAtom(int& set) {
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
    bool parseBracket(int& index) {
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
        ByteSet set;
        if (!plainBracket(text, set)) {
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
        }
        index = intern(set);
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
    int literal(char c) {
        const auto folded = static_cast<unsigned char>(lower_[static_cast<unsigned char>(c)]);
        if (literalSet_[folded] < 0) {
            ByteSet set;
            for (int b = 0; b < 256; ++b) set[b] = lower_[b] == static_cast<char>(folded);
            literalSet_[folded] = intern(set);
        }
        return literalSet_[folded];
    }

    int anyCharacter() {
        if (anySet_ < 0) {
            ByteSet set;
            const char newline = lower_[static_cast<unsigned char>('\n')];
            const char ret = lower_[static_cast<unsigned char>('\r')];
            for (int b = 0; b < 256; ++b) set[b] = lower_[b] != newline && lower_[b] != ret;
            anySet_ = intern(set);
        }
        return anySet_;
    }

    const std::string& re_;
    std::locale locale_;
    const std::ctype<char>& ctype_;
    char lower_[256];  // the locale's case mappings of every byte
    char upper_[256];
    std::size_t pos_ = 0;
    std::map<std::array<uint64_t, 4>, int> setIndex_;
    int literalSet_[256];
    int anySet_ = -1;
};

using Bits = std::vector<uint64_t>;

struct Fragment {
    bool nullable = false;
    Bits first;
    Bits last;
};

// Expressions of up to this many positions run on the bit-parallel automaton:
// a step costs at most positions x words, linear in the expression as well.
constexpr std::size_t kMaxWords = 4;
constexpr std::size_t kMaxPositions = 64 * kMaxWords;

}  // namespace

// Glushkov automaton: one state per character position; a set of live
// positions is a bit mask, advanced by the union of the follow sets of the
// live positions, restricted to the positions that accept the next byte.
// Faster than the Thompson automaton below on the short expressions of
// everyday wildcards.
class PositionAutomaton {
public:
    static std::unique_ptr<PositionAutomaton> build(const SubsetParser& parser) {
        if (parser.atomSets.size() > kMaxPositions) return nullptr;
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
        const std::size_t positions = parser.atomSets.size();
        words_ = positions == 0 ? 1 : (positions + 63) / 64;
        follow_.assign(std::max<std::size_t>(positions, 1) * words_, 0);
        accept_.assign(256 * words_, 0);
        for (std::size_t p = 0; p < positions; ++p) {
            const ByteSet& set = parser.sets[parser.atomSets[p]];
            for (int b = 0; b < 256; ++b) {
                if (set[b]) accept_[b * words_ + p / 64] |= uint64_t{1} << (p % 64);
            }
        }
        Fragment whole = analyse(parser, parser.root);
        nullable_ = whole.nullable;
        first_ = std::move(whole.first);
        last_ = std::move(whole.last);
    }

    void unite(uint64_t* into, const Bits& from) const {
        for (std::size_t w = 0; w < words_; ++w) into[w] |= from[w];
    }
    void unite(Bits& into, const Bits& from) const { unite(into.data(), from); }
    uint64_t* followOf(std::size_t position) { return &follow_[position * words_]; }

    Fragment analyse(const SubsetParser& parser, int index) {
        const Node& node = parser.nodes[index];
        Fragment fragment;
        fragment.first.assign(words_, 0);
        fragment.last.assign(words_, 0);
        switch (node.kind) {
            case Node::kAtom:
                fragment.first[node.position / 64] |= uint64_t{1} << (node.position % 64);
                fragment.last = fragment.first;
                return fragment;
            case Node::kRepeat:
                fragment = analyse(parser, node.children[0]);
                fragment.nullable = fragment.nullable || !node.atLeastOnce;
                if (node.unbounded) forEach(fragment.last, [&](std::size_t p) { unite(followOf(p), fragment.first); });
                return fragment;
            case Node::kSequence:
                fragment.nullable = true;
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

// Thompson automaton run as a set of live states (Pike's simulation without
// captures): each text byte visits every state at most once, so a match
// costs O(expression x text) whatever the expression, with no recursion.
class ThompsonAutomaton {
public:
    static std::unique_ptr<ThompsonAutomaton> build(const SubsetParser& parser) {
        std::unique_ptr<ThompsonAutomaton> automaton(new ThompsonAutomaton);
        for (const ByteSet& set : parser.sets) {
            std::array<uint64_t, 4> bits{};
            for (int b = 0; b < 256; ++b) bits[b / 64] |= uint64_t{set[b]} << (b % 64);
            automaton->sets_.push_back(bits);
        }
        automaton->emit(parser, parser.root);
        automaton->program_.push_back({kMatch, 0, 0});
        return automaton;
    }

    bool matches(const std::string& text) const {
        Scratch& s = scratch();
        if (s.mark.size() < program_.size()) s.mark.resize(program_.size(), 0);
        const Scratch::Trim trim{s};
        std::vector<int>* live = &s.live;
        std::vector<int>* next = &s.next;
        live->clear();
        s.newGeneration();
        enter(*live, 0, s);
        for (const char ch : text) {
            if (live->empty()) return false;
            const auto c = static_cast<unsigned char>(ch);
            next->clear();
            s.newGeneration();
            for (const int pc : *live) {
                const Instruction& in = program_[pc];
                if (in.op == kByte && ((sets_[in.x][c >> 6] >> (c & 63)) & 1) != 0) enter(*next, pc + 1, s);
            }
            std::swap(live, next);
        }
        for (const int pc : *live) {
            if (program_[pc].op == kMatch) return true;
        }
        return false;
    }

private:
    enum Op : int { kByte, kSplit, kJump, kMatch };
    struct Instruction {
        Op op;
        int x;  // kByte: set; kSplit, kJump: target
        int y;  // kSplit: second target
    };

    // Per-thread working sets, reused from call to call.
    struct Scratch {
        std::vector<int> live, next, pending;
        std::vector<uint32_t> mark;  // generation in which a state was entered
        uint32_t generation = 0;
        // A huge expression's working sets are not kept for the thread's life.
        struct Trim {
            Scratch& s;
            ~Trim() {
                if (s.mark.size() > (std::size_t{1} << 16)) s = Scratch();
            }
        };
        void newGeneration() {
            if (++generation == 0) {
                std::fill(mark.begin(), mark.end(), 0);
                generation = 1;
            }
        }
    };
    static Scratch& scratch() {
        thread_local Scratch s;
        return s;
    }

    ThompsonAutomaton() = default;

    // Adds `pc` and every state reachable from it without reading a byte.
    void enter(std::vector<int>& list, int pc, Scratch& s) const {
        s.pending.push_back(pc);
        while (!s.pending.empty()) {
            const int at = s.pending.back();
            s.pending.pop_back();
            if (s.mark[at] == s.generation) continue;
            s.mark[at] = s.generation;
            const Instruction& in = program_[at];
            switch (in.op) {
                case kByte:
                case kMatch:
                    list.push_back(at);
                    break;
                case kSplit:
                    s.pending.push_back(in.y);
                    s.pending.push_back(in.x);
                    break;
                case kJump:
                    s.pending.push_back(in.x);
                    break;
            }
        }
    }

    int add(Op op, int x = 0, int y = 0) {
        program_.push_back({op, x, y});
        return static_cast<int>(program_.size()) - 1;
    }
    int here() const { return static_cast<int>(program_.size()); }

    // Recursion follows group nesting only, which the parser bounds.
    void emit(const SubsetParser& parser, int index) {
        const Node& node = parser.nodes[index];
        switch (node.kind) {
            case Node::kAtom:
                add(kByte, node.set);
                return;
            case Node::kSequence:
                for (int child : node.children) emit(parser, child);
                return;
            case Node::kAlternation: {
                std::vector<int> exits;
                for (std::size_t i = 0; i < node.children.size(); ++i) {
                    if (i + 1 == node.children.size()) {
                        emit(parser, node.children[i]);
                        break;
                    }
                    const int split = add(kSplit, here() + 1);
                    emit(parser, node.children[i]);
                    exits.push_back(add(kJump));
                    program_[split].y = here();
                }
                for (int exit : exits) program_[exit].x = here();
                return;
            }
            case Node::kRepeat: {
                const int start = here();
                if (node.atLeastOnce) {  // body, then back or on
                    emit(parser, node.children[0]);
                    add(kSplit, start, here() + 1);
                    return;
                }
                const int split = add(kSplit, start + 1);  // body or skip
                emit(parser, node.children[0]);
                if (node.unbounded) add(kJump, split);
                program_[split].y = here();
                return;
            }
        }
    }

    std::vector<std::array<uint64_t, 4>> sets_;
    std::vector<Instruction> program_;
};

CompiledWildcard::CompiledWildcard(const std::string& regexText) : regexSize_(regexText.size()) {
    // The automaton reads only well-formed expressions of its subset; for
    // everything else std::regex decides, so its errors are exactly its own.
    SubsetParser parser(regexText, std::locale());
    if (parser.parse()) {
        positions_ = PositionAutomaton::build(parser);
        if (!positions_) thompson_ = ThompsonAutomaton::build(parser);
        return;
    }
    requireStack(compileStackEstimate(regexText.size()),
                 "compiling an expression of " + std::to_string(regexText.size()) + " characters");
    regex_ = std::make_unique<std::regex>(regexText, kSyntax);
}

CompiledWildcard::~CompiledWildcard() = default;

std::unique_ptr<CompiledWildcard> CompiledWildcard::onThompsonAutomaton(const std::string& regexText) {
    SubsetParser parser(regexText, std::locale());
    if (!parser.parse()) return nullptr;
    std::unique_ptr<CompiledWildcard> compiled(new CompiledWildcard);
    compiled->thompson_ = ThompsonAutomaton::build(parser);
    return compiled;
}

bool CompiledWildcard::matches(const std::string& text) const {
    if (positions_) return positions_->matches(text);
    if (thompson_) return thompson_->matches(text);
    requireStack(matchStackEstimate(regexSize_, text.size()),
                 "matching a text of " + std::to_string(text.size()) + " bytes");
    StepBudget budget;
    const char* begin = text.data();
    return std::regex_match(BudgetedIterator(begin, &budget), BudgetedIterator(begin + text.size(), &budget), *regex_);
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
