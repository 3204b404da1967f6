// File names, paths and wildcards of the kind policies hold, for the matching benchmark and tests alike.
#pragma once

#include <random>
#include <string>
#include <vector>

namespace zorvtest {

struct WildcardCase {
    const char* wildcard;
    const char* fnmatchForm;  // the same for fnmatch, which has no brace groups
    bool longTexts;           // tried on the long paths rather than the names
};

// The commonest shapes of short patterns on short names, and a long one with many wildcards on long paths.
inline const std::vector<WildcardCase>& wildcardCases() {
    static const std::vector<WildcardCase> cases = {
        {"*.conf", "*.conf", false},
        {"lib*.so.?", "lib*.so.?", false},
        {"config[0-9]*", "config[0-9]*", false},
        {"*_label*.{txt,log.1}", "*_label*.txt", false},
        {"*.so*", "*.so*", false},
        {"lib*.so*", "lib*.so*", false},
        {"*con*.*", "*con*.*", false},
        {"/usr/share/dir0/*/usr/share/dir1?/*/dir2[!a-z]/*/usr/share/dir3[0-9]/*dir39/config*.conf",
         "/usr/share/dir0/*/usr/share/dir1?/*/dir2[!a-z]/*/usr/share/dir3[0-9]/*dir39/config*.conf", true},
    };
    return cases;
}

// 10,000 file names, a few thousand distinct, in several cases.
inline const std::vector<std::string>& fileNames() {
    static const std::vector<std::string> names = [] {
        static const char* const kStems[] = {"libc", "README", "config", "Makefile", "zorv_label", "passwd", "x"};
        static const char* const kExts[] = {".so.6", ".conf", ".TXT", ".txt", "", ".log.1", ".Conf"};
        std::mt19937 rng(42);
        std::vector<std::string> list;
        for (int i = 0; i < 10000; ++i) {
            list.push_back(std::string(kStems[rng() % 7]) + std::to_string(rng() % 1000) + kExts[rng() % 7]);
        }
        return list;
    }();
    return names;
}

// 1,000 paths of about 600 bytes: forty directory levels above a file name.
inline const std::vector<std::string>& longPaths() {
    static const std::vector<std::string> paths = [] {
        std::string directories;
        for (int level = 0; level < 40; ++level) directories += "/usr/share/dir" + std::to_string(level);
        std::vector<std::string> list;
        for (int i = 0; i < 1000; ++i) list.push_back(directories + "/" + fileNames()[i]);
        return list;
    }();
    return paths;
}

inline const std::vector<std::string>& textsFor(const WildcardCase& c) { return c.longTexts ? longPaths() : fileNames(); }

}  // namespace zorvtest
