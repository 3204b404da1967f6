// export, import and backup: everything the service holds, as one JSON
// document or as a copy of its database (root only, over its administration
// interface). The tool opens each file itself, with the caller's own rights,
// and passes the service the open descriptor; a file written is written
// under a temporary name and renamed into place once complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "service_call.h"
#include "tool.h"
#include "util/file_descriptor.h"

namespace zorvtool {

namespace {

// A file that takes `path`'s place only when committed.
class NewFile {
public:
    NewFile(const std::string& path, mode_t mode) : path_(path), temporary_(path + ".XXXXXX") {
        requireUtf8(path, "file name");
        fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
        if (fd_ < 0) usageError("cannot create " + printable(temporary_) + ": " + std::strerror(errno));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, mode & ~mask);
    }
    ~NewFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temporary_.c_str());
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    int fd() const { return fd_; }
    void commit() {
        int fd = fd_;
        fd_ = -1;
        if (::fsync(fd) != 0 || ::close(fd) != 0)
            throw Failure(kRefused, "cannot write " + printable(path_) + ": " + std::strerror(errno));
        if (::rename(temporary_.c_str(), path_.c_str()) != 0)
            throw Failure(kRefused, "cannot put " + printable(path_) + " in place: " + std::strerror(errno));
        committed_ = true;
    }

private:
    std::string path_, temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

using Counts = std::map<std::string, uint64_t>;

// Export or Import of the document behind `fd`; the counts by kind.
template <const zorv::protocol::Member& M>
Counts transfer(int fd) {
    AdminClient admin;
    Counts counts;
    Call<M>(wire::Descriptor{fd}).invoke(admin, counts);
    return counts;
}

void printCounts(Tool& tool, const char* done, const std::string& path, const Counts& counts) {
    Json result{{"path", path}};
    std::string text;
    for (const auto& [key, n] : counts) {
        result[key] = n;
        text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + printable(key);
    }
    tool.out.result(std::string(done) + " " + text + (path == "-" ? "" : " (" + printable(path) + ")"), result);
}

bool standardStream(const std::string& file) { return file.empty() || file == "-"; }

}  // namespace

void addBackupCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::string file;
    };
    auto args = std::make_shared<Args>();

    CLI::App* exportCommand =
        app.add_subcommand("export", "write everything the service holds as one JSON document (root)");
    exportCommand->add_option("file", args->file, "where to (default or -: standard output)");
    tool.on(exportCommand, [&tool, args] {
        if (standardStream(args->file)) {
            // The document is the result; the counts are not printed.
            (void)tool.out.finish();
            transfer<zorv::protocol::admin::Export>(tool.out.descriptor());
            return;
        }
        NewFile file(args->file, 0666);
        const Counts counts = transfer<zorv::protocol::admin::Export>(file.fd());
        file.commit();
        printCounts(tool, "exported", args->file, counts);
    });

    CLI::App* importCommand =
        app.add_subcommand("import", "load an exported document into a service that holds nothing yet (root)");
    importCommand->add_option("file", args->file, "where from (default or -: standard input)");
    tool.on(importCommand, [&tool, args] {
        int fd = STDIN_FILENO;
        zorv::detail::FileDescriptor opened;
        if (!standardStream(args->file)) {
            requireUtf8(args->file, "file name");
            opened = zorv::detail::FileDescriptor(::open(args->file.c_str(), O_RDONLY | O_CLOEXEC));
            if (!opened.valid()) usageError("cannot open " + printable(args->file) + ": " + std::strerror(errno));
            fd = opened.get();
        }
        const Counts counts = transfer<zorv::protocol::admin::Import>(fd);
        printCounts(tool, "imported", standardStream(args->file) ? "-" : args->file, counts);
    });

    CLI::App* backup = app.add_subcommand("backup", "copy the service's database while it runs (root)");
    backup->add_option("file", args->file, "the copy (mode 0600)")->required();
    tool.on(backup, [&tool, args] {
        if (args->file == "-") usageError("a backup goes to a file, not to standard output");
        NewFile file(args->file, 0600);
        AdminClient admin;
        uint64_t size = 0;
        Call<zorv::protocol::admin::Backup>(wire::Descriptor{file.fd()}).invoke(admin, size);
        file.commit();
        tool.out.result("copied " + std::to_string(size) + " bytes to " + printable(args->file),
                        {{"path", args->file}, {"size", size}});
    });
}

}  // namespace zorvtool
