// A reply whose arguments do not have the member's out-signature becomes an error reply to the call.
#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include "protocol/members.h"
#include "reply_check.h"
#include "wire.h"

namespace {

namespace protocol = zorv::protocol;
using zorvd::MessagePtr;
using zorvd::Writer;

// A call as the bus delivers it: with a serial that a reply can refer to.
MessagePtr callOf(const protocol::Member& member) {
    MessagePtr call(dbus_message_new_method_call(protocol::kServiceName, protocol::kObjectPath,
                                                 protocol::kInterface, member.name));
    dbus_message_set_serial(call.get(), 7);
    return call;
}

MessagePtr replyTo(DBusMessage* call) { return MessagePtr(dbus_message_new_method_return(call)); }

// Replies of other types become an error to the call, naming the member (every service test sends replies of the
// right types, nested ones too, through the same check).
TEST(ReplyCheck, OnlyRepliesOfTheTablesTypesLeave) {
    struct Case {
        const protocol::Member& member;
        void (*write)(Writer&);
    } cases[] = {
        {protocol::getFileTid, [](Writer& w) { w.i32(5); }},          // u expected
        {protocol::getPkgId, [](Writer&) {}},                         // nothing written
        {protocol::setPkgId, [](Writer& w) { w.i32(0); w.i32(0); }},  // one too many
        {protocol::getFileOid, [](Writer& w) { w.array("{su}", [](Writer&) {}); }},  // a{st} expected
    };
    for (const Case& c : cases) {
        MessagePtr call = callOf(c.member);
        MessagePtr reply = replyTo(call.get());
        Writer out(reply.get());
        c.write(out);
        MessagePtr sent = zorvd::checkedReply(std::move(reply), call.get(), c.member);
        ASSERT_TRUE(sent) << c.member.name;
        EXPECT_EQ(dbus_message_get_type(sent.get()), DBUS_MESSAGE_TYPE_ERROR) << c.member.name;
        EXPECT_STREQ(dbus_message_get_error_name(sent.get()), DBUS_ERROR_FAILED) << c.member.name;
        EXPECT_EQ(dbus_message_get_reply_serial(sent.get()), 7u) << c.member.name;
        const char* text = nullptr;
        ASSERT_TRUE(dbus_message_get_args(sent.get(), nullptr, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID));
        EXPECT_NE(std::string(text).find(c.member.name), std::string::npos) << text;
    }
}

}  // namespace
