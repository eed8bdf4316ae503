// Reads report files into a report_set: the one way in for every view.
//
// The parser is line-driven and never stops early: a line it cannot read
// becomes a warning with its file and line number, and whatever it would
// have fed (a block, a report) is left out rather than shown with wrong
// numbers. A report without its "END" line, as when the process died while
// writing it, is left out with a warning.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "report_model.h"

namespace quarrow::report {

class report_parser {
public:
    explicit report_parser(report_set &set);
    ~report_parser();
    report_parser(const report_parser &) = delete;
    report_parser &operator=(const report_parser &) = delete;

    // Reads a whole file ("-" is standard input). Returns false, with a
    // warning, when it cannot be opened or read.
    bool parse_file(const std::string &path);
    // Parses text held in memory under the given name.
    void parse_text(std::string_view text, const std::string &name);

    // The pieces the two above are made of.
    void begin_file(const std::string &name);
    // One line without its newline; terminated is false for a last line
    // that the file ends without a newline, i.e. a line that may be cut.
    void feed_line(std::string_view line, bool terminated);
    // A line too long to be anything the writer prints.
    void feed_overlong_line();
    void end_file();

private:
    struct state;
    std::unique_ptr<state> _state;
};

report_set parse_report_files(const std::vector<std::string> &paths);

// Seconds since 1970 for a time written by strftime's "%c" in the POSIX
// locale ("Thu Jan  1 00:00:00 1970"), read as UTC; nothing otherwise.
std::optional<int64_t> parse_report_time(std::string_view text);

} // namespace quarrow::report
