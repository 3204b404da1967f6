// What the service publishes on its notification socket after a committed
// change: the topic (the first frame), and the keys of the JSON object that
// follows it. Which member publishes under which topic is told here once; the
// service takes the topic of each notice from this table and the tool reads
// it back from the member a notice names.
#pragma once

#include <cstring>

#include "protocol/members.h"

namespace zorv {
namespace protocol {

namespace topic {
constexpr const char* kPkgId = "pkgid";
constexpr const char* kOid = "oid";
constexpr const char* kSid = "sid";
constexpr const char* kTid = "tid";
constexpr const char* kInheritFlag = "inheritflag";
constexpr const char* kPackage = "package";
constexpr const char* kLabel = "label";
constexpr const char* kSystem = "system";
}  // namespace topic

inline constexpr const char* kNotifyTopics[] = {topic::kPkgId,       topic::kOid,     topic::kSid,   topic::kTid,
                                               topic::kInheritFlag, topic::kPackage, topic::kLabel, topic::kSystem};

// Keys of a notice's JSON object. Every notice has the member that made the
// change and the caller's uid; the others as the change has them.
namespace notice_key {
constexpr const char* kMember = "member";
constexpr const char* kUid = "uid";
constexpr const char* kPath = "path";
constexpr const char* kCount = "count";
constexpr const char* kTag = "tag";
constexpr const char* kLabel = "label";
constexpr const char* kOwner = "owner";
}  // namespace notice_key

struct NoticeSource {
    const Member* member;
    const char* topic;
};

// Every member that publishes, with its topic.
inline constexpr NoticeSource kNoticeSources[] = {
    {&setPkgId, topic::kPkgId},
    {&delUserSetPkgId, topic::kPkgId},
    {&delAllUserSetPkgId, topic::kPkgId},
    {&setFileOid, topic::kOid},
    {&delUserSetFileOid, topic::kOid},
    {&delAllUserSetFileOid, topic::kOid},
    {&setFileSid, topic::kSid},
    {&delUserSetFileSid, topic::kSid},
    {&delAllUserSetFileSid, topic::kSid},
    {&setFileTid, topic::kTid},
    {&delUserSetFileTid, topic::kTid},
    {&delAllUserSetFileTid, topic::kTid},
    {&setFileInheritFlag, topic::kInheritFlag},
    {&delUserSetFileInheritFlag, topic::kInheritFlag},
    {&delAllUserSetFileInheritFlag, topic::kInheritFlag},
    {&addTagFullSystem, topic::kSystem},
    {&restoreSingleFileLabel, topic::kLabel},
    {&restoreSingleFileInitLabel, topic::kLabel},
    {&setLabelForPkg, topic::kPackage},
    {&setLabelForLunvexInterpreter, topic::kPackage},
    {&setLabelForDrovaInterpreter, topic::kPackage},
    {&setLabelForDrovaBaseFiles, topic::kPackage},
    {&admin::Import, topic::kSystem},
    {&admin::Relabel, topic::kLabel},
};

// The topic of the notices `member` publishes, or null for a member that
// publishes none.
inline const char* topicOf(const char* member) {
    for (const NoticeSource& source : kNoticeSources)
        if (std::strcmp(source.member->name, member) == 0) return source.topic;
    return nullptr;
}

}  // namespace protocol
}  // namespace zorv
