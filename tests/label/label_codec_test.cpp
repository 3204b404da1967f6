#include "log_capture.h"

#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// The stored-format example: 57 bytes, state byte 0xE5.
Label exampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

// Random numbers, each optional one zero half of the time so that every state
// byte turns up; textSafeFlags keeps inheritFlag_ to what the text form accepts.
std::vector<Label> sampleLabels(size_t count, bool textSafeFlags) {
    std::mt19937_64 random(20240601);
    auto number = [&](bool optional) -> uint64_t { return optional && random() % 2 ? 0 : random() >> random() % 64; };
    auto id = [&] { return Id(number(false), number(true), number(true)); };
    const uint32_t textFlags[] = {0, 5, 7};
    auto flag = [&] { return textSafeFlags ? textFlags[random() % 3] : uint32_t(number(true)); };
    std::vector<Label> labels;
    for (size_t i = 0; i < count; ++i) labels.push_back(Label{id(), id(), id(), uint32_t(number(true)), flag()});
    return labels;
}

const std::string kId = "0000000000000001-0000000000000002-0000000000000003";

std::vector<unsigned char> bytesOf(Label label) {
    std::vector<unsigned char> bytes(label.serializedBufferSize());
    EXPECT_EQ(label.serializeToBuffer(bytes.data(), bytes.size()), bytes.size());
    return bytes;
}
std::string hexOf(Label label) { return bytesToHexString(bytesOf(label).data(), label.serializedBufferSize()); }

// The compact form is little-endian and refuses a short buffer; the text form round-trips in the label tests.
TEST(Id, CompactAndTextForms) {
    std::vector<unsigned char> buf(24, 0xAA);
    EXPECT_EQ(Id(0x0102030405060708ull, 0, 9).toBytes(buf.data()), buf.data() + 16);
    EXPECT_EQ(bytesToHexString(buf.data(), 17), "0807060504030201" "0900000000000000" "aa");

    zorvtest::LogCapture log;
    buf.assign(24, 0xAA);
    EXPECT_EQ(Id(1, 2, 3).toBytes(nullptr, 24), nullptr);
    EXPECT_EQ(Id(1, 2, 3).toBytes(buf.data(), 23), nullptr);
    EXPECT_EQ(buf, std::vector<unsigned char>(24, 0xAA));
    EXPECT_EQ(log.matching("[toBytes:").size(), 2u);

    EXPECT_EQ(Id::fromString("0x000000000000ab-0000000000000001-00000000000000FF"), Id(0xab, 1, 0xff));

    const std::pair<std::string, const char*> bad[] = {
        {kId.substr(1), "Invalid ID string length: 49"},
        {"0000000000000001:0000000000000002-0000000000000003", "Invalid ID format"},
        {"0000000000000001-0000000000000002-000000000000003 ", "Invalid ID format"},
        // A sign would wrap to a huge number; 17 significant digits overflow.
        {"0000000000000001--000000000000002-0000000000000003", "Invalid ID format"},
        {"10000000000000000-000000000000002-0000000000000003", "Invalid ID format"}};
    for (const auto& [text, message] : bad) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Id::fromString(text), Id()) << text;
        EXPECT_TRUE(log.size() == 1 && log.contains(message)) << text;
    }
}

TEST(LabelBinary, StoredLayout) {
    const std::string ids = "0100000000000000" "0200000000000000" "0300000000000000" "0400000000000000";
    EXPECT_EQ(hexOf(exampleLabel()), ids + "0500000000000000" "0600000000000000" "07000000" "05000000" "e5");
    // Between the two, each optional number of an identifier appears once alone: every state bit is pinned.
    EXPECT_EQ(hexOf(Label{Id(1, 0, 2), Id(3, 4, 0), Id(5, 6, 0), 0, 7}),
              ids + "0500000000000000" "0600000000000000" "07000000" "56");
    EXPECT_EQ(hexOf(Label()), std::string(50, '0'));
    EXPECT_EQ(hexOf(Label{Id(1, 1, 1), Id(1, 1, 1), Id(1, 1, 1), 1, 1}).substr(160), "ff");  // 81 bytes

    zorvtest::LogCapture log;
    std::vector<unsigned char> buf(56, 0xAA);
    EXPECT_EQ(exampleLabel().serializeToBuffer(nullptr, 81), 0u);
    EXPECT_EQ(exampleLabel().serializeToBuffer(buf.data(), buf.size()), 0u);
    EXPECT_EQ(buf, std::vector<unsigned char>(56, 0xAA));
    EXPECT_TRUE(log.matching("[serializeToBuffer:").size() == 2 && log.contains("Required: 57, provided: 56"));
}

TEST(LabelBinary, DecodesGeneratedAndPartialForms) {
    for (Label original : sampleLabels(500, false)) {
        std::vector<unsigned char> bytes = bytesOf(original);
        Label decoded;
        ASSERT_EQ(decoded.deserializeFromBuffer(bytes.data(), bytes.size()), original);
        ASSERT_EQ(decoded, original) << bytesToHexString(bytes.data(), bytes.size());
    }

    // Numbers whose bit is clear keep their values.
    Label label = exampleLabel();
    std::vector<unsigned char> bytes(25, 0);
    bytes[0] = 0x11;
    label.deserializeFromBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(label, (Label{Id(0x11, 2, 3), Id(), Id(0, 0, 6), 7, 5}));
}

TEST(LabelBinary, DecoderFailuresCarryCode13AndChangeNothing) {
    std::vector<unsigned char> zeros(82, 0), tidMissing(25, 0), full = bytesOf(exampleLabel());
    tidMissing[24] = 0x20;
    full.back() = 0xFF;  // fails on the last field, after others were read
    const std::tuple<const unsigned char*, size_t, const char*> cases[] = {
        {nullptr, 57, "Buffer pointer is null"}, {zeros.data(), 0, "Buffer size is invalid"},
        {zeros.data(), 24, "Buffer size is invalid"}, {zeros.data(), 82, "Buffer size is invalid"},
        {tidMissing.data(), 25, "Buffer too small for required data"},
        {full.data(), 57, "Buffer too small for required data"}};
    for (const auto& [buf, len, inner] : cases) {
        Label label = exampleLabel();
        try {
            label.deserializeFromBuffer(buf, len);
            ADD_FAILURE() << "no exception for length " << len;
        } catch (const LabelError& e) {
            EXPECT_EQ(e.code, 13);
            EXPECT_EQ(std::string(e.what()), std::string("Label deserialization failed: ") + inner);
        }
        EXPECT_EQ(label, exampleLabel());
    }
    EXPECT_EQ(bytesToHexString(nullptr, 3), "");
}

TEST(LabelText, FormAndRoundTrip) {
    EXPECT_EQ(exampleLabel().toString(),
              kId + ":7:0000000000000004-0000000000000000-0000000000000000:5:"
                    "0000000000000005-0000000000000000-0000000000000006");
    for (Label original : sampleLabels(300, true))
        ASSERT_EQ(Label::fromString(original.toString()), original) << original.toString();
    Label upper = Label::fromString("00000000000000AB-0000000000000000-0000000000000000:4294967295:" + kId +
                                    ":7:0000000000000000-0000000000000000-00000000000000Ff");
    EXPECT_EQ(upper, (Label{Id(0xab, 0, 0), Id(1, 2, 3), Id(0, 0, 0xff), UINT32_MAX, 7}));

    // A malformed identifier becomes zero without failing the label.
    zorvtest::LogCapture log;
    EXPECT_EQ(Label::fromString("junk:12abc:" + kId + ":0:" + kId), (Label{Id(), Id(1, 2, 3), Id(1, 2, 3), 12, 0}));
    EXPECT_FALSE(log.contains("label deserialization failed"));
}

TEST(LabelText, MalformedTextGivesZeroLabelAndLogsWhy) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "Invalid format: missing OID"},
        {kId + ":7", "Invalid format: missing SID"},
        {kId + ":7:" + kId + ":5", "Invalid format: missing creator OID"},
        {kId + ":7:" + kId + ":3:" + kId, "Invalid inherit flag value"},
        // Out of 32 bits, or negative: never cut down to another number.
        {kId + ":4294967296:" + kId + ":5:" + kId, "stoul"},
        {kId + ":-1:" + kId + ":5:" + kId, "stoul"},
        {kId + ":7:" + kId + ":4294967301:" + kId, "stoul"}};
    for (const auto& [text, reason] : cases) {
        zorvtest::LogCapture log;
        EXPECT_EQ(Label::fromString(text), Label()) << text;
        EXPECT_EQ(log.matching(std::string("] label deserialization failed: ") + reason).size(), 1u) << text;
    }
}

}  // namespace
