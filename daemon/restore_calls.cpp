#include <zorv/labelmgr.hpp>

#include "call_context.h"
#include "file_access.h"
#include "paths.h"
#include "recorded_label.h"

namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;

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
                    [&](Store&, ChangeRecord& record) -> std::optional<Notice> {
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

}  // namespace zorvd
