// A label's binary and text forms, and the label stored in security.zorv.
#include <sys/xattr.h>
#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "log_capture.h"
#include "scratch_dir.h"

namespace {

// The stored-format example: 57 bytes, state byte 0xE5.
Label exampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

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

// The stored layout pins every state bit and decodes as encoded (the decoder fuzzer round-trips every other label); a
// decoding that fails carries code 13 and changes nothing.
TEST(LabelBinary, StoredLayoutAndDecoding) {
    const std::string ids = "0100000000000000" "0200000000000000" "0300000000000000" "0400000000000000";
    EXPECT_EQ(hexOf(exampleLabel()), ids + "0500000000000000" "0600000000000000" "07000000" "05000000" "e5");
    // Between the two, each optional number of an identifier appears once alone: every state bit is pinned.
    EXPECT_EQ(hexOf(Label{Id(1, 0, 2), Id(3, 4, 0), Id(5, 6, 0), 0, 7}),
              ids + "0500000000000000" "0600000000000000" "07000000" "56");
    EXPECT_EQ(hexOf(Label()), std::string(50, '0'));
    EXPECT_EQ(hexOf(Label{Id(1, 1, 1), Id(1, 1, 1), Id(1, 1, 1), 1, 1}).substr(160), "ff");  // 81 bytes
    for (Label pinned : {exampleLabel(), Label{Id(1, 0, 2), Id(3, 4, 0), Id(5, 6, 0), 0, 7}})
        EXPECT_EQ(Label().deserializeFromBuffer(bytesOf(pinned).data(), pinned.serializedBufferSize()), pinned);

    zorvtest::LogCapture log;
    std::vector<unsigned char> small(56, 0xAA);
    EXPECT_EQ(exampleLabel().serializeToBuffer(nullptr, 81), 0u);
    EXPECT_EQ(exampleLabel().serializeToBuffer(small.data(), small.size()), 0u);
    EXPECT_EQ(small, std::vector<unsigned char>(56, 0xAA));
    EXPECT_TRUE(log.matching("[serializeToBuffer:").size() == 2 && log.contains("Required: 57, provided: 56"));

    // Numbers whose bit is clear keep their values.
    Label label = exampleLabel();
    std::vector<unsigned char> bytes(25, 0);
    bytes[0] = 0x11;
    label.deserializeFromBuffer(bytes.data(), bytes.size());
    EXPECT_EQ(label, (Label{Id(0x11, 2, 3), Id(), Id(0, 0, 6), 7, 5}));

    std::vector<unsigned char> zeros(82, 0), tidMissing(25, 0), full = bytesOf(exampleLabel());
    tidMissing[24] = 0x20;
    full.back() = 0xFF;  // fails on the last field, after others were read
    const std::tuple<const unsigned char*, size_t, const char*> cases[] = {
        {nullptr, 57, "Buffer pointer is null"}, {zeros.data(), 0, "Buffer size is invalid"},
        {zeros.data(), 24, "Buffer size is invalid"}, {zeros.data(), 82, "Buffer size is invalid"},
        {tidMissing.data(), 25, "Buffer too small for required data"},
        {full.data(), 57, "Buffer too small for required data"}};
    for (const auto& [buf, len, inner] : cases) {
        label = exampleLabel();
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

// The text form (which the text fuzzer round-trips); malformed text gives the zero label and logs why.
TEST(LabelText, FormAndMalformedText) {
    EXPECT_EQ(exampleLabel().toString(),
              kId + ":7:0000000000000004-0000000000000000-0000000000000000:5:"
                    "0000000000000005-0000000000000000-0000000000000006");
    Label upper = Label::fromString("00000000000000AB-0000000000000000-0000000000000000:4294967295:" + kId +
                                    ":7:0000000000000000-0000000000000000-00000000000000Ff");
    EXPECT_EQ(upper, (Label{Id(0xab, 0, 0), Id(1, 2, 3), Id(0, 0, 0xff), UINT32_MAX, 7}));

    // A malformed identifier becomes zero without failing the label.
    zorvtest::LogCapture log;
    EXPECT_EQ(Label::fromString("junk:12abc:" + kId + ":0:" + kId), (Label{Id(), Id(1, 2, 3), Id(1, 2, 3), 12, 0}));
    EXPECT_FALSE(log.contains("label deserialization failed"));

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
        log.clear();
        EXPECT_EQ(Label::fromString(text), Label()) << text;
        EXPECT_EQ(log.matching(std::string("] label deserialization failed: ") + reason).size(), 1u) << text;
    }
}

const char* const kName = "security.zorv";

class LabelXattr : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = dir_.file("file", "labelled");
        const bool written = setxattr(file_.c_str(), kName, "x", 1, 0) == 0;
        ASSERT_TRUE(written || errno == EOPNOTSUPP || errno == EPERM) << "setxattr probe: " << strerror(errno);
        ZORV_SKIP_WITHOUT_XATTR(!written, dir_.path());
        ASSERT_EQ(removexattr(file_.c_str(), kName), 0);
    }

    static std::vector<unsigned char> stored(const std::string& path, bool noFollow) {
        std::vector<unsigned char> value(256);
        ssize_t n = (noFollow ? lgetxattr : getxattr)(path.c_str(), kName, value.data(), value.size());
        value.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return value;
    }
    zorvtest::ScratchDir dir_;
    std::string file_;
};

// Failures to read or write, and stored values that are no label; with noFollow a label goes on the link itself,
// without on its target, as the label's binary form.
TEST_F(LabelXattr, FailuresInvalidValuesAndTheBinaryFormOnTheLinkOrItsTarget) {
    Label label = exampleLabel();
    {
        zorvtest::LogCapture log;
        EXPECT_EQ(label.getFromXattr(file_, false), -1);
        EXPECT_EQ(label.getFromXattr(file_, true), -1);
        EXPECT_EQ(log.matching("Extended attribute not found: " + file_).size(), 2u);
        for (const auto& line : log.lines()) EXPECT_EQ(line.priority, 700) << line.message;
    }
    const std::string missing = dir_ / "missing", dangling = dir_.link(missing, "dangling");
    for (bool noFollow : {false, true})
        for (const std::string& path : {missing, dangling}) {
            zorvtest::LogCapture log;
            EXPECT_EQ(label.setToXattr(path, noFollow), -1);
            EXPECT_EQ(label.getFromXattr(path, noFollow), -1);
            EXPECT_EQ(log.matching("LabelError: File does not exist: : " + path).size(), 2u) << path;
        }
    EXPECT_EQ(label, exampleLabel());
    EXPECT_TRUE(stored(dangling, true).empty());

    // A failed status query (a link loop) is an exception other than LabelError.
    const std::string loop = dir_.link(dir_.link(dir_ / "a", "b"), "a");
    zorvtest::LogCapture log;
    EXPECT_EQ(label.setToXattr(loop, false), -2);
    EXPECT_EQ(label.getFromXattr(loop, false), -1);
    EXPECT_EQ(label.getFromXattr(loop, true), -1);
    EXPECT_EQ(log.matching("exception: ").size(), 3u);

    // A stored value that is no label is a LabelError, and changes nothing.
    const std::string badSize = "Label deserialization failed: Buffer size is invalid";
    const std::pair<size_t, std::string> cases[] = {  // 1000 bytes: more than the first read takes
        {24, badSize}, {1000, badSize}, {0, "Extended attribute is empty: security.zorv"}};
    for (const auto& [size, message] : cases) {
        const std::vector<unsigned char> value(size, 0x01);
        ASSERT_EQ(setxattr(file_.c_str(), kName, value.data(), value.size(), 0), 0) << strerror(errno);
        log.clear();
        EXPECT_EQ(label.getFromXattr(file_, false), -1) << size;
        EXPECT_EQ(label, exampleLabel());
        const auto lines = log.matching("LabelError: " + message + ": " + file_);
        EXPECT_TRUE(lines.size() == 1 && lines[0].priority == 300) << message;
    }

    const std::string link = dir_.link(file_, "link");
    Label onLink = exampleLabel(), onTarget{Id(1, 1, 1), Id(2, 2, 2), Id(3, 3, 3), 4, 5};
    ASSERT_EQ(onLink.setToXattr(link, true), 0);
    ASSERT_EQ(onTarget.setToXattr(link, false), 0);
    for (auto [path, noFollow, written] : {std::tuple{link, true, onLink}, {file_, false, onTarget}}) {
        std::vector<unsigned char> expected(written.serializedBufferSize());
        written.serializeToBuffer(expected.data(), expected.size());
        EXPECT_EQ(stored(path, noFollow), expected);
        ASSERT_EQ(label.getFromXattr(link, noFollow), 0);
        EXPECT_EQ(label, written);
    }
}

}  // namespace
