// Utilities of libzorvlabelmgr that the service and its tools share: hashing,
// wildcards, paths, path tests, strings, configuration files, whole files and
// queries of the running system. They work locally and never talk to the
// service.
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
ZORV_API std::string getSM3HashValue(const std::string& input);
ZORV_API unsigned int getSM3HashLast32Bits(const std::string& input);
ZORV_API unsigned long getSM3HashLast64Bits(const std::string& input);
ZORV_API unsigned int getKmodNameHash(const char* name, unsigned int len);

// Wildcards. `matchesPattern` matches the whole text case-insensitively
// against the regular expression of `wildcardsToRegex` (std::regex_error when
// that does not compile), in time linear in pattern x text for wildcards and
// every expression without back-references, assertions, counted repetition or
// class escapes. Those few go to a backtracking engine that may take at most
// 4,194,304 steps and half the stack the calling thread has left; past either
// bound, and for an expression longer than 262,144 characters or too large to
// compile in 8 MiB, the call logs an error and returns false;
// `matchesPattern1` is fnmatch with FNM_PATHNAME; `searchFilesByPattern` is
// glob with GLOB_TILDE; `traverseDirectory` appends
// `dir` and everything below it to `out` (links are not followed) and returns
// 0, or -1 when `dir` itself cannot be opened.
ZORV_API bool containsWildcard(const std::string& text);
ZORV_API std::string wildcardsToRegex(const std::string& wildcard);
ZORV_API bool matchesPattern(const std::string& pattern, const std::string& text);
ZORV_API bool matchesPattern1(const std::filesystem::path& path, const std::string& pattern);
ZORV_API std::vector<std::string> searchFilesByPattern(const std::string& pattern);
ZORV_API int traverseDirectory(const std::string& dir, std::vector<std::string>& out);

// Paths. Functions that take absolute forms place relative paths under the
// current directory; those documented to do so let std::filesystem errors
// pass (isParentPath, comparePaths, sortPaths and expandPath on an empty or
// unreadable path, getRealPath when the existence test itself fails).
ZORV_API bool isFilesystemReadOnly(const char* path);
ZORV_API bool isParentPath(const std::string& parent, const std::string& child);
ZORV_API std::string getRealPath(const std::string& path);
ZORV_API std::string getLinkRealPath(const std::string& path);
ZORV_API std::string formatPath(const std::string& path);
ZORV_API bool comparePaths(const std::filesystem::path& a, const std::filesystem::path& b);
ZORV_API std::vector<std::string> sortPaths(const std::vector<std::string>& paths);
ZORV_API std::vector<std::filesystem::path> expandPath(const std::filesystem::path& pattern);
ZORV_API std::string findFirstValidParentDir(const std::string& path);
ZORV_API std::string getParentDirWithoutWildcard(const std::string& path);

// Path tests. pathIsDir and pathIsLinkFile examine the entry itself, without
// following a final symbolic link: 1 yes, 0 no (also when it cannot be
// examined). pathIsExists follows the link: 0 exists, -1 not (a dangling link
// does not exist).
ZORV_API int pathIsDir(const char* path);
ZORV_API int pathIsLinkFile(const char* path);
ZORV_API int pathIsExists(const char* path);

// Text helpers. They work on bytes, never on characters of an encoding, and
// return new strings; only splitString fills a vector of the caller's.
ZORV_API std::string replaceString(const std::string& text, const std::string& oldStr,
                                   const std::string& newStr);
ZORV_API std::string replaceBeginString(const std::string& text, const std::string& oldStr,
                                        const std::string& newStr);
ZORV_API std::string removeSubString(const std::string& text, const std::string& subStr);
ZORV_API std::string removeFirstSubString(const std::string& text, const std::string& subStr);
// Strips blanks, tabs, line feeds and carriage returns at both ends.
ZORV_API std::string trim(const std::string& text);
// Replaces the contents of `out` by the non-empty pieces between delimiters.
ZORV_API void splitString(const std::string& text, const char& delimiter, std::vector<std::string>& out);
ZORV_API bool containsEscapeChars(const std::string& text);
ZORV_API std::string removeEscapeChars(const std::string& text);

// Sectioned key/value files, read like readFile (regular files of at most
// 64 MiB; anything else gives an error line and an empty result).
// parseConfig: '#' comments, trimmed keys and values, assignments outside a
// named section ignored, first value wins.
ZORV_API std::unordered_map<std::string, std::unordered_map<std::string, std::string>> parseConfig(
    const std::string& file);
// readConfig: ';' and '#' comments, keys stored as "section.key", blanks
// removed from values, last value wins.
ZORV_API std::map<std::string, std::string> readConfig(const std::string& file);
// Replaces each "<name>" found in `vars` by its value, at most 100 per call;
// inserted text is not expanded again.
ZORV_API std::string replaceVariable(std::unordered_map<std::string, std::string>& vars, std::string text);

// Whole-file helpers. readFile reads regular files only (a /proc file is
// one) of at most 64 MiB (67,108,864 bytes): for anything else -- a missing
// file, a directory, FIFO or device (refused without being opened, so it
// never blocks), a larger file -- it logs one error line and returns "";
// writeFile rewrites the file in place and returns false when it cannot be
// opened or when writing or closing it fails.
ZORV_API std::string readFile(const std::string& path);
ZORV_API bool writeFile(const std::string& path, const std::string& content);

// Queries of the running system.
ZORV_API std::vector<std::pair<std::string, std::string>> parseKernelCmdline();
// Executable link text -> ids of the processes running it.
ZORV_API std::map<std::string, std::vector<int>> findProcessExeFile();
// Ancestors of `pid` from its parent upwards, without the init process.
// Throws std::out_of_range for a parent id beyond the range of int.
ZORV_API std::vector<int> getAllParent(int pid);
ZORV_API bool commandExists(const std::string& command);
// Standard output of `command` run through /bin/sh, one element per line
// (lines longer than 1023 bytes come in pieces); empty when the command could
// not run, failed or was killed.
ZORV_API std::vector<std::string> executeCommand(const std::string& command);

#endif  // ZORV_UTIL_HPP
