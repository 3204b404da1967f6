#include "paths.h"

#include <zorv/labelmgr.hpp>

#include <filesystem>

#include "wire.h"

namespace zorvd {

namespace {

// Most paths arrive in normal form already; one scan tells, and spares the
// rewrite that would dominate a call with a hundred thousand of them.
bool isNormal(const std::string& p) {
    if (p.size() > 1 && p.back() == '/') return false;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] != '/') continue;
        std::size_t end = p.find('/', i + 1);
        std::size_t len = (end == std::string::npos ? p.size() : end) - i - 1;
        if ((len == 0 && i + 1 < p.size()) || (len == 1 && p[i + 1] == '.') ||
            (len == 2 && p[i + 1] == '.' && p[i + 2] == '.') || (len == 1 && p[i + 1] == '*' && end == std::string::npos))
            return false;
    }
    return true;
}

}  // namespace

std::string normalPath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.size() > kMaxPath)
        throw CallError(DBUS_ERROR_INVALID_ARGS, "a path must be absolute and at most " + std::to_string(kMaxPath) +
                                                     " bytes long: \"" + path.substr(0, 200) + "\"");
    if (isNormal(path)) return path;
    return formatPath(std::filesystem::path(path).lexically_normal().string());
}

uint64_t pathId(const std::string& normal) { return getSM3HashLast64Bits(normal); }

const std::string& checkedName(const std::string& name, const char* what, std::size_t limit) {
    if (name.empty() || name.size() > limit)
        throw CallError(DBUS_ERROR_INVALID_ARGS,
                        std::string(what) + " must be 1 to " + std::to_string(limit) + " bytes long");
    return name;
}

}  // namespace zorvd
