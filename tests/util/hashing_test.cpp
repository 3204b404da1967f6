#include <zorv/labelmgr.hpp>

#include "log_capture.h"
#include "util_support.h"
#include "util/hashing_internal.h"

#include <gtest/gtest.h>

namespace {

TEST(Hashes, Sm3AsPublishedAndOpensslKmodNamesFnv1aOverLenBytes) {
    EXPECT_EQ(getSM3HashValue("abc"), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0");
    EXPECT_EQ(getSM3HashLast32Bits("abc"), 0x8f4ba8e0u);
    EXPECT_EQ(getSM3HashLast64Bits("abc"), 0x297da02b8f4ba8e0ul);
    zorvtest::ScratchDir dir;
    for (const std::string& input : {std::string(), std::string("\0\x01\xff\x80\n", 5), std::string(100000, 'x')}) {
        std::ofstream(dir / "input", std::ios::binary | std::ios::trunc) << input;
        const auto tool = zorvtest::commandLines("openssl dgst -sm3 -r " + dir / "input").at(0).substr(0, 64);
        EXPECT_EQ(getSM3HashValue(input), tool) << "input of " << input.size() << " bytes";
    }
    zorvtest::LogCapture log;  // a digest step that fails is reported like a missing digest
    EXPECT_EQ(zorv::detail::digestHex(nullptr, "abc"), "");
    EXPECT_TRUE(log.contains("[getSM3HashValue:") && log.contains("SM3 digest computation failed"));

    EXPECT_EQ(getKmodNameHash("a", 1), 0xE40C292Cu);
    EXPECT_EQ(getKmodNameHash(nullptr, 5), 2166136261u);
    EXPECT_EQ(getKmodNameHash("ab", 1), getKmodNameHash("a", 1));
    EXPECT_NE(getKmodNameHash("a\0b", 3), getKmodNameHash("a", 1));
    EXPECT_EQ(getKmodNameHash("foobar", 6), 0xBF9CF968u);
    EXPECT_EQ(getKmodNameHash("\xff", 1), 0x7A0B824Eu);  // bytes are unsigned
}

// Each thread keeps a digest state of its own: threads that hash at once, and
// threads that end while others go on, leave the others' digests whole.
TEST(Hashes, Sm3FromManyThreadsAtOnce) {
    std::vector<std::string> inputs, expected;
    for (int i = 0; i < 200; ++i) {
        inputs.push_back("/usr/lib/x86_64-linux-gnu/" + std::string(i, 'a' + i % 26));
        expected.push_back(getSM3HashValue(inputs.back()));
    }
    std::vector<int> wrong(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < (t + 1) * 10 * inputs.size(); i += 8)
                wrong[t] += getSM3HashValue(inputs[i % inputs.size()]) != expected[i % inputs.size()];
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(8));
}

}  // namespace
