// apply: many changes of recorded attributes in one process, over the
// library's one bus connection. Every line is checked before the first change
// is sent, so that a malformed line changes nothing; then each change is sent
// in order and reported, and a refused one does not stop the others.
#include <algorithm>
#include <memory>

#include "tool.h"

namespace zorvtool {

namespace {

// Splits a line into words as a shell would for these commands: blanks
// separate, '...' keeps everything, "..." keeps everything but \" and \\,
// and a backslash outside quotes keeps the next character.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            if (inWord) out.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            if (++i == line.size()) usageError("a backslash ends the line");
            word += line[i];
        } else if (c == '\'') {
            size_t close = line.find('\'', i + 1);
            if (close == std::string::npos) usageError("a ' is not closed");
            word.append(line, i + 1, close - i - 1);
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) usageError("a \" is not closed");
                if (line[i] == '"') break;
                if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
                word += line[i];
            }
        } else {
            word += c;
        }
    }
    if (inWord) out.push_back(std::move(word));
    return out;
}

// The tool's own command words for set, del and clear, parsed by the same
// definitions as its command line.
class LineParser {
public:
    LineParser() {
        app_.require_subcommand(1, 1);
        app_.set_help_flag();
        commands_ = addChangeCommands(app_, words_);
        for (CLI::App* c : commands_) c->set_help_flag();
    }

    AttributeChange parse(std::vector<std::string> args) {
        if (args[0] != "set" && args[0] != "del" && args[0] != "clear")
            usageError("'" + printable(args[0]) + "' is none of set, del, clear");
        words_ = ChangeWords{};
        std::reverse(args.begin(), args.end());  // CLI11 takes them last first
        try {
            app_.parse(args);
        } catch (const CLI::ParseError& e) {
            usageError(e.what());
        }
        for (size_t i = 0; i < commands_.size(); ++i)
            if (commands_[i]->parsed()) return makeChange(static_cast<AttributeChange::Verb>(i), words_);
        usageError("set, del or clear expected");
    }

private:
    CLI::App app_{"a line of apply", "apply"};
    ChangeWords words_;
    std::vector<CLI::App*> commands_;
};

struct Planned {
    size_t line;
    AttributeChange change;
};

constexpr size_t kMalformedShown = 20;

// Every change of the input, or a usage error that names each malformed line.
std::vector<Planned> plan(const std::string& input) {
    LineParser parser;
    std::vector<Planned> changes;
    std::vector<std::string> malformed;
    size_t bad = 0, number = 0;
    for (size_t start = 0; start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        std::string line = input.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        try {
            if (line[first] == '{') {
                nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
                if (object.is_discarded()) usageError("not valid JSON");
                changes.push_back({number, makeChange(object)});
            } else {
                changes.push_back({number, parser.parse(words(line))});
            }
        } catch (const Failure& f) {
            if (bad++ < kMalformedShown) malformed.push_back("line " + std::to_string(number) + ": " + f.what());
        }
    }
    if (bad == 0) return changes;
    std::string message;
    for (const std::string& m : malformed) message += (message.empty() ? "" : "; ") + m;
    if (bad > kMalformedShown) message += "; and " + std::to_string(bad - kMalformedShown) + " more";
    usageError("apply: " + message + " (nothing was applied)");
}

}  // namespace

void addApplyCommand(CLI::App& app, Tool& tool) {
    struct Args {
        std::string source;
        bool dryRun = false;
    };
    auto args = std::make_shared<Args>();
    CLI::App* apply = app.add_subcommand("apply", "make many set, del and clear changes in one run");
    apply->add_option("file", args->source, "one change a line (default or -: standard input)");
    apply->add_flag("--dry-run", args->dryRun, "check every line and print what would be done; change nothing");
    tool.on(apply, [&tool, args] {
        std::vector<Planned> changes = plan(readInput(args->source, "change list"));
        size_t failed = 0;
        for (size_t i = 0; i < changes.size(); ++i) {
            const Planned& p = changes[i];
            const std::string where = "line " + std::to_string(p.line);
            Json report = {{"line", p.line}};
            report.update(p.change.json());
            std::string error;
            int code = kSuccess;
            if (!args->dryRun) {
                try {
                    p.change.apply();
                } catch (const Failure& f) {
                    error = f.what();
                    code = f.code;
                }
            }
            report["result"] = args->dryRun ? "dry-run" : error.empty() ? "done" : "failed";
            if (!error.empty()) report["error"] = error;
            const char* outcome = args->dryRun ? ": would be done" : ": done";
            if (tool.out.json)
                tool.out.document(report, true);
            else
                tool.out.line(where + ": " + (error.empty() ? p.change.text() + outcome : printableMessage(error)));
            if (code == kUnreachable) {
                const std::string rest = i + 1 < changes.size()
                                             ? "; the lines from " + std::to_string(changes[i + 1].line) +
                                                   " on were not applied"
                                             : "";
                throw Failure(kUnreachable, "apply: " + where + ": " + error + rest);
            }
            failed += !error.empty();
        }
        if (failed > 0)
            throw Failure(kRefused, "apply: " + std::to_string(failed) + " of " + std::to_string(changes.size()) +
                                        " changes failed");
    });
}

}  // namespace zorvtool
