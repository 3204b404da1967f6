#include "label_samples.h"
#include "log_capture.h"

#include <gtest/gtest.h>

namespace {

TEST(LabelText, FormAndRoundTrip) {
    Label label = labeltest::exampleLabel();
    EXPECT_EQ(label.toString(),
              "0000000000000001-0000000000000002-0000000000000003:7:"
              "0000000000000004-0000000000000000-0000000000000000:5:"
              "0000000000000005-0000000000000000-0000000000000006");
    for (Label original : labeltest::sampleLabels(300, true)) {
        ASSERT_EQ(Label::fromString(original.toString()), original) << original.toString();
    }
    Label upper = Label::fromString(
        "00000000000000AB-0000000000000000-0000000000000000:4294967295:"
        "0000000000000000-0000000000000000-0000000000000000:7:"
        "0000000000000000-0000000000000000-00000000000000Ff");
    EXPECT_EQ(upper, (Label{Id(0xab, 0, 0), Id(), Id(0, 0, 0xff), UINT32_MAX, 7}));
}

TEST(LabelText, MalformedTextGivesZeroLabelAndLogsWhy) {
    const std::string id = "0000000000000001-0000000000000002-0000000000000003";
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"", "Invalid format: missing OID"},
        {id, "Invalid format: missing TID"},
        {id + ":7", "Invalid format: missing SID"},
        {id + ":7:" + id, "Invalid format: missing inherit flag"},
        {id + ":7:" + id + ":5", "Invalid format: missing creator OID"},
        {id + ":7:" + id + ":3:" + id, "Invalid inherit flag value"},
        {id + ":abc:" + id + ":5:" + id, "stoul"},
        {id + ":7:" + id + ":x5:" + id, "stoul"},
        // Out of 32 bits, or negative: never cut down to another number.
        {id + ":4294967296:" + id + ":5:" + id, "stoul"},
        {id + ":-1:" + id + ":5:" + id, "stoul"},
        {id + ":7:" + id + ":4294967301:" + id, "stoul"},
    };
    for (const Case& c : cases) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Label::fromString(c.text), Label()) << c.text;
        auto lines = log.matching("label deserialization failed: ");
        ASSERT_EQ(lines.size(), 1u) << c.text;
        EXPECT_EQ(lines[0].priority, 300);
        EXPECT_NE(lines[0].message.find("[fromString:"), std::string::npos);
        EXPECT_NE(lines[0].message.find(std::string("failed: ") + c.reason), std::string::npos) << lines[0].message;
    }
}

TEST(LabelText, MalformedIdentifierBecomesZero) {
    zorvtest::LogCapture log;
    const std::string id = "0000000000000001-0000000000000002-0000000000000003";
    Label label = Label::fromString("junk:12abc:" + id + ":0:" + id);
    EXPECT_EQ(label, (Label{Id(), Id(1, 2, 3), Id(1, 2, 3), 12, 0}));
    EXPECT_TRUE(log.contains("Invalid ID string length: 4"));
    EXPECT_FALSE(log.contains("label deserialization failed"));
}

}  // namespace
