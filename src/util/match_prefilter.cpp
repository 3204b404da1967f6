#include "util/match_prefilter.h"

#include <algorithm>
#include <utility>

namespace zorv {
namespace detail {

MatchPrefilter::MatchPrefilter(const RegexTree& tree) : sets_(tree.sets) { whole_ = shapeOf(tree, tree.root); }

int MatchPrefilter::unite(int a, int b) {
    if (a == b) return a;
    ByteSet both = sets_[a];
    for (int w = 0; w < 4; ++w) both.words[w] |= sets_[b].words[w];
    sets_.push_back(both);
    return static_cast<int>(sets_.size()) - 1;
}

// Recursion follows group nesting only, which the parser bounds.
MatchPrefilter::Shape MatchPrefilter::shapeOf(const RegexTree& tree, int index) {
    const RegexNode& node = tree.nodes[index];
    Shape shape;
    switch (node.kind) {
        case RegexNode::kAtom:
            shape.minLength = 1;
            shape.head = shape.tail = {node.set};
            return shape;
        case RegexNode::kRepeat: {
            // One or more times: begins and ends as the body does. Optional:
            // nothing is certain.
            const RegexNode& body = tree.nodes[node.children[0]];
            if (node.atLeastOnce) shape = shapeOf(tree, node.children[0]);
            shape.exact = false;
            shape.infix.clear();
            if (node.unbounded && !node.atLeastOnce && body.kind == RegexNode::kAtom) shape.star = body.set;
            return shape;
        }
        case RegexNode::kSequence: {
            std::vector<Shape> parts;
            for (int child : node.children) parts.push_back(shapeOf(tree, child));
            // The fixed positions run on through the parts of fixed shape and
            // stop inside the first one that is not.
            int inexact = 0;
            for (const Shape& part : parts) {
                shape.minLength += part.minLength;
                shape.exact = shape.exact && part.exact;
                if (!part.exact) {
                    ++inexact;
                    shape.star = part.star;
                }
            }
            if (inexact != 1) shape.star = -1;
            for (const Shape& part : parts) {
                shape.head.insert(shape.head.end(), part.head.begin(), part.head.end());
                if (!part.exact) break;
            }
            for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
                shape.tail.insert(shape.tail.end(), part->tail.begin(), part->tail.end());
                if (!part->exact) break;
            }
            // Between the first and the last inexact part, each run of fixed
            // parts must appear, as must what the inexact parts require; the
            // longest of them is kept.
            std::vector<int> run;
            bool afterInexact = false;
            for (const Shape& part : parts) {
                if (part.exact) {
                    if (afterInexact) run.insert(run.end(), part.head.begin(), part.head.end());
                    continue;
                }
                if (run.size() > shape.infix.size()) shape.infix = run;
                if (part.infix.size() > shape.infix.size()) shape.infix = part.infix;
                run.clear();
                afterInexact = true;
            }
            return shape;
        }
        case RegexNode::kAlternation: {
            shape = shapeOf(tree, node.children[0]);
            if (node.children.size() > 1) {
                shape.star = -1;
                shape.infix.clear();
            }
            for (std::size_t i = 1; i < node.children.size(); ++i) {
                const Shape other = shapeOf(tree, node.children[i]);
                // Alternatives of one byte each make one set; longer ones
                // are no product of sets.
                shape.exact = shape.exact && other.exact && shape.minLength == other.minLength && other.minLength <= 1;
                shape.minLength = std::min(shape.minLength, other.minLength);
                shape.head.resize(std::min(shape.head.size(), other.head.size()));
                for (std::size_t k = 0; k < shape.head.size(); ++k) shape.head[k] = unite(shape.head[k], other.head[k]);
                shape.tail.resize(std::min(shape.tail.size(), other.tail.size()));
                for (std::size_t k = 0; k < shape.tail.size(); ++k) shape.tail[k] = unite(shape.tail[k], other.tail[k]);
            }
            return shape;
        }
    }
    return shape;
}

MatchPrefilter::Verdict MatchPrefilter::check(const std::string& text) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (n < whole_.minLength) return kNoMatch;
    for (std::size_t i = 0; i < whole_.head.size(); ++i) {
        if (!allows(whole_.head[i], bytes[i])) return kNoMatch;
    }
    if (whole_.exact) return n == whole_.minLength ? kMatch : kNoMatch;
    for (std::size_t i = 0; i < whole_.tail.size(); ++i) {
        if (!allows(whole_.tail[i], bytes[n - 1 - i])) return kNoMatch;
    }
    const unsigned char* middle = bytes + whole_.head.size();
    const unsigned char* end = bytes + n - whole_.tail.size();
    if (whole_.star < 0) return holdsInfix(middle, end) ? kUndecided : kNoMatch;
    for (; middle < end; ++middle) {
        if (!allows(whole_.star, *middle)) return kNoMatch;
    }
    return kMatch;
}

// A plain search, in time bounded by the product of the two lengths.
bool MatchPrefilter::holdsInfix(const unsigned char* from, const unsigned char* to) const {
    const std::size_t length = whole_.infix.size();
    if (length == 0) return true;
    for (; to - from >= static_cast<std::ptrdiff_t>(length); ++from) {
        std::size_t i = 0;
        while (i < length && allows(whole_.infix[i], from[i])) ++i;
        if (i == length) return true;
    }
    return false;
}

}  // namespace detail
}  // namespace zorv
