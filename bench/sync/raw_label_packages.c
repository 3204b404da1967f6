/* The baseline of sync-packages: the same setLabelForPkg calls, made by a C
 * program through the library in one process. The manifest holds one block
 * per package: its name on the first line, then one path a line, then an
 * empty line. */
#define _POSIX_C_SOURCE 200809L
#include <zorv/labelmgr.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* in = fopen(argv[1], "r");
    if (!in) return 2;
    char *line = NULL, *name = NULL;
    size_t capacity = 0, count = 0, room = 0;
    char** files = NULL;
    int failed = 0;
    ssize_t n;
    while ((n = getline(&line, &capacity, in)) >= 0) {
        if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
        if (n > 0 && !name) {
            name = strdup(line);
        } else if (n > 0) {
            if (count == room) {
                room = room ? 2 * room : 1024;
                files = realloc(files, room * sizeof *files);
            }
            files[count++] = strdup(line);
        } else if (name) {
            if (setLabelForPkg(files, (int)count, name) != 0) failed = 1;
            for (size_t i = 0; i < count; ++i) free(files[i]);
            free(name);
            name = NULL;
            count = 0;
        }
    }
    free(files);
    free(line);
    fclose(in);
    return failed;
}
