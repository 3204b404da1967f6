#include "process_guard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace zorvtest {

namespace {

std::atomic<pid_t> guarded[64];  // lock-free: the signal handler reads them
pid_t owner = 0;                 // a forked child (a death test) kills nothing of its parent's

void killGuarded(int sig) {
    if (owner == ::getpid())
        for (std::atomic<pid_t>& slot : guarded)
            if (const pid_t pid = slot.exchange(0); pid > 0) ::kill(pid, SIGKILL);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // the test still dies of it, once the handler returns
}

}  // namespace

void guardProcess(pid_t pid) {
    [[maybe_unused]] static const bool installed = [] {
        owner = ::getpid();
        for (int sig : {SIGALRM, SIGTERM, SIGINT, SIGHUP}) ::signal(sig, killGuarded);
        return true;
    }();
    for (std::atomic<pid_t>& slot : guarded)
        if (pid_t empty = 0; pid > 0 && slot.compare_exchange_strong(empty, pid)) return;
}

void releaseProcess(pid_t pid) {
    for (std::atomic<pid_t>& slot : guarded)
        if (pid_t expected = pid; pid > 0 && slot.compare_exchange_strong(expected, 0)) return;
}

}  // namespace zorvtest
