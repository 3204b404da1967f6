// Labelling whole packages and applications with one service call each: the
// file list of a package or application, an interpreter tree, and Drova base
// files paired with host files. Every argument is checked, and the message
// sized, before anything is built: a batch goes whole or not at all.
#include <zorv/labelmgr.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "client/bus_limits.h"
#include "client/service_call.h"
#include "log/line_batch.h"
#include "log/log.h"
#include "protocol/arguments.h"
#include "util/path_predicates.h"

namespace {

namespace protocol = zorv::protocol;
using zorv::BodySize;
using zorv::Failure;

// What a call that could not be completed gives: -2 for a D-Bus error, -3
// for anything else. The base-file call gives -1 for both.
const Failure<int> kCallFailure{-2, -3, true, "Exception: "};
const Failure<int> kBaseFilesFailure{-1, -1, true, "Exception: "};

// Sends the call and returns the service's status unchanged, logging it with
// `refusedFormat` when it is not 0.
template <const protocol::Member& M, typename... In>
int statusCall(const char* function, const Failure<int>& failure, const char* refusedFormat, const In&... in) {
    return zorv::guarded(function, failure, [&] {
        int32_t reply = 0;
        zorv::Call<M>(in...).invoke(reply);
        if (reply != 0) ZLOG_ERROR_FOR(function, refusedFormat, reply);
        return int(reply);
    });
}

// Runs `build`, which reads the caller's arguments into memory of the call's
// own (log lines, the base-file map); running out of memory there is the
// caller's list being too much for this process, and gives -1.
template <typename Build>
int building(const char* function, Build&& build) {
    try {
        return build();
    } catch (const std::bad_alloc& e) {
        ZLOG_ERROR_FOR(function, "Memory allocation failed: %s", e.what());
        return -1;
    }
}

// The caller's paths, checked, written into the message as they are: a
// package's list is not copied once more on its way.
struct PathList {
    char** paths;
    int count;
};

DBus::MessageIter& operator<<(DBus::MessageIter& iter, const PathList& list) {
    DBus::MessageIter array = iter.new_array("s");
    for (int i = 0; i < list.count; ++i) array.append_string(list.paths[i]);
    iter.close_container(array);
    return iter;
}

}  // namespace

// It travels as a list of strings does.
template <>
struct zorv::wire::Code<PathList> : zorv::wire::Code<std::vector<std::string>> {};

namespace {

// One kind of owner of a file list, as "setLabelForPkg" is told about it.
struct Owner {
    std::string timerName;    // made once, as the names below
    const char* key;          // how its name is shown: "pkgname" or "appName"
    const char* startFormat;  // start line, given the name and the number of files
    uint32_t pkgType;
};

const Owner kPackage{"#zorv_labelmgr, set label for pkg", "pkgname", "Start setting label for %s (%d files)",
                    zorv::protocol::kPackageTypePackage};
const Owner kLunvexApp{"#zorv_labelmgr, set Label For Lunvex", "appName",
                       "Start setting label for Lunvex app %s (%d files)", zorv::protocol::kPackageTypeLunvex};
const Owner kDrovaApp{"#zorv_labelmgr, set Label For Drova", "appName",
                      "Start setting label for drova app %s (%d files)", zorv::protocol::kPackageTypeDrova};

// The other timers' names. Strings made once: made from a literal at each
// call, they were copied by the compiler in 16-byte pieces laid side by side
// in the binary, where lintian read the end of one and the start of the next
// text as a misspelt word.
const std::string kLunvexInterpreterTimer = "#zorv_labelmgr, set Label For Lunvex Interpreter";
const std::string kDrovaInterpreterTimer = "#zorv_labelmgr, set Label For Drova Interpreter";
const std::string kDrovaBaseFilesTimer = "#zorv_labelmgr, set Label For Drova Base Files";

// Labels `files` as belonging to `name`. `count` is the number of entries, or
// -1 for a list that ends at its first null entry.
int labelFiles(const char* function, const Owner& owner, char** files, int count, const char* name) {
    if (!zorv::acceptString(function, owner.key, name)) return -1;
    if (count < 0 && files[0] == nullptr) {
        ZLOG_ERROR_FOR(function, "Empty file list");
        return -1;
    }
    // Sized first, so that a list too large is refused before thousands of
    // lines are logged for it, and before all of a list of any length has
    // been read. The same walk counts a list that ends at a null entry; in a
    // counted one a null entry ends the walk and the checks below report it.
    BodySize body;
    body.array(4);
    int n = 0;
    for (; (count < 0 || n < count) && files[n] != nullptr && body.bytes() <= zorv::kMaxArgumentBytes; ++n)
        body.string(std::strlen(files[n]));
    body.string(std::strlen(name)).uint32();
    if (!zorv::fitsOneMessage(function, "File list", body.bytes())) return -1;
    if (count < 0) count = n;

    int checked = building(function, [&] {
        zorv::LineBatch lines(function);
        for (int i = 0; i < count; ++i) {
            const char* path = files[i];
            if (path == nullptr || *path == '\0') {
                lines.flush();
                ZLOG_ERROR_FOR(function, "Empty path at index %d", i);
                return -1;
            }
            if (!zorv::isValidUtf8(path)) {
                lines.flush();
                ZLOG_ERROR_FOR(function, "Invalid UTF-8 in file path[%d]: %s", i, path);
                return -1;
            }
            lines.add(__LINE__, "index ", i, ", ", owner.key, " ", name, ", file ", path);
        }
        return 0;
    });
    if (checked != 0) return checked;

    ZLOG_ALWAYS_FOR(function, owner.startFormat, name, count);
    return statusCall<protocol::setLabelForPkg>(function, kCallFailure, "Failed to set label (error code=%d)",
                                                PathList{files, count}, std::string(name), owner.pkgType);
}

int labelApp(const char* function, const Owner& owner, char** files, const char* appName) {
    Timer timer(owner.timerName);
    if (files == nullptr || appName == nullptr) {
        ZLOG_ERROR_FOR(function, "Invalid parameters: files=%p, appName=%p", static_cast<void*>(files),
                       static_cast<const void*>(appName));
        return -1;
    }
    return labelFiles(function, owner, files, -1, appName);
}

// Labels the interpreter tree under the directory `path`, sent as given.
template <const protocol::Member& M>
int labelInterpreter(const char* function, const std::string& timerName, const char* path, const char* startFormat,
                     const char* refusedFormat) {
    Timer timer(timerName);
    if (path == nullptr) {
        ZLOG_ERROR_FOR(function, "Invalid parameters: path=%p", static_cast<const void*>(path));
        return -1;
    }
    if (!zorv::acceptString(function, "path", path)) return -1;
    if (!zorv::validatePath(path)) {
        ZLOG_ERROR_FOR(function, "Invalid path: %s", path);
        return -1;
    }
    ZLOG_ALWAYS_FOR(function, startFormat, path);
    return statusCall<M>(function, kCallFailure, refusedFormat, std::string(path));
}

// Checks each pair and gathers them by Drova path, the last host path of a
// Drova path winning. Returns the number of pairs read, or -1.
int readBaseFiles(const char* function, char** drovaFiles, char** hostFiles,
                  std::map<std::string, std::string>& pairs) {
    int i = 0;
    for (; drovaFiles[i] != nullptr; ++i) {
        const char* drova = drovaFiles[i];
        const char* host = hostFiles[i];
        if (host == nullptr) {
            ZLOG_ERROR_FOR(function, "hostFiles is null at index %d", i);
            return -1;
        }
        if (*drova == '\0' || *host == '\0') {
            ZLOG_ERROR_FOR(function, "Empty path: drovaFile='%s', hostFile='%s'", drova, host);
            return -1;
        }
        // One pair too large alone could never be sent.
        BodySize pair;
        pair.array(8).entry().string(std::strlen(drova)).string(std::strlen(host));
        if (!zorv::fitsOneMessage(function, "Base file map", pair.bytes())) return -1;
        if (!zorv::isValidUtf8(drova)) {
            ZLOG_ERROR_FOR(function, "Invalid UTF-8 in drova file path[%d]: %s", i, drova);
            return -1;
        }
        if (!zorv::isValidUtf8(host)) {
            ZLOG_ERROR_FOR(function, "Invalid UTF-8 in host file path[%d]: %s", i, host);
            return -1;
        }
        pairs[drova] = host;
        ZLOG_DEBUG_FOR(function, "drovaFile: %s, hostFile: %s", drova, host);
    }
    return i;
}

}  // namespace

extern "C" {

int setLabelForPkg(char** files, int size, const char* pkgname) {
    Timer timer(kPackage.timerName);
    if (size < 1 || pkgname == nullptr || files == nullptr) {
        ZLOG_ERROR("Invalid parameters: files=%p, size=%d, pkgname=%p", static_cast<void*>(files), size,
                   static_cast<const void*>(pkgname));
        return -1;
    }
    return labelFiles(__func__, kPackage, files, size, pkgname);
}

int setLabelForLunvex(char** files, const char* appName) { return labelApp(__func__, kLunvexApp, files, appName); }

int setLabelForDrova(char** files, const char* appName) { return labelApp(__func__, kDrovaApp, files, appName); }

int setLabelForLunvexInterpreter(const char* path) {
    return labelInterpreter<protocol::setLabelForLunvexInterpreter>(
        __func__, kLunvexInterpreterTimer, path,
        "Start setting label for lunvex interpreter, base path: %s",
        "Failed to set label for lunvex interpreter (error code=%d)");
}

int setLabelForDrovaInterpreter(const char* path) {
    return labelInterpreter<protocol::setLabelForDrovaInterpreter>(
        __func__, kDrovaInterpreterTimer, path,
        "Start setting label for drova interpreter, base path: %s",
        "Failed to set label for drova interpreter (error code=%d)");
}

int setLabelForDrovaBaseFiles(char** drovaFiles, char** hostFiles) {
    Timer timer(kDrovaBaseFilesTimer);
    const char* function = __func__;
    if (drovaFiles == nullptr || hostFiles == nullptr) {
        ZLOG_ERROR("Invalid parameters: drovaFiles=%p, hostFiles=%p", static_cast<void*>(drovaFiles),
                   static_cast<void*>(hostFiles));
        return -1;
    }
    if (drovaFiles[0] == nullptr) {
        ZLOG_ERROR("Empty file list");
        return -1;
    }
    std::map<std::string, std::string> pairs;
    const int count = building(function, [&] { return readBaseFiles(function, drovaFiles, hostFiles, pairs); });
    if (count < 0) return -1;
    BodySize body;
    body.array(8);
    for (const auto& [drova, host] : pairs) body.entry().string(drova.size()).string(host.size());
    if (!zorv::fitsOneMessage(function, "Base file map", body.bytes())) return -1;

    ZLOG_ALWAYS("Start setting label for drova base files (%d files)", count);
    return statusCall<protocol::setLabelForDrovaBaseFiles>(
        function, kBaseFilesFailure, "Failed to set label for drova base files (error code=%d)", pairs);
}

}  // extern "C"
