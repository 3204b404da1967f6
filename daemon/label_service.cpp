#include "label_service.h"

#include <nlohmann/json.hpp>
#include <zorv/labelmgr.hpp>

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "client/interface_xml.h"
#include "client/protocol.h"
#include "log/log.h"
#include "paths.h"

namespace zorvd {

namespace protocol = zorv::protocol;
using json = nlohmann::json;

namespace {

constexpr uint64_t kAllOnes64 = ~uint64_t(0);
constexpr uint32_t kAllOnes32 = ~uint32_t(0);

// Package types: what callers label, and the service's own interpreter trees.
constexpr uint32_t kTypePackage = 1, kTypeInterpreter = 2, kTypeDrova = 3, kTypeLunvex = 4;

// One family of six members per attribute, told once: get, set, delete one,
// delete all, show and query.
struct Family {
    const char* suffix;   // "get" + suffix is the getter's member, and so on
    Attribute attribute;
    char value;           // 't' uint64, 'u' uint32, 'd' identifier dictionary
    bool option;          // whether set, delete and query take the int32 option
    const char* topic;
};

constexpr Family kFamilies[] = {
    {"PkgId", Attribute::PkgId, 't', false, "pkgid"},
    {"FileOid", Attribute::Oid, 'd', true, "oid"},
    {"FileSid", Attribute::Sid, 'd', true, "sid"},
    {"FileTid", Attribute::Tid, 'u', true, "tid"},
    {"FileInheritFlag", Attribute::InheritFlag, 'u', true, "inheritflag"},
};

ZORV_ID readValue(const Family& f, Reader& in) {
    if (f.value == 't') return {in.u64(), 0, 0};
    if (f.value == 'u') return {in.u32(), 0, 0};
    return in.id();
}

void writeValue(const Family& f, Writer& out, const ZORV_ID& v) {
    if (f.value == 't')
        out.u64(v.pkg_id);
    else if (f.value == 'u')
        out.u32(static_cast<uint32_t>(v.pkg_id));
    else
        out.id(v);
}

// The reply that tells the caller there is no value.
ZORV_ID failureValue(const Family& f) {
    if (f.value == 't') return {kAllOnes64, 0, 0};
    if (f.value == 'u') return {kAllOnes32, 0, 0};
    return {kAllOnes64, kAllOnes64, kAllOnes64};
}

// A value that could not be told from the failure value, or that a label
// cannot hold, is refused.
void checkValue(const Family& f, const ZORV_ID& v) {
    bool ok = true;
    switch (f.attribute) {
        case Attribute::PkgId: ok = v.pkg_id != kAllOnes64; break;
        case Attribute::Oid:
        case Attribute::Sid: ok = !(v.pkg_id == kAllOnes64 && v.file_id == kAllOnes64 && v.path_id == kAllOnes64); break;
        case Attribute::Tid: ok = v.pkg_id != 0 && v.pkg_id != kAllOnes32; break;
        case Attribute::InheritFlag: ok = v.pkg_id == 0 || v.pkg_id == 5 || v.pkg_id == 7; break;
    }
    if (!ok) throw CallError(DBUS_ERROR_INVALID_ARGS, std::string("not a valid value for ") + f.suffix);
}

ZORV_ID asId(const Id& id) { return {id.pkg_id, id.file_id, id.path_id}; }
Id asLabelId(const ZORV_ID& id) { return Id(id.pkg_id, id.file_id, id.path_id); }

// The attribute as the file's own label holds it; a label without a TID has
// none to give.
std::optional<ZORV_ID> fromFileLabel(const Family& f, const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;  // no log line for every missing path asked for
    Label label;
    if (label.getFromXattr(path, true) != 0) return std::nullopt;
    switch (f.attribute) {
        case Attribute::PkgId: return ZORV_ID{label.oid_.pkg_id, 0, 0};
        case Attribute::Oid: return asId(label.oid_);
        case Attribute::Sid: return asId(label.sid_);
        case Attribute::Tid: return label.tid_ ? std::optional<ZORV_ID>(ZORV_ID{label.tid_, 0, 0}) : std::nullopt;
        case Attribute::InheritFlag: return ZORV_ID{label.inheritFlag_, 0, 0};
    }
    return std::nullopt;
}

// The option of delete and query: 0 this path, 1 this path and every path
// below it.
bool subtree(int32_t option) {
    if (option != 0 && option != 1) throw CallError(DBUS_ERROR_INVALID_ARGS, "option must be 0 or 1");
    return option == 1;
}

Notice notice(const char* topic, json payload) {
    return {topic, payload.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace

LabelService::LabelService(Store& store, Notifier& notifier, Bus& bus)
    : store_(store), notifier_(notifier), bus_(bus) {
    addAttributeFamilies();
    addLookups();
    addBulkAndPolicies();
    for (const protocol::Member* m : protocol::kMembers)
        if (!handlers_.count(m->name)) throw std::logic_error(std::string("no handler for ") + m->name);
}

void LabelService::add(const std::string& member, bool changes, Body body) {
    if (!protocol::findMember(member.c_str())) throw std::logic_error("not a member of the interface: " + member);
    handlers_[member] = Handler{changes, std::move(body)};
}

void LabelService::addAttributeFamilies() {
    for (const Family& fam : kFamilies) {
        const Family* f = &fam;
        const std::string s = f->suffix;
        // A record dictionary's entry type, as the member table gives it.
        const std::string entry = protocol::findMember(("showUserSet" + s).c_str())->out + 1;

        add("get" + s, false, [this, f](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string path = normalPath(in.string());
            std::optional<ZORV_ID> v = store_.userSet(f->attribute, path);
            if (!v) v = fromFileLabel(*f, path);
            writeValue(*f, out, v ? *v : failureValue(*f));
            return std::nullopt;
        });
        add("set" + s, true, [this, f, member = "set" + s](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string path = normalPath(in.string());
            ZORV_ID v = readValue(*f, in);
            checkValue(*f, v);
            Store::Transaction tx(store_);
            store_.setUserSet(f->attribute, path, v);
            out.i32(0);
            tx.commit();
            return notice(f->topic, {{"member", member}, {"path", path}});
        });
        add("delUserSet" + s, true, [this, f, member = "delUserSet" + s](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string path = normalPath(in.string());
            bool tree = f->option && subtree(in.i32());
            Store::Transaction tx(store_);
            int n = store_.deleteUserSet(f->attribute, &path, tree);
            out.i32(n > 0 ? 0 : -1);
            tx.commit();
            if (n == 0) return std::nullopt;
            return notice(f->topic, {{"member", member}, {"path", path}, {"count", n}});
        });
        add("delAllUserSet" + s, true, [this, f, member = "delAllUserSet" + s](Reader&, Writer& out) -> std::optional<Notice> {
            Store::Transaction tx(store_);
            int n = store_.deleteUserSet(f->attribute, nullptr, false);
            out.i32(0);
            tx.commit();
            if (n == 0) return std::nullopt;
            return notice(f->topic, {{"member", member}, {"count", n}});
        });
        auto records = [this, f, entry](Writer& out, const std::string* path, bool tree) {
            Store::Records found = store_.userSetRecords(f->attribute, path, tree);
            out.array(entry.c_str(), [&](Writer& d) {
                for (const auto& record : found)
                    d.entry(record.first, [&](Writer& w) { writeValue(*f, w, record.second); });
            });
        };
        add("showUserSet" + s, false, [records](Reader&, Writer& out) -> std::optional<Notice> {
            records(out, nullptr, false);
            return std::nullopt;
        });
        add("queryUserSet" + s, false, [records, f](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string path = normalPath(in.string());
            bool tree = f->option && subtree(in.i32());
            records(out, &path, tree);
            return std::nullopt;
        });
    }
}

void LabelService::addLookups() {
    for (ObjectKind kind : {ObjectKind::Device, ObjectKind::KernelModule}) {
        const std::string s = kind == ObjectKind::Device ? "Device" : "KernelModule";
        add("get" + s + "Oid", false, [this, kind](Reader& in, Writer& out) -> std::optional<Notice> {
            out.u64(store_.objectId(kind, in.string()).value_or(kAllOnes64));
            return std::nullopt;
        });
        add("get" + s + "Oids", false, [this, kind](Reader& in, Writer& out) -> std::optional<Notice> {
            std::map<std::string, uint64_t> found;
            for (const std::string& name : in.strings())
                if (auto oid = store_.objectId(kind, name)) found[name] = *oid;
            out.array("{st}", [&](Writer& d) {
                for (const auto& [name, oid] : found) d.entry(name, [oid = oid](Writer& w) { w.u64(oid); });
            });
            return std::nullopt;
        });
    }
    // Registers devices ("device") or kernel modules ("kmod"); their
    // identifiers come from the names' hashes and never change afterwards.
    add("addTagFullSystem", true, [this](Reader& in, Writer& out) -> std::optional<Notice> {
        std::string tag = in.string();
        std::vector<std::string> names = in.strings();
        if (tag != "device" && tag != "kmod") throw CallError(DBUS_ERROR_INVALID_ARGS, "tag must be device or kmod");
        ObjectKind kind = tag == "device" ? ObjectKind::Device : ObjectKind::KernelModule;
        for (const std::string& name : names) checkedName(name, "a device or module name", kMaxPath);
        int added = 0;
        Store::Transaction tx(store_);
        for (const std::string& name : names) {
            uint64_t oid = kind == ObjectKind::Device ? getSM3HashLast64Bits(name)
                                                      : getKmodNameHash(name.data(), static_cast<unsigned>(name.size()));
            added += store_.addObject(kind, name, oid);
        }
        out.i32(added);
        tx.commit();
        if (added == 0) return std::nullopt;
        return notice("system", {{"member", "addTagFullSystem"}, {"tag", tag}, {"count", added}});
    });
    add("getPathSm3HashValue", false, [](Reader& in, Writer& out) -> std::optional<Notice> {
        out.string(getSM3HashValue(normalPath(in.string())));
        return std::nullopt;
    });
    add("pathNormalize", false, [](Reader& in, Writer& out) -> std::optional<Notice> {
        out.string(normalPath(in.string()));
        return std::nullopt;
    });
    add("getLabelSetStatus", false, [this](Reader&, Writer& out) -> std::optional<Notice> {
        out.i32(store_.anyPackageFile() ? 1 : 0);
        return std::nullopt;
    });
    add("getPkgNameById", false, [this](Reader& in, Writer& out) -> std::optional<Notice> {
        uint64_t id = in.u64();
        std::optional<std::string> name = store_.packageName(id);
        if (!name) throw CallError(kErrorNotFound, "no package has the identifier " + std::to_string(id));
        out.string(*name);
        return std::nullopt;
    });
    // Identifiers in the order of the names, all-ones for an unknown one; then
    // how many were unknown.
    add("getPkgIds", false, [this](Reader& in, Writer& out) -> std::optional<Notice> {
        std::vector<uint64_t> ids;
        int32_t unknown = 0;
        for (const std::string& name : in.strings()) {
            std::optional<uint64_t> id = store_.packageId(name);
            unknown += !id;
            ids.push_back(id.value_or(kAllOnes64));
        }
        out.array("t", [&](Writer& a) {
            for (uint64_t id : ids) a.u64(id);
        });
        out.i32(unknown);
        return std::nullopt;
    });
    // The label a file's records give it, written to its security.zorv:
    // the package's label, then (unless only the initial one is wanted) the
    // user-set values over it.
    for (bool initial : {false, true}) {
        const std::string member = initial ? "restoreSingleFileInitLabel" : "restoreSingleFileLabel";
        add(member, true, [this, initial, member](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string path = normalPath(in.string());
            std::optional<PackageFile> file = store_.packageFile(path);
            if (!file && (initial || !store_.anyUserSet(path)))
                throw CallError(kErrorNotFound, "no record gives a label to " + path);
            Label label;
            if (file) {
                label.oid_ = Id(file->pkgId, 0, pathId(path));
                label.sid_ = Id(file->pkgId, 0, 0);
                label.tid_ = file->type;
            }
            if (!initial) {
                if (auto v = store_.userSet(Attribute::Oid, path)) label.oid_ = asLabelId(*v);
                if (auto v = store_.userSet(Attribute::PkgId, path)) label.oid_.pkg_id = v->pkg_id;
                if (auto v = store_.userSet(Attribute::Sid, path)) label.sid_ = asLabelId(*v);
                if (auto v = store_.userSet(Attribute::Tid, path)) label.tid_ = static_cast<uint32_t>(v->pkg_id);
                if (auto v = store_.userSet(Attribute::InheritFlag, path))
                    label.inheritFlag_ = static_cast<uint32_t>(v->pkg_id);
            }
            if (label.setToXattr(path, true) != 0)
                throw CallError(DBUS_ERROR_FAILED, "cannot write the label of " + path);
            std::string text = label.toString();
            out.string(text);
            return notice("label", {{"member", member}, {"path", path}, {"label", text}});
        });
    }
}

void LabelService::addBulkAndPolicies() {
    // The package's (or application's) recorded files become exactly `files`.
    auto replaceFiles = [this](Writer& out, const std::string& member, const std::string& owner,
                               const std::vector<std::string>& files, uint32_t type) {
        Store::Transaction tx(store_);
        store_.replacePackageFiles(store_.addPackage(owner), files, type);
        out.i32(0);
        tx.commit();
        ZLOG_INFO("%s: %zu files of %s", member.c_str(), files.size(), owner.c_str());
        return notice("package", {{"member", member}, {"owner", owner}, {"count", files.size()}});
    };
    add("setLabelForPkg", true, [replaceFiles](Reader& in, Writer& out) -> std::optional<Notice> {
        std::vector<std::string> files = in.strings();
        std::string owner = checkedName(in.string(), "the owner name");
        uint32_t type = in.u32();
        if (type != kTypePackage && type != kTypeDrova && type != kTypeLunvex)
            throw CallError(DBUS_ERROR_INVALID_ARGS, "pkgType must be 1, 3 or 4");
        for (std::string& f : files) f = normalPath(f);
        return replaceFiles(out, "setLabelForPkg", owner, files, type);
    });
    // An interpreter's tree, walked without following links, is recorded as
    // the files of a package named after the interpreter. 1: the base is not
    // a directory (or a link to one); nothing changes.
    for (const char* lang : {"Lunvex", "Drova"}) {
        const std::string member = std::string("setLabelFor") + lang + "Interpreter";
        std::string owner = std::string(lang) + "-interpreter";
        for (char& c : owner) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        add(member, true, [replaceFiles, member, owner](Reader& in, Writer& out) -> std::optional<Notice> {
            std::string base = normalPath(in.string());
            std::vector<std::string> files;
            struct stat st;
            if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || traverseDirectory(base, files) != 0) {
                out.i32(1);
                return std::nullopt;
            }
            for (std::string& f : files) f = normalPath(f);
            return replaceFiles(out, member, owner, files, kTypeInterpreter);
        });
    }
    // Each Drova base file takes the package of the host file it stands for.
    // 1: some host file is no recorded package file; nothing changes.
    add("setLabelForDrovaBaseFiles", true, [this](Reader& in, Writer& out) -> std::optional<Notice> {
        std::vector<std::pair<std::string, std::string>> pairs;
        in.entries([&pairs](const std::string& drova, Reader& host) {
            pairs.emplace_back(normalPath(drova), normalPath(host.string()));
        });
        Store::Transaction tx(store_);
        for (const auto& [drova, host] : pairs) {
            std::optional<PackageFile> file = store_.packageFile(host);
            if (!file) {
                out.i32(1);
                return std::nullopt;
            }
            store_.recordFile(drova, file->pkgId, kTypeDrova);
        }
        out.i32(0);
        tx.commit();
        return notice("package", {{"member", "setLabelForDrovaBaseFiles"}, {"count", pairs.size()}});
    });
    // Packages resolve to their identifier, recursively covered paths to
    // their path identifier, and any other name, a path, to the identifier
    // of the recorded file (no fields when it is not recorded).
    add("policies_parse", false, [this](Reader& in, Writer& out) -> std::optional<Notice> {
        std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>> reply;
        in.entries([&](const std::string& category, Reader& names) {
            auto& byName = reply[category];
            bool pkg = category == "subject_pkg" || category == "object_pkg";
            bool tree = category == "subject_recurfile" || category == "object_recurfile";
            for (const std::string& name : names.strings()) {
                auto& fields = byName[name];
                if (pkg) {
                    if (auto id = store_.packageId(name)) fields["pkg_id"] = *id;
                    continue;
                }
                std::string path = normalPath(name);
                if (tree) {
                    fields["path_id"] = pathId(path);
                } else if (auto file = store_.packageFile(path)) {
                    fields["pkg_id"] = file->pkgId;
                    fields["path_id"] = pathId(path);
                }
            }
        });
        out.array("{sa{sa{st}}}", [&](Writer& cats) {
            for (const auto& category : reply)
                cats.entry(category.first, [&](Writer& c) {
                    c.array("{sa{st}}", [&](Writer& names) {
                        for (const auto& name : category.second)
                            names.entry(name.first, [&](Writer& n) {
                                n.array("{st}", [&](Writer& fs) {
                                    for (const auto& [key, value] : name.second)
                                        fs.entry(key, [value = value](Writer& w) { w.u64(value); });
                                });
                            });
                    });
                });
        });
        return std::nullopt;
    });
}

void LabelService::handle(DBusMessage* call) {
    if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
    const char* iface = dbus_message_get_interface(call);
    const char* member = dbus_message_get_member(call);
    auto fail = [&](const char* name, const std::string& text) {
        if (!dbus_message_get_no_reply(call)) bus_.send(MessagePtr(dbus_message_new_error(call, name, text.c_str())));
    };
    try {
        if (std::strcmp(dbus_message_get_path(call), protocol::kObjectPath) != 0)
            return fail(DBUS_ERROR_UNKNOWN_OBJECT, "no such object");
        if (iface && std::strcmp(iface, DBUS_INTERFACE_INTROSPECTABLE) == 0 && std::strcmp(member, "Introspect") == 0) {
            MessagePtr reply(dbus_message_new_method_return(call));
            Writer(reply.get()).string(protocol::introspectionXml());
            return bus_.send(std::move(reply));
        }
        if (iface && std::strcmp(iface, protocol::kInterface) != 0)
            return fail(DBUS_ERROR_UNKNOWN_INTERFACE, std::string("no interface ") + iface);
        auto found = handlers_.find(member);
        if (found == handlers_.end()) return fail(DBUS_ERROR_UNKNOWN_METHOD, std::string("no method ") + member);
        answer(call, member, found->second);
    } catch (const std::exception& e) {
        ZLOG_ERROR("%s not answered: %s", member ? member : "?", e.what());
    }
}

void LabelService::answer(DBusMessage* call, const char* member, const Handler& handler) {
    const char* expected = protocol::findMember(member)->in;
    const char* error = nullptr;
    std::string text;
    try {
        if (!dbus_message_has_signature(call, expected))
            throw CallError(DBUS_ERROR_INVALID_ARGS, std::string(member) + " takes (" + expected + "), not (" +
                                                         dbus_message_get_signature(call) + ")");
        if (handler.changes) {
            uint32_t uid = bus_.callerUid(call);
            if (uid != 0) {
                ZLOG_WARN("%s refused to uid %u", member, uid);
                throw CallError(DBUS_ERROR_ACCESS_DENIED, std::string(member) + " changes labels: root only");
            }
        }
        MessagePtr reply(dbus_message_new_method_return(call));
        if (!reply) throw std::bad_alloc();
        Reader in(call);
        Writer out(reply.get());
        std::optional<Notice> change = handler.body(in, out);
        if (!dbus_message_get_no_reply(call)) bus_.send(std::move(reply));
        if (change) notifier_.publish(change->topic, change->payload);
        return;
    } catch (const CallError& e) {
        error = e.name;
        text = e.what();
    } catch (const StoreError& e) {
        ZLOG_ERROR("%s failed in the store: %s", member, e.what());
        error = DBUS_ERROR_FAILED;
        text = std::string("the label store failed: ") + e.what();
    } catch (const std::bad_alloc&) {
        error = DBUS_ERROR_NO_MEMORY;
        text = "out of memory";
    } catch (const std::exception& e) {
        ZLOG_ERROR("%s failed: %s", member, e.what());
        error = DBUS_ERROR_FAILED;
        text = e.what();
    }
    if (!dbus_message_get_no_reply(call)) bus_.send(MessagePtr(dbus_message_new_error(call, error, text.c_str())));
}

}  // namespace zorvd
