#include "label_samples.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const std::string kId = "0000000000000001-0000000000000002-0000000000000003";

std::string hexOf(Label label) {
    std::vector<unsigned char> bytes(label.serializedBufferSize());
    EXPECT_EQ(label.serializeToBuffer(bytes.data(), bytes.size()), bytes.size());
    return bytesToHexString(bytes.data(), bytes.size());
}

TEST(Id, CompactFormIsLittleEndianAndRefusesAShortBuffer) {
    unsigned char buf[24];
    memset(buf, 0xAA, sizeof buf);
    Id id(0x0102030405060708ull, 0, 9);
    EXPECT_EQ(id.toBytes(buf), buf + 16);
    EXPECT_EQ(bytesToHexString(buf, 17), "0807060504030201" "0900000000000000" "aa");

    zorvtest::LogCapture log;
    memset(buf, 0xAA, sizeof buf);
    EXPECT_EQ(Id(1, 2, 3).toBytes(nullptr, 24), nullptr);
    EXPECT_TRUE(log.contains("[toBytes:") && log.contains("input buffer is nullptr"));
    EXPECT_EQ(Id(1, 2, 3).toBytes(buf, 23), nullptr);
    EXPECT_TRUE(log.contains("Required: 24, provided: 23"));
    EXPECT_EQ(bytesToHexString(buf, 24), std::string(48, 'a'));
}

// The text form round-trips within the label tests below.
TEST(Id, TextForm) {
    EXPECT_EQ(Id::fromString("0x000000000000ab-0000000000000001-00000000000000FF"), Id(0xab, 1, 0xff));

    const std::pair<std::string, const char*> bad[] = {
        {kId.substr(1), "Invalid ID string length: 49"},
        {"", "Invalid ID string length: 0"},
        {"0000000000000001:0000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
        {"0000000000000001-0000000000000002-000000000000003 ", "Invalid ID format (expect pkg-file-path)"},
        // A sign would wrap to a huge number; 17 significant digits overflow.
        {"0000000000000001--000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
        {"10000000000000000-000000000000002-0000000000000003", "Invalid ID format (expect pkg-file-path)"},
    };
    for (const auto& [text, message] : bad) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Id::fromString(text), Id()) << text;
        ASSERT_EQ(log.size(), 1u) << text;
        EXPECT_EQ(log.lines()[0].priority, 300);
        EXPECT_TRUE(log.contains("[fromString:") && log.contains(message)) << log.lines()[0].message;
    }
}

TEST(LabelBinary, StoredLayout) {
    zorvtest::LogCapture log;
    const std::string ids = "0100000000000000" "0200000000000000" "0300000000000000" "0400000000000000";
    EXPECT_EQ(hexOf(labeltest::exampleLabel()),
              ids + "0500000000000000" "0600000000000000" "07000000" "05000000" "e5");
    EXPECT_TRUE(log.contains("Serialized tid_: 07000000") && log.contains("Serialized state: e5"));
    // With the example, every state bit once alone in its identifier.
    EXPECT_EQ(hexOf(Label{Id(1, 0, 2), Id(3, 4, 0), Id(5, 6, 0), 0, 7}),
              ids + "0500000000000000" "0600000000000000" "07000000" "56");
    EXPECT_EQ(hexOf(Label()), std::string(50, '0'));
    EXPECT_EQ(hexOf(Label{Id(1, 1, 1), Id(1, 1, 1), Id(1, 1, 1), 1, 1}).substr(160), "ff");  // 81 bytes

    Label label = labeltest::exampleLabel();
    EXPECT_EQ(label.serializeToBuffer(nullptr, 81), 0u);
    EXPECT_TRUE(log.contains("[serializeToBuffer:") && log.contains("Buffer pointer is null"));
    std::vector<unsigned char> buf(56, 0xAA);
    EXPECT_EQ(label.serializeToBuffer(buf.data(), buf.size()), 0u);
    EXPECT_TRUE(log.contains("Buffer size is insufficient. Required: 57, provided: 56"));
    EXPECT_EQ(buf, std::vector<unsigned char>(56, 0xAA));
}

TEST(LabelBinary, DecodesGeneratedAndPartialForms) {
    zorvtest::LogCapture log;
    std::vector<Label> labels = labeltest::sampleLabels(500, false);
    labels.push_back(labeltest::exampleLabel());
    for (Label original : labels) {
        std::vector<unsigned char> bytes(original.serializedBufferSize());
        original.serializeToBuffer(bytes.data(), bytes.size());
        Label decoded;
        ASSERT_EQ(decoded.deserializeFromBuffer(bytes.data(), bytes.size()), original);
        ASSERT_EQ(decoded, original) << bytesToHexString(bytes.data(), bytes.size());
    }
    EXPECT_TRUE(log.contains("[deserializeFromBuffer:") && log.contains("Label deserialization: state: e5"));
    EXPECT_TRUE(log.contains("Label deserialization: tid: 00000007"));

    // Numbers whose bit is clear keep their values.
    Label label = labeltest::exampleLabel();
    std::vector<unsigned char> bytes(25, 0);
    bytes[0] = 0x11;
    label.deserializeFromBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(label, (Label{Id(0x11, 2, 3), Id(), Id(0, 0, 6), 7, 5}));
}

TEST(LabelBinary, DecoderFailuresCarryCode13AndChangeNothing) {
    std::vector<unsigned char> zeros(82, 0), tidMissing(25, 0), full(57);
    tidMissing[24] = 0x20;
    labeltest::exampleLabel().serializeToBuffer(full.data(), full.size());
    full.back() = 0xFF;  // fails on the last field, after others were read
    const std::tuple<const unsigned char*, size_t, const char*> cases[] = {
        {nullptr, 57, "Buffer pointer is null"},
        {zeros.data(), 0, "Buffer size is invalid"},
        {zeros.data(), 24, "Buffer size is invalid"},
        {zeros.data(), 82, "Buffer size is invalid"},
        {tidMissing.data(), 25, "Buffer too small for required data"},
        {full.data(), 57, "Buffer too small for required data"},
    };
    for (const auto& [buf, len, inner] : cases) {
        Label label = labeltest::exampleLabel();
        try {
            label.deserializeFromBuffer(buf, len);
            ADD_FAILURE() << "no exception for length " << len;
        } catch (const LabelError& e) {
            EXPECT_EQ(e.code, 13);
            EXPECT_EQ(std::string(e.what()), std::string("Label deserialization failed: ") + inner);
        }
        EXPECT_EQ(label, labeltest::exampleLabel());
    }
    EXPECT_EQ(bytesToHexString(nullptr, 3), "");
}

TEST(LabelText, FormAndRoundTrip) {
    EXPECT_EQ(labeltest::exampleLabel().toString(),
              kId + ":7:0000000000000004-0000000000000000-0000000000000000:5:"
                    "0000000000000005-0000000000000000-0000000000000006");
    for (Label original : labeltest::sampleLabels(300, true))
        ASSERT_EQ(Label::fromString(original.toString()), original) << original.toString();
    Label upper = Label::fromString("00000000000000AB-0000000000000000-0000000000000000:4294967295:" + kId +
                                    ":7:0000000000000000-0000000000000000-00000000000000Ff");
    EXPECT_EQ(upper, (Label{Id(0xab, 0, 0), Id(1, 2, 3), Id(0, 0, 0xff), UINT32_MAX, 7}));

    // A malformed identifier becomes zero without failing the label.
    zorvtest::LogCapture log;
    EXPECT_EQ(Label::fromString("junk:12abc:" + kId + ":0:" + kId), (Label{Id(), Id(1, 2, 3), Id(1, 2, 3), 12, 0}));
    EXPECT_TRUE(log.contains("Invalid ID string length: 4"));
    EXPECT_FALSE(log.contains("label deserialization failed"));
}

TEST(LabelText, MalformedTextGivesZeroLabelAndLogsWhy) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "Invalid format: missing OID"},
        {kId, "Invalid format: missing TID"},
        {kId + ":7", "Invalid format: missing SID"},
        {kId + ":7:" + kId, "Invalid format: missing inherit flag"},
        {kId + ":7:" + kId + ":5", "Invalid format: missing creator OID"},
        {kId + ":7:" + kId + ":3:" + kId, "Invalid inherit flag value"},
        {kId + ":abc:" + kId + ":5:" + kId, "stoul"},
        // Out of 32 bits, or negative: never cut down to another number.
        {kId + ":4294967296:" + kId + ":5:" + kId, "stoul"},
        {kId + ":-1:" + kId + ":5:" + kId, "stoul"},
        {kId + ":7:" + kId + ":4294967301:" + kId, "stoul"},
    };
    for (const auto& [text, reason] : cases) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Label::fromString(text), Label()) << text;
        auto lines = log.matching("label deserialization failed: ");
        ASSERT_EQ(lines.size(), 1u) << text;
        EXPECT_EQ(lines[0].priority, 300);
        const std::string& line = lines[0].message;
        EXPECT_EQ(line.rfind("[fromString:", 0), 0u) << line;
        EXPECT_NE(line.find(std::string("failed: ") + reason), line.npos) << line;
    }
}

}  // namespace
