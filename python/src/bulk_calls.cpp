// The bulk labelling calls and policy resolution: whole lists in one call,
// taken from any iterable.
#include "binding.h"

#include <pybind11/stl.h>

#include <map>

namespace zorvpy {

namespace {

// The status of a bulk call: 0 passes; -1 the library refused an argument
// (an empty or undecodable path, a list too large for one bus message, an
// interpreter path that is no directory); -2 and -3 a call that could not be
// completed; any other value is the service's own refusal.
void checkBulk(int status, const char* call) {
    if (status == 0) return;
    if (status == -1) fail(Kind::InvalidArgument, -1, std::string(call) + ": the library refused the arguments");
    if (status == -2 || status == -3) callFailed(status, call);
    fail(Kind::ServiceFailure, status, std::string(call) + ": the service refused, status " + std::to_string(status));
}

// A NULL-terminated array of pointers into `strings`, as the C calls take it.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

void refuseEmpty(const std::vector<std::string>& paths, const char* what) {
    if (paths.empty()) fail(Kind::InvalidArgument, -1, std::string(what) + " is empty");
    for (const auto& p : paths)
        if (p.empty()) fail(Kind::InvalidArgument, -1, std::string(what) + " holds an empty path");
}

using ListCall = int (*)(char**, const char*);
using PathCall = int (*)(const char*);

}  // namespace

void registerBulkCalls(py::module_& m) {
    m.def(
        "set_label_for_pkg",
        [](py::handle files, py::handle pkgname) {
            std::vector<std::string> paths = pathList(files, "files");
            std::string name = textArg(pkgname, "pkgname");
            refuseEmpty(paths, "files");
            std::vector<char*> list = pointers(paths);
            const int count = static_cast<int>(paths.size());
            checkBulk(withoutLock([&] { return setLabelForPkg(list.data(), count, name.c_str()); }), "setLabelForPkg");
        },
        py::arg("files"), py::arg("pkgname"),
        "Has the service label every file of a package in one call (setLabelForPkg, up to\n"
        "100 s). files is any iterable of paths; the list goes whole or not at all.");
    struct Named {
        const char* name;
        ListCall call;
        const char* cName;
        const char* doc;
    };
    static const Named appCalls[] = {
        {"set_label_for_lunvex", &setLabelForLunvex, "setLabelForLunvex",
         "Has the service label every file of a Lunvex application (setLabelForLunvex)."},
        {"set_label_for_drova", &setLabelForDrova, "setLabelForDrova",
         "Has the service label every file of a Drova application (setLabelForDrova)."},
    };
    for (const Named& c : appCalls) {
        m.def(
            c.name,
            [&c](py::handle files, py::handle appName) {
                std::vector<std::string> paths = pathList(files, "files");
                std::string name = textArg(appName, "app_name");
                refuseEmpty(paths, "files");
                std::vector<char*> list = pointers(paths);
                checkBulk(withoutLock([&] { return c.call(list.data(), name.c_str()); }), c.cName);
            },
            py::arg("files"), py::arg("app_name"),
            (std::string(c.doc) + "\nfiles is any iterable of paths; the list goes whole or not at all.").c_str());
    }
    struct Tree {
        const char* name;
        PathCall call;
        const char* cName;
        const char* doc;
    };
    static const Tree treeCalls[] = {
        {"set_label_for_lunvex_interpreter", &setLabelForLunvexInterpreter, "setLabelForLunvexInterpreter",
         "Has the service label a Lunvex interpreter tree (setLabelForLunvexInterpreter)."},
        {"set_label_for_drova_interpreter", &setLabelForDrovaInterpreter, "setLabelForDrovaInterpreter",
         "Has the service label a Drova interpreter tree (setLabelForDrovaInterpreter)."},
    };
    for (const Tree& c : treeCalls) {
        m.def(
            c.name,
            [&c](py::handle path) {
                std::string p = pathArg(path);
                checkBulk(withoutLock([&] { return c.call(p.c_str()); }), c.cName);
            },
            py::arg("path"),
            (std::string(c.doc) + "\npath must be an existing directory, not a symbolic link (else ValueError).")
                .c_str());
    }
    m.def(
        "set_label_for_drova_base_files",
        [](py::handle pairs) {
            py::object items = py::hasattr(pairs, "items") ? pairs.attr("items")() : py::reinterpret_borrow<py::object>(pairs);
            std::vector<std::string> drova, host;
            for (py::handle pair : py::iter(items)) {
                if (PyUnicode_Check(pair.ptr()) || PyBytes_Check(pair.ptr()) || !PySequence_Check(pair.ptr()) ||
                    PySequence_Size(pair.ptr()) != 2)
                    throw py::type_error("pairs must hold (drova_file, host_file) pairs");
                py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(pair));
                drova.push_back(pathArg(t[0], "drova file"));
                host.push_back(pathArg(t[1], "host file"));
            }
            refuseEmpty(drova, "drova files");
            refuseEmpty(host, "host files");
            std::vector<char*> d = pointers(drova), h = pointers(host);
            const int rc = withoutLock([&] { return setLabelForDrovaBaseFiles(d.data(), h.data()); });
            // The library gives -1 for every failure of its own; the arguments
            // were checked here, which leaves a failed call (or a map too large
            // for one bus message).
            if (rc == -1) callFailed(rc, "setLabelForDrovaBaseFiles");
            checkBulk(rc, "setLabelForDrovaBaseFiles");
        },
        py::arg("pairs"),
        "Has the service label Drova base files paired with host files\n"
        "(setLabelForDrovaBaseFiles): a mapping {drova_file: host_file} or any iterable of\n"
        "(drova_file, host_file) pairs; a drova file given twice keeps its last host file.");
    m.def(
        "policies_parse",
        [](py::handle policies) {
            std::map<std::string, std::vector<std::string>> in;
            for (py::handle item : py::iter(policies.attr("items")())) {
                py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(item));
                in[textArg(t[0], "category")] = textList(t[1], "names");
            }
            std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>> ids;
            const int rc = withoutLock([&] { return policies_parse(in, ids); });
            if (rc != 0) callFailed(rc, "policies_parse");
            py::dict out;
            for (const auto& [category, names] : ids) {
                py::dict byName;
                for (const auto& [name, list] : names) {
                    py::list idList;
                    for (const ZORV_ID& id : list) idList.append(toId(id));
                    byName[fsText(name)] = idList;
                }
                out[fsText(category)] = byName;
            }
            return out;
        },
        py::arg("policies"),
        "Resolves a policy description, {category: iterable of names}, into identifiers through\n"
        "the service in one call: {category: {name: [Id, ...]}} (policies_parse). Names under\n"
        "subject_pkg and object_pkg give one Id per package id, under subject_recurfile and\n"
        "object_recurfile one per path id, under any other category exactly one.");
}

}  // namespace zorvpy
