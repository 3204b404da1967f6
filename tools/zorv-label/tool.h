// zorv-label: shared pieces of the commands. Every command reports failure by
// throwing Failure; main() turns it into one line on standard error and the
// exit code.
#pragma once

#include <zorv/labelmgr.hpp>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "json_forms.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct DBusConnection;  // libdbus

namespace zorvtool {

// Keys stay in the order the tool writes them.
using Json = nlohmann::ordered_json;

// Exit codes, as the manual page lists them.
enum Exit : int {
    kSuccess = 0,
    kRefused = 1,      // the service or the label model refused or failed the request
    kUsage = 2,        // bad command line or argument; nothing was sent
    kUnreachable = 3,  // no bus, or the label manager service is not on it
};

struct Failure : std::runtime_error {
    Failure(int code, const std::string& message) : std::runtime_error(message), code(code) {}
    int code;
};

[[noreturn]] inline void usageError(const std::string& message) { throw Failure(kUsage, message); }

// --- Library status -------------------------------------------------------

// Makes the library's logger ready before any call: whatever it prints while
// it sets itself up stays off standard output, and the error lines it logs
// from then on are kept, so that a failure can say what went wrong.
void prepareLibraryLog();

// Turns a failed library status into a Failure. -1 means the service (or the
// label model) answered no: `refusal` says what that means for the command.
// Anything lower is a call that could not be completed: exit 3 when the bus or
// the service cannot be reached, else 1 with the reason in words.
[[noreturn]] void callFailed(const std::string& context, int status, const std::string& refusal);
// The same for calls that only say "failed" (an empty string, a null
// pointer): a "not found" from the service is reported as such.
[[noreturn]] void callFailed(const std::string& context, const std::string& refusal);
// A refusal by the service or a local failure of the label model: exit 1,
// with the library's explanation when it logged one.
[[noreturn]] void refused(const std::string& context, const std::string& reason);
inline void checkStatus(int status, const std::string& context, const std::string& refusal) {
    if (status < 0) callFailed(context, status, refusal);
}
// Whether the label manager service is on the bus, asked over one private
// connection kept between questions (a new one once the bus has gone).
class ServicePresence {
public:
    // Why the service cannot be reached, or "" when it is on the bus.
    std::string absence();

private:
    struct Close {
        void operator()(DBusConnection* bus) const;
    };
    std::unique_ptr<DBusConnection, Close> bus_;
};
// What a refused change means for a caller who is not root.
std::string changeRefusal(const std::string& reason);

// --- Arguments ------------------------------------------------------------

// Unsigned number in decimal or 0x-prefixed hexadecimal, within [low, high].
uint64_t parseNumber(const std::string& text, const char* what, uint64_t low, uint64_t high);
// Identifier triple: three hexadecimal numbers joined by "-", such as
// "1-0-2a" or the 50-character form the tool prints.
ZORV_ID parseIdentifier(const std::string& text, const char* what);
// A label in its text form OID:TID:SID:INHERIT:CREATOR, identifiers as above.
Label parseLabel(const std::string& text);
// A path for the service: valid UTF-8, not empty, made absolute from the
// current directory when relative (the service keeps absolute paths only).
std::string servicePath(const std::string& text);
// Refuses text that is not valid UTF-8 (libdbus would refuse it too).
void requireUtf8(const std::string& text, const char* what);
// A name for the service (a device, module or package): valid UTF-8, not empty.
void requireName(const std::string& text, const char* what);
// The whole content of a file, or of standard input for "-" or "".
std::string readInput(const std::string& source, const char* what);
// The non-empty lines of a list file, or of standard input for "-" or "";
// with `nul` the entries are separated by NUL bytes instead.
std::vector<std::string> readList(const std::string& source, bool nul);

// --- Output ---------------------------------------------------------------

// Standard output carries only results; it is written through this object.
// With --json every command writes JSON (zorv-label(1) gives each one's keys).
class Output {
public:
    // Takes over the process's standard output for results and points file
    // descriptor 1 at standard error, so that nothing else can reach it.
    void claimStdout();
    // Flushes; false when the results could not all be written.
    bool finish();

    bool json = false;

    void line(const std::string& text);
    // One JSON document; with `compact` on one line, flushed at once.
    void document(const Json& value, bool compact = false);
    // Plain text or JSON, as the --json option asks.
    void result(const std::string& text, const Json& value);
    // The result of a change: JSON only; a change that worked says nothing.
    void changed(const Json& value) {
        if (json) document(value);
    }
    // Columns padded to the widest cell; the last column is not padded.
    void table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);
    // The descriptor of the results, for a command whose result the service
    // writes itself (export to standard output).
    int descriptor() { return fileno(out_); }

private:
    FILE* out_ = stdout;
};

// Columns that `text` takes on a terminal (wide characters count twice).
size_t displayWidth(const std::string& text);

// A table with more rows than are worth holding in memory: the rows wait in
// a temporary file (under $TMPDIR, else /tmp; gone when the table is) while
// the widths of the columns are measured, and print() writes the same text
// as Output::table. Each row has as many cells as the header, none with a
// tab or a newline in it (as printable() gives them).
class SpooledTable {
public:
    explicit SpooledTable(std::vector<std::string> header);
    void add(const std::vector<std::string>& row);
    void print(Output& out);

private:
    std::vector<std::string> header_;
    std::vector<size_t> widths_;
    std::unique_ptr<FILE, int (*)(FILE*)> spool_;
};

// A JSON array written one element at a time, in the same text as
// Output::document gives the whole array.
class JsonList {
public:
    explicit JsonList(Output& out) : out_(out) {}
    void add(const Json& element);
    void close();

private:
    Output& out_;
    std::string held_;  // the last element, written once it is known whether another follows
    bool any_ = false;
};

// A name as the tool shows it: control characters, DEL and invalid bytes as
// \n, \t, \r or \xHH, the C1 controls and the bidirectional formatting
// characters as \uHHHH, a backslash as \\; so that one value stays on one
// line of a table and cannot act on the terminal.
std::string printable(const std::string& text);
// The same for a message whose names printable() has shown already: the same
// escapes, but backslashes are left as they are, so that no name is escaped
// twice.
std::string printableMessage(const std::string& text);
// A JSON document as text, indented by `indent` (-1: on one line). Invalid
// UTF-8 becomes U+FFFD; the characters that printable() shows as \uHHHH are
// JSON escapes of the same form, all other text is kept as it is.
std::string jsonText(const Json& value, int indent);

// --- Commands -------------------------------------------------------------

// Options shared by all commands, and the action of each command.
struct Tool {
    Output out;
    std::vector<std::pair<CLI::App*, std::function<void()>>> actions;

    void on(CLI::App* command, std::function<void()> action) { actions.emplace_back(command, std::move(action)); }
};

// One of the five attributes the service keeps per path (attribute_commands.cpp).
struct Attribute;

// One change of a recorded attribute (set, del or clear), checked whole when
// it is made, so that a batch can be checked before any of it is sent. Both
// the command line and apply make them.
struct AttributeChange {
    enum Verb { Set, Del, Clear } verb = Set;
    const Attribute* attribute = nullptr;
    std::string path;  // absolute; empty for clear
    ZORV_ID value{};   // set only; a single number in pkg_id
    bool recursive = false;

    // The command words that make this change again, as one line.
    std::string text() const;
    // What it is as JSON: command, attribute, path, value, recursive.
    Json json() const;
    // Sends it; throws Failure when it is refused or cannot be sent.
    void apply() const;
};

// The raw words of a change, as the command line or a line of apply give them.
struct ChangeWords {
    std::string attribute, path, value;
    bool recursive = false;
};
// Adds set, del and clear to `app`, filling `words`; the returned commands
// are those three, in that order.
std::vector<CLI::App*> addChangeCommands(CLI::App& app, ChangeWords& words);
// Checks the words of `verb` and makes the change; usage errors throw.
AttributeChange makeChange(AttributeChange::Verb verb, const ChangeWords& words);
// The same from one JSON object {"command", "attribute", "path", "value", "recursive"}.
AttributeChange makeChange(const nlohmann::json& object);

void addAttributeCommands(CLI::App& app, Tool& tool);
void addFileLabelCommands(CLI::App& app, Tool& tool);
void addLookupCommands(CLI::App& app, Tool& tool);
void addPackageCommands(CLI::App& app, Tool& tool);
void addWatchCommand(CLI::App& app, Tool& tool);
void addHistoryCommand(CLI::App& app, Tool& tool);
void addApplyCommand(CLI::App& app, Tool& tool);
void addPackageListCommand(CLI::App& app, Tool& tool);
void addTreeCommands(CLI::App& app, Tool& tool);
void addBackupCommands(CLI::App& app, Tool& tool);
void addSyncPackagesCommand(CLI::App& app, Tool& tool);

}  // namespace zorvtool
