// The five attributes' families of six members each, one set of handlers
// for all, registered from the protocol's attribute table:
//   PkgId:       getPkgId, setPkgId, delUserSetPkgId, delAllUserSetPkgId, showUserSetPkgId, queryUserSetPkgId
//   Oid:         getFileOid, setFileOid, delUserSetFileOid, delAllUserSetFileOid, showUserSetFileOid,
//                queryUserSetFileOid
//   Sid:         getFileSid, setFileSid, delUserSetFileSid, delAllUserSetFileSid, showUserSetFileSid,
//                queryUserSetFileSid
//   Tid:         getFileTid, setFileTid, delUserSetFileTid, delAllUserSetFileTid, showUserSetFileTid,
//                queryUserSetFileTid
//   InheritFlag: getFileInheritFlag, setFileInheritFlag, delUserSetFileInheritFlag,
//                delAllUserSetFileInheritFlag, showUserSetFileInheritFlag, queryUserSetFileInheritFlag
#include "attribute_values.h"
#include "call_context.h"
#include "file_access.h"
#include "paths.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;

namespace {

// The attribute as the file's own label holds it, if the caller could read
// that label itself.
std::optional<ZORV_ID> fromFileLabel(const AttributeInfo& a, const std::string& path, const Caller& caller) {
    std::optional<Label> label = readOwnLabel(path, caller);
    if (!label) return std::nullopt;
    return valueInLabel(a, *label);
}

// The option of delete and query: 0 this path, 1 this path and every path
// below it.
bool subtree(int32_t option) {
    if (option != 0 && option != 1) throw CallError(DBUS_ERROR_INVALID_ARGS, "option must be 0 or 1");
    return option == 1;
}

}  // namespace

void LabelService::addAttributeFamilies() {
    for (const AttributeInfo& attribute : protocol::kAttributes) {
        const AttributeInfo* a = &attribute;
        const Attribute stored = storedAttribute(attribute);
        // A record dictionary's entry type, as the member table gives it.
        const std::string entry = a->show.out + 1;

        // get*: the recorded value, else the file's own label's.
        add(a->get, Access::Everyone, [a, stored](Call& c) {
            std::string path = normalPath(c.in.string());
            std::optional<ZORV_ID> v = c.store().userSet(stored, path);
            if (!v) v = fromFileLabel(*a, path, c.caller);
            writeValue(*a, c.out, v ? *v : failureValue(*a));
        });
        // set*: records the value for the path.
        add(a->set, Access::Root, [a, stored](Call& c) {
            std::string path = normalPath(c.in.string());
            ZORV_ID v = readValue(*a, c.in);
            checkValue(*a, v);
            c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
                record.subject = path;
                record.oldValue = valueText(*a, w.userSet(stored, path));
                record.newValue = valueText(*a, v);
                w.setUserSet(stored, path, v);
                c.out.i32(0);
                return c.notice({{notice_key::kPath, path}});
            });
        });
        // delUserSet*: the path's record, or with the option every record of
        // its tree.
        add(a->del, Access::Root, [a, stored](Call& c) {
            std::string path = normalPath(c.in.string());
            bool tree = a->subtreeOption && subtree(c.in.i32());
            c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
                record.subject = path;
                record.oldValue = tree ? "" : valueText(*a, w.userSet(stored, path));
                int n = w.deleteUserSet(stored, &path, tree);
                if (tree) record.oldValue = std::to_string(n) + " records";
                c.out.i32(n > 0 ? 0 : -1);
                if (n == 0) return std::nullopt;
                return c.notice({{notice_key::kPath, path}, {notice_key::kCount, n}});
            });
        });
        // delAllUserSet*: every record of the attribute.
        add(a->delAll, Access::Root, [stored](Call& c) {
            c.commit([&](Store& w, ChangeRecord& record) -> std::optional<Notice> {
                int n = w.deleteUserSet(stored, nullptr, false);
                record.oldValue = std::to_string(n) + " records";
                c.out.i32(0);
                if (n == 0) return std::nullopt;
                return c.notice({{notice_key::kCount, n}});
            });
        });
        // showUserSet* and queryUserSet*: streamed from the store into the
        // reply, which refuses to grow past what the bus carries.
        auto records = [a, stored, entry](Call& c, const std::string* path, bool tree) {
            c.out.array(entry.c_str(), [&](Writer& d) {
                c.store().forEachUserSet(stored, path, tree, [&](const std::string& p, const ZORV_ID& v) {
                    d.entry(p, [&](Writer& w) { writeValue(*a, w, v); });
                });
            });
        };
        add(a->show, Access::Everyone, [records](Call& c) { records(c, nullptr, false); });
        add(a->query, Access::Everyone, [records, a](Call& c) {
            std::string path = normalPath(c.in.string());
            bool tree = a->subtreeOption && subtree(c.in.i32());
            records(c, &path, tree);
        });
    }
}

}  // namespace zorvd
