// Id and Label: the identifier triple and a file's label with their binary
// and text forms, and the label's storage in security.zorv.
#include "binding.h"

#include <sys/stat.h>

#include <cerrno>

namespace zorvpy {

namespace {

const std::string kZeroIdText = Id().toString();

Id idFromText(const std::string& text) {
    Id id = Id::fromString(text);
    // The library answers malformed text with the all-zero identifier, which
    // only the text of that identifier may give.
    if (id == Id() && py::str(text).attr("lower")().cast<std::string>() != kZeroIdText)
        fail(Kind::InvalidArgument, -1, "not an identifier (pkg-file-path, 16 hex digits each): " + text);
    return id;
}

std::string idRepr(const Id& id) {
    return "Id(pkg_id=" + std::to_string(id.pkg_id) + ", file_id=" + std::to_string(id.file_id) +
           ", path_id=" + std::to_string(id.path_id) + ")";
}

py::bytes labelBytes(Label& label) {
    std::string buffer(label.serializedBufferSize(), '\0');
    size_t written = label.serializeToBuffer(reinterpret_cast<unsigned char*>(&buffer[0]), buffer.size());
    if (written == 0) fail(Kind::InvalidArgument, -1, "the label could not be encoded");
    buffer.resize(written);
    return py::bytes(buffer);
}

Label labelFromBytes(const py::bytes& data) {
    std::string raw = data;
    Label label;
    try {
        label.deserializeFromBuffer(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    } catch (const LabelError& e) {
        fail(Kind::InvalidArgument, e.code, e.what());
    }
    return label;
}

Label labelFromText(const std::string& text) {
    Label label = Label::fromString(text);
    if (label == Label()) {
        // Malformed text gives the all-zero label; so does only that label's own text.
        Label zero;
        if (py::str(text).attr("lower")().cast<std::string>() != zero.toString())
            fail(Kind::InvalidArgument, -1, "not a label (oid:tid:sid:inherit_flag:creator_oid): " + text);
    }
    return label;
}

// FileNotFoundError and its kin for a path that cannot be examined, as os.stat
// raises them; the library itself would only say -1.
void requireExisting(const std::string& path, bool follow) {
    struct stat st;
    int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
}

Label readXattr(py::handle pathLike, bool follow) {
    std::string path = pathArg(pathLike);
    requireExisting(path, true);
    Label label;
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = label.getFromXattr(path, !follow);
    }
    if (rc != 0) fail(Kind::LabelStorage, rc, "no readable security.zorv label on " + path);
    return label;
}

void writeXattr(Label& label, py::handle pathLike, bool follow) {
    std::string path = pathArg(pathLike);
    requireExisting(path, true);
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = label.setToXattr(path, !follow);
    }
    if (rc != 0) fail(Kind::LabelStorage, rc, "security.zorv could not be written on " + path);
}

py::object notImplemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

py::object idOrDefault(const py::object& value) { return value.is_none() ? py::cast(Id()) : value; }

}  // namespace

void registerLabelModel(py::module_& m) {
    py::class_<Id>(m, "Id",
                   "Identifier triple of a labelled object: three unsigned 64-bit numbers. Immutable\n"
                   "and hashable; ``str()`` gives the 50-character text form that zorv-label prints,\n"
                   "pkg-file-path in 16 lower-case hex digits each.")
        .def(py::init([](py::handle pkg, py::handle file, py::handle path) {
                 return Id(u64Arg(pkg, "pkg_id"), u64Arg(file, "file_id"), u64Arg(path, "path_id"));
             }),
             py::arg("pkg_id") = 0, py::arg("file_id") = 0, py::arg("path_id") = 0,
             "Id(pkg_id=0, file_id=0, path_id=0); each number must fit in 64 bits (ValueError).")
        .def_readonly("pkg_id", &Id::pkg_id, "Package number.")
        .def_readonly("file_id", &Id::file_id, "File number; 0 when absent.")
        .def_readonly("path_id", &Id::path_id, "Path number; 0 when absent.")
        .def_static("from_string", &idFromText, py::arg("text"),
                    "Parses the 50-character text form (hex digits of either case); ValueError\n"
                    "(InvalidArgument) when it is malformed.")
        .def(
            "to_bytes",
            [](Id& id) {
                std::string buffer(id.serializedSize(), '\0');
                id.toBytes(reinterpret_cast<unsigned char*>(&buffer[0]), buffer.size());
                return py::bytes(buffer);
            },
            "The compact binary form: 8, 16 or 24 bytes, each number little-endian, file_id and\n"
            "path_id left out when 0. It does not say which numbers it holds, so only a label\n"
            "(Label.from_bytes) decodes it.")
        .def("__str__", &Id::toString, "The 50-character text form.")
        .def("__repr__", &idRepr)
        .def("__eq__", [](const Id& a, const Id& b) { return a == b; }, py::is_operator())
        .def("__eq__", [](const Id&, py::handle) { return notImplemented(); }, py::is_operator())
        .def("__hash__",
             [](const Id& id) { return py::hash(py::make_tuple(id.pkg_id, id.file_id, id.path_id)); })
        .def(py::pickle([](const Id& id) { return py::make_tuple(id.pkg_id, id.file_id, id.path_id); },
                        [](const py::tuple& t) {
                            return Id(t[0].cast<uint64_t>(), t[1].cast<uint64_t>(), t[2].cast<uint64_t>());
                        }));

    py::class_<Label>(m, "Label",
                      "The security label of one file: OID, SID and creator OID identifiers, a 32-bit\n"
                      "TID and a 32-bit inherit flag. ``str()`` gives the text form\n"
                      "oid:tid:sid:inherit_flag:creator_oid; ``to_bytes()`` the binary form (25 to 81\n"
                      "bytes) that security.zorv holds.")
        .def(py::init([](py::object oid, py::handle tid, py::object sid, py::handle inherit, py::object creator) {
                 Label label;
                 label.oid_ = idOrDefault(oid).cast<Id>();
                 label.tid_ = u32Arg(tid, "tid");
                 label.sid_ = idOrDefault(sid).cast<Id>();
                 label.inheritFlag_ = u32Arg(inherit, "inherit_flag");
                 label.creatorOid_ = idOrDefault(creator).cast<Id>();
                 return label;
             }),
             py::arg("oid") = py::none(), py::arg("tid") = 0, py::arg("sid") = py::none(),
             py::arg("inherit_flag") = 0, py::arg("creator_oid") = py::none(),
             "Label(oid=None, tid=0, sid=None, inherit_flag=0, creator_oid=None); an identifier\n"
             "left out is the all-zero Id.")
        .def_readwrite("oid", &Label::oid_, "Object identifier.")
        .def_readwrite("sid", &Label::sid_, "Subject identifier.")
        .def_readwrite("creator_oid", &Label::creatorOid_, "Creator's object identifier.")
        .def_property(
            "tid", [](const Label& l) { return l.tid_; },
            [](Label& l, py::handle v) { l.tid_ = u32Arg(v, "tid"); }, "Type identifier (32 bits).")
        .def_property(
            "inherit_flag", [](const Label& l) { return l.inheritFlag_; },
            [](Label& l, py::handle v) { l.inheritFlag_ = u32Arg(v, "inherit_flag"); },
            "Inherit flag (32 bits; the text form takes only 0, 5 and 7).")
        .def("to_bytes", &labelBytes, "The binary form stored in security.zorv.")
        .def_static("from_bytes", &labelFromBytes, py::arg("data"),
                    "Decodes the binary form; ValueError (InvalidArgument, code 13) when it is not one.")
        .def_static("from_string", &labelFromText, py::arg("text"),
                    "Parses the text form; ValueError (InvalidArgument) when it is malformed or the\n"
                    "inherit flag is not 0, 5 or 7.")
        .def_static("from_xattr", &readXattr, py::arg("path"), py::kw_only(), py::arg("follow_symlinks") = true,
                    "Reads the label of a file from its security.zorv attribute (of a symbolic link\n"
                    "itself when follow_symlinks is false). FileNotFoundError and the like when the\n"
                    "file cannot be examined; LabelStorageError (an OSError) when it carries no\n"
                    "readable label.")
        .def("to_xattr", &writeXattr, py::arg("path"), py::kw_only(), py::arg("follow_symlinks") = true,
             "Stores the label in the file's security.zorv attribute (which needs root and a file\n"
             "system that has security.* attributes); LabelStorageError when it cannot.")
        .def("__str__", [](Label& l) { return l.toString(); }, "The text form oid:tid:sid:inherit_flag:creator_oid.")
        .def("__repr__",
             [](const Label& l) {
                 return "Label(oid=" + idRepr(l.oid_) + ", tid=" + std::to_string(l.tid_) + ", sid=" + idRepr(l.sid_) +
                        ", inherit_flag=" + std::to_string(l.inheritFlag_) + ", creator_oid=" + idRepr(l.creatorOid_) +
                        ")";
             })
        .def("__eq__", [](const Label& a, const Label& b) { return a == b; }, py::is_operator())
        .def("__eq__", [](const Label&, py::handle) { return notImplemented(); }, py::is_operator())
        .attr("__hash__") = py::none();  // mutable
}

}  // namespace zorvpy
