/// @file
/// Utilities of libzorvlabelmgr that the service and its tools share: hashing,
/// wildcards, paths, path tests, strings, configuration files, whole files and
/// queries of the running system. They work locally and never talk to the
/// service. They keep no state that threads share unprotected: each may be
/// called from any thread at any time (thread-safe), unless its entry says
/// otherwise.
#ifndef ZORV_UTIL_HPP
#define ZORV_UTIL_HPP

#include <zorv/export.h>

#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Hashing. The SM3 digest as 64 lower-case hexadecimal characters ("" when
// SM3 cannot be computed), its last 32 or 64 bits (0 on failure), and the
// 32-bit FNV-1a hash of `len` bytes at `name`.
/// The SM3 digest of `input` as 64 lower-case hex digits; "" when SM3
/// cannot be computed.
ZORV_API std::string getSM3HashValue(const std::string& input);
/// The last 32 bits of the SM3 digest of `input` as a number; 0 on failure.
ZORV_API unsigned int getSM3HashLast32Bits(const std::string& input);
/// The last 64 bits of the SM3 digest of `input` as a number (a path
/// identifier, of the path's normal form); 0 on failure.
ZORV_API unsigned long getSM3HashLast64Bits(const std::string& input);
/// The 32-bit FNV-1a hash of `len` bytes at `name` (a kernel module's oid).
ZORV_API unsigned int getKmodNameHash(const char* name, unsigned int len);

// Wildcards.
/// Whether `text` holds a '*', '?', '[' or ']' not escaped by a backslash.
ZORV_API bool containsWildcard(const std::string& text);
/// The ECMAScript regular expression of the wildcard pattern `wildcard`: '*'
/// any run of characters, '?' one character, "[!...]" a negated class,
/// "{a,b}" either; other special characters are escaped. The result is not
/// validated.
ZORV_API std::string wildcardsToRegex(const std::string& wildcard);
/// Whether the whole `text` matches `pattern`, case-insensitively, as the
/// regular expression of wildcardsToRegex() (std::regex_error when that does
/// not compile), in time linear in pattern x text for wildcards and every
/// expression without back-references, assertions, counted repetition or
/// class escapes. Those few go to a backtracking engine that may take at most
/// 4,194,304 steps and half the stack the calling thread has left; past either
/// bound, and for an expression longer than 262,144 characters or too large to
/// compile in 8 MiB, the call logs an error and returns false.
ZORV_API bool matchesPattern(const std::string& pattern, const std::string& text);
/// fnmatch(3) of `path` against `pattern` with FNM_PATHNAME ('*' does not
/// cross '/').
ZORV_API bool matchesPattern1(const std::filesystem::path& path, const std::string& pattern);
/// The paths that glob(3) finds for `pattern` (with GLOB_TILDE: "~" is the
/// home directory); empty when none. Thread-safe while no thread changes
/// the environment (HOME).
ZORV_API std::vector<std::string> searchFilesByPattern(const std::string& pattern);
/// Appends `dir` and every path below it to `out`, without following links.
/// @return 0; -1 when `dir` itself cannot be opened.
ZORV_API int traverseDirectory(const std::string& dir, std::vector<std::string>& out);

// Paths. Functions that take absolute forms place relative paths under the
// current directory; those documented to do so let std::filesystem errors
// pass (isParentPath, comparePaths, sortPaths and expandPath on an empty or
// unreadable path, getRealPath when the existence test itself fails).
/// Whether the file system holding `path` is mounted read-only (false when
/// it cannot be asked).
ZORV_API bool isFilesystemReadOnly(const char* path);
/// Whether the absolute text of `child` begins with that of `parent`
/// followed by a separator (a test on text: /a/b is a parent of /a/b/c, not
/// of /a/b nor /a/bc). Throws std::filesystem::filesystem_error for an empty
/// argument.
ZORV_API bool isParentPath(const std::string& parent, const std::string& child);
/// The canonical path (absolute, every link resolved); "" (logged) for an
/// empty or missing path. Throws std::filesystem::filesystem_error when
/// existence itself cannot be tested (no search permission on the way).
ZORV_API std::string getRealPath(const std::string& path);
/// The canonical form of the directory part of `path` joined with its final
/// component, which stays unresolved (a link names itself); "" on failure.
ZORV_API std::string getLinkRealPath(const std::string& path);
/// `path` with runs of '/' collapsed and a trailing '/' or "/*" removed
/// (/usr//lib/ gives /usr/lib; the root stays /).
ZORV_API std::string formatPath(const std::string& path);
/// Byte-wise less-than between the absolute forms of `a` and `b`, the order
/// of sortPaths(). Throws std::filesystem::filesystem_error for an empty
/// argument.
ZORV_API bool comparePaths(const std::filesystem::path& a, const std::filesystem::path& b);
/// `paths` with the ones whose final component holds '*' expanded
/// (expandPath()), sorted by comparePaths(). Lets std::filesystem errors
/// pass.
ZORV_API std::vector<std::string> sortPaths(const std::vector<std::string>& paths);
/// The entries of the directory of `pattern` whose names match its final
/// component (matchesPattern1()), dot files included. Throws
/// std::filesystem::filesystem_error when the directory cannot be opened or
/// the pattern has none.
ZORV_API std::vector<std::filesystem::path> expandPath(const std::filesystem::path& pattern);
/// The nearest existing directory at or above the part of `path` before its
/// first wildcard; "" when there is none.
ZORV_API std::string findFirstValidParentDir(const std::string& path);
/// The directory text before the first wildcard of `path` (without one, the
/// text before its last '/').
ZORV_API std::string getParentDirWithoutWildcard(const std::string& path);

// Path tests. pathIsDir and pathIsLinkFile examine the entry itself, without
// following a final symbolic link: 1 yes, 0 no (also when it cannot be
// examined). pathIsExists follows the link: 0 exists, -1 not (a dangling link
// does not exist).
/// Whether `path` itself is a directory: 1 yes, 0 no or not examinable.
ZORV_API int pathIsDir(const char* path);
/// Whether `path` itself is a symbolic link: 1 yes, 0 no or not examinable.
ZORV_API int pathIsLinkFile(const char* path);
/// Whether `path` exists, following links: 0 exists, -1 not.
ZORV_API int pathIsExists(const char* path);

// Text helpers. They work on bytes, never on characters of an encoding, and
// return new strings; only splitString fills a vector of the caller's.
/// `text` with every non-overlapping `oldStr`, from the left, replaced by
/// `newStr`.
ZORV_API std::string replaceString(const std::string& text, const std::string& oldStr,
                                   const std::string& newStr);
/// `text` with a leading `oldStr` replaced by `newStr`; otherwise `text`.
ZORV_API std::string replaceBeginString(const std::string& text, const std::string& oldStr,
                                        const std::string& newStr);
/// `text` without any non-overlapping `subStr`, from the left.
ZORV_API std::string removeSubString(const std::string& text, const std::string& subStr);
/// `text` without a leading `subStr`; otherwise `text`.
ZORV_API std::string removeFirstSubString(const std::string& text, const std::string& subStr);
/// `text` without leading and trailing blanks, tabs, line feeds and carriage
/// returns.
ZORV_API std::string trim(const std::string& text);
/// Replaces the contents of `out` by the non-empty pieces of `text` between
/// occurrences of `delimiter`.
ZORV_API void splitString(const std::string& text, const char& delimiter, std::vector<std::string>& out);
/// Whether `text` holds a backslash.
ZORV_API bool containsEscapeChars(const std::string& text);
/// `text` without its backslashes.
ZORV_API std::string removeEscapeChars(const std::string& text);

// Sectioned key/value files, read like readFile (regular files of at most
// 64 MiB; anything else gives an error line and an empty result).
/// The sections ("[name]") of the file `file` with their keys and values:
/// '#' comments, trimmed keys and values, assignments outside a named section
/// ignored, the first value of a key wins; empty when the file cannot be
/// read.
ZORV_API std::unordered_map<std::string, std::unordered_map<std::string, std::string>> parseConfig(
    const std::string& file);
/// The keys of the file `file` as "section.key" with their values: ';' and
/// '#' comments, blanks removed from values, the last value of a key wins;
/// empty when the file cannot be read.
ZORV_API std::map<std::string, std::string> readConfig(const std::string& file);
/// `text` with each "<name>" whose name is in `vars` replaced by its value, at
/// most 100 per call; inserted text is not expanded again, `vars` only read.
ZORV_API std::string replaceVariable(std::unordered_map<std::string, std::string>& vars, std::string text);

// Whole-file helpers. readFile reads regular files only (a /proc file is
// one) of at most 64 MiB (67,108,864 bytes): for anything else -- a missing
// file, a directory, FIFO or device (refused without being opened, so it
// never blocks), a larger file -- it logs one error line and returns "";
// writeFile rewrites the file in place and returns false when it cannot be
// opened or when writing or closing it fails.
/// The contents of the regular file `path` (a /proc file is one) of at most
/// 64 MiB, byte for byte; "" and one error line for anything else: a missing
/// file, a directory, FIFO or device (never opened, so it never blocks), a
/// larger file.
ZORV_API std::string readFile(const std::string& path);
/// Rewrites the file `path` with `content`. @return false when it cannot be
/// opened, written or closed.
ZORV_API bool writeFile(const std::string& path, const std::string& content);

// Queries of the running system.
/// The key/value pairs of the kernel command line (/proc/cmdline; a word
/// without '=' has an empty value); empty when it cannot be read.
ZORV_API std::vector<std::pair<std::string, std::string>> parseKernelCmdline();
/// Every process whose executable link can be read, by the link's text.
ZORV_API std::map<std::string, std::vector<int>> findProcessExeFile();
/// The ancestors of `pid`, from its parent upwards, without the init
/// process. Throws std::out_of_range for a parent id beyond the range of int.
ZORV_API std::vector<int> getAllParent(int pid);
/// Whether a directory of PATH holds `command` with the owner-execute bit.
/// Thread-safe while no thread changes the environment.
ZORV_API bool commandExists(const std::string& command);
/// The lines `command`, run by /bin/sh, writes to its standard output, one
/// element per line (lines longer than 1023 bytes come in pieces); empty when
/// the command could not run, failed or was killed.
ZORV_API std::vector<std::string> executeCommand(const std::string& command);

#endif  // ZORV_UTIL_HPP
