/* Compiled as C99 against the installed C header. */
#include <zorv/labelmgr.h>

#include <stdio.h>

int main(void) {
    ZORV_ID id = {1, 2, 3};
    unsigned int tid = 0;
    /* Null arguments are refused before any bus traffic. */
    if (getFileTid(NULL, &tid) != -1 || setFileOid(NULL, id, 0) != -1) return 1;
    puts("c consumer ok");
    return 0;
}
