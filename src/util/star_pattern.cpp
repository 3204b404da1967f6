#include "util/star_pattern.h"

#include <optional>

namespace zorv {
namespace detail {

namespace {

constexpr int kStar = -1;

std::array<bool, 256> tableOf(const ByteSet& set) {
    std::array<bool, 256> table{};
    for (int b = 0; b < 256; ++b) table[b] = set.contains(static_cast<unsigned char>(b));
    return table;
}
using Tokens = std::vector<int>;  // set indexes, kStar for a star

bool within(const ByteSet& inner, const ByteSet& outer) {
    for (int w = 0; w < 4; ++w) {
        if (inner.words[w] & ~outer.words[w]) return false;
    }
    return true;
}

// Spells out the sequences of sets and stars that node `index` stands for,
// or fails on another shape or past the bounds. Recursion follows group
// nesting only, which the parser bounds.
class Expander {
public:
    explicit Expander(const RegexTree& tree) : tree_(tree) {}

    std::optional<std::vector<Tokens>> expand(int index) {
        const RegexNode& node = tree_.nodes[index];
        switch (node.kind) {
            case RegexNode::kAtom:
                return std::vector<Tokens>{{node.set}};
            case RegexNode::kRepeat: {
                const RegexNode& body = tree_.nodes[node.children[0]];
                if (!node.unbounded || node.atLeastOnce || body.kind != RegexNode::kAtom) return std::nullopt;
                if (starSet_ >= 0 && starSet_ != body.set) return std::nullopt;
                starSet_ = body.set;
                return std::vector<Tokens>{{kStar}};
            }
            case RegexNode::kSequence: {
                std::vector<Tokens> sequences{{}};
                for (int child : node.children) {
                    auto parts = expand(child);
                    if (!parts || sequences.size() * parts->size() > StarPattern::kMaxSequences) return std::nullopt;
                    std::vector<Tokens> longer;
                    for (const Tokens& before : sequences) {
                        for (const Tokens& part : *parts) {
                            if (before.size() + part.size() > StarPattern::kMaxPositions) return std::nullopt;
                            Tokens joined = before;
                            joined.insert(joined.end(), part.begin(), part.end());
                            longer.push_back(std::move(joined));
                        }
                    }
                    sequences = std::move(longer);
                }
                return sequences;
            }
            case RegexNode::kAlternation: {
                std::vector<Tokens> sequences;
                for (int child : node.children) {
                    auto parts = expand(child);
                    if (!parts || sequences.size() + parts->size() > StarPattern::kMaxSequences) return std::nullopt;
                    sequences.insert(sequences.end(), parts->begin(), parts->end());
                }
                return sequences;
            }
        }
        return std::nullopt;
    }

    int starSet() const { return starSet_; }

private:
    const RegexTree& tree_;
    int starSet_ = -1;
};

}  // namespace

std::unique_ptr<StarPattern> StarPattern::from(const RegexTree& tree) {
    Expander expander(tree);
    auto sequences = expander.expand(tree.root);
    if (!sequences) return nullptr;
    std::unique_ptr<StarPattern> pattern(new StarPattern);
    if (expander.starSet() >= 0) pattern->star_ = tree.sets[expander.starSet()];
    pattern->starTable_ = tableOf(pattern->star_);
    for (const Tokens& tokens : *sequences) {
        Sequence sequence;
        std::vector<Piece> pieces(1);
        for (int token : tokens) {
            if (token == kStar) {
                sequence.starred = true;
                // Stars in a row are one star.
                if (pieces.size() == 1 || pieces.back().length > 0) pieces.emplace_back();
                pieces.back().from = static_cast<uint32_t>(pattern->positions_.size());
                continue;
            }
            const ByteSet& set = tree.sets[token];
            if (pieces.back().length == 0) pieces.back().from = static_cast<uint32_t>(pattern->positions_.size());
            pattern->positions_.push_back(set);
            ++pieces.back().length;
            ++sequence.minLength;
            pattern->piecesWithinStar_ = pattern->piecesWithinStar_ && within(set, pattern->star_);
        }
        sequence.head = pieces.front();
        if (sequence.starred) {
            // After the last star: the tail, perhaps empty.
            if (pieces.size() > 1) {
                sequence.tail = pieces.back();
                for (std::size_t i = 1; i + 1 < pieces.size(); ++i) {
                    if (pieces[i].length == 0) continue;
                    pieces[i].first = static_cast<uint32_t>(pattern->firsts_.size());
                    pattern->firsts_.push_back(tableOf(pattern->positions_[pieces[i].from]));
                    sequence.middle.push_back(pieces[i]);
                }
            }
        }
        pattern->sequences_.push_back(std::move(sequence));
    }
    // A pattern without a star has its positions checked against an empty
    // star set above; only a star's set matters for the rule.
    if (expander.starSet() < 0) pattern->piecesWithinStar_ = true;
    return pattern;
}

// Inlined into check(): for most names the call would cost as much as the
// answer, which the first bytes give.
[[gnu::always_inline]] inline bool StarPattern::matches(const Sequence& sequence, const unsigned char* bytes,
                                                         std::size_t n) const {
    if (n < sequence.minLength || !holds(sequence.head, bytes)) return false;
    if (!sequence.starred) return n == sequence.head.length;
    const std::size_t end = n - sequence.tail.length;
    if (!holds(sequence.tail, bytes + end)) return false;
    std::size_t at = sequence.head.length;
    for (const Piece& piece : sequence.middle) {
        const ByteTable& first = firsts_[piece.first];
        for (;; ++at) {
            if (at + piece.length > end) return false;
            if (first[bytes[at]] && holds(piece, bytes + at)) break;
            if (!starTable_[bytes[at]]) return false;
        }
        at += piece.length;
    }
    for (; at < end; ++at) {
        if (!starTable_[bytes[at]]) return false;
    }
    return true;
}

MatchPrefilter::Verdict StarPattern::check(const std::string& text) const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (!piecesWithinStar_) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!starTable_[bytes[i]]) return MatchPrefilter::kUndecided;
        }
    }
    for (const Sequence& sequence : sequences_) {
        if (matches(sequence, bytes, n)) return MatchPrefilter::kMatch;
    }
    return MatchPrefilter::kNoMatch;
}

}  // namespace detail
}  // namespace zorv
