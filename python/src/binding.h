// What the parts of the Python module share: the exceptions it raises, the
// conversion of Python arguments into what the library takes, and the
// registration function of each part.
#pragma once

#include <pybind11/pybind11.h>

#include <zorv/labelmgr.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace zorvpy {

namespace py = pybind11;

// Which Python exception a failure becomes.
enum class Kind {
    InvalidArgument,     // ValueError: refused before or by the library
    ServiceFailure,      // LookupError: the service answered with its failure value
    ServiceUnavailable,  // ConnectionError: no service, or the bus failed
    LabelStorage,        // OSError: security.zorv could not be read or written
};

// Thrown by the module's own code; turned into the Python exception of its
// kind, whose `code` is the library's result code.
struct Failure {
    Kind kind;
    int code;
    std::string message;
};

[[noreturn]] void fail(Kind kind, int code, const std::string& message);

// The usual status of a service call: 0 passes; -1 (arguments having been
// checked here already) is the service's failure value; -2 and anything else
// negative is a call that could not be completed.
void checkStatus(int status, const char* call);
// A call that could not be completed, whatever code the library gave for it.
[[noreturn]] void callFailed(int code, const char* call);

// Runs `call`, a call of the library, without the interpreter lock, so that
// other Python threads go on while it waits for the service; what it returns.
// Everything Python must be converted before and after, with the lock held.
template <typename Call>
auto withoutLock(Call&& call) {
    py::gil_scoped_release unlocked;
    return call();
}

// A path as str, bytes or os.PathLike, in the file-system encoding. Refused
// (ValueError) when it holds a NUL byte or is not valid UTF-8, which the bus
// cannot carry.
std::string pathArg(py::handle value, const char* what = "path");
// A name or other text: a str, sent as UTF-8.
std::string textArg(py::handle value, const char* what);
// Every element of an iterable, converted by pathArg or textArg.
std::vector<std::string> pathList(py::handle iterable, const char* what);
std::vector<std::string> textList(py::handle iterable, const char* what);

// Python ints checked against the range of the C type (ValueError outside it).
uint64_t u64Arg(py::handle value, const char* what);
uint32_t u32Arg(py::handle value, const char* what);
int32_t i32Arg(py::handle value, const char* what);

// Text that came from the service or from a file name: the file-system
// decoding, which keeps undecodable bytes as surrogate escapes.
py::str fsText(const char* data, size_t size);
py::str fsText(const std::string& text);

void registerErrors(py::module_& m);
void registerLabelModel(py::module_& m);
void registerServiceCalls(py::module_& m);
void registerBulkCalls(py::module_& m);
void registerNotifications(py::module_& m);

// The identifier type of the module: the library's Id, given the triple of a ZORV_ID.
inline Id toId(const ZORV_ID& id) { return Id(id.pkg_id, id.file_id, id.path_id); }
inline ZORV_ID toZorvId(const Id& id) { return ZORV_ID{id.pkg_id, id.file_id, id.path_id}; }

}  // namespace zorvpy
