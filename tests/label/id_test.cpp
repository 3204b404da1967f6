#include "label_samples.h"
#include "log_capture.h"

#include <gtest/gtest.h>

namespace {

TEST(Id, CompactFormLeavesOutZeroNumbers) {
    EXPECT_EQ(Id(7, 0, 0).serializedSize(), 8u);
    EXPECT_EQ(Id(7, 1, 0).serializedSize(), 16u);
    EXPECT_EQ(Id(7, 0, 1).serializedSize(), 16u);
    EXPECT_EQ(Id(7, 1, 1).serializedSize(), 24u);

    unsigned char buf[24] = {};
    Id id(1, 0, 2);
    EXPECT_EQ(id.toBytes(buf), buf + 16);
    const unsigned char expected[16] = {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(buf, expected, 16));

    Id big(0x0102030405060708ull, 0, 0);
    big.toBytes(buf, sizeof buf);
    EXPECT_EQ(bytesToHexString(buf, 8), "0807060504030201");
}

TEST(Id, ToBytesRefusesMissingOrShortBuffer) {
    zorvtest::LogCapture log;
    Id id(1, 2, 3);
    EXPECT_EQ(id.toBytes(nullptr, 24), nullptr);
    EXPECT_TRUE(log.contains("[toBytes:"));
    EXPECT_TRUE(log.contains("input buffer is nullptr"));

    unsigned char buf[24];
    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(id.toBytes(buf, 23), nullptr);
    EXPECT_TRUE(log.contains("Required: 24, provided: 23"));
    for (unsigned char byte : buf) ASSERT_EQ(byte, 0xAA);
}

TEST(Id, TextFormRoundTrips) {
    EXPECT_EQ(Id(1, 2, 3).toString(), "0000000000000001-0000000000000002-0000000000000003");
    EXPECT_EQ(Id(UINT64_MAX, 0, 0).toString(), "ffffffffffffffff-0000000000000000-0000000000000000");
    for (const Label& label : labeltest::sampleLabels(200, false)) {
        ASSERT_EQ(Id::fromString(label.oid_.toString()), label.oid_) << label.oid_.toString();
    }
    EXPECT_EQ(Id::fromString("00000000000000AB-00000000000000Cd-FFFFFFFFFFFFFFFF"), Id(0xab, 0xcd, UINT64_MAX));
    EXPECT_EQ(Id::fromString("0x000000000000ab-0000000000000001-0000000000000002"), Id(0xab, 1, 2));
}

TEST(Id, MalformedTextGivesZeroAndLogsWhy) {
    struct Case {
        std::string text;
        const char* message;
    };
    const std::string good = "0000000000000001-0000000000000002-0000000000000003";
    const Case cases[] = {
        {good.substr(1), "Invalid ID string length: 49"},
        {good + "0", "Invalid ID string length: 51"},
        {"", "Invalid ID string length: 0"},
        {"0000000000000001:0000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
        {"000000000000000g-0000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
        {"0000000000000001-0000000000000002-000000000000003 ", "Invalid ID format (expect pkg-file-path)"},
        // A sign would wrap to a huge number.
        {"0000000000000001--000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
        // 17 significant digits overflow.
        {"10000000000000000-000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
    };
    for (const Case& c : cases) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Id::fromString(c.text), Id()) << c.text;
        ASSERT_EQ(log.size(), 1u) << c.text;
        EXPECT_EQ(log.lines()[0].priority, 300);
        EXPECT_NE(log.lines()[0].message.find(std::string("[fromString:")), std::string::npos);
        EXPECT_NE(log.lines()[0].message.find(c.message), std::string::npos) << log.lines()[0].message;
    }
    EXPECT_EQ(Id::fromBytes(reinterpret_cast<const unsigned char*>(good.data())), Id());
}

}  // namespace
