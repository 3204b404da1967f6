#include <zorv/labelmgr.hpp>

#include "log_capture.h"
#include "test_tree.h"
#include "util/hashing_internal.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using utiltest::commandLines;
using utiltest::ScratchDir;
using utiltest::shellQuote;

// What `openssl dgst -sm3` prints for the bytes of `content`.
std::string opensslSm3(const ScratchDir& dir, const std::string& content) {
    dir.file("input", content);
    auto lines = commandLines("openssl dgst -sm3 -r " + shellQuote(dir / "input"));
    if (lines.empty()) return "openssl failed";
    return lines[0].substr(0, lines[0].find(' '));
}

TEST(Sm3, PublishedVectorsAndOpenssl) {
    EXPECT_EQ(getSM3HashValue("abc"),
              "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    // The second published vector: "abcd" repeated 16 times.
    std::string abcd;
    for (int i = 0; i < 16; ++i) abcd += "abcd";
    EXPECT_EQ(getSM3HashValue(abcd),
              "debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732");

    ScratchDir dir;
    std::string binary("\0\x01\xff\x80 zorv\n", 10);
    std::string large(100000, 'q');
    for (const std::string& input : {std::string(), std::string("abc"), binary, large}) {
        const std::string hex = getSM3HashValue(input);
        EXPECT_EQ(hex.size(), 64u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(hex, opensslSm3(dir, input)) << "input of " << input.size() << " bytes";
    }
}

TEST(Sm3, LastBitsAreTheDigestTail) {
    for (const std::string input : {"", "abc", "/usr/lib/x86_64-linux-gnu/libc.so.6"}) {
        const std::string hex = getSM3HashValue(input);
        const uint64_t tail64 = std::stoull(hex.substr(48), nullptr, 16);
        EXPECT_EQ(getSM3HashLast64Bits(input), tail64);
        EXPECT_EQ(getSM3HashLast32Bits(input), static_cast<uint32_t>(tail64));
    }
    EXPECT_EQ(getSM3HashLast32Bits("abc"), 0x8f4ba8e0u);
    EXPECT_EQ(getSM3HashLast64Bits("abc"), 0x297da02b8f4ba8e0ul);
}

// A digest step that fails is reported like a missing digest.
TEST(Sm3, FailingDigestStepLogsAndGivesEmptyString) {
    zorvtest::LogCapture log;
    EXPECT_EQ(zorv::detail::digestHex(nullptr, "abc"), "");
    auto lines = log.matching("[getSM3HashValue:");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 300);
    EXPECT_NE(lines[0].message.find("SM3 digest computation failed"), std::string::npos);
}

TEST(KmodNameHash, Fnv1aValues) {
    EXPECT_EQ(getKmodNameHash("a", 1), 0xE40C292Cu);
    EXPECT_EQ(getKmodNameHash("foobar", 6), 0xBF9CF968u);
    EXPECT_EQ(getKmodNameHash("anything", 0), 2166136261u);
    EXPECT_EQ(getKmodNameHash(nullptr, 5), 2166136261u);
    // Exactly `len` bytes count, embedded NULs and high bytes included.
    EXPECT_EQ(getKmodNameHash("ab", 1), getKmodNameHash("a", 1));
    EXPECT_NE(getKmodNameHash("a\0b", 3), getKmodNameHash("a", 1));
    EXPECT_EQ(getKmodNameHash("\xff", 1), (2166136261u ^ 0xFFu) * 16777619u);
}

}  // namespace
