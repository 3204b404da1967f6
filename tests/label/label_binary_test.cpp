#include "label_samples.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<unsigned char> serialize(Label label) {
    std::vector<unsigned char> bytes(label.serializedBufferSize());
    EXPECT_EQ(label.serializeToBuffer(bytes.data(), bytes.size()), bytes.size());
    return bytes;
}

// Expects decoding to fail with code 13 and the given inner text, leaving
// the label as it was.
void expectDecodeFailure(const unsigned char* buf, size_t len, const std::string& inner) {
    Label label = labeltest::exampleLabel();
    try {
        label.deserializeFromBuffer(buf, len);
        ADD_FAILURE() << "no exception for length " << len;
    } catch (const LabelError& e) {
        EXPECT_EQ(e.code, 13);
        EXPECT_EQ(std::string(e.what()), "Label deserialization failed: " + inner);
    }
    EXPECT_EQ(label, labeltest::exampleLabel());
}

TEST(LabelBinary, StoredLayoutIsByteExact) {
    std::vector<unsigned char> expected;
    for (uint64_t n : {1, 2, 3, 4, 5, 6}) {
        for (int i = 0; i < 8; ++i) expected.push_back(i == 0 ? static_cast<unsigned char>(n) : 0);
    }
    for (unsigned char n : {7, 5}) expected.insert(expected.end(), {n, 0, 0, 0});
    expected.push_back(0xE5);

    zorvtest::LogCapture log;
    Label label = labeltest::exampleLabel();
    EXPECT_EQ(label.serializedBufferSize(), 57u);
    EXPECT_EQ(serialize(label), expected);
    EXPECT_TRUE(log.contains("Serialized tid_: 07000000"));
    EXPECT_TRUE(log.contains("Serialized state: e5"));

    EXPECT_EQ(serialize(Label()), std::vector<unsigned char>(25, 0));

    Label full;
    full.oid_ = full.sid_ = full.creatorOid_ = Id(1, 1, 1);
    full.tid_ = full.inheritFlag_ = 1;
    EXPECT_EQ(serialize(full).size(), 81u);
    EXPECT_EQ(serialize(full).back(), 0xFF);
}

TEST(LabelBinary, EachOptionalNumberHasItsStateBitAndPlace) {
    auto only = [](int which) {
        Label label;
        uint64_t* ids[] = {&label.oid_.file_id, &label.oid_.path_id, &label.sid_.file_id,
                           &label.sid_.path_id, &label.creatorOid_.file_id, &label.creatorOid_.path_id};
        if (which < 6) *ids[which] = 0x99;
        if (which == 6) label.tid_ = 0x99;
        if (which == 7) label.inheritFlag_ = 0x99;
        return label;
    };
    const unsigned char bits[] = {0x80, 0x40, 0x10, 0x08, 0x02, 0x01, 0x20, 0x04};
    // Where the number lands when it is the only one present.
    const size_t offsets[] = {8, 8, 16, 16, 24, 24, 24, 24};
    for (int which = 0; which < 8; ++which) {
        std::vector<unsigned char> bytes = serialize(only(which));
        ASSERT_EQ(bytes.size(), which < 6 ? 33u : 29u) << which;
        EXPECT_EQ(bytes.back(), bits[which]) << which;
        EXPECT_EQ(bytes[offsets[which]], 0x99) << which;
    }
}

TEST(LabelBinary, SerializeRefusesMissingOrShortBuffer) {
    zorvtest::LogCapture log;
    Label label = labeltest::exampleLabel();
    EXPECT_EQ(label.serializeToBuffer(nullptr, 81), 0u);
    EXPECT_TRUE(log.contains("[serializeToBuffer:"));
    EXPECT_TRUE(log.contains("Buffer pointer is null"));

    std::vector<unsigned char> buf(56, 0xAA);
    EXPECT_EQ(label.serializeToBuffer(buf.data(), buf.size()), 0u);
    EXPECT_TRUE(log.contains("Buffer size is insufficient. Required: 57, provided: 56"));
    EXPECT_EQ(buf, std::vector<unsigned char>(56, 0xAA));
}

TEST(LabelBinary, RoundTripsGeneratedLabels) {
    zorvtest::LogCapture log;
    for (const Label& original : labeltest::sampleLabels(500, false)) {
        std::vector<unsigned char> bytes = serialize(original);
        Label decoded;
        Label copy = decoded.deserializeFromBuffer(bytes.data(), bytes.size());
        ASSERT_EQ(decoded, original) << bytesToHexString(bytes.data(), bytes.size());
        ASSERT_EQ(copy, original);
    }
    Label label;
    std::vector<unsigned char> bytes = serialize(labeltest::exampleLabel());
    label.deserializeFromBuffer(bytes.data(), bytes.size());
    EXPECT_TRUE(log.contains("[deserializeFromBuffer:"));
    EXPECT_TRUE(log.contains("Label deserialization: state: e5"));
    EXPECT_TRUE(log.contains("Label deserialization: tid: 00000007"));
}

TEST(LabelBinary, AbsentNumbersKeepTheirValues) {
    Label label = labeltest::exampleLabel();
    label.tid_ = 9;
    std::vector<unsigned char> bytes = serialize(Label());
    bytes[0] = 0x11;
    label.deserializeFromBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(label.oid_, Id(0x11, 2, 3));
    EXPECT_EQ(label.sid_, Id(0, 0, 0));
    EXPECT_EQ(label.creatorOid_, Id(0, 0, 6));
    EXPECT_EQ(label.tid_, 9u);
    EXPECT_EQ(label.inheritFlag_, 5u);

    // Bytes between the last field and the state byte are ignored.
    std::vector<unsigned char> padded(30, 0);
    padded[0] = 1;
    padded[8] = 2;
    padded[16] = 3;
    padded[24] = 0x77;
    Label plain;
    plain.deserializeFromBuffer(padded.data(), padded.size());
    EXPECT_EQ(plain, (Label{Id(1, 0, 0), Id(2, 0, 0), Id(3, 0, 0), 0, 0}));
}

TEST(LabelBinary, DecoderFailuresCarryCode13AndChangeNothing) {
    std::vector<unsigned char> bytes(82, 0);
    expectDecodeFailure(nullptr, 57, "Buffer pointer is null");
    expectDecodeFailure(bytes.data(), 24, "Buffer size is invalid");
    expectDecodeFailure(bytes.data(), 82, "Buffer size is invalid");
    expectDecodeFailure(bytes.data(), 0, "Buffer size is invalid");
    bytes[24] = 0x20;  // asks for a tid that does not fit
    expectDecodeFailure(bytes.data(), 25, "Buffer too small for required data");
    // Fails on the last field, after several would already have been read.
    std::vector<unsigned char> full = serialize(labeltest::exampleLabel());
    full.back() = 0xFF;
    expectDecodeFailure(full.data(), full.size(), "Buffer too small for required data");
}

TEST(LabelBinary, HexRendering) {
    const unsigned char bytes[] = {0x00, 0xAB, 0x10};
    EXPECT_EQ(bytesToHexString(bytes, 3), "00ab10");
    EXPECT_EQ(bytesToHexString(bytes, 0), "");
    EXPECT_EQ(bytesToHexString(nullptr, 3), "");
}

}  // namespace
