// stalled-fs MOUNTPOINT: a FUSE file system that hangs (as a dead network mount does): a look at an entry "stall", at
// the top or in any directory below it, waits until this program is killed; the size of "waiting" counts those held.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static long held;

static int getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/waiting") == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = __atomic_load_n(&held, __ATOMIC_SEQ_CST);
        return 0;
    }
    const char* name = strrchr(path, '/') + 1;
    if (strcmp(name, "stall") == 0) {
        __atomic_add_fetch(&held, 1, __ATOMIC_SEQ_CST);
        for (;;) pause();
    }
    if (strchr(path + 1, '/') == NULL) {  // every other name at the top is a directory
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    return -ENOENT;
}

static int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                   enum fuse_readdir_flags flags) {
    (void)path, (void)offset, (void)fi, (void)flags;
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    fill(buf, "stall", NULL, 0, 0);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    // Every user may look; entries are never cached, so each look reaches the file system.
    char* args[] = {argv[0], "-f", "-o", "allow_other,max_threads=64,entry_timeout=0,attr_timeout=0,negative_timeout=0", argv[1],
                    NULL};
    static const struct fuse_operations ops = {.getattr = getattr, .readdir = readdir};
    return fuse_main(5, args, &ops, NULL);
}
