#include "label_service.h"

#include <nlohmann/json.hpp>
#include <zorv/labelmgr.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

#include "backup.h"
#include "descriptor_io.h"
#include "file_access.h"
#include "log/log.h"
#include "paths.h"
#include "protocol/arguments.h"
#include "protocol/interface_xml.h"
#include "protocol/notifications.h"
#include "protocol/relabel_flags.h"
#include "recorded_label.h"
#include "record_listing.h"
#include "relabel.h"
#include "reply_check.h"
#include "store_transfer.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;
using json = nlohmann::json;

namespace {

constexpr uint64_t kAllOnes64 = ~uint64_t(0);
constexpr uint32_t kAllOnes32 = ~uint32_t(0);


// One family of six members per attribute, told once: get, set, delete one,
// delete all, show and query.
struct Family {
    const protocol::Member &get, &set, &del, &delAll, &show, &query;
    Attribute attribute;
    char value;   // 't' uint64, 'u' uint32, 'd' identifier dictionary
    bool option;  // whether delete and query take the int32 option
};

const Family kFamilies[] = {
    {protocol::getPkgId, protocol::setPkgId, protocol::delUserSetPkgId, protocol::delAllUserSetPkgId,
     protocol::showUserSetPkgId, protocol::queryUserSetPkgId, Attribute::PkgId, 't', false},
    {protocol::getFileOid, protocol::setFileOid, protocol::delUserSetFileOid, protocol::delAllUserSetFileOid,
     protocol::showUserSetFileOid, protocol::queryUserSetFileOid, Attribute::Oid, 'd', true},
    {protocol::getFileSid, protocol::setFileSid, protocol::delUserSetFileSid, protocol::delAllUserSetFileSid,
     protocol::showUserSetFileSid, protocol::queryUserSetFileSid, Attribute::Sid, 'd', true},
    {protocol::getFileTid, protocol::setFileTid, protocol::delUserSetFileTid, protocol::delAllUserSetFileTid,
     protocol::showUserSetFileTid, protocol::queryUserSetFileTid, Attribute::Tid, 'u', true},
    {protocol::getFileInheritFlag, protocol::setFileInheritFlag, protocol::delUserSetFileInheritFlag,
     protocol::delAllUserSetFileInheritFlag, protocol::showUserSetFileInheritFlag,
     protocol::queryUserSetFileInheritFlag, Attribute::InheritFlag, 'u', true},
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

// A value as the audit trail shows it: decimal, or an identifier's text form.
std::string valueText(const Family& f, const std::optional<ZORV_ID>& v) {
    if (!v) return "";
    if (f.value != 'd') return std::to_string(v->pkg_id);
    return Id(v->pkg_id, v->file_id, v->path_id).toString();
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
    if (!ok) throw CallError(DBUS_ERROR_INVALID_ARGS, std::string("not a valid value for ") + f.set.name);
}

ZORV_ID asId(const Id& id) { return {id.pkg_id, id.file_id, id.path_id}; }

// The attribute as the file's own label holds it, if the caller could read
// that label itself; a label without a TID has none to give.
std::optional<ZORV_ID> fromFileLabel(const Family& f, const std::string& path, const Caller& caller) {
    std::optional<Label> label = readOwnLabel(path, caller);
    if (!label) return std::nullopt;
    switch (f.attribute) {
        case Attribute::PkgId: return ZORV_ID{label->oid_.pkg_id, 0, 0};
        case Attribute::Oid: return asId(label->oid_);
        case Attribute::Sid: return asId(label->sid_);
        case Attribute::Tid: return label->tid_ ? std::optional<ZORV_ID>(ZORV_ID{label->tid_, 0, 0}) : std::nullopt;
        case Attribute::InheritFlag: return ZORV_ID{label->inheritFlag_, 0, 0};
    }
    return std::nullopt;
}

// The option of delete and query: 0 this path, 1 this path and every path
// below it.
bool subtree(int32_t option) {
    if (option != 0 && option != 1) throw CallError(DBUS_ERROR_INVALID_ARGS, "option must be 0 or 1");
    return option == 1;
}

// The first string argument of a call, for the audit entry of a refusal or
// failure: at most `limit` bytes of it.
std::string firstString(DBusMessage* call, std::size_t limit) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(call, &it)) return "";
    do {
        if (dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
            const char* s = nullptr;
            dbus_message_iter_get_basic(&it, &s);
            return auditSubject(s ? s : "", limit);
        }
    } while (dbus_message_iter_next(&it));
    return "";
}

// A change was abandoned: its deadline passed and the caller was answered.
struct Abandoned {};

// Statuses of the bulk members, which their callers get unchanged: besides 0
// and 1 (nothing changed, for the member's own reason), a refusal.
constexpr int32_t kBulkInvalid = 2, kBulkNotRoot = 3;

bool isBulk(const protocol::Member& m) {
    return &m == &protocol::setLabelForPkg || &m == &protocol::setLabelForLunvexInterpreter ||
           &m == &protocol::setLabelForDrovaInterpreter || &m == &protocol::setLabelForDrovaBaseFiles;
}

// A refusal on the merits of the call (a value or path that is not valid,
// nothing to find, a caller who is not root) is answered with the failure
// value of the member's reply where that reply can carry one, so that the
// library reports the service's failure (-1) rather than a call that could
// not be completed (-2). Everything else stays a D-Bus error.
bool answeredWithValue(const char* error) {
    return std::strcmp(error, DBUS_ERROR_INVALID_ARGS) == 0 || std::strcmp(error, kErrorNotFound) == 0 ||
           std::strcmp(error, DBUS_ERROR_ACCESS_DENIED) == 0;
}

// The reply carrying `member`'s failure value, or null when its reply type
// has none (strings, arrays, dictionaries of records).
MessagePtr failureReply(DBusMessage* call, const protocol::Member& member, const char* error) {
    if (!answeredWithValue(error)) return nullptr;
    // The administration interface keeps its errors: its caller is the tool,
    // which tells them apart for people.
    for (const protocol::Member* admin : protocol::admin::kMembers)
        if (admin == &member) return nullptr;
    const std::string out = member.out;
    const bool identifier = &member == &protocol::getFileOid || &member == &protocol::getFileSid;
    if (out != "i" && out != "u" && out != "t" && !identifier) return nullptr;
    MessagePtr reply(dbus_message_new_method_return(call));
    if (!reply) throw std::bad_alloc();
    Writer w(reply.get());
    if (isBulk(member))
        w.i32(std::strcmp(error, DBUS_ERROR_ACCESS_DENIED) == 0 ? kBulkNotRoot : kBulkInvalid);
    else if (out == "i")
        w.i32(-1);
    else if (out == "u")
        w.u32(kAllOnes32);
    else if (out == "t")
        w.u64(kAllOnes64);
    else
        w.id({kAllOnes64, kAllOnes64, kAllOnes64});
    return reply;
}

// How long a call may take from its arrival to its answer: the member's own
// time limit, less a margin so that the caller hears from the service before
// its own timeout strikes.
Clock::duration allowance(const protocol::Member& member) {
    auto limit = std::chrono::milliseconds(member.timeoutMs);
    return limit - std::min<std::chrono::milliseconds>(limit / 10, std::chrono::milliseconds(500));
}

}  // namespace

// One call as a handler sees it, on a worker thread: its arguments, its
// reply as it is written, the caller, the worker's reading connection, and
// the one way to change the store.
class LabelService::Call {
public:
    Call(LabelService& service, Job& job, const Handler& handler)
        : reply(dbus_message_new_method_return(job.call.get())),
          in(job.call.get()),
          out(checked(reply.get())),
          caller(job.caller),
          service_(service),
          job_(job),
          handler_(handler) {}

    MessagePtr reply;
    Reader in;
    Writer out;
    const Caller& caller;

    Store& store() { return service_.db_.reader(); }
    const char* member() const { return handler_.member->name; }
    // When the call is answered with a timeout if it has not been by then.
    Clock::time_point deadline() const { return job_.deadline; }

    // Runs `change` on the writer in one transaction (it writes the reply and
    // fills in the audit entry's subject and values), then commits it with
    // its audit entry and publishes its notice, in commit order. `applied`:
    // the change took effect outside the store already (a label written to
    // a file), so it is recorded even when its caller was answered meanwhile.
    using Change = std::function<std::optional<Notice>(Store&, AuditRecord&)>;
    void commit(const Change& change, bool applied = false) {
        AuditRecord record;
        record.uid = caller.uid;
        record.pid = caller.pid;
        record.member = member();
        {
            std::lock_guard<std::mutex> lock(service_.db_.writeLock());
            try {
                Store& writer = service_.db_.writer();
                Store::Transaction tx(writer);
                std::optional<Notice> notice = change(writer, record);
                claim();
                if (!claimed_ && !applied) throw Abandoned{};
                record.result = "committed";
                service_.audit_.add(writer, record);
                tx.commit();
                service_.audit_.committed();
                if (notice) service_.notifier_.publish(notice->topic, notice->payload);
            } catch (const NothingChanged& n) {
                record.result = "unchanged: " + n.reason;
                service_.audit_.refused(std::move(record));
                return;
            }
        }
        service_.audit_.announce(record);
        if (!claimed_) throw Abandoned{};
    }

    // Thrown by a change that answers (its reply is written) but changes
    // nothing: the transaction is rolled back and the call recorded as such.
    struct NothingChanged {
        std::string reason;
    };
    // A call that answers without changing anything, recorded as such.
    void unchanged(const std::string& subject, const std::string& reason) {
        AuditRecord record;
        record.uid = caller.uid;
        record.pid = caller.pid;
        record.member = member();
        record.subject = subject;
        record.result = "unchanged: " + reason;
        service_.audit_.refused(std::move(record));
    }

    // Whether this worker answers the call (rather than the watchdog).
    bool claim() {
        if (!claimed_) claimed_ = job_.claim();
        return claimed_;
    }

    // A notice of this call's change, with the caller's uid, under the topic
    // of the call's member.
    Notice notice(json payload) const {
        const char* topic = protocol::topicOf(member());
        if (!topic) throw std::logic_error(std::string(member()) + " publishes under no topic");
        payload[notice_key::kMember] = member();
        payload[notice_key::kUid] = caller.uid;
        return {topic, payload.dump(-1, ' ', false, json::error_handler_t::replace)};
    }

private:
    static DBusMessage* checked(DBusMessage* m) {
        if (!m) throw std::bad_alloc();
        return m;
    }

    LabelService& service_;
    Job& job_;
    const Handler& handler_;
    bool claimed_ = false;
};

LabelService::LabelService(Database& db, Notifier& notifier, Outbox& bus, AuditTrail& audit,
                           const Scheduler::Limits& limits)
    : db_(db), notifier_(notifier), bus_(bus), audit_(audit), callers_(bus) {
    addAttributeFamilies();
    addLookups();
    addRestores();
    addBulkAndPolicies();
    addAdministration();
    for (const protocol::Member* m : protocol::kMembers)
        if (!handlers_.count(m->name)) throw std::logic_error(std::string("no handler for ") + m->name);
    for (const protocol::Member* m : protocol::admin::kMembers)
        if (!adminHandlers_.count(m->name)) throw std::logic_error(std::string("no handler for ") + m->name);
    auto expire = [this](Job& job) {
        if (dbus_message_get_no_reply(job.call.get())) return;
        const char* member = dbus_message_get_member(job.call.get());
        bus_.post(errorReply(job.call.get(), DBUS_ERROR_TIMEOUT,
                             std::string(member ? member : "the call") + " did not finish in the time it is allowed"));
    };
    scheduler_ = std::make_unique<Scheduler>(limits, expire, [this] { audit_.flush(); });
}

LabelService::~LabelService() = default;

void LabelService::add(const protocol::Member& member, Access access, Body body) {
    if (!handlers_.emplace(member.name, Handler{&member, access, std::move(body)}).second)
        throw std::logic_error(std::string("two handlers for ") + member.name);
}

void LabelService::addAdmin(const protocol::Member& member, Body body) {
    if (!adminHandlers_.emplace(member.name, Handler{&member, Access::Root, std::move(body)}).second)
        throw std::logic_error(std::string("two handlers for ") + member.name);
}

void LabelService::addAttributeFamilies() {
    for (const Family& fam : kFamilies) {
        const Family* f = &fam;
        // A record dictionary's entry type, as the member table gives it.
        const std::string entry = f->show.out + 1;

        add(f->get, Access::Everyone, [f](Call& c) {
            std::string path = normalPath(c.in.string());
            std::optional<ZORV_ID> v = c.store().userSet(f->attribute, path);
            if (!v) v = fromFileLabel(*f, path, c.caller);
            writeValue(*f, c.out, v ? *v : failureValue(*f));
        });
        add(f->set, Access::Root, [f](Call& c) {
            std::string path = normalPath(c.in.string());
            ZORV_ID v = readValue(*f, c.in);
            checkValue(*f, v);
            c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
                record.subject = path;
                record.oldValue = valueText(*f, w.userSet(f->attribute, path));
                record.newValue = valueText(*f, v);
                w.setUserSet(f->attribute, path, v);
                c.out.i32(0);
                return c.notice({{notice_key::kPath, path}});
            });
        });
        add(f->del, Access::Root, [f](Call& c) {
            std::string path = normalPath(c.in.string());
            bool tree = f->option && subtree(c.in.i32());
            c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
                record.subject = path;
                record.oldValue = tree ? "" : valueText(*f, w.userSet(f->attribute, path));
                int n = w.deleteUserSet(f->attribute, &path, tree);
                if (tree) record.oldValue = std::to_string(n) + " records";
                c.out.i32(n > 0 ? 0 : -1);
                if (n == 0) return std::nullopt;
                return c.notice({{notice_key::kPath, path}, {notice_key::kCount, n}});
            });
        });
        add(f->delAll, Access::Root, [f](Call& c) {
            c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
                int n = w.deleteUserSet(f->attribute, nullptr, false);
                record.oldValue = std::to_string(n) + " records";
                c.out.i32(0);
                if (n == 0) return std::nullopt;
                return c.notice({{notice_key::kCount, n}});
            });
        });
        // Streamed from the store into the reply, which refuses to grow past
        // what the bus carries.
        auto records = [f, entry](Call& c, const std::string* path, bool tree) {
            c.out.array(entry.c_str(), [&](Writer& d) {
                c.store().forEachUserSet(f->attribute, path, tree, [&](const std::string& p, const ZORV_ID& v) {
                    d.entry(p, [&](Writer& w) { writeValue(*f, w, v); });
                });
            });
        };
        add(f->show, Access::Everyone, [records](Call& c) { records(c, nullptr, false); });
        add(f->query, Access::Everyone, [records, f](Call& c) {
            std::string path = normalPath(c.in.string());
            bool tree = f->option && subtree(c.in.i32());
            records(c, &path, tree);
        });
    }
}

void LabelService::addLookups() {
    for (ObjectKind kind : {ObjectKind::Device, ObjectKind::KernelModule}) {
        const bool device = kind == ObjectKind::Device;
        add(device ? protocol::getDeviceOid : protocol::getKernelModuleOid, Access::Everyone, [kind](Call& c) {
            c.out.u64(c.store().objectId(kind, c.in.string()).value_or(kAllOnes64));
        });
        add(device ? protocol::getDeviceOids : protocol::getKernelModuleOids, Access::Everyone, [kind](Call& c) {
            std::map<std::string, uint64_t> found;
            c.in.eachString([&](const std::string& name) {
                if (auto oid = c.store().objectId(kind, name)) found[name] = *oid;
            });
            c.out.array("{st}", [&](Writer& d) {
                for (const auto& [name, oid] : found) d.entry(name, [oid = oid](Writer& w) { w.u64(oid); });
            });
        });
    }
    // Registers devices ("device") or kernel modules ("kmod"); their
    // identifiers come from the names' hashes and never change afterwards.
    add(protocol::addTagFullSystem, Access::Root, [](Call& c) {
        std::string tag = c.in.string();
        std::vector<std::string> names = c.in.strings();
        if (tag != "device" && tag != "kmod") throw CallError(DBUS_ERROR_INVALID_ARGS, "tag must be device or kmod");
        ObjectKind kind = tag == "device" ? ObjectKind::Device : ObjectKind::KernelModule;
        for (const std::string& name : names) checkedName(name, "a device or module name", kMaxPath);
        c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
            int added = 0;
            for (const std::string& name : names) {
                uint64_t oid = kind == ObjectKind::Device
                                   ? getSM3HashLast64Bits(name)
                                   : getKmodNameHash(name.data(), static_cast<unsigned>(name.size()));
                added += w.addObject(kind, name, oid);
            }
            record.subject = tag;
            record.newValue = std::to_string(added) + " of " + std::to_string(names.size()) + " names registered";
            c.out.i32(added);
            if (added == 0) return std::nullopt;
            return c.notice({{notice_key::kTag, tag}, {notice_key::kCount, added}});
        });
    });
    add(protocol::getPathSm3HashValue, Access::Everyone,
        [](Call& c) { c.out.string(getSM3HashValue(normalPath(c.in.string()))); });
    add(protocol::pathNormalize, Access::Everyone, [](Call& c) { c.out.string(normalPath(c.in.string())); });
    add(protocol::getLabelSetStatus, Access::Everyone,
        [](Call& c) { c.out.i32(c.store().anyPackageFile() ? 1 : 0); });
    add(protocol::getPkgNameById, Access::Everyone, [](Call& c) {
        uint64_t id = c.in.u64();
        std::optional<std::string> name = c.store().packageName(id);
        if (!name) throw CallError(kErrorNotFound, "no package has the identifier " + std::to_string(id));
        c.out.string(*name);
    });
    // Identifiers in the order of the names, all-ones for an unknown one; then
    // how many were unknown. Streamed: no copy of a long list is kept.
    add(protocol::getPkgIds, Access::Everyone, [](Call& c) {
        int32_t unknown = 0;
        c.out.array("t", [&](Writer& a) {
            c.in.eachString([&](const std::string& name) {
                std::optional<uint64_t> id = c.store().packageId(name);
                unknown += !id;
                a.u64(id.value_or(kAllOnes64));
            });
        });
        c.out.i32(unknown);
    });
}

// The label a file's records give it, written to its security.zorv: the
// package's label, then (unless only the initial one is wanted) the user-set
// values over it. The file is reached without following a link in any
// directory of its path, so that a user who swaps one of them cannot steer
// the write elsewhere.
void LabelService::addRestores() {
    for (bool initial : {false, true}) {
        add(initial ? protocol::restoreSingleFileInitLabel : protocol::restoreSingleFileLabel, Access::Root,
            [initial](Call& c) {
                std::string path = normalPath(c.in.string());
                Store& records = c.store();
                std::optional<PackageFile> file = records.packageFile(path);
                UserSetValues values;
                if (!initial && records.anyUserSet(path)) values = userSetValues(records, path);
                std::optional<Label> recorded = recordedLabel(path, file, values);
                if (!recorded) throw CallError(kErrorNotFound, "no record gives a label to " + path);
                Label label = *recorded;
                zorv::detail::FileDescriptor fd = openWithoutLinks(path);
                const std::string target = descriptorPath(fd);
                Label old;
                std::string oldText = old.getFromXattr(target, false) == 0 ? old.toString() : "";
                if (label.setToXattr(target, false) != 0)
                    throw CallError(DBUS_ERROR_FAILED, "cannot write the label of " + path);
                std::string text = label.toString();
                c.commit(
                    [&](Store&, AuditRecord& record) -> std::optional<Notice> {
                        record.subject = path;
                        record.oldValue = oldText;
                        record.newValue = text;
                        c.out.string(text);
                        return c.notice({{notice_key::kPath, path}, {notice_key::kLabel, text}});
                    },
                    true);
            });
    }
}

namespace {

// A policy category whose names stand for whole trees.
bool coversTree(const std::string& category) {
    return category == "subject_recurfile" || category == "object_recurfile";
}

}  // namespace

void LabelService::addBulkAndPolicies() {
    // The package's (or application's) recorded files become exactly `files`.
    auto replaceFiles = [](Call& c, const std::string& owner, const std::vector<std::string>& files, uint32_t type) {
        c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
            uint64_t pkg = w.addPackage(owner);
            record.subject = owner;
            record.oldValue = std::to_string(w.packageFileCount(pkg)) + " files";
            w.replacePackageFiles(pkg, files, type);
            record.newValue = std::to_string(files.size()) + " files of type " + std::to_string(type);
            c.out.i32(0);
            return c.notice({{notice_key::kOwner, owner}, {notice_key::kCount, files.size()}});
        });
        ZLOG_INFO("%s: %zu files of %s", c.member(), files.size(), owner.c_str());
    };
    add(protocol::setLabelForPkg, Access::Root, [replaceFiles](Call& c) {
        std::vector<std::string> files = c.in.strings();
        std::string owner = checkedName(c.in.string(), "the owner name");
        uint32_t type = c.in.u32();
        if (type != protocol::kPackageTypePackage && type != protocol::kPackageTypeDrova &&
            type != protocol::kPackageTypeLunvex)
            throw CallError(DBUS_ERROR_INVALID_ARGS, "pkgType must be 1, 3 or 4");
        for (std::string& f : files) f = normalPath(f);
        replaceFiles(c, owner, files, type);
    });
    // An interpreter's tree, walked without following links, is recorded as
    // the files of a package named after the interpreter. 1: the base is not
    // a directory (or a link to one); nothing changes.
    for (const char* lang : {"Lunvex", "Drova"}) {
        const bool lunvex = std::strcmp(lang, "Lunvex") == 0;
        std::string owner = std::string(lang) + "-interpreter";
        for (char& ch : owner) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        add(lunvex ? protocol::setLabelForLunvexInterpreter : protocol::setLabelForDrovaInterpreter, Access::Root,
            [replaceFiles, owner](Call& c) {
                std::string base = normalPath(c.in.string());
                std::vector<std::string> files;
                struct stat st;
                if (::lstat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || traverseDirectory(base, files) != 0) {
                    c.out.i32(1);
                    c.unchanged(base, "not a directory");
                    return;
                }
                for (std::string& f : files) f = normalPath(f);
                replaceFiles(c, owner, files, protocol::kPackageTypeInterpreter);
            });
    }
    // Each Drova base file takes the package of the host file it stands for.
    // 1: some host file is no recorded package file; nothing changes.
    add(protocol::setLabelForDrovaBaseFiles, Access::Root, [](Call& c) {
        std::vector<std::pair<std::string, std::string>> pairs;
        c.in.entries([&pairs](const std::string& drova, Reader& host) {
            pairs.emplace_back(normalPath(drova), normalPath(host.string()));
        });
        c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
            record.newValue = std::to_string(pairs.size()) + " files";
            for (const auto& [drova, host] : pairs) {
                std::optional<PackageFile> file = w.packageFile(host);
                if (!file) {
                    record.subject = host;
                    c.out.i32(1);
                    throw Call::NothingChanged{"the host file " + host + " belongs to no package"};
                }
                w.recordFile(drova, file->pkgId, protocol::kPackageTypeDrova);
            }
            c.out.i32(0);
            return c.notice({{notice_key::kCount, pairs.size()}});
        });
    });
    // Packages resolve to their identifier, recursively covered paths to
    // their path identifier, and any other name, a path, to the identifier
    // of the recorded file (no fields when it is not recorded).
    add(protocol::policies_parse, Access::Everyone, [](Call& c) {
        // Every name comes back as a dictionary entry of its own (its length,
        // text, NUL and the length of its fields), a covered tree's always
        // with its path identifier (an 8-byte aligned entry: key and number):
        // a request whose answer cannot fit is refused before any lookup.
        const std::size_t pathField = (4 + std::strlen(protocol::kIdKeyPath) + 1 + 7) / 8 * 8 + 8;
        std::size_t atLeast = 0;
        Reader(c.in).entries([&](const std::string& category, Reader& names) {
            const bool tree = coversTree(category);
            names.eachString([&](const std::string& name) {
                atLeast += 4 + name.size() + 1 + 4 + (tree ? pathField : 0);
            });
        });
        Writer::mustFit(atLeast);
        std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>> reply;
        c.in.entries([&](const std::string& category, Reader& names) {
            auto& byName = reply[category];
            bool pkg = category == "subject_pkg" || category == "object_pkg";
            bool tree = coversTree(category);
            names.eachString([&](const std::string& name) {
                auto& fields = byName[name];
                if (pkg) {
                    if (auto id = c.store().packageId(name)) fields[protocol::kIdKeyPkg] = *id;
                    return;
                }
                std::string path = normalPath(name);
                if (tree) {
                    fields[protocol::kIdKeyPath] = pathId(path);
                } else if (auto file = c.store().packageFile(path)) {
                    fields[protocol::kIdKeyPkg] = file->pkgId;
                    fields[protocol::kIdKeyPath] = pathId(path);
                }
            });
        });
        c.out.array("{sa{sa{st}}}", [&](Writer& cats) {
            for (const auto& category : reply)
                cats.entry(category.first, [&](Writer& cw) {
                    cw.array("{sa{st}}", [&](Writer& names) {
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
    });
}

void LabelService::addAdministration() {
    addAdmin(protocol::admin::History, [](Call& c) {
        std::string path = c.in.string();
        if (!path.empty()) path = normalPath(path);
        uint64_t since = c.in.u64(), after = c.in.u64();
        uint32_t limit = c.in.u32();
        c.out.array("(ttuusssss)", [&](Writer& list) {
            c.store().forEachAudit(path, static_cast<int64_t>(std::min<uint64_t>(since, INT64_MAX)), after,
                                   limit ? limit : UINT32_MAX, [&](const AuditRecord& r) {
                                       list.structure([&](Writer& s) {
                                           s.u64(r.id);
                                           s.u64(static_cast<uint64_t>(r.timeUs));
                                           s.u32(r.uid);
                                           s.u32(r.pid);
                                           s.string(r.member);
                                           s.string(r.subject);
                                           s.string(r.oldValue);
                                           s.string(r.newValue);
                                           s.string(r.result);
                                       });
                                   });
        });
    });
    // Both lists page: a limit of 0 is as many as one reply carries.
    addAdmin(protocol::admin::Packages, [](Call& c) {
        uint64_t after = c.in.u64();
        uint32_t limit = c.in.u32();
        c.out.array("(tsuu)", [&](Writer& list) {
            c.store().forEachPackage(after, limit ? limit : UINT32_MAX, [&](const PackageSummary& p) {
                list.structure([&](Writer& s) {
                    s.u64(p.id);
                    s.string(p.name);
                    s.u32(p.type);
                    s.u32(static_cast<uint32_t>(std::min<uint64_t>(p.files, UINT32_MAX)));
                });
            });
        });
    });
    addAdmin(protocol::admin::PackageFiles, [](Call& c) {
        std::string name = c.in.string(), after = c.in.string();
        uint32_t limit = c.in.u32();
        std::optional<uint64_t> id = c.store().packageId(name);
        if (!id) throw CallError(kErrorNotFound, "no package is named " + name);
        c.out.array("s", [&](Writer& list) {
            c.store().forEachPackageFile(*id, after, limit ? limit : UINT32_MAX,
                                         [&](const std::string& path) { list.string(path); });
        });
    });
    addTransfers();
}

// Export, import, backup and relabelling: the caller passes a file it opened
// with its own rights, and the service reads or writes only that.
void LabelService::addTransfers() {
    auto passedFile = [](Call& c) {
        zorv::detail::FileDescriptor fd(c.in.unixFd());
        if (!fd.valid()) throw CallError(DBUS_ERROR_INVALID_ARGS, "no file was passed");
        return fd;
    };
    auto writeCounts = [](Writer& out, const std::map<std::string, uint64_t>& counts) {
        out.array("{st}", [&](Writer& d) {
            for (const auto& [key, n] : counts) d.entry(key, [n = n](Writer& w) { w.u64(n); });
        });
    };
    auto countsText = [](const std::map<std::string, uint64_t>& counts) {
        std::string text;
        for (const auto& [key, n] : counts) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + key;
        return text;
    };
    addAdmin(protocol::admin::Export, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        DescriptorWriter out(fd.get(), c.deadline());
        writeCounts(c.out, exportStore(c.store(), out));
    });
    addAdmin(protocol::admin::Records, [=](Call& c) {
        const std::string kind = c.in.string(), path = c.in.string();
        zorv::detail::FileDescriptor fd = passedFile(c);
        DescriptorWriter out(fd.get(), c.deadline());
        c.out.u64(listRecords(c.store(), kind, path, out, c.deadline()));
    });
    addAdmin(protocol::admin::Import, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        // Read whole before the write lock is taken: a slow writer at the
        // other end holds up no change but this one.
        const std::string document = readAll(fd.get(), c.deadline(), kMaxImportBytes);
        c.commit([&](Store& w, AuditRecord& record) -> std::optional<Notice> {
            TransferCounts counts = importStore(w, document);
            record.newValue = countsText(counts);
            writeCounts(c.out, counts);
            uint64_t total = 0;
            for (const auto& entry : counts) total += entry.first == "files" ? 0 : entry.second;
            return c.notice({{notice_key::kCount, total}});
        });
    });
    addAdmin(protocol::admin::Backup, [=](Call& c) {
        zorv::detail::FileDescriptor fd = passedFile(c);
        Store& source = c.store();
        c.out.u64(backupDatabase(source.handle(), source.path(), fd.get()));
        ZLOG_INFO("database copied for a backup by uid %u", c.caller.uid);
    });
    addAdmin(protocol::admin::Relabel, [=](Call& c) {
        RelabelRequest request;
        for (const std::string& p : c.in.strings()) request.paths.push_back(normalPath(p));
        const uint32_t flags = c.in.u32();
        RelabelCursor cursor;
        cursor.index = c.in.u32();
        cursor.after = c.in.string();
        namespace flag = protocol::relabel;
        if (flags & ~flag::kKnownFlags) throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: unknown flags");
        if (cursor.index > request.paths.size()) throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: index past the paths");
        if (!cursor.after.empty() && normalPath(cursor.after) != cursor.after)
            throw CallError(DBUS_ERROR_INVALID_ARGS, "Relabel: the place to go on from is not a normal path");
        request.recursive = flags & flag::kRecursive;
        request.write = flags & flag::kWrite;
        request.initial = flags & flag::kInitial;
        request.reportWritten = flags & flag::kReportWritten;
        request.oneFileSystem = flags & flag::kOneFileSystem;
        // A call takes at most a thread per processor, whatever it asks for.
        const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
        const unsigned most = processors > 1 ? static_cast<unsigned>(processors) : 1;
        request.threads = std::clamp(flag::threadsOf(flags), 1u, most);
        const std::string subject = cursor.index < request.paths.size() ? request.paths[cursor.index] : "";
        // About a second of work per call, and a reply well within what the
        // bus carries: the caller calls again from where this one stopped.
        std::vector<RelabelReport> reports;
        const auto stopAt = std::min(Clock::now() + std::chrono::seconds(1), c.deadline());
        RelabelCounts counts = relabel(c.store(), request, cursor, stopAt, 4000, reports);
        if (request.write) {
            const std::string what = std::to_string(counts.changed) + " labels written, " +
                                     std::to_string(counts.checked) + " files checked, " +
                                     std::to_string(counts.failed) + " failed";
            if (counts.changed == 0) {
                c.unchanged(subject, what);
            } else {
                c.commit(
                    [&](Store&, AuditRecord& record) -> std::optional<Notice> {
                        record.subject = subject;
                        record.newValue = what;
                        return c.notice({{notice_key::kPath, subject}, {notice_key::kCount, counts.changed}});
                    },
                    true);
            }
        }
        c.out.array("(ssss)", [&](Writer& list) {
            for (const RelabelReport& r : reports)
                list.structure([&](Writer& s) {
                    s.string(r.path);
                    s.string(r.label);
                    s.string(r.found);
                    s.string(r.problem);
                });
        });
        c.out.u32(cursor.index);
        c.out.string(cursor.after);
        writeCounts(c.out, {{"changed", counts.changed},
                            {"checked", counts.checked},
                            {"failed", counts.failed},
                            {"skipped", counts.skipped},
                            {"unrecorded", counts.unrecorded}});
    });
}

void LabelService::handle(DBusMessage* message) {
    try {
        const int type = dbus_message_get_type(message);
        if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
            auto told = callers_.take(message);
            if (!told) return;
            auto waiting = awaiting_.find(told->first);
            if (waiting == awaiting_.end()) return;
            std::vector<MessagePtr> calls = std::move(waiting->second);
            awaiting_.erase(waiting);
            if (!told->second) return;  // the caller has left: nobody to answer
            for (MessagePtr& call : calls) route(std::move(call));
            return;
        }
        if (type != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
        route(MessagePtr(dbus_message_ref(message)));
    } catch (const std::exception& e) {
        const char* member = dbus_message_get_member(message);
        ZLOG_ERROR("%s not answered: %s", member ? member : "?", e.what());
    }
}

void LabelService::route(MessagePtr owned) {
    DBusMessage* call = owned.get();
    const char* iface = dbus_message_get_interface(call);
    const char* member = dbus_message_get_member(call);
    auto fail = [&](const char* name, const std::string& text) {
        if (!dbus_message_get_no_reply(call)) bus_.send(errorReply(call, name, text));
    };
    if (std::strcmp(dbus_message_get_path(call), protocol::kObjectPath) != 0)
        return fail(DBUS_ERROR_UNKNOWN_OBJECT, "no such object");
    if (iface && std::strcmp(iface, DBUS_INTERFACE_INTROSPECTABLE) == 0 && std::strcmp(member, "Introspect") == 0) {
        MessagePtr reply(dbus_message_new_method_return(call));
        if (!reply) throw std::bad_alloc();
        Writer(reply.get()).string(protocol::introspectionXml(true));
        bus_.send(std::move(reply));
        return;
    }
    const bool admin = iface && std::strcmp(iface, protocol::kAdminInterface) == 0;
    if (iface && !admin && std::strcmp(iface, protocol::kInterface) != 0)
        return fail(DBUS_ERROR_UNKNOWN_INTERFACE, std::string("no interface ") + iface);
    const auto& table = admin ? adminHandlers_ : handlers_;
    auto found = table.find(member);
    if (found == table.end()) return fail(DBUS_ERROR_UNKNOWN_METHOD, std::string("no method ") + member);
    const Handler& handler = found->second;
    const char* expected = handler.member->in;
    if (!dbus_message_has_signature(call, expected))
        return fail(DBUS_ERROR_INVALID_ARGS, std::string(member) + " takes (" + expected + "), not (" +
                                                 dbus_message_get_signature(call) + ")");
    const char* sender = dbus_message_get_sender(call);
    if (!sender) return fail(DBUS_ERROR_ACCESS_DENIED, "the caller has no name on the bus");
    if (const Caller* caller = callers_.find(sender)) return dispatch(std::move(owned), handler, *caller);
    // Held until the bus tells who the caller is; a caller who sends more
    // than a few calls before that is not waited for.
    std::vector<MessagePtr>& waiting = awaiting_[sender];
    if (waiting.size() >= 16) return fail(DBUS_ERROR_LIMITS_EXCEEDED, "too many calls at once");
    waiting.push_back(std::move(owned));
    callers_.request(sender);
}

// On the serving thread, for a caller other than root: what it costs is
// bounded per user (the audit trail's rate), not by how often they ask.
void LabelService::refuse(DBusMessage* call, const Handler& handler, const Caller& caller, const char* error,
                          const std::string& text) {
    if (audit_.admit(caller.uid, caller.pid, handler.member->name)) {
        AuditRecord record;
        record.uid = caller.uid;
        record.pid = caller.pid;
        record.member = handler.member->name;
        record.subject = firstString(call, kMaxRefusedSubject);
        record.result = std::string("refused: ") + text;
        audit_.refused(std::move(record));
    }
    if (dbus_message_get_no_reply(call)) return;
    MessagePtr answer = failureReply(call, *handler.member, error);
    if (answer) answer = checkedReply(std::move(answer), call, *handler.member);
    bus_.send(answer ? std::move(answer) : errorReply(call, error, text));
}

void LabelService::dispatch(MessagePtr call, const Handler& handler, const Caller& caller) {
    if (handler.access == Access::Root && !caller.root()) {
        return refuse(call.get(), handler, caller, DBUS_ERROR_ACCESS_DENIED,
                      std::string(handler.member->name) + " changes labels: root only");
    }
    auto job = std::make_shared<Job>();
    job->deadline = Clock::now() + allowance(*handler.member);
    job->caller = caller;
    job->call = std::move(call);
    job->work = [this, &handler](Job& j) { run(j, handler); };
    if (!scheduler_->submit(job)) {
        DBusMessage* m = job->call.get();
        if (!dbus_message_get_no_reply(m))
            bus_.send(errorReply(m, DBUS_ERROR_LIMITS_EXCEEDED, "too many calls of this user at once; try again"));
    }
}

void LabelService::run(Job& job, const Handler& handler) {
    DBusMessage* call = job.call.get();
    const char* error = nullptr;
    std::string text;
    std::unique_ptr<Call> c;
    try {
        c = std::make_unique<Call>(*this, job, handler);
        handler.body(*c);
        if (!c->claim()) return;  // answered already: the deadline passed
        if (!dbus_message_get_no_reply(call)) bus_.post(checkedReply(std::move(c->reply), call, *handler.member));
        return;
    } catch (const Abandoned&) {
        return;
    } catch (const CallError& e) {
        error = e.name;
        text = e.what();
    } catch (const StoreError& e) {
        ZLOG_ERROR("%s failed in the store: %s", handler.member->name, e.what());
        error = DBUS_ERROR_FAILED;
        text = std::string("the label store failed: ") + e.what() + " (" + db_.path() + ")";
    } catch (const std::bad_alloc&) {
        error = DBUS_ERROR_NO_MEMORY;
        text = "out of memory";
    } catch (const std::exception& e) {
        ZLOG_ERROR("%s failed: %s", handler.member->name, e.what());
        error = DBUS_ERROR_FAILED;
        text = e.what();
    }
    const bool mine = c ? c->claim() : job.claim();
    if (!mine) return;
    if (handler.access == Access::Root) {
        AuditRecord record;
        record.uid = job.caller.uid;
        record.pid = job.caller.pid;
        record.member = handler.member->name;
        record.subject = firstString(call, kMaxAuditSubject);
        record.result = "failed: " + text;
        audit_.refused(std::move(record));
    }
    if (dbus_message_get_no_reply(call)) return;
    MessagePtr answer;
    try {
        answer = failureReply(call, *handler.member, error);
        if (answer) answer = checkedReply(std::move(answer), call, *handler.member);
    } catch (const std::bad_alloc&) {
    }
    bus_.post(answer ? std::move(answer) : errorReply(call, error, text));
}

}  // namespace zorvd
