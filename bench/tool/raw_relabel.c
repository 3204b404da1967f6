/* The least a program can do to label a tree: walk it without following
 * links and write one fixed value to each entry's security.zorv with
 * lsetxattr. The baseline of `zorv-label restore -R`. */
#define _XOPEN_SOURCE 700
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>

/* A label of the size the service writes for a package file: OID with a path
 * identifier, SID and creator as package numbers, a TID, the state byte. */
static const unsigned char kLabel[37] = {1, 0, 0, 0, 0, 0, 0, 0, 0x2a, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0,
                                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x60};

static int labelOne(const char* path, const struct stat* st, int kind, struct FTW* at) {
    (void)st;
    (void)kind;
    (void)at;
    return lsetxattr(path, "security.zorv", kLabel, sizeof kLabel, 0) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    return nftw(argv[1], labelOne, 64, FTW_PHYS) == 0 ? 0 : 1;
}
