#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "log_expect.h"
#include "scratch_dir.h"

namespace {

using zorvtest::hasOneLine;
using zorvtest::kErrorPriority;

std::string allBytes() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes + "\r\n\r\n";
}

TEST(ReadFile, ReturnsEveryByteOrNothing) {
    zorvtest::ScratchDir dir;
    zorvtest::LogCapture log;
    EXPECT_EQ(readFile(dir.file("empty", "")), "");
    const std::string bytes = allBytes();
    EXPECT_EQ(readFile(dir.file("bytes", bytes)), bytes);
    EXPECT_EQ(readFile(dir.path()), "");  // a directory opens but yields nothing
    EXPECT_EQ(log.size(), 0u);

    const std::string missing = dir / "missing";
    EXPECT_EQ(readFile(missing), "");
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "readFile", "Unable to open file, " + missing));
}

// Files under /proc report a size of 0; their text must still come whole.
TEST(ReadFile, ReadsFilesWithoutASizeAndLargeFiles) {
    const std::string stat = readFile("/proc/self/stat");
    ASSERT_FALSE(stat.empty());
    EXPECT_EQ(stat.rfind(std::to_string(::getpid()) + " (", 0), 0u);
    EXPECT_EQ(stat.back(), '\n');

    const std::string maps = readFile("/proc/self/maps");  // usually well beyond one page
    EXPECT_EQ(maps.back(), '\n');

    zorvtest::ScratchDir dir;
    std::string big(3 * 1024 * 1024 + 7, 'x');
    for (size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>(i);
    EXPECT_EQ(readFile(dir.file("big", big)), big);
}

TEST(WriteFile, RewritesInPlaceAndRoundTrips) {
    zorvtest::ScratchDir dir;
    zorvtest::LogCapture log;
    const std::string path = dir / "out";
    const std::string bytes = allBytes();
    ASSERT_TRUE(writeFile(path, bytes));
    EXPECT_EQ(readFile(path), bytes);

    struct stat before;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_TRUE(writeFile(path, "short"));  // truncates the longer content
    EXPECT_EQ(readFile(path), "short");
    ASSERT_TRUE(writeFile(path, ""));
    EXPECT_EQ(readFile(path), "");
    struct stat after;
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // the same file, not a replacement
    EXPECT_EQ(log.size(), 0u);
}

TEST(WriteFile, CannotOpenGivesFalseAndAnErrorLine) {
    zorvtest::ScratchDir dir;
    zorvtest::LogCapture log;
    const std::string path = dir / "no-such-dir/out";
    EXPECT_FALSE(writeFile(path, "x"));
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "writeFile", "Unable to open file for writing, " + path));
    log.clear();
    EXPECT_FALSE(writeFile(dir.path(), "x"));  // a directory
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "writeFile", "Unable to open file for writing, " + dir.path()));
}

// A write that the device refuses is a failure, whether it happens while
// writing (large content) or only when the buffered data is flushed.
TEST(WriteFile, FullDeviceGivesFalseAndAnErrorLine) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    for (size_t size : {size_t(1), size_t(1 << 20)}) {
        zorvtest::LogCapture log;
        EXPECT_FALSE(writeFile("/dev/full", std::string(size, 'x'))) << size;
        EXPECT_TRUE(hasOneLine(log, kErrorPriority, "writeFile", "Unable to write file, /dev/full, "));
    }
    // Nothing to write: nothing fails.
    EXPECT_TRUE(writeFile("/dev/full", ""));
}

}  // namespace
