// Scratch directories and shell commands for the utility tests.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace utiltest {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
public:
    ScratchDir() : path_((std::filesystem::temp_directory_path() / "zorv-util-XXXXXX").string()) {
        if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    void file(const std::string& rel) const {
        std::filesystem::create_directories(std::filesystem::path(*this / rel).parent_path());
        std::ofstream(*this / rel) << "x";
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

// Output lines of a shell command; empty when the command fails.
inline std::vector<std::string> commandLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    char* line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; (n = ::getline(&line, &capacity, pipe)) > 0;)
        lines.emplace_back(line, static_cast<size_t>(n) - (line[n - 1] == '\n'));
    ::free(line);
    if (::pclose(pipe) != 0) lines.clear();
    return lines;
}

}  // namespace utiltest
