#include "stalled_fs.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>

#include "emulator.h"
#include "wait_until.h"

extern char** environ;

namespace zorvtest {

namespace {
constexpr long kFuseMagic = 0x65735546;
}

StalledFs::StalledFs() {
#ifdef ZORV_TEST_STALLED_FS
    ::chmod(dir_.path().c_str(), 0755);
    const std::vector<std::string> command = emulatedCommand(ZORV_TEST_STALLED_FS);
    std::vector<const char*> argv;
    for (const std::string& word : command) argv.push_back(word.c_str());
    argv.insert(argv.end(), {dir_.path().c_str(), nullptr});
    posix_spawn_file_actions_t quiet;  // libfuse's chatter is no test output
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    int spawned = posix_spawn(&pid_, argv[0], &quiet, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (spawned != 0) {
        pid_ = -1;
        return;
    }
    bool ended = false;
    mounted_ = waitUntil([&] {
        struct statfs fs;
        if (::statfs(dir_.path().c_str(), &fs) == 0 && fs.f_type == kFuseMagic) return true;
        return ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
    }, 2) && !ended;
    if (ended) pid_ = -1;
#endif
}

long StalledFs::waiting() const {
    struct stat st {};
    return ::stat((dir_.path() + "/waiting").c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

StalledFs::~StalledFs() {
    // Killed, its pending requests fail and every waiter is let go.
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
}

}  // namespace zorvtest
