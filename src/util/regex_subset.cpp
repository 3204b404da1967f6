#include "util/regex_subset.h"

#include "util/bounded_regex.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <map>
#include <utility>

namespace zorv {
namespace detail {

namespace {

// Deeper group nesting stays with std::regex (the parser recurses per level).
constexpr int kMaxNesting = 32;

bool isAsciiPunct(char c) {
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

// Every character class is turned into the set of bytes that std::regex
// itself accepts for it.
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
    bool parse(RegexTree& tree) {
        tree_ = &tree;
        if (!parseAlternation(0, tree.root)) return false;
        return pos_ == re_.size();
    }

private:
    int addNode(RegexNode node) {
        tree_->nodes.push_back(std::move(node));
        return static_cast<int>(tree_->nodes.size()) - 1;
    }

    int intern(const ByteSet& set) {
        auto found = setIndex_.emplace(set.words, static_cast<int>(tree_->sets.size()));
        if (found.second) tree_->sets.push_back(set);
        return found.first->second;
    }

    bool parseAlternation(int depth, int& out) {
        RegexNode alternation{RegexNode::kAlternation, -1, false, false, {}};
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
        RegexNode sequence{RegexNode::kSequence, -1, false, false, {}};
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
                item = addNode({RegexNode::kAtom, set, false, false, {}});
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
            if (quantified) item = addNode({RegexNode::kRepeat, -1, atLeastOnce, unbounded, {item}});
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
                bracket.assign(text, kWildcardRegexSyntax);
                char one[1];
                for (int b = 0; b < 256; ++b) {
                    one[0] = static_cast<char>(b);
                    if (std::regex_match(one, one + 1, bracket)) set.add(static_cast<unsigned char>(b));
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
            if (in != negated) set.add(static_cast<unsigned char>(b));
        }
        return true;
    }

    // The same tests as libstdc++'s case-insensitive character matchers.
    int literal(char c) {
        const auto folded = static_cast<unsigned char>(lower_[static_cast<unsigned char>(c)]);
        if (literalSet_[folded] < 0) {
            ByteSet set;
            for (int b = 0; b < 256; ++b) {
                if (lower_[b] == static_cast<char>(folded)) set.add(static_cast<unsigned char>(b));
            }
            literalSet_[folded] = intern(set);
        }
        return literalSet_[folded];
    }

    int anyCharacter() {
        if (anySet_ < 0) {
            ByteSet set;
            const char newline = lower_[static_cast<unsigned char>('\n')];
            const char ret = lower_[static_cast<unsigned char>('\r')];
            for (int b = 0; b < 256; ++b) {
                if (lower_[b] != newline && lower_[b] != ret) set.add(static_cast<unsigned char>(b));
            }
            anySet_ = intern(set);
        }
        return anySet_;
    }

    const std::string& re_;
    RegexTree* tree_ = nullptr;
    std::locale locale_;
    const std::ctype<char>& ctype_;
    char lower_[256];  // the locale's case mappings of every byte
    char upper_[256];
    std::size_t pos_ = 0;
    std::map<std::array<uint64_t, 4>, int> setIndex_;
    int literalSet_[256];
    int anySet_ = -1;
};

}  // namespace

bool readRegexSubset(const std::string& re, const std::locale& locale, RegexTree& tree) {
    tree = RegexTree();
    return SubsetParser(re, locale).parse(tree);
}

}  // namespace detail
}  // namespace zorv
