// The module's exceptions. Each is also one of Python's own kinds, so that
// callers may catch ValueError, LookupError, ConnectionError or OSError
// without knowing this module; all carry the library's result code.
#include "binding.h"

namespace zorvpy {

namespace {

// Created once when the module loads and kept for the life of the process.
PyObject* errorTypes[4] = {};

PyObject* newError(py::module_& m, const char* name, const char* doc, PyObject* bases) {
    std::string qualified = std::string("zorvlabelmgr.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

}  // namespace

[[noreturn]] void fail(Kind kind, int code, const std::string& message) { throw Failure{kind, code, message}; }

[[noreturn]] void callFailed(int code, const char* call) {
    fail(Kind::ServiceUnavailable, code,
         std::string(call) + ": the call could not be completed (no service, or a bus failure)");
}

void checkStatus(int status, const char* call) {
    if (status == 0) return;
    if (status == -1)
        fail(Kind::ServiceFailure, status, std::string(call) + ": the service answered with its failure value");
    callFailed(status, call);
}

void registerErrors(py::module_& m) {
    PyObject* base = newError(m, "Error",
                              "Base of the module's exceptions. ``code`` is the library's result code of the\n"
                              "failed call (-1 refused or failed, -2 not completed, or the service's reply).",
                              PyExc_Exception);
    if (PyObject_SetAttrString(base, "code", Py_None) != 0) throw py::error_already_set();
    struct {
        Kind kind;
        const char* name;
        const char* doc;
        PyObject* builtin;
    } kinds[] = {
        {Kind::InvalidArgument, "InvalidArgument",
         "An argument was refused before it reached the service (also a ValueError).", PyExc_ValueError},
        {Kind::ServiceFailure, "ServiceFailure",
         "The service answered with its failure value or a non-zero status (also a LookupError).",
         PyExc_LookupError},
        {Kind::ServiceUnavailable, "ServiceUnavailable",
         "The service or the bus could not be reached, or the call failed on the way (also a\n"
         "ConnectionError).",
         PyExc_ConnectionError},
        {Kind::LabelStorage, "LabelStorageError",
         "A file's security.zorv attribute could not be read or written (also an OSError).", PyExc_OSError},
    };
    for (auto& k : kinds) {
        py::tuple bases = py::make_tuple(py::handle(base), py::handle(k.builtin));
        errorTypes[static_cast<int>(k.kind)] = newError(m, k.name, k.doc, bases.ptr());
    }

    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const Failure& f) {
            PyObject* type = errorTypes[static_cast<int>(f.kind)];
            py::object error = py::reinterpret_borrow<py::object>(type)(f.message);
            error.attr("code") = f.code;
            PyErr_SetObject(type, error.ptr());
        }
    });
}

}  // namespace zorvpy
