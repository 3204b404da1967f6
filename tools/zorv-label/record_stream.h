// Root's listings of recorded values at any size: the service writes the
// records into a pipe (the administration interface's Records) while the
// tool reads them as they come, so that no reply limit applies and the tool
// holds one record at a time.
#pragma once

#include <zorv/labelmgr.h>

#include <functional>
#include <string>

namespace zorvtool {

using RecordVisitor = std::function<void(const std::string& path, const ZORV_ID& value)>;

// Hands `each` the records of the attribute `kind` ("pkgid", "oid", "sid",
// "tid" or "inherit"), in byte order of their paths: all of them when `path`
// is empty, else those of `path` and of every path below it. Throws Failure,
// its message led by `context`, also after some records were handed on.
void streamRecords(const char* kind, const std::string& path, const std::string& context, const RecordVisitor& each);

}  // namespace zorvtool
