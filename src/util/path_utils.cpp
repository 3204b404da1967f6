// Questions about file-system paths: canonical forms, tidy text, ordering,
// expansion of patterns and the nearest real directory above a pattern.
#include <zorv/util.hpp>

#include "log/log.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace fs = std::filesystem;

bool isFilesystemReadOnly(const char* path) {
    struct statvfs info;
    if (path == nullptr || ::statvfs(path, &info) != 0) {
        const int err = path == nullptr ? EFAULT : errno;
        ZLOG_ERROR("statfs error, %s, %s", std::strerror(err), path ? path : "(null)");
        return false;
    }
    return (info.f_flag & ST_RDONLY) != 0;
}

bool isParentPath(const std::string& parent, const std::string& child) {
    std::string prefix = fs::absolute(parent).string();
    const std::string full = fs::absolute(child).string();
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return full.compare(0, prefix.size(), prefix) == 0;
}

std::string getRealPath(const std::string& path) {
    if (path.empty()) {
        ZLOG_WARN("path is empty");
        return std::string();
    }
    // Outside the handler below on purpose: only "not found" is an answer
    // here; any other failure of the query reaches the caller.
    if (!fs::exists(path)) {
        ZLOG_WARN("file is not exists, %s", path.c_str());
        return std::string();
    }
    try {
        return fs::canonical(path).string();
    } catch (const fs::filesystem_error& e) {
        ZLOG_ERROR("Resolve realpath failed for %s: %s", path.c_str(), e.what());
    } catch (const std::exception& e) {
        ZLOG_ERROR("Unexpected error in getRealPath: %s", e.what());
    }
    return std::string();
}

std::string getLinkRealPath(const std::string& path) {
    if (path.empty()) return std::string();
    try {
        const fs::path original(path);
        const std::string directory = getRealPath(original.parent_path().string());
        if (directory.empty()) return std::string();
        return (fs::path(directory) / original.filename()).lexically_normal().string();
    } catch (const std::exception& e) {
        ZLOG_DEBUG("error: %s", e.what());
        return std::string();
    }
}

std::string formatPath(const std::string& path) {
    if (path.empty()) return std::string();
    std::size_t length = path.size();
    if (length > 1 && path[length - 1] == '*' && path[length - 2] == '/') --length;
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (path[i] == '/' && !out.empty() && out.back() == '/') continue;
        out += path[i];
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool comparePaths(const fs::path& a, const fs::path& b) {
    // std::string compares as unsigned bytes; fs::path would compare by
    // components instead.
    return fs::absolute(a).native() < fs::absolute(b).native();
}

std::vector<fs::path> expandPath(const fs::path& pattern) {
    const fs::path directory = pattern.parent_path();
    const std::string name = pattern.filename().string();
    std::vector<fs::path> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (matchesPattern1(entry.path().filename(), name)) found.push_back(entry.path());
    }
    return found;
}

std::vector<std::string> sortPaths(const std::vector<std::string>& paths) {
    std::vector<std::string> result;
    for (const std::string& path : paths) {
        if (fs::path(path).filename().string().find('*') != std::string::npos) {
            for (const fs::path& match : expandPath(path)) result.push_back(match.string());
        } else {
            result.push_back(path);
        }
    }
    if (result.size() < 2) return result;
    // The order of comparePaths, with each absolute form computed once rather
    // than in every comparison.
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(result.size());
    for (std::string& path : result) {
        std::string key = fs::absolute(path).native();
        keyed.emplace_back(std::move(key), std::move(path));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) result[i] = std::move(keyed[i].second);
    return result;
}

std::string findFirstValidParentDir(const std::string& path) {
    if (path.empty()) return std::string();
    fs::path current = path.substr(0, path.find_first_of("*?"));
    if (current.empty()) return std::string();
    try {
        for (;;) {
            if (fs::exists(current) && fs::is_directory(current)) return current.string();
            fs::path parent = current.parent_path();
            if (parent.empty() || parent == current) return std::string();
            current = std::move(parent);
        }
    } catch (const fs::filesystem_error& e) {
        ZLOG_ERROR("filesystem error: %s", e.what());
        return std::string();
    }
}

std::string getParentDirWithoutWildcard(const std::string& path) {
    const std::size_t wildcard = path.find_first_of("*?");
    if (wildcard != std::string::npos) {
        const std::size_t slash = path.rfind('/', wildcard);
        if (slash == std::string::npos || slash == 0) return "/";
        return path.substr(0, slash);
    }
    if (path.empty()) return std::string();
    std::string rest = path;
    if (rest.back() == '/') rest.pop_back();
    const std::size_t slash = rest.rfind('/');
    if (slash == 0) return "/";
    if (slash == std::string::npos) return rest;
    return rest.substr(0, slash);
}
