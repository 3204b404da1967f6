/* What the label manager service keeps for one path, through the C calls of
 * libzorvlabelmgr.
 *
 *   labels_c [PATH]             reads (any user may): the path's package
 *                               identifier, Oid, Sid, Tid and inherit flag, and
 *                               how many Tids users have set
 *   labels_c --change PATH      also sets a Tid of 42 on PATH and then puts
 *                               back what was there (root only)
 *
 * Build: cc labels.c -o labels_c $(pkg-config --cflags --libs zorvlabelmgr) */
#include <zorv/labelmgr.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Every call returns 0 on success, -1 when the service has no value (or an
 * argument was refused), -2 when the service could not be reached. */
static const char* outcome(int rc) {
    switch (rc) {
    case 0: return "ok";
    case -1: return "none";
    case -2: return "service unreachable";
    default: return "unexpected result";
    }
}

static void printId(const char* what, int rc, ZORV_ID id) {
    if (rc == 0)
        printf("%-8s %016llx-%016llx-%016llx\n", what, (unsigned long long)id.pkg_id,
               (unsigned long long)id.file_id, (unsigned long long)id.path_id);
    else
        printf("%-8s (%s)\n", what, outcome(rc));
}

static int show(const char* path) {
    unsigned long pkg = 0;
    ZORV_ID oid, sid;
    unsigned int tid = 0, inherit = 0;
    int rc;

    printf("%s\n", path);
    rc = getPkgId(path, &pkg);
    if (rc == -2) {
        fprintf(stderr, "the label manager service cannot be reached\n");
        return -2;
    }
    if (rc == 0) printf("%-8s %lu\n", "pkgid", pkg); else printf("%-8s (%s)\n", "pkgid", outcome(rc));
    rc = getFileOid(path, &oid);
    printId("oid", rc, oid);
    rc = getFileSid(path, &sid);
    printId("sid", rc, sid);
    rc = getFileTid(path, &tid);
    if (rc == 0) printf("%-8s %u\n", "tid", tid); else printf("%-8s (%s)\n", "tid", outcome(rc));
    rc = getFileInheritFlag(path, &inherit);
    if (rc == 0) printf("%-8s %u\n", "inherit", inherit); else printf("%-8s (%s)\n", "inherit", outcome(rc));

    UserSetRecord* records = NULL;
    int n = showUserSetFileTid(&records);
    if (n >= 0) printf("%d Tid(s) set by users\n", n);
    if (n > 0) free(records); /* one array from the C heap */
    return 0;
}

/* Sets a Tid on path, then restores the user-set Tid it had, or removes the
 * one this program set. Needs root. */
static int change(const char* path) {
    UserSetRecord* records = NULL;
    int n = queryUserSetFileTid(path, &records, 0); /* option 0: this path only */
    if (n < 0) {
        fprintf(stderr, "queryUserSetFileTid: %s\n", outcome(n));
        return 1;
    }
    unsigned int previous = 0;
    if (n > 0) {
        previous = (unsigned int)records[0].id.pkg_id; /* a Tid is in id.pkg_id */
        free(records);
    }

    int rc = setFileTid(path, 42, 0);
    printf("setFileTid(%s, 42): %s\n", path, outcome(rc));
    if (rc != 0) return 1;
    show(path);

    rc = previous != 0 ? setFileTid(path, previous, 0) : delFileTid(path, 0);
    printf("put back: %s\n", outcome(rc));
    return rc == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--change") == 0) return change(argv[2]);
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: %s [PATH] | --change PATH\n", argv[0]);
        return 2;
    }
    return show(argc == 2 ? argv[1] : "/usr/bin/true") == 0 ? 0 : 1;
}
