// The processes a test starts die with it when it dies of a signal (an alarm that caught a hang, most often).
#pragma once

#include <sys/types.h>

namespace zorvtest {

// `pid` is killed if this process dies of SIGALRM, SIGTERM, SIGINT or SIGHUP (nothing for a pid <= 0).
void guardProcess(pid_t pid);
// `pid` has been stopped by the test: no longer killed.
void releaseProcess(pid_t pid);

}  // namespace zorvtest
