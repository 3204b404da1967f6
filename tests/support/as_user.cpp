#include "as_user.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>

#include "staged_program.h"

namespace zorvtest {

pid_t startAsUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(kCannotSwitch);
        // The programs it runs from the staged copies find what they need there.
        std::vector<std::string> variables = stagedVariables();
        for (std::string& variable : variables) ::putenv(variable.data());
        body();
        ::_exit(0);
    }
    return pid;
}

std::string asUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return "child: no pipe";
    pid_t pid = startAsUser(uid, groups, [&] {
        ::close(fds[0]);
        ::alarm(120);  // a child stuck for good dies, and the test reads "child: died"
        std::string out;
        try {
            out = body();
        } catch (const std::exception& e) {
            out = std::string("child: ") + e.what();
        }
        for (std::size_t at = 0; at < out.size();) {
            ssize_t n = ::write(fds[1], out.data() + at, out.size() - at);
            if (n <= 0) break;
            at += std::size_t(n);
        }
    });
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return "child: no fork";
    }
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) return "child: died";
    if (WEXITSTATUS(status) == kCannotSwitch) return "child: cannot become uid " + std::to_string(uid);
    return out;
}

}  // namespace zorvtest
