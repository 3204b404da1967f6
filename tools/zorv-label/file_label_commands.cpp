// A file's own label, kept in its extended attribute "security.zorv", read and
// written through the library's label model.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tool.h"

namespace zorvtool {

namespace {

std::string idText(const Id& id) { return identifierText(ZORV_ID{id.pkg_id, id.file_id, id.path_id}); }

Json labelJson(const std::string& path, Label& label) {
    return {{"path", path},
            {"label", label.toString()},
            {"oid", idText(label.oid_)},
            {"tid", label.tid_},
            {"sid", idText(label.sid_)},
            {"inherit", label.inheritFlag_},
            {"creator_oid", idText(label.creatorOid_)}};
}

void requireFile(const std::string& path, bool noFollow) {
    requireUtf8(path, "path");
    struct stat st;
    if ((noFollow ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) != 0)
        usageError(printable(path) + ": " + std::strerror(errno));
}

}  // namespace

void addFileLabelCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::string path, label;
        bool noFollow = false;
    };
    auto args = std::make_shared<Args>();
    CLI::App* file = app.add_subcommand("file", "read or write a file's own label (security.zorv)");
    file->require_subcommand(1);

    CLI::App* get = file->add_subcommand("get", "print the label stored on a file");
    get->add_option("path", args->path, "the file")->required();
    get->add_flag("-P,--no-follow", args->noFollow, "read a symbolic link's own label");
    tool.on(get, [&tool, args] {
        requireFile(args->path, args->noFollow);
        Label label;
        int status = label.getFromXattr(args->path, args->noFollow);
        if (status != 0) refused("file get " + printable(args->path), "no label can be read from this file");
        tool.out.result(label.toString(), labelJson(args->path, label));
    });

    CLI::App* set = file->add_subcommand("set", "store a label on a file");
    set->add_option("path", args->path, "the file")->required();
    set->add_option("label", args->label, "OID:TID:SID:INHERIT:CREATOR, identifiers such as 1-0-2a")->required();
    set->add_flag("-P,--no-follow", args->noFollow, "label a symbolic link itself");
    tool.on(set, [&tool, args] {
        Label label = parseLabel(args->label);
        requireFile(args->path, args->noFollow);
        int status = label.setToXattr(args->path, args->noFollow);
        if (status != 0) refused("file set " + printable(args->path), "the label could not be stored");
        tool.out.changed(labelJson(args->path, label));
    });
}

}  // namespace zorvtool
