#include "log_capture.h"
#include "scratch_dir.h"

#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <sys/xattr.h>

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

// With noFollow a label goes on the link itself, without on its target; the
// value stored is the label's binary form.
TEST_F(LabelXattr, WritesTheBinaryFormOnTheLinkOrItsTarget) {
    const std::string link = dir_.link(file_, "link");
    Label onLink = exampleLabel(), onTarget{Id(1, 1, 1), Id(2, 2, 2), Id(3, 3, 3), 4, 5};
    ASSERT_EQ(onLink.setToXattr(link, true), 0);
    ASSERT_EQ(onTarget.setToXattr(link, false), 0);
    for (auto [path, noFollow, label] : {std::tuple{link, true, onLink}, {file_, false, onTarget}}) {
        std::vector<unsigned char> expected(label.serializedBufferSize());
        label.serializeToBuffer(expected.data(), expected.size());
        EXPECT_EQ(stored(path, noFollow), expected);
        Label read;
        ASSERT_EQ(read.getFromXattr(link, noFollow), 0);
        EXPECT_EQ(read, label);
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
}

TEST_F(LabelXattr, InvalidStoredValuesAreLabelErrors) {
    const std::string badSize = "Label deserialization failed: Buffer size is invalid";
    const std::pair<size_t, std::string> cases[] = {  // 1000 bytes: more than the first read takes
        {24, badSize}, {1000, badSize}, {0, "Extended attribute is empty: security.zorv"}};
    for (const auto& [size, message] : cases) {
        const std::vector<unsigned char> value(size, 0x01);
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
