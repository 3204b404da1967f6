// The tool's administration calls against the stand-in service, which answers
// them as the test scripts.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "emulator.h"
#include "scratch_dir.h"
#include "standin_control.h"

namespace {

class AdminReplies : public zorvtest::StandinTest {
protected:
    // Runs the tool with `args` (shell words); its exit status (-1 when it did
    // not exit), with what it wrote to standard error in err_.
    int run(const std::string& args) {
        const std::string err = dir_ / "err";
        const int status =
            std::system((zorvtest::emulatedShellCommand(ZORV_TOOL) + " " + args + " >/dev/null 2>" + err).c_str());
        std::ifstream in(err, std::ios::binary);
        err_.assign(std::istreambuf_iterator<char>(in), {});
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    zorvtest::ScratchDir dir_;
    std::string err_;
};

// A reply whose signature is not the member's fails the command, naming the
// member, before any of it is read: a list of another element type must not
// pass for an empty history or package list.
TEST_F(AdminReplies, AReplyOfAnotherShapeFailsTheCommand) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"history", "History", "zorv-label: the service answered History with something else\n"},
        {"packages", "Packages", "zorv-label: packages: the service answered Packages with something else\n"},
        {"restore -R /a", "Relabel", "zorv-label: the service answered Relabel with something else\n"},
    };
    for (const auto& [args, member, message] : cases) {
        SCOPED_TRACE(member);
        standin.reply(member, {std::vector<std::string>{"/a"}});
        EXPECT_EQ(run(args), 1);
        EXPECT_EQ(err_, message);
    }
}

}  // namespace
