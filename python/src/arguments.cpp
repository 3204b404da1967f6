// Python values into the library's arguments. Everything the bus could not
// carry is refused here with a ValueError, before any call is made.
#include "binding.h"

#include <climits>

namespace zorvpy {

namespace {

void checkUtf8(const std::string& bytes, const char* what) {
    if (bytes.find('\0') != std::string::npos) fail(Kind::InvalidArgument, -1, std::string(what) + " holds a NUL byte");
    PyObject* decoded = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (decoded == nullptr) {
        PyErr_Clear();
        fail(Kind::InvalidArgument, -1, std::string(what) + " is not valid UTF-8");
    }
    Py_DECREF(decoded);
}

template <typename Convert>
std::vector<std::string> convertAll(py::handle iterable, const char* what, Convert convert) {
    if (PyUnicode_Check(iterable.ptr()) || PyBytes_Check(iterable.ptr()))
        throw py::type_error(std::string(what) + " must be an iterable of items, not a single string");
    std::vector<std::string> out;
    for (py::handle item : py::iter(iterable)) out.push_back(convert(item, what));
    return out;
}

uint64_t unsignedArg(py::handle value, const char* what, uint64_t max) {
    if (!PyLong_Check(value.ptr()))
        throw py::type_error(std::string(what) + " must be an int, not " + Py_TYPE(value.ptr())->tp_name);
    unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());  // negative or too large: an error
    bool inRange = !PyErr_Occurred() && v <= max;
    PyErr_Clear();
    if (!inRange)
        fail(Kind::InvalidArgument, -1, std::string(what) + " out of range: " + py::str(value).cast<std::string>());
    return v;
}

}  // namespace

std::string pathArg(py::handle value, const char* what) {
    PyObject* path = PyOS_FSPath(value.ptr());  // str or bytes, from os.PathLike too
    if (path == nullptr) throw py::error_already_set();
    py::object owned = py::reinterpret_steal<py::object>(path);
    std::string bytes;
    if (PyUnicode_Check(path)) {
        PyObject* encoded = PyUnicode_EncodeFSDefault(path);
        if (encoded == nullptr) throw py::error_already_set();
        bytes = py::reinterpret_steal<py::bytes>(encoded);
    } else {
        bytes = py::reinterpret_borrow<py::bytes>(path);
    }
    checkUtf8(bytes, what);
    return bytes;
}

std::string textArg(py::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr()))
        throw py::type_error(std::string(what) + " must be a str, not " + Py_TYPE(value.ptr())->tp_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) {  // lone surrogates
        PyErr_Clear();
        fail(Kind::InvalidArgument, -1, std::string(what) + " cannot be encoded as UTF-8");
    }
    std::string text(data, static_cast<size_t>(size));
    checkUtf8(text, what);
    return text;
}

std::vector<std::string> pathList(py::handle iterable, const char* what) {
    return convertAll(iterable, what, [](py::handle item, const char* w) { return pathArg(item, w); });
}

std::vector<std::string> textList(py::handle iterable, const char* what) {
    return convertAll(iterable, what, [](py::handle item, const char* w) { return textArg(item, w); });
}

uint64_t u64Arg(py::handle value, const char* what) { return unsignedArg(value, what, UINT64_MAX); }
uint32_t u32Arg(py::handle value, const char* what) {
    return static_cast<uint32_t>(unsignedArg(value, what, UINT32_MAX));
}

int32_t i32Arg(py::handle value, const char* what) {
    if (!PyLong_Check(value.ptr()))
        throw py::type_error(std::string(what) + " must be an int, not " + Py_TYPE(value.ptr())->tp_name);
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
        fail(Kind::InvalidArgument, -1, std::string(what) + " out of range: " + py::str(value).cast<std::string>());
    return static_cast<int32_t>(v);
}

py::str fsText(const char* data, size_t size) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(data, static_cast<Py_ssize_t>(size));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::str fsText(const std::string& text) { return fsText(text.data(), text.size()); }

}  // namespace zorvpy
