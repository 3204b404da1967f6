/* C interface of libzorvlabelmgr: the calls to the label manager service.
 *
 * Every call is synchronous and returns 0 on success, -1 when a required
 * argument is missing or the service answered with its failure value, and -2
 * when the call could not be completed (no bus, D-Bus error, timeout,
 * malformed reply). Strings are NUL-terminated and must be valid UTF-8. */
#ifndef ZORV_LABELMGR_H
#define ZORV_LABELMGR_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZORV_API __attribute__((visibility("default")))
#else
#define ZORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Identifier triple of a labelled object. */
typedef struct ZORV_ID {
    uint64_t pkg_id;
    uint64_t file_id;
    uint64_t path_id;
} ZORV_ID;

/* Package identifier of a path. */
ZORV_API int getPkgId(const char* path, unsigned long* pkgId);
ZORV_API int setPkgId(const char* path, unsigned long pkgId);
ZORV_API int delUserSetPkgId(const char* path);
ZORV_API int clearUserSetPkgId(void);

/* Object identifier. */
ZORV_API int getFileOid(const char* path, ZORV_ID* id);
ZORV_API int setFileOid(const char* path, ZORV_ID id, int option);
ZORV_API int delFileOid(const char* path, int option);
ZORV_API int clearFileOid(void);

/* Subject identifier. */
ZORV_API int getFileSid(const char* path, ZORV_ID* id);
ZORV_API int setFileSid(const char* path, ZORV_ID id, int option);
ZORV_API int delFileSid(const char* path, int option);
ZORV_API int clearFileSid(void);

/* Type identifier; setFileTid refuses a tid of 0. */
ZORV_API int getFileTid(const char* path, unsigned int* tid);
ZORV_API int setFileTid(const char* path, unsigned int tid, int option);
ZORV_API int delFileTid(const char* path, int option);
ZORV_API int clearFileTid(void);

/* Inherit flag. */
ZORV_API int getFileInheritFlag(const char* path, unsigned int* flag);
ZORV_API int setFileInheritFlag(const char* path, unsigned int flag, int option);
ZORV_API int delFileInheritFlag(const char* path, int option);
ZORV_API int clearFileInheritFlag(void);

/* Bulk labelling: all the files of a package or application, an interpreter
 * tree, or Drova base files paired with host files, in one call each. A list
 * is sent whole or not at all: every path must be non-empty valid UTF-8, and
 * the whole must fit in one bus message (32 MiB). Each returns 0, the
 * service's non-zero reply unchanged, -1 for a bad argument, -2 for a D-Bus
 * error or timeout and -3 for any other failure; setLabelForDrovaBaseFiles
 * returns -1 for every failure. A call may take up to 100 s. */
/* `files` holds `size` paths of the package `pkgname`. */
ZORV_API int setLabelForPkg(char** files, int size, const char* pkgname);
/* `files` ends at its first null entry. */
ZORV_API int setLabelForLunvex(char** files, const char* appName);
ZORV_API int setLabelForDrova(char** files, const char* appName);
/* `path` must be an existing directory, not a symbolic link. */
ZORV_API int setLabelForLunvexInterpreter(const char* path);
ZORV_API int setLabelForDrovaInterpreter(const char* path);
/* `drovaFiles` ends at its first null entry; hostFiles[i] is paired with
 * drovaFiles[i]. A Drova path given twice keeps its last host path. */
ZORV_API int setLabelForDrovaBaseFiles(char** drovaFiles, char** hostFiles);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_LABELMGR_H */
