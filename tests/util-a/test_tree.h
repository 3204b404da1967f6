// Scratch directories and shell commands for the utility tests.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace utiltest {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
public:
    ScratchDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "zorv-util-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

    void file(const std::string& rel, const std::string& content = "x") const {
        std::filesystem::create_directories(std::filesystem::path(*this / rel).parent_path());
        std::ofstream(*this / rel) << content;
    }
    void dir(const std::string& rel) const { std::filesystem::create_directories(*this / rel); }
    void link(const std::string& target, const std::string& rel) const {
        std::filesystem::create_symlink(target, *this / rel);
    }

private:
    std::string path_;
};

// Quotes `s` for /bin/sh.
inline std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Output of a shell command, split into lines; `status` receives its exit code.
inline std::vector<std::string> commandLines(const std::string& command, int* status = nullptr) {
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    std::string current;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(c);
        }
    }
    if (!current.empty()) lines.push_back(current);
    const int rc = ::pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return lines;
}

inline std::multiset<std::string> asMultiset(const std::vector<std::string>& v) {
    return std::multiset<std::string>(v.begin(), v.end());
}

}  // namespace utiltest
