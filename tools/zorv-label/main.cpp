// zorv-label: the administrator's command-line tool over libzorvlabelmgr.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tool.h"

using namespace zorvtool;

namespace {

// Whether --json was asked for, also when the command line fails to parse.
bool jsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

bool errorsAsJson = false;

// One line, whatever the message holds; with --json one JSON object. The
// names in a message are shown by printable() already; what the service or
// the library said is not, and may quote a name too.
int reportError(const std::string& message, int status) {
    if (errorsAsJson) {
        std::fprintf(stderr, "%s\n", jsonText(errorObject(message, status), -1).c_str());
        return status;
    }
    std::string line = message;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stderr, "zorv-label: %s\n", printableMessage(line).c_str());
    return status;
}

bool isCommand(const CLI::App& app, const std::string& name) {
    try {
        app.get_subcommand(name);
        return true;
    } catch (const CLI::OptionNotFound&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    errorsAsJson = jsonAsked(argc, argv);
    Tool tool;
    CLI::App app{"Read and change the labels kept by the zorv label manager service.", "zorv-label"};
    app.set_version_flag("--version", std::string("zorv-label ") + ZORV_VERSION);
    app.add_flag("--json", tool.out.json, "print results as JSON");
    // --json may follow the command too.
    app.fallthrough();
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 success, 1 refused or failed, 2 usage error, 3 service unreachable.\n"
        "See zorv-label(1).");

    addAttributeCommands(app, tool);
    addApplyCommand(app, tool);
    addFileLabelCommands(app, tool);
    addLookupCommands(app, tool);
    addPackageCommands(app, tool);
    addPackageListCommand(app, tool);
    addWatchCommand(app, tool);
    addHistoryCommand(app, tool);
    addTreeCommands(app, tool);
    addBackupCommands(app, tool);
    addSyncPackagesCommand(app, tool);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // CLI11 calls an unknown command a missing one.
        for (int i = 1; i < argc; ++i) {
            if (argv[i][0] == '-') continue;
            if (!isCommand(app, argv[i]))
                return reportError(std::string("unknown command '") + printable(argv[i]) + "' (see zorv-label --help)",
                                   kUsage);
            break;
        }
        return reportError(std::string(e.what()) + " (see zorv-label --help)", kUsage);
    }

    try {
        tool.out.claimStdout();
        prepareLibraryLog();
        for (auto& [command, action] : tool.actions) {
            if (command->parsed()) {
                action();
                break;
            }
        }
        if (!tool.out.finish())
            return reportError(std::string("cannot write the results: ") + std::strerror(errno), kRefused);
        return kSuccess;
    } catch (const Failure& f) {
        (void)tool.out.finish();
        return reportError(f.what(), f.code);
    } catch (const std::exception& e) {
        (void)tool.out.finish();
        return reportError(e.what(), kRefused);
    }
}
