// The commonest wildcards, matched directly: fixed pieces between stars
// ("passwd", "*.conf", "*.so*", "lib*.so.?", "*_label*.{txt,log.1}"), where
// every star stands for the same set of bytes. A text matches when its start
// holds the first piece, its end the last, and the pieces between them turn
// up in order, each at the first place it fits; what lies between the pieces
// must be bytes of the star's set. Taking the first place is never wrong
// while the pieces only take bytes a star would take too, so a text holding
// another byte (a newline, where a piece allows one) is left undecided for
// the general engine. Time is linear in the text for a given pattern.
#pragma once

#include "util/match_prefilter.h"
#include "util/regex_subset.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zorv {
namespace detail {

class StarPattern {
public:
    // Brace groups are spelled out: a pattern that stands for more sequences
    // than this, or for longer ones, is left to the other engines.
    static constexpr std::size_t kMaxSequences = 8;
    static constexpr std::size_t kMaxPositions = 256;

    // The pattern `tree` stands for; nullptr when it is of another shape.
    static std::unique_ptr<StarPattern> from(const RegexTree& tree);

    MatchPrefilter::Verdict check(const std::string& text) const;

    // Whether check() never answers kUndecided.
    bool decidesAll() const { return piecesWithinStar_; }

private:
    // A table of 256 answers: a load per byte where a set costs a shift and
    // a mask, for the bytes every text is scanned with.
    using ByteTable = std::array<bool, 256>;
    struct Piece {
        uint32_t from = 0;  // into positions_
        uint32_t length = 0;
        uint32_t first = 0;  // into firsts_: its first byte's set
    };
    // One sequence: the piece at its start, the pieces between its stars and
    // the one at its end (the whole of it when it has no star).
    struct Sequence {
        std::size_t minLength = 0;
        bool starred = false;
        Piece head, tail;
        std::vector<Piece> middle;
    };

    bool holds(const Piece& piece, const unsigned char* at) const {
        for (uint32_t i = 0; i < piece.length; ++i) {
            if (!positions_[piece.from + i].contains(at[i])) return false;
        }
        return true;
    }
    bool matches(const Sequence& sequence, const unsigned char* bytes, std::size_t n) const;

    std::vector<ByteSet> positions_;  // the sets of each piece's bytes, piece after piece
    std::vector<ByteTable> firsts_;   // the first set of each piece between stars
    std::vector<Sequence> sequences_;
    ByteSet star_;
    ByteTable starTable_{};
    bool piecesWithinStar_ = true;
};

}  // namespace detail
}  // namespace zorv
