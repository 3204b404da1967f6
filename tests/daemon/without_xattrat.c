/* Starts the service with getxattrat and setxattrat refused (EPERM) when ZORV_TEST_WITHOUT_XATTRAT is set, as the
 * system-call filter of a systemd that does not know these calls refuses them, so that the tests reach the service's
 * other way of reading and writing labels. */
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    /* Under qemu-user (a cross-built tree's tests) the service runs under the emulator too. qemu refuses a filter
     * of its guest's calls, but knows neither call and answers ENOSYS: the service goes the other way already. */
    const char* emulator = getenv("ZORV_TEST_EMULATOR");
    if (emulator && *emulator) {
        char** command = calloc((size_t)argc + 2, sizeof *command);
        if (!command) return 1;
        command[0] = (char*)emulator;
        command[1] = (char*)ZORV_DAEMON;
        for (int i = 1; i < argc; ++i) command[i + 1] = argv[i];
        execv(emulator, command);
        return 1;
    }
    if (getenv("ZORV_TEST_WITHOUT_XATTRAT")) {
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 463 /* setxattrat */, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 464 /* getxattrat */, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        };
        struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            return 1;
    }
    execv(ZORV_DAEMON, argv);
    return 1;
}
