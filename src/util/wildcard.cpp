// Shell-style wildcards: detection, translation to regular expressions and
// the three matchers (own regular expression, fnmatch, glob).
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/compiled_wildcard.h"

#include <fnmatch.h>
#include <glob.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

bool containsWildcard(const std::string& text) {
    bool escaped = false;
    for (char c : text) {
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '*' || c == '?' || c == '[' || c == ']') {
            return true;
        }
    }
    return false;
}

std::string wildcardsToRegex(const std::string& wildcard) {
    std::string regex;
    regex.reserve(wildcard.size() * 2);
    bool escaped = false;
    bool inBraces = false;
    for (std::size_t i = 0; i < wildcard.size(); ++i) {
        const char c = wildcard[i];
        if (escaped) {
            regex += c;
            escaped = false;
            continue;
        }
        switch (c) {
            case '\\':
                escaped = true;
                break;
            case '*':
                regex += ".*";
                break;
            case '?':
                regex += '.';
                break;
            case '.':
            case '$':
            case '(':
            case ')':
            case '+':
            case '^':
            case '|':
                regex += '\\';
                regex += c;
                break;
            case '[':
                regex += '[';
                if (i + 1 < wildcard.size() && wildcard[i + 1] == '!') {
                    regex += '^';
                    ++i;
                }
                break;
            case '{':
                regex += '(';
                inBraces = true;
                break;
            case ',':
                regex += inBraces ? '|' : ',';
                break;
            case '}':
                regex += inBraces ? ')' : '}';
                inBraces = false;
                break;
            default:
                regex += c;
                break;
        }
    }
    return regex;
}

namespace {

// The pattern a thread used last, compiled. Callers usually test many names
// against one pattern, so it is kept at hand ahead of the shared cache.
struct LastUsed {
    std::string pattern;
    std::shared_ptr<const zorv::detail::CompiledWildcard> compiled;
};

// Reached through a plain pointer in the initial TLS block, which costs no
// call into the dynamic linker (8 bytes of the block even where the library
// is loaded later); the object itself goes with its thread.
[[gnu::tls_model("initial-exec")]] thread_local LastUsed* lastUsed = nullptr;

struct LastUsedOwner {
    LastUsed value;
    LastUsedOwner() { lastUsed = &value; }
    ~LastUsedOwner() { lastUsed = nullptr; }
};

LastUsed& lastUsedOfThisThread() {
    if (lastUsed == nullptr) {
        thread_local LastUsedOwner owner;
        lastUsed = &owner.value;
    }
    return *lastUsed;
}

// Equal texts, compared inline: patterns are short, and a call of memcmp
// would cost as much as the match.
bool sameText(const std::string& a, const std::string& b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t u, v;
        std::memcpy(&u, x + i, 8);
        std::memcpy(&v, y + i, 8);
        if (u != v) return false;
    }
    for (; i < n; ++i) {
        if (x[i] != y[i]) return false;
    }
    return true;
}

}  // namespace

bool matchesPattern(const std::string& pattern, const std::string& text) {
    LastUsed& last = lastUsedOfThisThread();
    try {
        if (!last.compiled || !sameText(last.pattern, pattern)) {
            auto compiled = zorv::detail::compiledWildcard(pattern);
            last.pattern = pattern;
            last.compiled = std::move(compiled);
        }
        return last.compiled->matches(text);
    } catch (const zorv::detail::MatchRefused& e) {
        ZLOG_ERROR("Pattern refused, %.200s: %s", pattern.c_str(), e.what());
        return false;
    }
}

bool matchesPattern1(const std::filesystem::path& path, const std::string& pattern) {
    const std::string text = path.string();
    return ::fnmatch(pattern.c_str(), text.c_str(), FNM_PATHNAME) == 0;
}

std::vector<std::string> searchFilesByPattern(const std::string& pattern) {
    struct GlobResult {
        glob_t value{};
        ~GlobResult() { ::globfree(&value); }
    } found;
    const int rc = ::glob(pattern.c_str(), GLOB_TILDE, nullptr, &found.value);
    const int savedErrno = errno;
    std::vector<std::string> paths;
    switch (rc) {
        case 0:
            paths.reserve(found.value.gl_pathc);
            for (std::size_t i = 0; i < found.value.gl_pathc; ++i) paths.emplace_back(found.value.gl_pathv[i]);
            break;
        case GLOB_NOSPACE:
            ZLOG_ERROR("Ran out of memory.");
            break;
        case GLOB_ABORTED:
            ZLOG_ERROR("Read error. %s", std::strerror(savedErrno));
            break;
        case GLOB_NOMATCH:
            ZLOG_ERROR("No matches found.");
            break;
        case GLOB_NOSYS:
            ZLOG_ERROR("Not implemented.");
            break;
        default:
            ZLOG_ERROR("unknown error");
            break;
    }
    return paths;
}
