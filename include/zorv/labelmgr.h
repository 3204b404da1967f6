/** @file
 * C interface of libzorvlabelmgr: the calls to the label manager service.
 *
 * Every call is synchronous: it sends one request to the service on the D-Bus
 * system bus and waits for the answer (5 s at most, 100 s for the bulk calls).
 * Unless a call says otherwise it returns 0 on success, -1 when a required
 * argument is missing or refused (nothing is sent) or the service answered
 * with its failure value, and -2 when the call could not be completed (no bus
 * or service, a D-Bus error such as AccessDenied or InvalidArgs, a timeout, a
 * malformed reply). Strings are NUL-terminated and must be valid UTF-8.
 * Changes are for root; every user may read.
 *
 * Thread safety: every call of this header may be made from any thread at
 * any time (each call in flight has a bus connection of its own).
 *
 * The `option` of the set, delete and query calls is passed to the service
 * unchanged: 0 this path only, 1 this path and every path below it; the
 * service refuses other values of the delete and query calls (-2) and
 * ignores `option` in the set calls. */
#ifndef ZORV_LABELMGR_H
#define ZORV_LABELMGR_H

#include <stdint.h>

#include <zorv/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Identifier triple of a labelled object (an Oid, a Sid, a package's or a
 * device's identifier). A field the object does not use is 0. */
typedef struct ZORV_ID {
    uint64_t pkg_id;  /**< package identifier, or the whole value of a single-number identifier */
    uint64_t file_id; /**< file identifier */
    uint64_t path_id; /**< path identifier: the last 64 bits of the SM3 digest of the path's normal form */
} ZORV_ID;

/* Package identifier of a path. */

/** Reads the package identifier of `path`: the one a user set, else the one
 * of the package that owns it.
 * @return 0 with it in `*pkgId`; -1 for a null argument, or when the path has
 * none (`*pkgId` then holds the service's failure value, all ones); -2 when
 * the call failed (`*pkgId` unchanged). Thread-safe. */
ZORV_API int getPkgId(const char* path, unsigned long* pkgId);
/** Records `pkgId` as the user-set package identifier of `path` (root only).
 * @return 0; -1 for a null path or a refusal by the service's value; -2 when
 * the call failed (a user other than root, an all-ones identifier). Thread-safe. */
ZORV_API int setPkgId(const char* path, unsigned long pkgId);
/** Removes the user-set package identifier of `path` (root only).
 * @return 0; -1 for a null path or when there was none; -2 when the call
 * failed. Thread-safe. */
ZORV_API int delUserSetPkgId(const char* path);
/** Removes every user-set package identifier (root only).
 * @return 0; -1 when the service refused; -2 when the call failed. Thread-safe. */
ZORV_API int clearUserSetPkgId(void);

/* Object identifier. */

/** Reads the object identifier (Oid) of `path`: the one a user set, else
 * the one of its own label.
 * @return 0 with it in `*id`; -1 for a null argument or when the path has
 * none (`*id` then all zero); -2 when the call failed. Thread-safe. */
ZORV_API int getFileOid(const char* path, ZORV_ID* id);
/** Records `id` as the user-set Oid of `path` (root only).
 * @param option passed on; the service ignores it for a set.
 * @return 0; -1 for a null path or the service's failure value; -2 when the
 * call failed (a user other than root, an identifier of three all-ones
 * fields). Thread-safe. */
ZORV_API int setFileOid(const char* path, ZORV_ID id, int option);
/** Removes the user-set Oid of `path` (root only).
 * @param option 0: this path only; 1: also every path below it.
 * @return 0; -1 for a null path or when there was none; -2 when the call
 * failed (an option other than 0 or 1 included). Thread-safe. */
ZORV_API int delFileOid(const char* path, int option);
/** Removes every user-set Oid (root only).
 * @return 0; -1 when the service refused; -2 when the call failed. Thread-safe. */
ZORV_API int clearFileOid(void);

/* Subject identifier. */

/** Reads the subject identifier (Sid) of `path`, the identity a program
 * started from the file runs with: the one a user set, else its label's.
 * @return 0 with it in `*id`; -1 for a null argument or when the path has
 * none (`*id` then all zero); -2 when the call failed. Thread-safe. */
ZORV_API int getFileSid(const char* path, ZORV_ID* id);
/** Records `id` as the user-set Sid of `path` (root only).
 * @param option passed on; the service ignores it for a set.
 * @return 0; -1 for a null path or the service's failure value; -2 when the
 * call failed. Thread-safe. */
ZORV_API int setFileSid(const char* path, ZORV_ID id, int option);
/** Removes the user-set Sid of `path` (root only).
 * @param option 0: this path only; 1: also every path below it.
 * @return 0; -1 for a null path or when there was none; -2 when the call
 * failed. Thread-safe. */
ZORV_API int delFileSid(const char* path, int option);
/** Removes every user-set Sid (root only).
 * @return 0; -1 when the service refused; -2 when the call failed. Thread-safe. */
ZORV_API int clearFileSid(void);

/* Type identifier. */

/** Reads the type identifier (Tid) of `path`: the one a user set, else its
 * label's.
 * @return 0 with it in `*tid`; -1 for a null argument, or when the path has
 * none (`*tid` then holds 0xFFFFFFFF); -2 when the call failed (`*tid`
 * unchanged). Thread-safe. */
ZORV_API int getFileTid(const char* path, unsigned int* tid);
/** Records `tid` as the user-set Tid of `path` (root only).
 * @param tid any value but 0 (refused here) and 0xFFFFFFFF (refused by the
 * service).
 * @param option passed on; the service ignores it for a set.
 * @return 0; -1 for a null path, a Tid of 0 (nothing sent) or the service's
 * failure value; -2 when the call failed. Thread-safe. */
ZORV_API int setFileTid(const char* path, unsigned int tid, int option);
/** Removes the user-set Tid of `path` (root only).
 * @param option 0: this path only; 1: also every path below it.
 * @return 0; -1 for a null path or when there was none; -2 when the call
 * failed. Thread-safe. */
ZORV_API int delFileTid(const char* path, int option);
/** Removes every user-set Tid (root only).
 * @return 0; -1 when the service refused; -2 when the call failed. Thread-safe. */
ZORV_API int clearFileTid(void);

/* Inherit flag. */

/** Reads the inherit flag of `path` (0, 5 or 7): the one a user set, else
 * its label's.
 * @return 0 with it in `*flag`; -1 for a null argument, or when the path has
 * none (`*flag` then holds 0xFFFFFFFF); -2 when the call failed (`*flag`
 * unchanged). Thread-safe. */
ZORV_API int getFileInheritFlag(const char* path, unsigned int* flag);
/** Records `flag` as the user-set inherit flag of `path` (root only).
 * @param flag 0, 5 or 7; the service refuses others (-2).
 * @param option passed on; the service ignores it for a set.
 * @return 0; -1 for a null path or the service's failure value; -2 when the
 * call failed. Thread-safe. */
ZORV_API int setFileInheritFlag(const char* path, unsigned int flag, int option);
/** Removes the user-set inherit flag of `path` (root only).
 * @param option 0: this path only; 1: also every path below it.
 * @return 0; -1 for a null path or when there was none; -2 when the call
 * failed. Thread-safe. */
ZORV_API int delFileInheritFlag(const char* path, int option);
/** Removes every user-set inherit flag (root only).
 * @return 0; -1 when the service refused; -2 when the call failed. Thread-safe. */
ZORV_API int clearFileInheritFlag(void);

/** One user-set record (4120 bytes), as the show and query calls return
 * them. Fields that a record does not carry are 0. */
typedef struct UserSetRecord {
    /** The path, NUL-terminated; empty when it did not fit. */
    char path[4096];
    /** What was set for the path: a package identifier, Tid or inherit flag
     * in `id.pkg_id`; an Oid or Sid fills the identifier. */
    ZORV_ID id;
} UserSetRecord;

/* User-set records. Each returns the number of records and stores in
 * *records one array of them from the C heap, in byte order of their paths,
 * which the caller releases with free; 0 when there are none (*records is
 * then not written), -1 for a missing argument, -2 when the call failed, -3
 * when the array could not be allocated. */

/** Every user-set package identifier.
 * @return the number of records, with the array in `*records` (release it
 * with free); 0 when there are none (`*records` not written); -1 for a null
 * `records`; -2 when the call failed; -3 when the array could not be
 * allocated. Thread-safe. */
ZORV_API int showUserSetPkgId(UserSetRecord** records);
/** Every user-set Oid. Results as showUserSetPkgId(). Thread-safe. */
ZORV_API int showUserSetFileOid(UserSetRecord** records);
/** The user-set Oids of `path`.
 * @param option 0: the record of this path; 1: also those of every path
 * below it.
 * @return as showUserSetPkgId(), and -1 for a null or invalid `path`; an
 * option other than 0 or 1 gives -2. Thread-safe. */
ZORV_API int queryUserSetFileOid(const char* path, UserSetRecord** records, int option);
/** Every user-set Sid. Results as showUserSetPkgId(). Thread-safe. */
ZORV_API int showUserSetFileSid(UserSetRecord** records);
/** The user-set Sids of `path`.
 * @param option 0: the record of this path; 1: also those below it.
 * @return as queryUserSetFileOid(). Thread-safe. */
ZORV_API int queryUserSetFileSid(const char* path, UserSetRecord** records, int option);
/** Every user-set Tid (in `id.pkg_id`). Results as showUserSetPkgId(). Thread-safe. */
ZORV_API int showUserSetFileTid(UserSetRecord** records);
/** The user-set Tids of `path`.
 * @param option 0: the record of this path; 1: also those below it.
 * @return as queryUserSetFileOid(). Thread-safe. */
ZORV_API int queryUserSetFileTid(const char* path, UserSetRecord** records, int option);
/** Every user-set inherit flag (in `id.pkg_id`). Results as
 * showUserSetPkgId(). Thread-safe. */
ZORV_API int showUserSetFileInheritFlag(UserSetRecord** records);
/** The user-set inherit flags of `path`.
 * @param option 0: the record of this path; 1: also those below it.
 * @return as queryUserSetFileOid(). Thread-safe. */
ZORV_API int queryUserSetFileInheritFlag(const char* path, UserSetRecord** records, int option);
/** The user-set package identifier of `path`.
 * @return 0 with it in `*pkgId` (0 when the service's answer holds other
 * paths only); 1 when there is no record; -1 for a null or invalid argument;
 * -2 when the call failed. Thread-safe. */
ZORV_API int queryUserSetPkgId(const char* path, unsigned long* pkgId);

/** Labelling status of the system as the service reports it: 1 once the
 * files of some package are recorded, else 0; -1 when the call failed.
 * Thread-safe. */
ZORV_API int getLabelSetStatus(void);
/** The service's normal form of `path` ("." and ".." resolved by text,
 * repeated separators collapsed, no trailing "/").
 * @return a copy from the C heap (release it with free), or NULL for a null
 * or invalid path or when the call failed. Thread-safe. */
ZORV_API char* pathNormalize(const char* path);
/** The name of the package `pkgId`.
 * @return a copy from the C heap (release it with free), or NULL for the
 * identifiers 0 and all-ones, an unknown identifier, or when the call failed.
 * Thread-safe. */
ZORV_API char* getPkgNameById(unsigned long pkgId);
/** Writes the identifiers of the `count` packages `names` into `pkgIds`
 * (room for `count` of them), in the order of the names; an unknown name
 * gets all ones.
 * @return how many it wrote; -1 for a null argument or an empty or invalid
 * name (nothing sent); -2 when the call failed. Thread-safe. */
ZORV_API int getPkgIds(const char** names, unsigned int count, unsigned long* pkgIds);

/* Bulk labelling: all the files of a package or application, an interpreter
 * tree, or Drova base files paired with host files, in one call each. A list
 * is sent whole or not at all: every path must be non-empty valid UTF-8, and
 * the whole must fit in one bus message (32 MiB). Each returns 0, the
 * service's non-zero reply unchanged, -1 for a bad argument, -2 for a D-Bus
 * error or timeout and -3 for any other failure; setLabelForDrovaBaseFiles
 * returns -1 for every failure. A call may take up to 100 s. */

/** Labels the files of a package: the package `pkgname` gets exactly these
 * files (root only).
 * @param files `size` paths, each non-empty valid UTF-8.
 * @param size the number of paths.
 * @param pkgname the package's name.
 * @return 0; the service's non-zero answer unchanged; -1 for a bad argument
 * or a list too large for one bus message (nothing sent); -2 for a D-Bus
 * error or a timeout (100 s); -3 for any other failure. Thread-safe. */
ZORV_API int setLabelForPkg(char** files, int size, const char* pkgname);
/** Labels the files of the Lunvex application `appName` (root only).
 * @param files paths, up to the first null entry.
 * @return as setLabelForPkg(). Thread-safe. */
ZORV_API int setLabelForLunvex(char** files, const char* appName);
/** Labels the files of the Drova application `appName` (root only).
 * @param files paths, up to the first null entry.
 * @return as setLabelForPkg(). Thread-safe. */
ZORV_API int setLabelForDrova(char** files, const char* appName);
/** Labels a Lunvex interpreter tree: `path` and everything below it (root
 * only).
 * @param path an existing directory, not a symbolic link (checked here).
 * @return as setLabelForPkg(); 1 when the service finds no directory there.
 * Thread-safe. */
ZORV_API int setLabelForLunvexInterpreter(const char* path);
/** Labels a Drova interpreter tree: `path` and everything below it (root
 * only). As setLabelForLunvexInterpreter(). Thread-safe. */
ZORV_API int setLabelForDrovaInterpreter(const char* path);
/** Labels Drova base files after their host files (root only).
 * @param drovaFiles paths up to the first null entry; a path given twice
 * keeps its last host path.
 * @param hostFiles hostFiles[i] is the host file of drovaFiles[i].
 * @return 0; the service's non-zero answer (1 when a host file belongs to no
 * package); -1 for every failure. Thread-safe. */
ZORV_API int setLabelForDrovaBaseFiles(char** drovaFiles, char** hostFiles);

#ifdef __cplusplus
}
#endif

#endif /* ZORV_LABELMGR_H */
