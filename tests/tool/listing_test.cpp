// show and query -r as root, whose records come through a passed pipe rather
// than in one reply: any number of them, in the bytes the replies give.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>
#include <zorv/labelmgr.h>

#include <algorithm>

#include "as_user.h"
#include "daemon_suite.h"
#include "emulator.h"
#include "staged_program.h"

namespace {

// What the tool wrote (standard error after standard output), then its exit
// status on a line of its own.
std::string runTool(const std::string& program, const std::string& words) {
    std::string out;
    FILE* p = ::popen((zorvtest::emulatedShellCommand(program) + " " + words + " 2>&1").c_str(), "r");
    char buffer[1 << 16];
    for (size_t n; p && (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    const int status = p ? ::pclose(p) : -1;
    return out + "\n" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

class Listing : public zorvtest::DaemonSuite {
protected:
    static std::string asRoot(const std::string& words) { return runTool(ZORV_TOOL, words); }
    // Another user gets the records in one reply.
    static std::string asNobody(const std::string& words) {
        const std::string tool = zorvtest::stagedFor(zorvtest::kNobody, ZORV_TOOL);
        return zorvtest::asUser(zorvtest::kNobody, {}, [&] { return runTool(tool, words); });
    }
};

// Names that printable() and the JSON text escape, that take two columns a
// character, or that hold a newline, give root's listing the bytes that
// another user's gets from the reply.
TEST_F(Listing, RootsListingsReadAsTheRepliesDo) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by root dropping to uid 65534";
    ZORV_SKIP_UNLESS_STAGED(zorvtest::kNobody, ZORV_TOOL);
    const std::vector<std::string> paths = {"/l/a", "/l/wide/\xE4\xB8\xAD\xE6\x96\x87", "/l/new\nline", "/l/tab\tx",
                                            "/l/back\\slash", "/l/bidi\xE2\x80\xAEtxt", "/l/c1\xC2\x9B", "/other"};
    for (unsigned i = 0; i < paths.size(); ++i) {
        const char* p = paths[i].c_str();
        ASSERT_EQ(setPkgId(p, 0xfffffffffffffff0 + i), 0) << i;
        ASSERT_EQ(setFileOid(p, ZORV_ID{i, 0x1234, ~0ul - i}, 0), 0);
        ASSERT_EQ(setFileSid(p, ZORV_ID{7, i, 0}, 0), 0);
        ASSERT_EQ(setFileTid(p, 4000000000u + i, 0), 0);
        ASSERT_EQ(setFileInheritFlag(p, i % 2 ? 5 : 7, 0), 0);
    }
    for (const std::string kind : {"pkgid", "oid", "sid", "tid", "inherit"}) {
        std::vector<std::string> forms = {"show " + kind};
        if (kind != "pkgid") forms.push_back("query " + kind + " /l -r");
        for (const std::string& form : forms)
            for (const std::string& words : {form, "--json " + form})
                EXPECT_EQ(asRoot(words), asNobody(words)) << words;
    }
}

// A store whose Tids take more than the 32 MiB of one reply: root lists
// them whole, another user is told to ask for less, as before.
TEST_F(Listing, RootListsMoreRecordsThanOneReplyCarries) {
    constexpr int kRecords = 9000;  // of about 4,000 bytes each
    daemon_->stop();
    runSql("PRAGMA synchronous=OFF; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(kRecords) + ") INSERT INTO user_set(attribute, path, pkg_id, file_id, path_id) SELECT 3,"
           " printf('/big/%s/%05d-', CASE WHEN i % 1000 = 0 THEN 'few' ELSE 'all' END, i) || hex(zeroblob(1990)),"
           " i, 0, 0 FROM n");
    daemon_->start();
    auto path = [](int i) {
        char head[32];
        std::snprintf(head, sizeof head, "/big/%s/%05d-", i % 1000 == 0 ? "few" : "all", i);
        return head + std::string(3980, '0');
    };

    const std::string shown = asRoot("show tid");
    ASSERT_EQ(shown.substr(shown.size() - 2), "\n0") << shown.substr(0, 200);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), kRecords + 2);
    EXPECT_EQ(shown.substr(0, shown.find('\n')), "PATH" + std::string(path(1).size() - 2, ' ') + "TID");
    EXPECT_EQ(shown.substr(shown.find('\n') + 1, path(1).size() + 4), path(1) + "  1\n");
    EXPECT_EQ(shown.substr(shown.size() - path(1).size() - 9), path(kRecords) + "  9000\n\n0");

    const std::string few = asRoot("--json query tid /big/few -r");
    nlohmann::json expected = nlohmann::json::array();
    for (int i = 1000; i <= kRecords; i += 1000) expected.push_back({{"path", path(i)}, {"tid", i}});
    EXPECT_EQ(few, expected.dump(2) + "\n\n0");

    if (geteuid() != 0) return;
    ZORV_SKIP_UNLESS_STAGED(zorvtest::kNobody, ZORV_TOOL);
    const std::string refused = asNobody("show tid");
    EXPECT_NE(refused.find("ask for less"), std::string::npos) << refused.substr(0, 200);
    EXPECT_EQ(refused.substr(refused.size() - 2), "\n1");
}

}  // namespace
