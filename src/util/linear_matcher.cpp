#include "util/linear_matcher.h"

#include "util/compiled_wildcard.h"

#include <re2/re2.h>

#include <cstdint>
#include <cstdio>

namespace zorv {
namespace detail {

namespace {

void appendByte(std::string& out, int byte) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

std::string spell(const ByteSet& set) {
    int members = 0;
    for (uint64_t word : set.words) members += __builtin_popcountll(word);
    if (members == 0) return "[^\\x00-\\xff]";
    std::string out;
    if (members > 1) out += '[';
    for (int b = 0; b < 256;) {
        if (!set.contains(static_cast<unsigned char>(b))) {
            ++b;
            continue;
        }
        int last = b;
        while (last + 1 < 256 && set.contains(static_cast<unsigned char>(last + 1))) ++last;
        appendByte(out, b);
        if (last > b) {
            out += '-';
            appendByte(out, last);
        }
        b = last + 1;
    }
    if (members > 1) out += ']';
    return out;
}

class Writer {
public:
    explicit Writer(const RegexTree& tree) : tree_(tree) {
        for (const ByteSet& set : tree.sets) spelled_.push_back(spell(set));
    }

    // Recursion follows group nesting only, which the parser bounds.
    void write(int index, std::string& out) const {
        const RegexNode& node = tree_.nodes[index];
        switch (node.kind) {
            case RegexNode::kAtom:
                out += spelled_[node.set];
                return;
            case RegexNode::kSequence:
                for (int child : node.children) write(child, out);
                return;
            case RegexNode::kAlternation:
                if (node.children.size() == 1) {
                    write(node.children[0], out);
                    return;
                }
                out += "(?:";
                for (std::size_t i = 0; i < node.children.size(); ++i) {
                    if (i > 0) out += '|';
                    write(node.children[i], out);
                }
                out += ')';
                return;
            case RegexNode::kRepeat: {
                const bool atom = tree_.nodes[node.children[0]].kind == RegexNode::kAtom;
                out += atom ? "" : "(?:";
                write(node.children[0], out);
                out += atom ? "" : ")";
                out += node.atLeastOnce ? '+' : node.unbounded ? '*' : '?';
                return;
            }
        }
    }

private:
    const RegexTree& tree_;
    std::vector<std::string> spelled_;
};

// The RE2 expression (Latin-1, case-sensitive) that accepts the same texts as
// `tree`: every set is spelled out as its bytes, so that RE2's own case
// folding and character classes play no part.
std::string re2Expression(const RegexTree& tree) {
    std::string out;
    Writer(tree).write(tree.root, out);
    return out;
}

}  // namespace

LinearMatcher::LinearMatcher(const RegexTree& tree, Engines engines)
    : pieces_(StarPattern::from(tree)), prefilter_(tree), usePrefilter_(engines == kPrefilterFirst) {
    if (usePrefilter_ && (pieces_ ? pieces_->decidesAll() : prefilter_.decidesAll())) return;
    const std::string expression = re2Expression(tree);
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_case_sensitive(true);
    options.set_never_capture(true);
    options.set_log_errors(false);
    re2_ = std::make_unique<RE2>(expression, options);
    // RE2's default memory bound (8 MiB for the program and the DFA's state
    // cache) holds tens of thousands of positions; past it the expression
    // is refused. A DFA that outgrows it gives way to RE2's NFA, still linear.
    if (!re2_->ok()) throw MatchRefused("the expression is too large to compile (" + re2_->error() + ")");
}

LinearMatcher::~LinearMatcher() = default;

bool LinearMatcher::matchesOnRe2(const std::string& text) const { return RE2::FullMatch(text, *re2_); }

}  // namespace detail
}  // namespace zorv
