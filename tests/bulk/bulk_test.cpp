// The bulk labelling calls and policy resolution against the stand-in: what is sent or refused, how answers map.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include "client/bus_limits.h"
#include "log_capture.h"
#include "id_equality.h"
#include "scratch_dir.h"
#include "standin_control.h"

namespace {

using Call = std::function<int()>;

using Reply = std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>>;
using Ids = std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>;

// A null-terminated char* array over `paths` (which may hold nulls itself).
struct List {
    std::vector<char*> items;
    List(std::initializer_list<const char*> paths) {
        for (const char* p : paths) items.push_back(const_cast<char*>(p));
        items.push_back(nullptr);
    }
    operator char**() { return items.data(); }
};

struct Bulk : zorvtest::StandinTest {
    // A directory, a link to it and a file in it, for the interpreter calls.
    zorvtest::ScratchDir dir;
    const std::string tree = dir.dir("tree"), link = dir.link(tree, "link"), file = dir.file("tree/f");
    // Whether the log holds the pieces of `pattern` between its '*'s, in order.
    bool logged(const std::string& pattern) const {
        std::string all;
        for (const auto& line : log.lines()) all += line.message + "\n";
        std::istringstream pieces(pattern);
        size_t at = 0;
        for (std::string piece; std::getline(pieces, piece, '*');)
            if ((at = all.find(piece, at)) == std::string::npos) return false;
        return true;
    }
    zorvtest::LogCapture log;
};

TEST_F(Bulk, EachCallSendsWhatItWasGivenAndMapsTheAnswer) {
    const std::tuple<Call, std::string, const char*> cases[] = {  // call, what is sent, what is logged
        {[] { return setLabelForPkg(List{"/a", "/b\xC3\xA9", "/a"}, 3, "pkg"); },
         "setLabelForPkg assu [\"/a\", \"/b\xC3\xA9\", \"/a\"] \"pkg\" 1",
         "index 2, pkgname pkg, file /a\n[setLabelForPkg:*] Start setting label for pkg (3 files)"},
        {[] { return setLabelForLunvex(List{"/x", "/x"}, "app"); }, R"(setLabelForPkg assu ["/x", "/x"] "app" 4)",
         "index 1, appName app, file /x\n*Lunvex app app (2 files)"},
        {[] { return setLabelForDrova(List{"/d"}, "dapp"); }, R"(setLabelForPkg assu ["/d"] "dapp" 3)",
         "drova app dapp (1 files)"},
        {[&] { return setLabelForLunvexInterpreter(tree.c_str()); }, "setLabelForLunvexInterpreter s \"" + tree + '"',
         "lunvex interpreter, base path: "},
        {[&] { return setLabelForDrovaInterpreter(tree.c_str()); }, "setLabelForDrovaInterpreter s \"" + tree + '"',
         "drova interpreter, base path: "},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "b", "a"}, List{"x", "y", "z"}); },
         R"(setLabelForDrovaBaseFiles a{ss} {"a": "z", "b": "y"})", "drova base files (3 files)"},
    };
    for (const auto& [call, sent, logs] : cases) {
        standin.reset();
        log.clear();
        EXPECT_EQ(call(), 0) << logs;
        auto got = standin.received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].member + " " + got[0].signature + " " + got[0].arguments, sent);
        EXPECT_TRUE(logged(std::string(logs) + "*\n[~Timer:*] #zorv_labelmgr, set ")) << logs;
        // A refusal is passed on unchanged; a D-Bus error gives -2 (-1 for base files).
        const std::string member = got[0].member;
        standin.reply(member, {-7});
        EXPECT_EQ(call(), -7);
        standin.error(member, "com.nimbo.Denied", "no");
        EXPECT_EQ(call(), member == "setLabelForDrovaBaseFiles" ? -1 : -2);
        EXPECT_TRUE(logged("(error code=-7)*DBus error (name=com.nimbo.Denied, message=no)")) << logs;
    }
    standin.reply("setLabelForPkg", {uint32_t(0)});  // a reply of another type
    EXPECT_EQ(setLabelForDrova(List{"/d"}, "dapp"), -2);
    EXPECT_TRUE(log.contains("(name=org.freedesktop.DBus.Error.InvalidArgs, message=type mismatch)"));
}

TEST_F(Bulk, BadArgumentsAreRefusedBeforeTheBus) {
    std::vector<std::pair<Call, std::string>> cases = {
        {[] { return setLabelForPkg(List{"/a"}, 0, "p"); }, "Invalid parameters: files=0x*, size=0, pkgname=0x"},
        {[] { return setLabelForPkg(nullptr, 1, nullptr); }, "Invalid parameters: files=(nil), size=1, pkgname=(nil)"},
        {[] { return setLabelForPkg(List{"/a", "/b", nullptr}, 3, "p"); }, "file /b\n*Empty path at index 2"},
        {[] { return setLabelForPkg(List{"/a"}, 1, "p\xC3"); }, "Invalid UTF-8 sequence in pkgname: p"},
        {[] { return setLabelForLunvex(List{nullptr}, "a"); }, "Empty file list"},
        {[] { return setLabelForDrova(List{"/a"}, nullptr); }, "Invalid parameters: files=0x*, appName=(nil)"},
        {[] { return setLabelForLunvexInterpreter(nullptr); }, "Invalid parameters: path=(nil)"},
        {[] { return setLabelForDrovaInterpreter("/\xED\xA0\x80"); }, "Invalid UTF-8 sequence in path"},
        {[&] { return setLabelForDrovaInterpreter(link.c_str()); }, "path is link file, *\n*Invalid path: "},
        {[&] { return setLabelForLunvexInterpreter(file.c_str()); }, "path is not dir, *\n*Invalid path: "},
        {[] { return setLabelForDrovaInterpreter("/no/such"); }, "path not exist, /no/such\n*Invalid path: /no"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, nullptr); }, "drovaFiles=0x*, hostFiles=(nil)"},
        {[] { return setLabelForDrovaBaseFiles(List{nullptr}, List{"x"}); }, "Empty file list"},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "b", "c"}, List{"x", "y"}); }, "null at index 2"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, List{""}); }, "Empty path: drovaFile='a', hostFile=''"},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "\xF5\x80"}, List{"x", "y"}); }, "drova file path[1]"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, List{"\xE0\x80\x80"}); }, "in host file path[0]"},
    };
    // Truncated, stray continuation, 5-byte form, overlong forms, surrogate, beyond U+10FFFF.
    for (const char* bad : {"\xC3", "\x80", "\xF8\x88\x80\x80\x80", "\xC0\x80", "\xE0\x80\x80", "\xF0\x80\x80\x80",
                            "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
        cases.push_back({[bad] { return setLabelForPkg(List{"/ok", bad}, 2, "p"); }, "file path[1]: "});
    for (const auto& [call, message] : cases) {
        log.clear();
        EXPECT_EQ(call(), -1) << message;
        EXPECT_TRUE(logged(message + "*\n[~Timer:")) << message;
    }
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(setLabelForPkg(List{"/\xF4\x8F\xBF\xBF", "/\xEF\xBF\xBE"}, 2, "p"), 0);  // U+10FFFF, U+FFFE: valid
}

TEST_F(Bulk, ListsUpToOneBusMessageGoWholeLargerOnesNotAtAll) {
    std::vector<std::string> names(100000);
    std::vector<char*> files;
    for (size_t i = 0; i < names.size(); ++i) files.push_back(&(names[i] = "/p/" + std::to_string(i))[0]);
    EXPECT_EQ(setLabelForPkg(files.data(), int(files.size()), "big"), 0);
    auto got = standin.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].arguments.substr(0, 20), R"(["/p/0", "/p/1", "/p)");
    EXPECT_EQ(got[0].arguments.substr(got[0].arguments.size() - 19), R"("/p/99999"] "big" 1)");
    size_t perFile = 0;
    for (const auto& line : log.lines())
        for (size_t at = 0; (at = line.message.find("pkgname big, file /p/", at)) != std::string::npos; ++at) ++perFile;
    EXPECT_EQ(perFile, names.size());

    // Arguments exactly at the limit reach the service; one byte more, or 64 MiB of paths, is refused unsent.
    std::string path(zorv::kMaxArgumentBytes - 20, 'p');
    char* one[] = {&path[0]};
    path.back() = '\0';
    standin.reset();
    EXPECT_EQ(setLabelForPkg(one, 1, "p"), 0);
    path.back() = 'p';
    EXPECT_EQ(setLabelForPkg(one, 1, "p"), -1);
    std::string mib(1 << 20, 'm');
    EXPECT_EQ(setLabelForPkg(std::vector<char*>(65, &mib[0]).data(), 65, "a"), -1);
    EXPECT_TRUE(log.contains("File list too large for one bus message: 3355"));
    EXPECT_EQ(standin.received().size(), 1u);
}

TEST_F(Bulk, PolicyRepliesBecomeIdentifiersByCategoryFailuresLeaveThemAlone) {
    standin.reply("policies_parse", {Reply{{"subject_pkg", {{"p1", {{"b", 9}, {"a", 7}}}, {"none", {}}}},
                                           {"object_pkg", {{"p2", {{"x", 3}}}}},
                                           {"subject_recurfile", {{"/s", {{"k", 5}}}}},
                                           {"object_recurfile", {{"/r", {{"pkg_id", 42}}}, {"/empty", {}}}},
                                           {"other", {{"n", {{"file_id", 2}, {"pkg_id", 1}, {"zz", 5}}}, {"e", {}}}}}});
    Ids ids{{"kept", {{"k", {{1, 1, 1}}}}}};
    const std::map<std::string, std::vector<std::string>> policies{{"subject_pkg", {"p1", "none", "p1"}},
                                                                   {"other", {"n"}}};
    ASSERT_EQ(policies_parse(policies, ids), 0);
    ASSERT_EQ(policies_parse(policies, ids), 0);  // the second appends
    const Ids twice{{"kept", {{"k", {{1, 1, 1}}}}}, {"object_pkg", {{"p2", {{3, 0, 0}, {3, 0, 0}}}}},
                    {"object_recurfile", {{"/r", {{0, 0, 42}, {0, 0, 42}}}}},
                    {"other", {{"e", {{0, 0, 0}, {0, 0, 0}}}, {"n", {{1, 2, 0}, {1, 2, 0}}}}},
                    {"subject_pkg", {{"p1", {{7, 0, 0}, {9, 0, 0}, {7, 0, 0}, {9, 0, 0}}}}},
                    {"subject_recurfile", {{"/s", {{0, 0, 5}, {0, 0, 5}}}}}};
    EXPECT_EQ(ids, twice);
    Ids fresh;
    EXPECT_EQ(policies_parse({}, fresh), 0);  // an empty description still goes
    auto got = standin.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].signature + " " + got[0].arguments + " " + got[2].arguments,
              R"(a{sas} {"other": ["n"], "subject_pkg": ["p1", "none", "p1"]} {})");

    standin.reset();
    standin.reply("policies_parse", {uint32_t(5)});
    EXPECT_EQ(policies_parse(policies, ids), -1);
    EXPECT_TRUE(log.contains("DBus error occurred: org.freedesktop.DBus.Error.InvalidArgs, dictionary value expected"));
    // Strings the bus would refuse, and more than one message, are refused before it.
    EXPECT_EQ(policies_parse({{"c", {"ok", "\xED\xA0\x80"}}}, ids), -1);
    EXPECT_EQ(policies_parse({{"c", std::vector<std::string>(40, std::string(1 << 20, 'n'))}}, ids), -1);
    EXPECT_TRUE(log.contains("Invalid UTF-8 sequence in policy name") &&
                log.contains("Policy description too large for one bus message"));
    EXPECT_EQ(standin.received().size(), 1u);
    EXPECT_EQ(ids, twice);
}

}  // namespace
