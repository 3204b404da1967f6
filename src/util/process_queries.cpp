// One-shot queries of the running system through /proc and the environment,
// and running a shell command for its output.
#include "util/process_queries.h"

#include <zorv/util.hpp>

#include "log/log.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

// Cuts `text` at every `delimiter`: empty pieces between two delimiters or at
// the start are kept, a delimiter at the very end adds nothing.
std::vector<std::string> cutAt(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::istringstream in(text);
    std::string piece;
    while (std::getline(in, piece, delimiter)) pieces.push_back(piece);
    return pieces;
}

// Appends the whitespace-separated tokens of text[from, to) to `fields` until
// it holds `limit` of them.
void appendTokens(const std::string& text, size_t from, size_t to, size_t limit, std::vector<std::string>& fields) {
    auto blank = [&](size_t i) { return std::isspace(static_cast<unsigned char>(text[i])) != 0; };
    size_t i = from;
    while (fields.size() < limit) {
        while (i < to && blank(i)) ++i;
        if (i >= to) return;
        size_t start = i;
        while (i < to && !blank(i)) ++i;
        fields.emplace_back(text, start, i - start);
    }
}

std::string getProcessExecutablePath(int pid) {
    try {
        return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe").string();
    } catch (const std::filesystem::filesystem_error& e) {
        const int error = errno;
        ZLOG_DEBUG("%s, %s", e.what(), std::strerror(error));
        return std::string();
    }
}

// A /proc entry name made of decimal digits only, as a process id.
bool processIdFromName(const char* name, int& pid) {
    if (*name == '\0') return false;
    long long value = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return false;
    }
    pid = static_cast<int>(value);
    return true;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::vector<std::pair<std::string, std::string>> parseKernelCmdlineText(const std::string& line) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& word : cutAt(line, ' ')) {
        size_t eq = word.find('=');
        if (eq == std::string::npos)
            pairs.emplace_back(word, std::string());
        else
            pairs.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
    return pairs;
}

std::vector<std::pair<std::string, std::string>> parseKernelCmdline() {
    std::ifstream in("/proc/cmdline");
    if (!in.is_open()) {
        ZLOG_ERROR("open /proc/cmdline failed.");
        return {};
    }
    std::string line;
    std::getline(in, line);
    return parseKernelCmdlineText(line);
}

int parentPidFromStat(const std::string& stat) {
    // The command name stands in parentheses and may itself hold blanks and
    // parentheses; it ends at the last ')' of the text, so a process cannot
    // pass off words of its name as the fields that follow it.
    const size_t kParentField = 4;
    std::vector<std::string> fields;
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos) {
        appendTokens(stat, 0, stat.size(), kParentField, fields);
    } else {
        appendTokens(stat, 0, open, kParentField, fields);
        if (close == std::string::npos || close < open) return -1;  // name never closed
        fields.emplace_back(stat, open, close + 1 - open);
        appendTokens(stat, close + 1, stat.size(), kParentField, fields);
    }
    if (fields.size() < kParentField) return -1;
    try {
        return std::stoi(fields[kParentField - 1]);
    } catch (const std::invalid_argument&) {
        return -1;
    }
}

int getParentPid(int pid) {
    return parentPidFromStat(readFile("/proc/" + std::to_string(pid) + "/stat"));
}

std::vector<int> getAllParent(int pid) {
    std::vector<int> parents;
    if (pid < 2) return parents;
    for (int current = pid;;) {
        int parent = getParentPid(current);
        if (parent == -1 || parent == 1) {
            ZLOG_ERROR("current pid %d.", current);
            return parents;
        }
        parents.push_back(parent);
        if (parent <= 1) return parents;  // 0: the chain of a kernel thread
        current = parent;
    }
}

std::map<std::string, std::vector<int>> findProcessExeFile() {
    std::map<std::string, std::vector<int>> executables;
    std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) {
        ZLOG_ERROR("open /proc failed.");
        return executables;
    }
    while (const struct dirent* entry = ::readdir(proc.get())) {
        int pid = 0;
        if (entry->d_type != DT_DIR || !processIdFromName(entry->d_name, pid)) continue;
        std::string exe = getProcessExecutablePath(pid);
        if (!exe.empty()) executables[exe].push_back(pid);
    }
    return executables;
}

bool commandExists(const std::string& command) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    for (const std::string& dir : cutAt(path, ':')) {
        struct stat st;
        if (::stat((dir + "/" + command).c_str(), &st) == 0 && (st.st_mode & S_IXUSR)) return true;
    }
    return false;
}

std::vector<std::string> executeCommand(const std::string& command) {
    if (command.empty()) {
        ZLOG_ERROR("command is empty.");
        return {};
    }
    // "e": our end of the pipe is not inherited by processes that other
    // threads start meanwhile.
    FILE* pipe = ::popen(command.c_str(), "re");
    if (!pipe) {
        ZLOG_ERROR("Failed to execute command: %s", command.c_str());
        return {};
    }
    struct PipeCloser {
        FILE* pipe;
        ~PipeCloser() {
            if (pipe) ::pclose(pipe);
        }
    } closer{pipe};

    std::vector<std::string> lines;
    char buffer[1024] = {};
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        size_t length = std::strlen(buffer);
        if (length > 0 && buffer[length - 1] == '\n') --length;
        lines.emplace_back(buffer, length);
    }
    closer.pipe = nullptr;
    const int status = ::pclose(pipe);
    if (status == -1) return lines;  // no status to judge (SIGCHLD ignored by the caller)
    if (WIFSIGNALED(status)) {
        ZLOG_ERROR("Command killed by signal %d: %s", WTERMSIG(status), command.c_str());
        return {};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        ZLOG_ERROR("Command failed [%d]: %s", WEXITSTATUS(status), command.c_str());
        return {};
    }
    return lines;
}
