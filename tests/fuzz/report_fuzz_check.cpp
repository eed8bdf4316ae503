// Checks of the report parser on arbitrary files. The bytes are read as
// `quarrow report` reads a file, through a path, and must give a report_set
// that keeps the parser's promises whatever they are: every warning on a
// line of the file, every kept report on its own TIMESTAMP line and closed
// by an END line, every block on a stack and every stack on frames that
// exist, each frame exactly the text of one STACK line, nothing interned
// twice, and run totals that never lose what the reports hold. The same
// bytes parsed from memory must give the same set, and a second file of the
// same bytes the same runs again without a single new frame or stack.
#include "report_fuzz_check.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "report_parser.h"

using namespace quarrow::report;

namespace {

// The input's lines as the parser numbers them: line n is lines[n - 1].
struct _input {
    std::vector<std::string_view> lines;
    std::set<std::string_view> frame_texts; // of STACK_<n>: lines, after the colon
    size_t longest = 0;                     // line, in bytes

    explicit _input(std::string_view text) {
        while (!text.empty()) {
            size_t newline = text.find('\n');
            std::string_view line = text.substr(0, newline);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            lines.push_back(line);
            longest = std::max(longest, line.size());
            if (newline == std::string_view::npos)
                break;
            text.remove_prefix(newline + 1);
        }
        for (std::string_view line : lines) {
            size_t colon = line.find(':');
            if (line.substr(0, 6) == "STACK_" && colon != std::string_view::npos && colon > 6 &&
                line.substr(6, colon - 6).find_first_not_of("0123456789") == std::string_view::npos)
                frame_texts.insert(line.substr(colon + 1));
        }
    }
    std::string_view at(uint64_t line) const { return lines[line - 1]; }
    // where a report ends at the latest: a new report or a new run
    bool opens_something(uint64_t line) const {
        return at(line).substr(0, 10) == "TIMESTAMP:" || at(line).find("Started log at ") != std::string_view::npos;
    }
};

bool _is_pointer(const std::string &text) {
    if (text == "(nil)")
        return true;
    return text.size() >= 3 && text.size() <= 18 && text.compare(0, 2, "0x") == 0 &&
           text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
}

std::string _frame_text(const report_frame &f) {
    return fmt::format("{}({}):{}+{} ({})", f.library, f.base, f.symbol, f.offset, f.address);
}

std::string _check_frames(const report_set &set, const _input &in) {
    std::set<std::string> seen;
    for (const report_frame &f : set.frames) {
        if (!_is_pointer(f.base) || !_is_pointer(f.offset) || !_is_pointer(f.address))
            return fmt::format("a frame with a field that is not a pointer: {}", _frame_text(f));
        std::string text = _frame_text(f);
        if (!in.frame_texts.count(text))
            return fmt::format("a frame that is no STACK line of the file: {}", text);
        if (!seen.insert(text).second)
            return fmt::format("a frame interned twice: {}", text);
    }
    std::set<std::tuple<int, std::vector<uint32_t>>> stacks;
    for (const report_stack &s : set.stacks) {
        if (int(s.type) >= caller_type_count)
            return "a stack of no caller type";
        for (uint32_t id : s.frames)
            if (id >= set.frames.size())
                return fmt::format("a stack names frame {} of {}", id, set.frames.size());
        if (!stacks.insert({int(s.type), s.frames}).second)
            return "a stack interned twice";
    }
    return "";
}

std::string _check_report(const report_set &set, const _input &in, const report &r, uint64_t end) {
    if (in.at(r.line).substr(0, 10) != "TIMESTAMP:" || in.at(r.line).substr(10) != r.timestamp)
        return fmt::format("the report of line {} is not on its TIMESTAMP line", r.line);
    if (r.time != parse_report_time(r.timestamp))
        return fmt::format("the report of line {} has a time its timestamp does not give", r.line);
    uint64_t line = r.line + 1;
    for (; line < end && in.at(line) != "END"; line++)
        if (in.opens_something(line))
            break;
    if (line >= end || in.at(line) != "END")
        return fmt::format("the report of line {} is kept without its END line", r.line);
    std::set<uint32_t> stacks;
    for (const caller_block &b : r.blocks) {
        if (b.stack >= set.stacks.size())
            return fmt::format("a block of line {}'s report names stack {} of {}", r.line, b.stack, set.stacks.size());
        if (!stacks.insert(b.stack).second)
            return fmt::format("the report of line {} lists stack {} twice", r.line, b.stack);
        if (!is_allocating(set.stacks[b.stack].type) && (b.number_of_allocations || b.total_freed || b.number_of_frees))
            return fmt::format("an unmatched block of line {}'s report has allocation counters", r.line);
    }
    return "";
}

std::string _check_runs(const report_set &set, const _input &in) {
    uint64_t lines = in.lines.size();
    for (size_t i = 0; i < set.runs.size(); i++) {
        const run &r = set.runs[i];
        // only the first run may begin without a start line
        uint64_t end = i + 1 < set.runs.size() ? set.runs[i + 1].line : lines + 1;
        if (r.file != 0 || (r.line == 0 && i != 0) || end <= r.line || end > lines + 1)
            return fmt::format("run {} is not in its file's order (line {}, next at {})", i, r.line, end);
        if (r.line && in.at(r.line).find("Started log at ") == std::string_view::npos)
            return fmt::format("run {} starts on line {}, which is no start line", i, r.line);
        if (r.start_time != parse_report_time(r.started_at))
            return fmt::format("run {} has a start time its start line does not give", i);
        if (r.write_period_seconds.has_value() != r.stack_depth.has_value())
            return fmt::format("run {} has only one of period and depth", i);
        uint64_t last = r.line, discarded = 0;
        for (const report &re : r.reports) {
            if (re.line <= last || re.line >= end)
                return fmt::format("run {}'s report of line {} is out of order or outside the run", i, re.line);
            last = re.line;
            std::string fault = _check_report(set, in, re, end);
            if (!fault.empty())
                return fault;
            if (re.discarded_events.value_or(0) > r.discarded_events)
                return fmt::format("run {} counts {} discarded events, its report of line {} alone {}", i,
                                   r.discarded_events, re.line, *re.discarded_events);
            discarded += re.discarded_events.value_or(0) != 0;
        }
        for (const skipped_report &s : r.skipped)
            if (s.line <= r.line || s.line >= end)
                return fmt::format("run {}'s skipped report of line {} is outside the run", i, s.line);
        if (r.reports_with_discards < discarded || (r.reports_with_discards == 0) != (r.discarded_events == 0) ||
            (r.reports_with_discards == 0) != (r.first_discard_line == 0) ||
            (r.first_discard_line && (r.first_discard_line <= r.line || r.first_discard_line >= end)))
            return fmt::format("run {}'s discard totals do not fit its reports ({} events in {} reports from line {})",
                               i, r.discarded_events, r.reports_with_discards, r.first_discard_line);
    }
    return "";
}

std::string _check_set(const report_set &set, const _input &in) {
    if (set.files.size() != 1 || !set.lookups.empty())
        return "one file parsed, but not one file and no lookups in the set";
    if (set.warning_count < set.warnings.size() || set.warnings.size() > report_set::warning_limit ||
        (set.warning_count > set.warnings.size() && set.warnings.size() != report_set::warning_limit))
        return fmt::format("{} warnings kept of {}", set.warnings.size(), set.warning_count);
    for (const parse_warning &w : set.warnings)
        if (w.file != 0 || w.line == 0 || w.line > in.lines.size())
            return fmt::format("a warning on line {} of a file of {} lines: {}", w.line, in.lines.size(), w.message);
    std::string fault = _check_frames(set, in);
    return fault.empty() ? _check_runs(set, in) : fault;
}

// Everything parsed but the file names, for comparing two parses.
std::string _runs_text(const report_set &set, size_t first_run, size_t file_shift) {
    std::string out;
    auto opt = [](const auto &v) { return v ? fmt::format("{}", *v) : std::string("-"); };
    for (size_t i = first_run; i < set.runs.size(); i++) {
        const run &r = set.runs[i];
        out += fmt::format("run {} {} [{}] {} {} {} {} {} {}\n", r.file - file_shift, r.line, r.started_at,
                           opt(r.start_time), opt(r.write_period_seconds), opt(r.stack_depth), r.discarded_events,
                           r.reports_with_discards, r.first_discard_line);
        for (const report &re : r.reports) {
            out += fmt::format(" report {} [{}] {} {} {}\n", re.line, re.timestamp, opt(re.time), opt(re.max_pending),
                               opt(re.discarded_events));
            for (const caller_block &b : re.blocks)
                out += fmt::format("  {} {} {} {} {}\n", b.stack, b.total_allocated, b.number_of_allocations,
                                   b.total_freed, b.number_of_frees);
        }
        for (const skipped_report &s : r.skipped)
            out += fmt::format(" skipped {} {}\n", s.line, s.reason);
    }
    return out;
}

std::string _warnings_text(const report_set &set, size_t first, size_t file_shift) {
    std::string out;
    for (size_t i = first; i < set.warnings.size(); i++)
        out += fmt::format("{}:{}: {}\n", set.warnings[i].file - file_shift, set.warnings[i].line,
                           set.warnings[i].message);
    return out;
}

std::string _compare_parses(const report_set &by_path, std::string_view text) {
    report_set in_memory;
    report_parser(in_memory).parse_text(text, "memory");
    if (_runs_text(in_memory, 0, 0) != _runs_text(by_path, 0, 0) || in_memory.frames.size() != by_path.frames.size() ||
        in_memory.stacks.size() != by_path.stacks.size())
        return "the file read through its path and from memory gives other runs";
    if (_warnings_text(in_memory, 0, 0) != _warnings_text(by_path, 0, 0) ||
        in_memory.warning_count != by_path.warning_count)
        return "the file read through its path and from memory gives other warnings";
    return "";
}

// The same file twice in one parse: nothing of the first may leak into the
// second, and its frames and stacks are already interned.
std::string _compare_twice(const report_set &once, const std::string &path) {
    report_set twice = parse_report_files({path, path});
    if (twice.frames.size() != once.frames.size() || twice.stacks.size() != once.stacks.size())
        return fmt::format("the same file again interned new frames or stacks ({} -> {} frames, {} -> {} stacks)",
                           once.frames.size(), twice.frames.size(), once.stacks.size(), twice.stacks.size());
    size_t runs = once.runs.size();
    if (twice.runs.size() != 2 * runs || _runs_text(twice, runs, 1) != _runs_text(once, 0, 0))
        return "the same file again gives other runs";
    if (twice.warning_count != 2 * once.warning_count)
        return fmt::format("the same file again gives other warnings ({} then {})", once.warning_count,
                           twice.warning_count - once.warning_count);
    if (2 * once.warnings.size() <= report_set::warning_limit &&
        _warnings_text(twice, once.warnings.size(), 1) != _warnings_text(once, 0, 0))
        return "the same file again gives other warnings";
    return "";
}

} // namespace

std::string check_report_input(const uint8_t *data, size_t size) {
    // a file in memory with a path to open it by, as the command is given one
    int fd = memfd_create("report_fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return "";
    std::string fault;
    if (write(fd, data, size) == ssize_t(size)) {
        std::string path = fmt::format("/proc/self/fd/{}", fd);
        std::string_view text(reinterpret_cast<const char *>(data), size);
        _input in(text);
        report_set set = parse_report_files({path});
        fault = _check_set(set, in);
        // only the file reader skips lines too long for the writer to print
        if (fault.empty() && in.longest < (1u << 20))
            fault = _compare_parses(set, text);
        if (fault.empty())
            fault = _compare_twice(set, path);
    }
    close(fd);
    return fault;
}
