// A fresh directory under the temporary directory, removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace zorvtest {

// The bytes of the file `path`; "" when it cannot be read.
inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ScratchDir {
public:
    ScratchDir() : path_((std::filesystem::temp_directory_path() / "zorv-XXXXXX").string()) {
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
    std::string file(const std::string& rel, const std::string& content = "x") const {
        std::filesystem::create_directories(std::filesystem::path(*this / rel).parent_path());
        std::ofstream(*this / rel, std::ios::binary) << content;
        return *this / rel;
    }
    std::string dir(const std::string& rel) const {
        std::filesystem::create_directories(*this / rel);
        return *this / rel;
    }
    std::string link(const std::string& target, const std::string& rel) const {
        std::filesystem::create_symlink(target, *this / rel);
        return *this / rel;
    }

private:
    std::string path_;
};

}  // namespace zorvtest

// Skips the rest of a test when `missing` security.* attributes; a failure where ZORV_TEST_REQUIRE_XATTR is set (CI).
#define ZORV_SKIP_WITHOUT_XATTR(missing, where)                                                        \
    do {                                                                                               \
        if (!(missing)) break;                                                                         \
        if (::getenv("ZORV_TEST_REQUIRE_XATTR")) FAIL() << "no security.* attributes on " << where;    \
        GTEST_SKIP() << "no security.* attributes on " << where;                                       \
    } while (0)
