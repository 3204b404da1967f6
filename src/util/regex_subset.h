// The part of ECMAScript regular expressions that runs in linear time:
// literals, '.', bracket expressions, groups, alternation and the quantifiers
// '*', '+' and '?' -- everything an ordinary wildcard produces and most of
// what escapes add. It is read into a tree whose leaves are the sets of bytes
// that std::regex itself would accept there (case-insensitive, under the
// global locale), so that any engine running the tree answers as std::regex
// does.
#pragma once

#include <array>
#include <cstdint>
#include <locale>
#include <string>
#include <vector>

namespace zorv {
namespace detail {

// A set of byte values.
struct ByteSet {
    std::array<uint64_t, 4> words{};
    bool contains(unsigned char byte) const { return (words[byte >> 6] >> (byte & 63)) & 1; }
    void add(unsigned char byte) { words[byte >> 6] |= uint64_t{1} << (byte & 63); }
};

struct RegexNode {
    enum Kind { kAtom, kSequence, kAlternation, kRepeat } kind;
    int set = -1;               // atoms: index into RegexTree::sets
    bool atLeastOnce = false;   // repeats: '+'
    bool unbounded = false;     // repeats: '*' and '+'
    std::vector<int> children;  // a repeat has one
};

struct RegexTree {
    std::vector<RegexNode> nodes;
    std::vector<ByteSet> sets;  // distinct sets only
    int root = -1;
};

// Reads `re` into `tree`; false when the expression leaves the subset
// (back-references, assertions, counted repetition, class escapes, deep
// nesting) or is not well formed, both of which are left to std::regex.
bool readRegexSubset(const std::string& re, const std::locale& locale, RegexTree& tree);

}  // namespace detail
}  // namespace zorv
