// Conditions that every text matching an expression meets, read off its
// tree: a least length, the bytes allowed at the fixed positions at its start
// and its end, and a fixed run it holds in between ("_label" in
// "*_label*.txt"). Most names tested against a wildcard fail at once on them,
// far more cheaply than a regular-expression engine answers. The two
// commonest shapes are decided by them alone: a fixed one ("passwd",
// "tty[0-9]") and fixed ends around one star ("*.conf", "lib*.so.?").
#pragma once

#include "util/regex_subset.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zorv {
namespace detail {

class MatchPrefilter {
public:
    enum Verdict { kNoMatch, kMatch, kUndecided };

    explicit MatchPrefilter(const RegexTree& tree);

    Verdict check(const std::string& text) const;

    // Whether check() never answers kUndecided.
    bool decidesAll() const { return whole_.exact || whole_.star >= 0; }

private:
    // What one node of the tree guarantees. `head` lists the sets of its
    // first bytes, `tail` those of its last bytes from the end backwards.
    // `exact`: the node matches exactly the texts of length minLength whose
    // bytes lie in the sets of `head`. `star` (when not -1): the node matches
    // exactly the texts that begin as `head` says, end as `tail` says and
    // hold between them any number of bytes of that set. `infix`: the sets of
    // a run of bytes that every match holds somewhere between the two.
    struct Shape {
        std::size_t minLength = 0;
        std::vector<int> head;
        std::vector<int> tail;
        std::vector<int> infix;
        bool exact = true;
        int star = -1;
    };

    Shape shapeOf(const RegexTree& tree, int node);
    int unite(int a, int b);
    bool allows(int set, unsigned char byte) const { return sets_[set].contains(byte); }
    bool holdsInfix(const unsigned char* from, const unsigned char* to) const;

    std::vector<ByteSet> sets_;  // the tree's, then unions of them
    Shape whole_;
};

}  // namespace detail
}  // namespace zorv
