// The writer of replies counts what it appends as libdbus marshals it, and refuses a reply past what the bus carries.
#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "protocol/limits.h"
#include "wire.h"

using zorvd::CallError;
using zorvd::kMaxReplyBytes;
using zorvd::MessagePtr;
using zorvd::Writer;

namespace {

MessagePtr newReply() {
    MessagePtr call(dbus_message_new_method_call("com.example.Peer", "/", "com.example.Peer", "Get"));
    dbus_message_set_serial(call.get(), 1);
    return MessagePtr(dbus_message_new_method_return(call.get()));
}

// The body length the fixed header of the marshalled message gives, in the byte order the message names.
std::size_t marshalledBodyLength(DBusMessage* message, int* total = nullptr) {
    char* bytes = nullptr;
    int length = 0;
    if (!dbus_message_marshal(message, &bytes, &length) || length < 16) {
        ADD_FAILURE() << "the message could not be marshalled";
        return 0;
    }
    std::unique_ptr<char, decltype(&dbus_free)> owned(bytes, dbus_free);
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    uint32_t body = 0;
    for (int i = 0; i < 4; ++i) body |= static_cast<uint32_t>(b[4 + i]) << (b[0] == 'l' ? 8 * i : 8 * (3 - i));
    if (total) *total = length;
    return body;
}

void idItems(Writer& w, std::size_t items) {
    w.array("(sa{st})", [items](Writer& list) {
        for (std::size_t i = 0; i < items; ++i)
            list.structure([](Writer& s) { s.string("item"), s.id(ZORV_ID{1, 2, 3}); });
    });
}

// Checked after each value (a padding counted wrong hides in the total): values off their alignment, an empty array
// of structures (padded to its first), a name that is not UTF-8 (sent escaped), containers nested and empty.
TEST(ReplyWriter, CountsWhatLibdbusMarshals) {
    const std::string notUtf8 = "bad\xff\xfe name";
    const std::vector<std::pair<const char*, std::function<void(Writer&)>>> values = {
        {"a(u) empty", [](Writer& w) { w.array("(u)", [](Writer&) {}); }},
        {"u", [](Writer& w) { w.u32(9); }},
        {"a(u)",
         [](Writer& w) {
             w.array("(u)", [](Writer& items) {
                 for (uint32_t i : {1u, 2u}) items.structure([i](Writer& s) { s.u32(i); });
             });
         }},
        {"s", [](Writer& w) { w.string("odd"); }},
        {"a{su}",
         [](Writer& w) {
             w.array("{su}", [](Writer& dict) {
                 dict.entry("k", [](Writer& v) { v.u32(3); });
                 dict.entry("key", [](Writer& v) { v.u32(4); });
             });
         }},
        {"t", [](Writer& w) { w.u64(7); }},
        {"s not UTF-8", [&notUtf8](Writer& w) { w.string(notUtf8); }},
        {"i", [](Writer& w) { w.i32(-1); }},
        {"at empty", [](Writer& w) { w.array("t", [](Writer&) {}); }},
        {"id", [](Writer& w) { w.id(ZORV_ID{1, 2, 3}); }},
        {"u", [](Writer& w) { w.u32(1); }},
        {"a(sut)",
         [](Writer& w) {
             w.array("(sut)", [](Writer& items) {
                 for (uint32_t i = 0; i < 3; ++i)
                     items.structure([i](Writer& s) { s.string(std::string(i * 5, 'x')), s.u32(i), s.u64(1ul << 40); });
             });
         }},
        {"a{sas}",
         [](Writer& w) {
             w.array("{sas}", [](Writer& dict) {
                 dict.entry("empty", [](Writer& v) { v.array("s", [](Writer&) {}); });
                 dict.entry("two", [](Writer& v) { v.array("s", [](Writer& n) { n.string("a"), n.string("bc"); }); });
             });
         }},
        {"a(sa{st})", [](Writer& w) { idItems(w, 1); }},
    };
    MessagePtr reply = newReply();
    Writer w(reply.get());
    std::string written;
    for (const auto& [type, append] : values) {
        append(w);
        written += std::string(" ") + type;
        ASSERT_EQ(w.size(), marshalledBodyLength(reply.get())) << "after" << written;
    }
}

// One string fills the reply to the byte and one more is refused; the largest reply, with its header, is one the bus
// delivers. Inside structures, a reply is refused exactly past the limit and leaves no container open (leak-checked).
TEST(ReplyWriter, RefusesAReplyExactlyPastTheBound) {
    const std::string fits(kMaxReplyBytes - 5, 'x');
    MessagePtr reply = newReply();
    Writer(reply.get()).string(fits);
    int total = 0;
    EXPECT_EQ(marshalledBodyLength(reply.get(), &total), kMaxReplyBytes);
    EXPECT_LE(static_cast<std::size_t>(total), zorv::protocol::kMaxMessageBytes);
    MessagePtr over = newReply();
    try {
        Writer(over.get()).string(fits + "x");
        ADD_FAILURE() << "a reply past the bound was written";
    } catch (const CallError& e) {
        EXPECT_STREQ(e.name, DBUS_ERROR_LIMITS_EXCEEDED);
        EXPECT_NE(std::string(e.what()).find("32 MiB"), std::string::npos) << e.what();
    }

    const std::size_t limit = 200;
    for (std::size_t items = 1; items < 12; ++items) {
        MessagePtr unlimited = newReply(), bounded = newReply();
        Writer all(unlimited.get(), SIZE_MAX);
        idItems(all, items);
        const std::size_t needed = marshalledBodyLength(unlimited.get());
        bool refused = false;
        try {
            Writer w(bounded.get(), limit);
            idItems(w, items);
        } catch (const CallError&) {
            refused = true;
        }
        EXPECT_EQ(refused, needed > limit) << items << " items take " << needed << " bytes";
    }
}

}  // namespace
