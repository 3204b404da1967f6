// Results too many to hold: a table kept in a temporary file until its
// widths are known, and a JSON array written as its elements come.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace zorvtool {

namespace {

[[noreturn]] void spoolFailed() {
    throw Failure(kRefused, std::string("cannot keep the listing in a temporary file: ") + std::strerror(errno));
}

// A file without a name, so that nothing is left behind whatever happens.
FILE* anonymousFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/zorv-label-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) spoolFailed();
    ::unlink(name.c_str());
    FILE* file = ::fdopen(fd, "w+");
    if (file == nullptr) {
        ::close(fd);
        spoolFailed();
    }
    return file;
}

}  // namespace

SpooledTable::SpooledTable(std::vector<std::string> header)
    : header_(std::move(header)), widths_(header_.size(), 0), spool_(anonymousFile(), &std::fclose) {
    for (size_t c = 0; c < header_.size(); ++c) widths_[c] = displayWidth(header_[c]);
}

void SpooledTable::add(const std::vector<std::string>& row) {
    for (size_t c = 0; c < row.size(); ++c) {
        // The last column is not padded: its width does not matter.
        if (c + 1 < row.size()) widths_[c] = std::max(widths_[c], displayWidth(row[c]));
        std::fputs(row[c].c_str(), spool_.get());
        std::fputc(c + 1 < row.size() ? '\t' : '\n', spool_.get());
    }
}

void SpooledTable::print(Output& out) {
    if (std::fflush(spool_.get()) != 0 || std::ferror(spool_.get()) || std::fseek(spool_.get(), 0, SEEK_SET) != 0)
        spoolFailed();
    std::string text;
    auto print = [&](const std::vector<std::string>& row) {
        text.clear();
        for (size_t c = 0; c < row.size(); ++c) {
            text += row[c];
            if (c + 1 < row.size()) text.append(widths_[c] - displayWidth(row[c]) + 2, ' ');
        }
        out.line(text);
    };
    print(header_);
    std::unique_ptr<char, decltype(&std::free)> buffer(nullptr, &std::free);
    size_t room = 0;
    std::vector<std::string> row(header_.size());
    for (;;) {
        char* raw = buffer.release();
        const ssize_t n = ::getline(&raw, &room, spool_.get());
        buffer.reset(raw);
        if (n <= 0) break;
        // Each row has the header's number of cells; the last ends with the newline.
        const char *cell = raw, *end = raw + n - 1;
        for (std::string& r : row) {
            const char* tab = static_cast<const char*>(std::memchr(cell, '\t', end - cell));
            if (tab == nullptr) tab = end;
            r.assign(cell, tab);
            cell = std::min(tab + 1, end);
        }
        print(row);
    }
    if (std::ferror(spool_.get())) spoolFailed();
}

void JsonList::add(const Json& element) {
    out_.line(any_ ? held_ + "," : "[");
    // The element as the whole array's dump indents it, less the brackets.
    const std::string text = jsonText(Json::array({element}), 2);
    held_.assign(text, 2, text.size() - 4);
    any_ = true;
}

void JsonList::close() {
    if (!any_) return out_.line("[]");
    out_.line(held_);
    out_.line("]");
}

}  // namespace zorvtool
