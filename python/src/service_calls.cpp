// The per-file attribute calls, the user-set record queries and the lookups.
// Arguments are converted with the interpreter lock held; the bus call itself
// runs without it, so that other Python threads go on meanwhile.
#include "binding.h"

#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace zorvpy {

namespace {

using Unlocked = py::gil_scoped_release;

// One user-set record, as the record queries return it.
struct Record {
    std::string path;  // bytes as the service gave them
    Id id;
};

std::string recordRepr(const Record& r) {
    return "Record(path=" + py::repr(fsText(r.path)).cast<std::string>() + ", id=" +
           py::repr(py::cast(r.id)).cast<std::string>() + ")";
}

// Turns the C heap array of a record query into a list (and frees it).
std::vector<Record> takeRecords(int count, UserSetRecord* records, const char* call) {
    std::unique_ptr<UserSetRecord, decltype(&std::free)> owned(count > 0 ? records : nullptr, &std::free);
    if (count == -3) throw std::bad_alloc();
    if (count < 0) checkStatus(count, call);
    std::vector<Record> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const UserSetRecord& r = records[i];
        out.push_back({std::string(r.path, strnlen(r.path, sizeof r.path)), toId(r.id)});
    }
    return out;
}

using ShowCall = int (*)(UserSetRecord**);
using QueryCall = int (*)(const char*, UserSetRecord**, int);

void defineRecordCalls(py::module_& m, const char* show, ShowCall showCall, const char* query,
                       QueryCall queryCall, const char* cShow, const char* cQuery, const char* what) {
    m.def(
        show,
        [showCall, cShow]() {
            UserSetRecord* records = nullptr;
            int n;
            {
                Unlocked unlocked;
                n = showCall(&records);
            }
            return takeRecords(n, records, cShow);
        },
        (std::string("Every user-set ") + what + " record, ordered by path (" + cShow + ").").c_str());
    if (query == nullptr) return;
    m.def(
        query,
        [queryCall, cQuery](py::handle path, py::handle option) {
            std::string p = pathArg(path);
            int32_t o = i32Arg(option, "option");
            UserSetRecord* records = nullptr;
            int n;
            {
                Unlocked unlocked;
                n = queryCall(p.c_str(), &records, o);
            }
            return takeRecords(n, records, cQuery);
        },
        py::arg("path"), py::arg("option") = 0,
        (std::string("The user-set ") + what + " records that answer the query for path (" + cQuery + ").")
            .c_str());
}

// The identifier attributes (Oid, Sid) and the 32-bit ones (Tid, inherit
// flag) each come as a family of get, set, delete and clear.
struct IdFamily {
    const char* name;  // "oid", "sid"
    int (*get)(const char*, ZORV_ID*);
    int (*set)(const char*, ZORV_ID, int);
    int (*del)(const char*, int);
    int (*clear)();
    const char* cNames[4];
};

struct U32Family {
    const char* name;  // "tid", "inherit_flag"
    int (*get)(const char*, unsigned int*);
    int (*set)(const char*, unsigned int, int);
    int (*del)(const char*, int);
    int (*clear)();
    const char* cNames[4];
    bool zeroRefused;
};

void defineClear(py::module_& m, const std::string& name, int (*clear)(), const char* cName, const char* what) {
    m.def(
        name.c_str(),
        [clear, cName]() {
            int rc;
            {
                Unlocked unlocked;
                rc = clear();
            }
            checkStatus(rc, cName);
        },
        (std::string("Removes every user-set ") + what + " (" + cName + ").").c_str());
}

void defineDelete(py::module_& m, const std::string& name, int (*del)(const char*, int), const char* cName,
                  const char* what) {
    m.def(
        name.c_str(),
        [del, cName](py::handle path, py::handle option) {
            std::string p = pathArg(path);
            int32_t o = i32Arg(option, "option");
            int rc;
            {
                Unlocked unlocked;
                rc = del(p.c_str(), o);
            }
            checkStatus(rc, cName);
        },
        py::arg("path"), py::arg("option") = 0,
        (std::string("Removes the user-set ") + what + " of path (" + cName + ").").c_str());
}

void defineIdFamily(py::module_& m, const IdFamily& f) {
    std::string n = f.name;
    m.def(
        ("get_file_" + n).c_str(),
        [f](py::handle path) {
            std::string p = pathArg(path);
            ZORV_ID id{};
            int rc;
            {
                Unlocked unlocked;
                rc = f.get(p.c_str(), &id);
            }
            checkStatus(rc, f.cNames[0]);
            return toId(id);
        },
        py::arg("path"), (std::string("The ") + f.name + " of path as an Id (" + f.cNames[0] + ").").c_str());
    m.def(
        ("set_file_" + n).c_str(),
        [f](py::handle path, const Id& id, py::handle option) {
            std::string p = pathArg(path);
            int32_t o = i32Arg(option, "option");
            int rc;
            {
                Unlocked unlocked;
                rc = f.set(p.c_str(), toZorvId(id), o);
            }
            checkStatus(rc, f.cNames[1]);
        },
        py::arg("path"), py::arg(f.name), py::arg("option") = 0,
        (std::string("Sets the user-set ") + f.name + " of path (" + f.cNames[1] + "; changes need root).").c_str());
    defineDelete(m, "del_file_" + n, f.del, f.cNames[2], f.name);
    defineClear(m, "clear_file_" + n, f.clear, f.cNames[3], f.name);
}

void defineU32Family(py::module_& m, const U32Family& f) {
    std::string n = f.name;
    m.def(
        ("get_file_" + n).c_str(),
        [f](py::handle path) {
            std::string p = pathArg(path);
            unsigned int value = 0;
            int rc;
            {
                Unlocked unlocked;
                rc = f.get(p.c_str(), &value);
            }
            checkStatus(rc, f.cNames[0]);
            return value;
        },
        py::arg("path"), (std::string("The ") + f.name + " of path (" + f.cNames[0] + ").").c_str());
    m.def(
        ("set_file_" + n).c_str(),
        [f](py::handle path, py::handle value, py::handle option) {
            std::string p = pathArg(path);
            uint32_t v = u32Arg(value, f.name);
            int32_t o = i32Arg(option, "option");
            if (f.zeroRefused && v == 0) fail(Kind::InvalidArgument, -1, std::string(f.name) + " 0 is refused");
            int rc;
            {
                Unlocked unlocked;
                rc = f.set(p.c_str(), v, o);
            }
            checkStatus(rc, f.cNames[1]);
        },
        py::arg("path"), py::arg(f.name), py::arg("option") = 0,
        (std::string("Sets the user-set ") + f.name + " of path (" + f.cNames[1] + "; changes need root" +
         (f.zeroRefused ? "; 0 is refused" : "") + ").")
            .c_str());
    defineDelete(m, "del_file_" + n, f.del, f.cNames[2], f.name);
    defineClear(m, "clear_file_" + n, f.clear, f.cNames[3], f.name);
}

// A string answer of the service; "" is how the library reports a failure.
std::string nonEmpty(std::string text, const char* call) {
    if (text.empty()) callFailed(-2, call);
    return text;
}

// A C heap string from the library, or a failed call when null.
py::str takeString(char* text, const char* call) {
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    if (text == nullptr) callFailed(-2, call);
    return fsText(text, std::strlen(text));
}

py::dict oidMap(const std::map<std::string, ZORV_ID>& oids) {
    py::dict out;
    for (const auto& [name, id] : oids) out[fsText(name)] = id.pkg_id;
    return out;
}

}  // namespace

void registerServiceCalls(py::module_& m) {
    py::class_<Record>(m, "Record",
                       "One user-set record: the path and what was set for it. A package id, tid or\n"
                       "inherit flag is id.pkg_id (also ``value``); an oid or sid is the whole ``id``.\n"
                       "The path is \"\" when it was too long for the library's record.")
        .def_property_readonly("path", [](const Record& r) { return fsText(r.path); }, "The path.")
        .def_readonly("id", &Record::id, "What was set, as an Id.")
        .def_property_readonly("value", [](const Record& r) { return r.id.pkg_id; },
                               "id.pkg_id: the package id, tid or inherit flag.")
        .def("__repr__", &recordRepr)
        .def(
            "__eq__", [](const Record& a, const Record& b) { return a.path == b.path && a.id == b.id; },
            py::is_operator())
        .def(
            "__eq__", [](const Record&, py::handle) { return py::reinterpret_borrow<py::object>(Py_NotImplemented); },
            py::is_operator())
        .attr("__hash__") = py::none();

    // Package identifier.
    m.def(
        "get_pkg_id",
        [](py::handle path) {
            std::string p = pathArg(path);
            unsigned long id = 0;
            int rc;
            {
                Unlocked unlocked;
                rc = getPkgId(p.c_str(), &id);
            }
            checkStatus(rc, "getPkgId");
            return id;
        },
        py::arg("path"), "The package id of path (getPkgId).");
    m.def(
        "set_pkg_id",
        [](py::handle path, py::handle pkgId) {
            std::string p = pathArg(path);
            uint64_t id = u64Arg(pkgId, "pkg_id");
            int rc;
            {
                Unlocked unlocked;
                rc = setPkgId(p.c_str(), id);
            }
            checkStatus(rc, "setPkgId");
        },
        py::arg("path"), py::arg("pkg_id"), "Sets the user-set package id of path (setPkgId; changes need root).");
    m.def(
        "del_user_set_pkg_id",
        [](py::handle path) {
            std::string p = pathArg(path);
            int rc;
            {
                Unlocked unlocked;
                rc = delUserSetPkgId(p.c_str());
            }
            checkStatus(rc, "delUserSetPkgId");
        },
        py::arg("path"), "Removes the user-set package id of path (delUserSetPkgId).");
    defineClear(m, "clear_user_set_pkg_id", &clearUserSetPkgId, "clearUserSetPkgId", "package id");

    defineIdFamily(m, {"oid", &getFileOid, &setFileOid, &delFileOid, &clearFileOid,
                       {"getFileOid", "setFileOid", "delFileOid", "clearFileOid"}});
    defineIdFamily(m, {"sid", &getFileSid, &setFileSid, &delFileSid, &clearFileSid,
                       {"getFileSid", "setFileSid", "delFileSid", "clearFileSid"}});
    defineU32Family(m, {"tid", &getFileTid, &setFileTid, &delFileTid, &clearFileTid,
                        {"getFileTid", "setFileTid", "delFileTid", "clearFileTid"}, true});
    defineU32Family(m, {"inherit_flag", &getFileInheritFlag, &setFileInheritFlag, &delFileInheritFlag,
                        &clearFileInheritFlag,
                        {"getFileInheritFlag", "setFileInheritFlag", "delFileInheritFlag", "clearFileInheritFlag"},
                        false});

    // User-set records.
    defineRecordCalls(m, "show_user_set_pkg_id", &showUserSetPkgId, nullptr, nullptr, "showUserSetPkgId", nullptr,
                      "package id");
    defineRecordCalls(m, "show_user_set_file_oid", &showUserSetFileOid, "query_user_set_file_oid",
                      &queryUserSetFileOid, "showUserSetFileOid", "queryUserSetFileOid", "oid");
    defineRecordCalls(m, "show_user_set_file_sid", &showUserSetFileSid, "query_user_set_file_sid",
                      &queryUserSetFileSid, "showUserSetFileSid", "queryUserSetFileSid", "sid");
    defineRecordCalls(m, "show_user_set_file_tid", &showUserSetFileTid, "query_user_set_file_tid",
                      &queryUserSetFileTid, "showUserSetFileTid", "queryUserSetFileTid", "tid");
    defineRecordCalls(m, "show_user_set_file_inherit_flag", &showUserSetFileInheritFlag,
                      "query_user_set_file_inherit_flag", &queryUserSetFileInheritFlag, "showUserSetFileInheritFlag",
                      "queryUserSetFileInheritFlag", "inherit flag");
    m.def(
        "query_user_set_pkg_id",
        [](py::handle path) -> py::object {
            std::string p = pathArg(path);
            unsigned long id = 0;
            int rc;
            {
                Unlocked unlocked;
                rc = queryUserSetPkgId(p.c_str(), &id);
            }
            if (rc == 1) return py::none();
            checkStatus(rc, "queryUserSetPkgId");
            return py::int_(id);
        },
        py::arg("path"),
        "The user-set package id of path, or None when the service holds no record\n"
        "(queryUserSetPkgId; 0 when its answer names other paths only).");

    // Lookups and maintenance.
    m.def(
        "get_label_set_status",
        []() {
            int status;
            {
                Unlocked unlocked;
                status = getLabelSetStatus();
            }
            if (status == -1) callFailed(-1, "getLabelSetStatus");
            return status;
        },
        "The labelling status of the system as the service reports it (getLabelSetStatus;\n"
        "a status of -1 cannot be told from a failed call and raises ServiceUnavailable).");
    m.def(
        "path_normalize",
        [](py::handle path) {
            std::string p = pathArg(path);
            char* normal;
            {
                Unlocked unlocked;
                normal = pathNormalize(p.c_str());
            }
            return takeString(normal, "pathNormalize");
        },
        py::arg("path"), "The service's normal form of path (pathNormalize).");
    m.def(
        "get_pkg_name_by_id",
        [](py::handle pkgId) {
            uint64_t id = u64Arg(pkgId, "pkg_id");
            if (id == 0 || id == UINT64_MAX) fail(Kind::InvalidArgument, -1, "pkg_id 0 and 2**64-1 are refused");
            char* name;
            {
                Unlocked unlocked;
                name = getPkgNameById(id);
            }
            return takeString(name, "getPkgNameById");
        },
        py::arg("pkg_id"), "The name of the package with that id (getPkgNameById).");
    m.def(
        "get_pkg_ids",
        [](py::handle names) {
            std::vector<std::string> list = textList(names, "names");
            std::vector<const char*> pointers;
            for (const auto& n : list) pointers.push_back(n.c_str());
            std::vector<unsigned long> ids(list.size() + 1);
            int n;
            {
                Unlocked unlocked;
                n = getPkgIds(pointers.data(), static_cast<unsigned int>(list.size()), ids.data());
            }
            if (n < 0) callFailed(n, "getPkgIds");
            ids.resize(static_cast<size_t>(n));
            return ids;
        },
        py::arg("names"), "The ids of the packages named, in the service's order (getPkgIds).");
    m.def(
        "get_device_oid",
        [](py::handle device) {
            std::string d = textArg(device, "device");
            unsigned long oid = 0;
            int rc;
            {
                Unlocked unlocked;
                rc = getDeviceOid(d.c_str(), &oid);
            }
            checkStatus(rc, "getDeviceOid");
            return oid;
        },
        py::arg("device"), "The oid of a device (getDeviceOid).");
    m.def(
        "get_kernel_module_oid",
        [](py::handle module) {
            std::string name = textArg(module, "module");
            unsigned long oid = 0;
            int rc;
            {
                Unlocked unlocked;
                rc = getKernelModuleOid(name.c_str(), &oid);
            }
            checkStatus(rc, "getKernelModuleOid");
            return oid;
        },
        py::arg("module"), "The oid of a kernel module (getKernelModuleOid).");
    m.def(
        "get_device_oids",
        [](py::handle devices) {
            std::vector<std::string> list = textList(devices, "devices");
            std::map<std::string, ZORV_ID> oids;
            int rc;
            {
                Unlocked unlocked;
                rc = getDeviceOids(std::move(list), oids);
            }
            if (rc != 0) callFailed(rc, "getDeviceOids");
            return oidMap(oids);
        },
        py::arg("devices"),
        "The oids of the devices named, as {name: oid}; names the service does not know are\n"
        "left out (getDeviceOids).");
    m.def(
        "get_kernel_module_oids",
        [](py::handle modules) {
            std::vector<std::string> list = textList(modules, "modules");
            std::map<std::string, ZORV_ID> oids;
            int rc;
            {
                Unlocked unlocked;
                rc = getKernelModuleOids(std::move(list), oids);
            }
            if (rc != 0) callFailed(rc, "getKernelModuleOids");
            return oidMap(oids);
        },
        py::arg("modules"),
        "The oids of the kernel modules named, as {name: oid}; names the service does not\n"
        "know are left out (getKernelModuleOids).");
    m.def(
        "add_tag_full_system",
        [](py::handle tag, py::handle paths) {
            std::string t = textArg(tag, "tag");
            std::vector<std::string> list = pathList(paths, "paths");
            Unlocked unlocked;
            addTagFullSystem(t.c_str(), std::move(list));
        },
        py::arg("tag"), py::arg("paths"),
        "Asks the service to tag the whole system (addTagFullSystem, up to 6 minutes). The\n"
        "library reports no result: failures are only logged.");
    struct StringCall {
        const char* name;
        std::string (*call)(const std::string&);
        const char* cName;
        const char* doc;
    };
    static const StringCall stringCalls[] = {
        {"get_path_sm3_hash_value", [](const std::string& p) { return getPathSm3HashValue(p.c_str()); },
         "getPathSm3HashValue", "The service's SM3 hash text of path (getPathSm3HashValue)."},
        {"restore_single_file_label", &restoreSingleFileLabel, "restoreSingleFileLabel",
         "Asks the service to restore the label of one file; its answer (restoreSingleFileLabel)."},
        {"restore_single_file_init_label", &restoreSingleFileInitLabel, "restoreSingleFileInitLabel",
         "Asks the service to restore the initial label of one file; its answer\n"
         "(restoreSingleFileInitLabel)."},
    };
    for (const StringCall& c : stringCalls) {
        m.def(
            c.name,
            [&c](py::handle path) {
                std::string p = pathArg(path);
                std::string answer;
                {
                    Unlocked unlocked;
                    answer = c.call(p);
                }
                return fsText(nonEmpty(std::move(answer), c.cName));
            },
            py::arg("path"),
            (std::string(c.doc) + "\nAn empty answer is how the library reports a failure: ServiceUnavailable.")
                .c_str());
    }
}

}  // namespace zorvpy
