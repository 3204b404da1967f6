#include "process_guard.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace zorvtest {

namespace {

// Lock-free slots, so that the signal handler may read them.
std::atomic<pid_t> guarded[64];
// The process that guards them: a forked child (a death test) inherits the
// slots and the handler, but kills nothing of its parent's.
std::atomic<pid_t> owner{0};

void killGuarded(int sig) {
    if (owner.load() == ::getpid())
        for (std::atomic<pid_t>& slot : guarded)
            if (const pid_t pid = slot.exchange(0); pid > 0) ::kill(pid, SIGKILL);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered once the handler returns: the test still dies of it
}

bool installHandler() {
    for (int sig : {SIGALRM, SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {}, handler {};
        handler.sa_handler = killGuarded;
        sigemptyset(&handler.sa_mask);
        // A handler of the test's own stays.
        if (::sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_DFL) ::sigaction(sig, &handler, nullptr);
    }
    return true;
}

}  // namespace

void guardProcess(pid_t pid) {
    if (pid <= 0) return;  // kill(-1) would reach every process
    static const bool installed = installHandler();
    (void)installed;
    const pid_t self = ::getpid();
    if (owner.exchange(self) != self)
        for (std::atomic<pid_t>& slot : guarded) slot = 0;  // the parent's, if any
    for (std::atomic<pid_t>& slot : guarded)
        if (pid_t empty = 0; slot.compare_exchange_strong(empty, pid)) return;
}

void releaseProcess(pid_t pid) {
    for (std::atomic<pid_t>& slot : guarded)
        if (pid_t expected = pid; slot.compare_exchange_strong(expected, 0)) return;
}

}  // namespace zorvtest
