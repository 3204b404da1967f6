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

#include "admin_client.h"
#include "protocol/members.h"
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

// Calls `member` with `fd` passed along.
AdminClient::Message callWithFile(const zorv::protocol::Member& member, int fd) {
    AdminClient admin;
    AdminClient::Message call = AdminClient::newCall(member.name);
    if (!dbus_message_append_args(call.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID)) throw std::bad_alloc();
    AdminClient::Message reply = admin.call(call.get(), member.timeoutMs);
    if (!dbus_message_has_signature(reply.get(), member.out))
        throw Failure(kRefused, std::string("the service answered ") + member.name + " with something else");
    return reply;
}

std::map<std::string, uint64_t> readCounts(DBusMessage* reply) {
    std::map<std::string, uint64_t> counts;
    DBusMessageIter it, items;
    dbus_message_iter_init(reply, &it);
    dbus_message_iter_recurse(&it, &items);
    for (; dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&items)) {
        DBusMessageIter e;
        dbus_message_iter_recurse(&items, &e);
        const char* key = "";
        dbus_uint64_t n = 0;
        dbus_message_iter_get_basic(&e, &key);
        dbus_message_iter_next(&e);
        dbus_message_iter_get_basic(&e, &n);
        counts[key] = n;
    }
    return counts;
}

void printCounts(Tool& tool, const char* done, const std::string& path, const std::map<std::string, uint64_t>& counts) {
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
            callWithFile(zorv::protocol::admin::Export, tool.out.descriptor());
            return;
        }
        NewFile file(args->file, 0666);
        AdminClient::Message reply = callWithFile(zorv::protocol::admin::Export, file.fd());
        file.commit();
        printCounts(tool, "exported", args->file, readCounts(reply.get()));
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
        AdminClient::Message reply = callWithFile(zorv::protocol::admin::Import, fd);
        printCounts(tool, "imported", standardStream(args->file) ? "-" : args->file, readCounts(reply.get()));
    });

    CLI::App* backup = app.add_subcommand("backup", "copy the service's database while it runs (root)");
    backup->add_option("file", args->file, "the copy (mode 0600)")->required();
    tool.on(backup, [&tool, args] {
        if (args->file == "-") usageError("a backup goes to a file, not to standard output");
        NewFile file(args->file, 0600);
        AdminClient::Message reply = callWithFile(zorv::protocol::admin::Backup, file.fd());
        dbus_uint64_t size = 0;
        dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT64, &size, DBUS_TYPE_INVALID);
        file.commit();
        tool.out.result("copied " + std::to_string(size) + " bytes to " + printable(args->file),
                        {{"path", args->file}, {"size", size}});
    });
}

}  // namespace zorvtool
