/** @file
 * Visibility and checking attributes of libzorvlabelmgr's declarations,
 * shared by its C and C++ headers. */
#ifndef ZORV_EXPORT_H
#define ZORV_EXPORT_H

/** @def ZORV_API
 * Marks a declaration as part of the library's interface (exported). */
/** @def ZORV_HIDDEN
 * Marks a member of an exported class that the library keeps to itself. */
/** @def ZORV_PRINTF(fmt, args)
 * Lets the compiler check printf-style arguments: `fmt` is the position of
 * the format, `args` that of the first argument. */

#if defined(__GNUC__)
#define ZORV_API __attribute__((visibility("default")))
#else
#define ZORV_API
#endif

/* Members of an exported class that the library keeps to itself. */
#if defined(__GNUC__)
#define ZORV_HIDDEN __attribute__((visibility("hidden")))
#else
#define ZORV_HIDDEN
#endif

/* Lets the compiler check printf-style arguments against their format. */
#if defined(__GNUC__)
#define ZORV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZORV_PRINTF(fmt, args)
#endif

#endif /* ZORV_EXPORT_H */
