/* The least a program can do to read one attribute through the library: the
 * baseline of the tool's start-up cost. */
#include <zorv/labelmgr.h>

#include <stdio.h>

int main(int argc, char** argv) {
    unsigned int tid = 0;
    if (argc != 2) return 2;
    if (getFileTid(argv[1], &tid) != 0) return 1;
    printf("%u\n", tid);
    return 0;
}
