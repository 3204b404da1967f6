// The per-file attribute calls, the user-set record queries and the lookups.
// Arguments are converted with the interpreter lock held; the bus call itself
// runs without it (withoutLock), so that other Python threads go on meanwhile.
#include "binding.h"

#include <pybind11/stl.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <type_traits>

namespace zorvpy {

namespace {

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

// The records of one attribute: every one (show), and those a query for a
// path answers (query; the package id has none).
struct RecordCalls {
    const char* show;
    int (*showCall)(UserSetRecord**);
    const char* cShow;
    const char* query;
    int (*queryCall)(const char*, UserSetRecord**, int);
    const char* cQuery;
    const char* what;
};

void defineRecordCalls(py::module_& m, const RecordCalls& c) {
    m.def(
        c.show,
        [c]() {
            UserSetRecord* records = nullptr;
            const int n = withoutLock([&] { return c.showCall(&records); });
            return takeRecords(n, records, c.cShow);
        },
        (std::string("Every user-set ") + c.what + " record, ordered by path (" + c.cShow + ").").c_str());
    if (c.query == nullptr) return;
    m.def(
        c.query,
        [c](py::handle path, py::handle option) {
            std::string p = pathArg(path);
            int32_t o = i32Arg(option, "option");
            UserSetRecord* records = nullptr;
            const int n = withoutLock([&] { return c.queryCall(p.c_str(), &records, o); });
            return takeRecords(n, records, c.cQuery);
        },
        py::arg("path"), py::arg("option") = 0,
        (std::string("The user-set ") + c.what + " records that answer the query for path (" + c.cQuery + ").")
            .c_str());
}

void defineClear(py::module_& m, const std::string& name, int (*clear)(), const char* cName, const char* what) {
    m.def(
        name.c_str(), [clear, cName]() { checkStatus(withoutLock(clear), cName); },
        (std::string("Removes every user-set ") + what + " (" + cName + ").").c_str());
}

void defineDelete(py::module_& m, const std::string& name, int (*del)(const char*, int), const char* cName,
                  const char* what) {
    m.def(
        name.c_str(),
        [del, cName](py::handle path, py::handle option) {
            std::string p = pathArg(path);
            int32_t o = i32Arg(option, "option");
            checkStatus(withoutLock([&] { return del(p.c_str(), o); }), cName);
        },
        py::arg("path"), py::arg("option") = 0,
        (std::string("Removes the user-set ") + what + " of path (" + cName + ").").c_str());
}

// How the value of an attribute family crosses between Python and the
// library: an identifier (Oid, Sid) as an Id, which pybind11 converts; a
// 32-bit value (Tid, inherit flag) as an int, checked against its range.
template <typename Value>
struct Crossing;

template <>
struct Crossing<ZORV_ID> {
    using Arg = const Id&;
    static constexpr const char* shown = " as an Id";
    static Id out(const ZORV_ID& id) { return toId(id); }
    static ZORV_ID in(const Id& id, const char*) { return toZorvId(id); }
};

template <>
struct Crossing<unsigned int> {
    using Arg = py::handle;
    static constexpr const char* shown = "";
    static unsigned int out(unsigned int value) { return value; }
    static unsigned int in(py::handle value, const char* name) { return u32Arg(value, name); }
};

// Each of those attributes comes as a family of get, set, delete and clear.
template <typename Value>
struct Family {
    const char* name;  // "oid", "tid", "inherit_flag"
    int (*get)(const char*, Value*);
    int (*set)(const char*, Value, int);
    int (*del)(const char*, int);
    int (*clear)();
    const char* cNames[4];
    bool zeroRefused = false;
};

template <typename Value>
void defineFamily(py::module_& m, const Family<Value>& f) {
    using Cross = Crossing<Value>;
    const std::string n = f.name;
    m.def(
        ("get_file_" + n).c_str(),
        [f](py::handle path) {
            std::string p = pathArg(path);
            Value value{};
            checkStatus(withoutLock([&] { return f.get(p.c_str(), &value); }), f.cNames[0]);
            return Cross::out(value);
        },
        py::arg("path"),
        (std::string("The ") + f.name + " of path" + Cross::shown + " (" + f.cNames[0] + ").").c_str());
    m.def(
        ("set_file_" + n).c_str(),
        [f](py::handle path, typename Cross::Arg value, py::handle option) {
            std::string p = pathArg(path);
            Value v = Cross::in(value, f.name);
            int32_t o = i32Arg(option, "option");
            if constexpr (std::is_arithmetic_v<Value>)
                if (f.zeroRefused && v == 0) fail(Kind::InvalidArgument, -1, std::string(f.name) + " 0 is refused");
            checkStatus(withoutLock([&] { return f.set(p.c_str(), v, o); }), f.cNames[1]);
        },
        py::arg("path"), py::arg(f.name), py::arg("option") = 0,
        (std::string("Sets the user-set ") + f.name + " of path (" + f.cNames[1] + "; changes need root" +
         (f.zeroRefused ? "; 0 is refused" : "") + ").")
            .c_str());
    defineDelete(m, "del_file_" + n, f.del, f.cNames[2], f.name);
    defineClear(m, "clear_file_" + n, f.clear, f.cNames[3], f.name);
}

// The calls that answer one number for one name.
struct Lookup {
    const char* name;
    const char* argName;
    std::string (*arg)(py::handle, const char*);  // pathArg or textArg
    int (*call)(const char*, unsigned long*);
    const char* cName;
    const char* doc;
};

void defineLookup(py::module_& m, const Lookup& l) {
    m.def(
        l.name,
        [l](py::handle key) {
            std::string k = l.arg(key, l.argName);
            unsigned long value = 0;
            checkStatus(withoutLock([&] { return l.call(k.c_str(), &value); }), l.cName);
            return value;
        },
        py::arg(l.argName), l.doc);
}

// The calls that answer the oids of several names.
struct OidsLookup {
    const char* name;
    const char* argName;
    int (*call)(std::vector<std::string>, std::map<std::string, ZORV_ID>&);
    const char* cName;
    const char* doc;
};

void defineOidsLookup(py::module_& m, const OidsLookup& l) {
    m.def(
        l.name,
        [l](py::handle names) {
            std::vector<std::string> list = textList(names, l.argName);
            std::map<std::string, ZORV_ID> oids;
            const int rc = withoutLock([&] { return l.call(std::move(list), oids); });
            if (rc != 0) callFailed(rc, l.cName);
            py::dict out;
            for (const auto& [name, id] : oids) out[fsText(name)] = id.pkg_id;
            return out;
        },
        py::arg(l.argName), l.doc);
}

// The calls that answer one text for one path; "" is how the library
// reports a failure.
struct TextCall {
    const char* name;
    std::string (*call)(const std::string&);
    const char* cName;
    const char* doc;
};

void defineTextCall(py::module_& m, const TextCall& c) {
    m.def(
        c.name,
        [c](py::handle path) {
            std::string p = pathArg(path);
            std::string answer = withoutLock([&] { return c.call(p); });
            if (answer.empty()) callFailed(-2, c.cName);
            return fsText(answer);
        },
        py::arg("path"),
        (std::string(c.doc) + "\nAn empty answer is how the library reports a failure: ServiceUnavailable.").c_str());
}

// A C heap string from the library, or a failed call when null.
py::str takeString(char* text, const char* call) {
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    if (text == nullptr) callFailed(-2, call);
    return fsText(text, std::strlen(text));
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
        "set_pkg_id",
        [](py::handle path, py::handle pkgId) {
            std::string p = pathArg(path);
            uint64_t id = u64Arg(pkgId, "pkg_id");
            checkStatus(withoutLock([&] { return setPkgId(p.c_str(), id); }), "setPkgId");
        },
        py::arg("path"), py::arg("pkg_id"), "Sets the user-set package id of path (setPkgId; changes need root).");
    m.def(
        "del_user_set_pkg_id",
        [](py::handle path) {
            std::string p = pathArg(path);
            checkStatus(withoutLock([&] { return delUserSetPkgId(p.c_str()); }), "delUserSetPkgId");
        },
        py::arg("path"), "Removes the user-set package id of path (delUserSetPkgId).");
    defineClear(m, "clear_user_set_pkg_id", &clearUserSetPkgId, "clearUserSetPkgId", "package id");
    m.def(
        "query_user_set_pkg_id",
        [](py::handle path) -> py::object {
            std::string p = pathArg(path);
            unsigned long id = 0;
            const int rc = withoutLock([&] { return queryUserSetPkgId(p.c_str(), &id); });
            if (rc == 1) return py::none();
            checkStatus(rc, "queryUserSetPkgId");
            return py::int_(id);
        },
        py::arg("path"),
        "The user-set package id of path, or None when the service holds no record\n"
        "(queryUserSetPkgId; 0 when its answer names other paths only).");

    // The attribute families.
    defineFamily<ZORV_ID>(m, {"oid", &getFileOid, &setFileOid, &delFileOid, &clearFileOid,
                              {"getFileOid", "setFileOid", "delFileOid", "clearFileOid"}});
    defineFamily<ZORV_ID>(m, {"sid", &getFileSid, &setFileSid, &delFileSid, &clearFileSid,
                              {"getFileSid", "setFileSid", "delFileSid", "clearFileSid"}});
    defineFamily<unsigned int>(m, {"tid", &getFileTid, &setFileTid, &delFileTid, &clearFileTid,
                                   {"getFileTid", "setFileTid", "delFileTid", "clearFileTid"}, true});
    defineFamily<unsigned int>(
        m, {"inherit_flag", &getFileInheritFlag, &setFileInheritFlag, &delFileInheritFlag, &clearFileInheritFlag,
            {"getFileInheritFlag", "setFileInheritFlag", "delFileInheritFlag", "clearFileInheritFlag"}});

    // User-set records.
    static const RecordCalls recordCalls[] = {
        {"show_user_set_pkg_id", &showUserSetPkgId, "showUserSetPkgId", nullptr, nullptr, nullptr, "package id"},
        {"show_user_set_file_oid", &showUserSetFileOid, "showUserSetFileOid", "query_user_set_file_oid",
         &queryUserSetFileOid, "queryUserSetFileOid", "oid"},
        {"show_user_set_file_sid", &showUserSetFileSid, "showUserSetFileSid", "query_user_set_file_sid",
         &queryUserSetFileSid, "queryUserSetFileSid", "sid"},
        {"show_user_set_file_tid", &showUserSetFileTid, "showUserSetFileTid", "query_user_set_file_tid",
         &queryUserSetFileTid, "queryUserSetFileTid", "tid"},
        {"show_user_set_file_inherit_flag", &showUserSetFileInheritFlag, "showUserSetFileInheritFlag",
         "query_user_set_file_inherit_flag", &queryUserSetFileInheritFlag, "queryUserSetFileInheritFlag",
         "inherit flag"},
    };
    for (const RecordCalls& c : recordCalls) defineRecordCalls(m, c);

    // Lookups and maintenance.
    static const Lookup lookups[] = {
        {"get_pkg_id", "path", &pathArg, &getPkgId, "getPkgId", "The package id of path (getPkgId)."},
        {"get_device_oid", "device", &textArg, &getDeviceOid, "getDeviceOid", "The oid of a device (getDeviceOid)."},
        {"get_kernel_module_oid", "module", &textArg, &getKernelModuleOid, "getKernelModuleOid",
         "The oid of a kernel module (getKernelModuleOid)."},
    };
    for (const Lookup& l : lookups) defineLookup(m, l);
    static const OidsLookup oidsLookups[] = {
        {"get_device_oids", "devices", &getDeviceOids, "getDeviceOids",
         "The oids of the devices named, as {name: oid}; names the service does not know are\n"
         "left out (getDeviceOids)."},
        {"get_kernel_module_oids", "modules", &getKernelModuleOids, "getKernelModuleOids",
         "The oids of the kernel modules named, as {name: oid}; names the service does not\n"
         "know are left out (getKernelModuleOids)."},
    };
    for (const OidsLookup& l : oidsLookups) defineOidsLookup(m, l);
    static const TextCall textCalls[] = {
        {"get_path_sm3_hash_value", [](const std::string& p) { return getPathSm3HashValue(p.c_str()); },
         "getPathSm3HashValue", "The service's SM3 hash text of path (getPathSm3HashValue)."},
        {"restore_single_file_label", &restoreSingleFileLabel, "restoreSingleFileLabel",
         "Asks the service to restore the label of one file; its answer (restoreSingleFileLabel)."},
        {"restore_single_file_init_label", &restoreSingleFileInitLabel, "restoreSingleFileInitLabel",
         "Asks the service to restore the initial label of one file; its answer\n"
         "(restoreSingleFileInitLabel)."},
    };
    for (const TextCall& c : textCalls) defineTextCall(m, c);

    m.def(
        "get_label_set_status",
        []() {
            const int status = withoutLock(&getLabelSetStatus);
            if (status == -1) callFailed(-1, "getLabelSetStatus");
            return status;
        },
        "The labelling status of the system as the service reports it (getLabelSetStatus;\n"
        "a status of -1 cannot be told from a failed call and raises ServiceUnavailable).");
    m.def(
        "path_normalize",
        [](py::handle path) {
            std::string p = pathArg(path);
            return takeString(withoutLock([&] { return pathNormalize(p.c_str()); }), "pathNormalize");
        },
        py::arg("path"), "The service's normal form of path (pathNormalize).");
    m.def(
        "get_pkg_name_by_id",
        [](py::handle pkgId) {
            uint64_t id = u64Arg(pkgId, "pkg_id");
            if (id == 0 || id == UINT64_MAX) fail(Kind::InvalidArgument, -1, "pkg_id 0 and 2**64-1 are refused");
            return takeString(withoutLock([&] { return getPkgNameById(id); }), "getPkgNameById");
        },
        py::arg("pkg_id"), "The name of the package with that id (getPkgNameById).");
    m.def(
        "get_pkg_ids",
        [](py::handle names) {
            std::vector<std::string> list = textList(names, "names");
            std::vector<const char*> pointers;
            for (const auto& n : list) pointers.push_back(n.c_str());
            std::vector<unsigned long> ids(list.size() + 1);
            const int n = withoutLock(
                [&] { return getPkgIds(pointers.data(), static_cast<unsigned int>(list.size()), ids.data()); });
            if (n < 0) callFailed(n, "getPkgIds");
            ids.resize(static_cast<size_t>(n));
            return ids;
        },
        py::arg("names"), "The ids of the packages named, in the service's order (getPkgIds).");
    m.def(
        "add_tag_full_system",
        [](py::handle tag, py::handle paths) {
            std::string t = textArg(tag, "tag");
            std::vector<std::string> list = pathList(paths, "paths");
            withoutLock([&] { addTagFullSystem(t.c_str(), std::move(list)); });
        },
        py::arg("tag"), py::arg("paths"),
        "Asks the service to tag the whole system (addTagFullSystem, up to 6 minutes). The\n"
        "library reports no result: failures are only logged.");
}

}  // namespace zorvpy
