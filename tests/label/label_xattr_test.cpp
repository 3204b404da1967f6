#include "log_capture.h"
#include "scratch_dir.h"

#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

const char* const kName = "security.zorv";
Label exampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

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

TEST_F(LabelXattr, WritesTheBinaryFormAndReadsItBack) {
    // Each size: the shortest, the example and the longest form.
    for (Label original : {Label(), exampleLabel(), Label{Id(1, 1, 1), Id(2, 2, 2), Id(3, 3, 3), 4, 5}}) {
        ASSERT_EQ(original.setToXattr(file_, false), 0);
        std::vector<unsigned char> expected(original.serializedBufferSize());
        original.serializeToBuffer(expected.data(), expected.size());
        ASSERT_EQ(stored(file_, false), expected);
        Label read;
        ASSERT_EQ(read.getFromXattr(file_, false), 0);
        ASSERT_EQ(read, original);
    }
}

TEST_F(LabelXattr, ReadOrWriteFailures) {
    Label label = exampleLabel();
    {
        zorvtest::LogCapture log;
        EXPECT_EQ(label.getFromXattr(file_, false), -1);
        EXPECT_EQ(label.getFromXattr(file_, true), -1);
        EXPECT_EQ(log.matching("Extended attribute not found: " + file_).size(), 2u);
        for (const auto& line : log.lines()) EXPECT_EQ(line.priority, 700) << line.message;
    }
    const std::string missing = dir_ / "missing", dangling = dir_.link(missing, "dangling");
    for (bool noFollow : {false, true}) {
        for (const std::string& path : {missing, dangling}) {
            zorvtest::LogCapture log;
            EXPECT_EQ(label.setToXattr(path, noFollow), -1);
            EXPECT_EQ(label.getFromXattr(path, noFollow), -1);
            EXPECT_EQ(log.matching("LabelError: File does not exist: : " + path).size(), 2u) << path;
        }
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
}

TEST_F(LabelXattr, NoFollowActsOnTheLinkItself) {
    const std::string linkPath = dir_.link(file_, "link");
    Label onLink = exampleLabel(), onTarget{Id(), Id(), Id(), 42, 0}, read;
    ASSERT_EQ(onLink.setToXattr(linkPath, true), 0);
    ASSERT_EQ(onTarget.setToXattr(linkPath, false), 0);
    EXPECT_EQ(stored(linkPath, true).size(), 57u);
    EXPECT_EQ(stored(file_, false).size(), 29u);
    ASSERT_EQ(read.getFromXattr(linkPath, true), 0);
    EXPECT_EQ(read, onLink);
    // Numbers absent from the target's stored form keep their values.
    ASSERT_EQ(read.getFromXattr(linkPath, false), 0);
    EXPECT_EQ(read, (Label{Id(0, 2, 3), Id(), Id(0, 0, 6), 42, 5}));
}

TEST_F(LabelXattr, InvalidStoredValuesAreLabelErrors) {
    const std::string decoding = "Label deserialization failed: ";  // 1000 bytes: more than the first read takes
    const std::tuple<size_t, unsigned char, std::string> cases[] = {{24, 0, decoding + "Buffer size is invalid"},
        {1000, 0, decoding + "Buffer size is invalid"}, {25, 0x20, decoding + "Buffer too small for required data"},
        {0, 0, "Extended attribute is empty: security.zorv"}};
    for (const auto& [size, state, message] : cases) {
        std::vector<unsigned char> value(size, 0x01);
        if (!value.empty()) value.back() = state;
        ASSERT_EQ(setxattr(file_.c_str(), kName, value.data(), value.size(), 0), 0) << strerror(errno);
        zorvtest::LogCapture log;
        Label label = exampleLabel();
        EXPECT_EQ(label.getFromXattr(file_, false), -1) << size;
        EXPECT_EQ(label, exampleLabel());
        const auto lines = log.matching("LabelError: " + message + ": " + file_);
        EXPECT_TRUE(lines.size() == 1 && lines[0].priority == 300) << message;
    }
}

}  // namespace
