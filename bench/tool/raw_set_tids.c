/* The baseline of apply: the same sets, made by a C program through the
 * library in one process: setFileTid for /bench/1 ... /bench/COUNT. */
#include <zorv/labelmgr.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    char path[64];
    if (argc != 2) return 2;
    long count = strtol(argv[1], NULL, 10);
    for (long i = 1; i <= count; ++i) {
        snprintf(path, sizeof path, "/bench/%ld", i);
        if (setFileTid(path, 5, 0) != 0) return 1;
    }
    return 0;
}
