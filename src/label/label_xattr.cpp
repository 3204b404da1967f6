// Storage of a label in the extended attribute "security.zorv" of a file.
#include <zorv/label.hpp>

#include "label/label_format.h"
#include "log/log.h"

#include <sys/xattr.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

using namespace zorv::label;

std::string systemText(int err) { return std::generic_category().message(err); }

// The existence test follows symbolic links, also for calls that act on the
// link itself: a dangling link counts as a missing file. A failing status
// query (permission, loop of links) throws std::filesystem::filesystem_error.
void requireExisting(const std::string& path) {
    if (!std::filesystem::exists(std::filesystem::path(path))) {
        throw LabelError(kFileMissing, "File does not exist: ");
    }
}

ssize_t readXattr(const std::string& path, bool noFollow, void* buf, size_t size) {
    return noFollow ? ::lgetxattr(path.c_str(), kXattrName, buf, size)
                    : ::getxattr(path.c_str(), kXattrName, buf, size);
}

// Runs one storage operation, turning what it raises into a logged status:
// -1 for a LabelError, otherFailure for any other standard exception.
template <typename Operation>
int reportFailures(const char* func, const std::string& path, int otherFailure, Operation operation) {
    try {
        return operation();
    } catch (const LabelError& e) {
        ZLOG_ERROR_FOR(func, "LabelError: %s: %s", e.what(), path.c_str());
        return -1;
    } catch (const std::exception& e) {
        ZLOG_ERROR_FOR(func, "exception: %s: %s", e.what(), path.c_str());
        return otherFailure;
    }
}

// An attribute that cannot be read at all is not an error worth more than a
// debug line: most files carry no label.
int reportUnreadable(int err, const std::string& path) {
    if (err == ENODATA) {
        ZLOG_DEBUG_FOR("getFromXattr", "Extended attribute not found: %s", path.c_str());
    } else {
        ZLOG_DEBUG_FOR("getFromXattr", "Failed to get extended attribute size: %s", systemText(err).c_str());
    }
    return -1;
}

}  // namespace

int Label::setToXattr(const std::string& path, const bool& noFollow) {
    return reportFailures("setToXattr", path, -2, [&]() {
        requireExisting(path);
        const size_t size = serializedBufferSize();
        unsigned char buffer[kMaxLabelSize] = {};
        const size_t written = serializeToBuffer(buffer, size);
        if (written == 0) throw LabelError(kSerializedSize, "Label serialization resulted in zero bytes: ");
        if (written > size) throw LabelError(kSerializedSize, "Label serialization used more space than expected: ");

        const int result = noFollow ? ::lsetxattr(path.c_str(), kXattrName, buffer, written, 0)
                                    : ::setxattr(path.c_str(), kXattrName, buffer, written, 0);
        const int err = errno;
        ZLOG_DEBUG_FOR("setToXattr", "%s: %d, path: %s", noFollow ? "lsetxattr" : "setxattr", result, path.c_str());
        if (result == 0) return 0;
        if (err == EOPNOTSUPP) {
            throw LabelError(kXattrUnsupported, "Filesystem does not support extended attributes: ");
        }
        throw LabelError(kXattrIo, "Failed to set extended attribute: " + systemText(err));
    });
}

int Label::getFromXattr(const std::string& path, const bool& noFollow) {
    return reportFailures("getFromXattr", path, -1, [&]() {
        // lgetxattr succeeds on a dangling link, so that case needs the
        // existence test first. When links are followed, a successful read
        // proves the file exists and the test is only needed to explain a
        // failed one: the common case costs one system call.
        if (noFollow) requireExisting(path);
        unsigned char buffer[kMaxLabelSize];
        ssize_t length = readXattr(path, noFollow, buffer, sizeof buffer);
        if (length < 0 && errno != ERANGE) {
            const int err = errno;
            if (!noFollow) requireExisting(path);
            return reportUnreadable(err, path);
        }
        if (length == 0) throw LabelError(kXattrEmpty, std::string("Extended attribute is empty: ") + kXattrName);
        if (length > 0) {
            deserializeFromBuffer(buffer, static_cast<size_t>(length));
            return 0;
        }

        // Longer than any valid label: read it whole all the same, so that it
        // is reported like every other invalid stored value.
        const ssize_t size = readXattr(path, noFollow, nullptr, 0);
        if (size < 0) return reportUnreadable(errno, path);
        if (size == 0) throw LabelError(kXattrEmpty, std::string("Extended attribute is empty: ") + kXattrName);
        std::vector<unsigned char> whole(static_cast<size_t>(size));
        length = readXattr(path, noFollow, whole.data(), whole.size());
        if (length < 0) throw LabelError(kXattrIo, "Failed to read extended attribute: " + systemText(errno));
        if (length != size) throw LabelError(kXattrIo, "Size mismatch when reading extended attribute");
        deserializeFromBuffer(whole.data(), whole.size());
        return 0;
    });
}
