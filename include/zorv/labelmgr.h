/* C interface of libzorvlabelmgr: the calls to the label manager service.
 *
 * Every call is synchronous and returns 0 on success, -1 when a required
 * argument is missing or the service answered with its failure value, and -2
 * when the call could not be completed (no bus, D-Bus error, timeout,
 * malformed reply). Strings are NUL-terminated and must be valid UTF-8. */
#ifndef ZORV_LABELMGR_H
#define ZORV_LABELMGR_H

#include <stdint.h>

#include <zorv/export.h>

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

/* One user-set record (4120 bytes): the path, NUL-terminated (empty when it
 * did not fit), then what was set for it. A package identifier, Tid or
 * inherit flag is in id.pkg_id; an Oid or Sid fills the identifier. Fields
 * that a record does not carry are 0. */
typedef struct UserSetRecord {
    char path[4096];
    ZORV_ID id;
} UserSetRecord;

/* User-set records. Each returns the number of records and stores in
 * *records one array of them from the C heap, in byte order of their paths,
 * which the caller releases with free; 0 when there are none (*records is
 * then not written), -1 for a missing argument, -2 when the call failed, -3
 * when the array could not be allocated. The query calls return the records
 * that answer the query for path. */
ZORV_API int showUserSetPkgId(UserSetRecord** records);
ZORV_API int showUserSetFileOid(UserSetRecord** records);
ZORV_API int queryUserSetFileOid(const char* path, UserSetRecord** records, int option);
ZORV_API int showUserSetFileSid(UserSetRecord** records);
ZORV_API int queryUserSetFileSid(const char* path, UserSetRecord** records, int option);
ZORV_API int showUserSetFileTid(UserSetRecord** records);
ZORV_API int queryUserSetFileTid(const char* path, UserSetRecord** records, int option);
ZORV_API int showUserSetFileInheritFlag(UserSetRecord** records);
ZORV_API int queryUserSetFileInheritFlag(const char* path, UserSetRecord** records, int option);
/* The user-set package identifier of path: 0 with it in *pkgId (0 when the
 * service's answer holds other paths only), 1 when there is no record. */
ZORV_API int queryUserSetPkgId(const char* path, unsigned long* pkgId);

/* Labelling status of the system as the service reports it; -1 when the
 * call failed. */
ZORV_API int getLabelSetStatus(void);
/* The service's normal form of path, or the name of a package: a copy from
 * the C heap (release it with free), or NULL on failure. */
ZORV_API char* pathNormalize(const char* path);
ZORV_API char* getPkgNameById(unsigned long pkgId);
/* Writes the identifiers of the count packages named into pkgIds (room for
 * count of them) and returns how many it wrote; -1 for a missing argument or
 * name, -2 when the call failed. */
ZORV_API int getPkgIds(const char** names, unsigned int count, unsigned long* pkgIds);

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
