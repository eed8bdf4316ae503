// The `report` subcommand: parses the files, prints the parser's warnings,
// then the chosen view.
//
// Exit status: 0 when the view was produced; 1 when there was nothing to
// show (no complete report, no such run or report), the output could not be
// written, or --strict was given and the parser warned or a run lost events
// (DISCARDED_EVENTS non-zero); 2 for a bad command line. Warnings of the
// offline lookup (an object missing or not the one that ran) are about this
// machine, not the report, so --strict does not count them.
#include "report_command.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "frame_lookup.h"
#include "report_parser.h"
#include "run_files.h"
#include "views.h"

namespace quarrow {

namespace {

using namespace quarrow::report;

struct _options {
    std::vector<std::string> files;
    size_t top = 10;
    long run = -1;
    bool run_given = false;
    bool growth = false;
    bool diff = false;
    std::string from, to;
    bool json = false;
    std::string html;
    bool strict = false;
    bool no_symbols = false;
    lookup_options lookup;
};

constexpr size_t _warnings_shown = 50;

void _print_warnings(const report_set &set) {
    // in file order, whenever the parser noticed them
    std::vector<const parse_warning *> sorted;
    for (const parse_warning &w : set.warnings)
        sorted.push_back(&w);
    std::stable_sort(sorted.begin(), sorted.end(), [](const parse_warning *a, const parse_warning *b) {
        return a->file != b->file ? a->file < b->file : a->line < b->line;
    });
    size_t shown = std::min(sorted.size(), _warnings_shown);
    for (size_t i = 0; i < shown; i++) {
        const parse_warning &w = *sorted[i];
        if (w.line)
            fmt::print(stderr, "{}:{}: warning: {}\n", set.files[w.file], w.line, w.message);
        else
            fmt::print(stderr, "{}: warning: {}\n", set.files[w.file], w.message);
    }
    if (set.warning_count > shown)
        fmt::print(stderr, "quarrow report: {} more warnings not shown (--json lists the first {})\n",
                   set.warning_count - shown, report_set::warning_limit);
}

bool _write(FILE *out, const std::string &text) { return fwrite(text.data(), 1, text.size(), out) == text.size(); }

// The run to show: the one asked for, else the last run that has a complete
// report.
std::optional<size_t> _pick_run(const report_set &set, const _options &o) {
    std::string error;
    if (o.run_given) {
        auto picked = select_run(set, o.run, error);
        if (!picked) {
            fmt::print(stderr, "quarrow report: {}\n", error);
            return std::nullopt;
        }
        if (set.runs[*picked].reports.empty()) {
            fmt::print(stderr, "quarrow report: run {} has no complete report\n", *picked + 1);
            return std::nullopt;
        }
        return picked;
    }
    for (size_t i = set.runs.size(); i-- > 0;) {
        if (set.runs[i].reports.empty())
            continue;
        if (i + 1 != set.runs.size())
            fmt::print(stderr, "quarrow report: note: the last run has no complete report; showing run {} of {}\n",
                       i + 1, set.runs.size());
        return i;
    }
    fmt::print(stderr, "quarrow report: no complete report in the {}\n", o.files.size() == 1 ? "file" : "files");
    return std::nullopt;
}

int _diff(const report_set &set, const _options &o, std::string &text) {
    std::string error;
    std::optional<report_ref> from, to;
    if (o.from.empty() != o.to.empty()) {
        fmt::print(stderr, "quarrow report: --from and --to go together\n");
        return 2;
    }
    if (!o.from.empty()) {
        auto run = _pick_run(set, o);
        if (!run)
            return 1;
        from = select_report(set, o.from, *run, error);
        if (from)
            to = select_report(set, o.to, *run, error);
    } else if (o.files.size() == 2) {
        from = last_report_of_file(set, 0);
        to = last_report_of_file(set, 1);
        if (!from || !to)
            error = fmt::format("{} has no complete report", set.files[from ? 1 : 0]);
    } else if (o.files.size() == 1) {
        auto run = _pick_run(set, o);
        if (!run)
            return 1;
        if (set.runs[*run].reports.size() < 2)
            error = fmt::format("run {} has one complete report only: nothing to compare", *run + 1);
        else {
            from = report_ref{*run, 0};
            to = report_ref{*run, set.runs[*run].reports.size() - 1};
        }
    } else {
        error = "with more than two files, say which reports to compare with --from and --to";
    }
    if (!from || !to) {
        fmt::print(stderr, "quarrow report: {}\n", error);
        return 1;
    }
    text = diff_text(set, *from, *to, view_options{o.top});
    return 0;
}

// With QUARROW_REPORT_TIMES in the environment, the CPU time of each
// phase, for the benchmark: under a loaded machine CPU time still splits
// the work where wall time does not.
struct _phase_times {
    double parse = 0, lookup = 0;
    double at = _now();
    static double _now() {
        struct timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    }
    double lap() {
        double now = _now(), spent = now - at;
        at = now;
        return spent;
    }
};

int _show(report_set &set, const _options &o);

int _run(const _options &o) {
    _phase_times times;
    report_set set = parse_report_files(o.files);
    times.parse = times.lap();
    _print_warnings(set);
    if (!o.no_symbols)
        for (const std::string &w : look_up_frames(set, o.lookup))
            fmt::print(stderr, "quarrow report: warning: {}\n", w);
    times.lookup = times.lap();
    int status = _show(set, o);
    if (getenv("QUARROW_REPORT_TIMES"))
        fmt::print(stderr, "quarrow report: CPU seconds: parse {:.3f}, lookup {:.3f}, view {:.3f}\n", times.parse,
                   times.lookup, times.lap());
    return status;
}

int _show(report_set &set, const _options &o) {
    int status = 0;

    if (o.json) {
        write_json(set, stdout);
        if (fflush(stdout) != 0 || ferror(stdout)) {
            fmt::print(stderr, "quarrow report: cannot write the JSON: {}\n", strerror(errno));
            status = 1;
        }
    } else {
        std::string text;
        if (o.diff) {
            status = _diff(set, o, text);
        } else if (o.growth || o.html.empty()) {
            auto run = _pick_run(set, o);
            if (!run)
                return 1;
            text =
                o.growth ? growth_text(set, *run, view_options{o.top}) : summary_text(set, *run, view_options{o.top});
        }
        if (status)
            return status;
        if (!_write(stdout, text) || fflush(stdout) != 0) {
            fmt::print(stderr, "quarrow report: cannot write: {}\n", strerror(errno));
            return 1;
        }
    }

    if (!o.html.empty()) {
        auto run = _pick_run(set, o);
        if (!run)
            return 1;
        std::string page = html_page(set, *run, view_options{o.top});
        FILE *out = fopen(o.html.c_str(), "w");
        bool ok = out && _write(out, page);
        if (out)
            ok = fclose(out) == 0 && ok;
        if (!ok) {
            fmt::print(stderr, "quarrow report: cannot write {}: {}\n", o.html, strerror(errno));
            return 1;
        }
    }

    if (set.warning_count) {
        fmt::print(stderr, "quarrow report: {} warning{}\n", set.warning_count, set.warning_count == 1 ? "" : "s");
        if (o.strict)
            status = 1;
    }
    uint64_t lost = 0, runs_with_losses = 0;
    for (const run &r : set.runs) {
        // held at the largest count, as each run's own sum is
        lost = r.discarded_events > UINT64_MAX - lost ? UINT64_MAX : lost + r.discarded_events;
        runs_with_losses += r.discarded_events != 0;
    }
    if (runs_with_losses && o.strict) {
        fmt::print(stderr,
                   "quarrow report: --strict: {} events were discarded in {} run{}; the counters are incomplete\n",
                   lost, runs_with_losses, runs_with_losses == 1 ? "" : "s");
        status = 1;
    }
    return status;
}

} // namespace

void add_report_command(CLI::App &app, std::function<int()> &run) {
    auto o = std::make_shared<_options>();
    CLI::App *cmd = app.add_subcommand("report", "Read report files: top stacks, growth, diff, JSON or an HTML page");
    cmd->footer(R"(
Without a view option, prints the top stacks by live bytes (allocated minus
freed) of the last complete report of the last run, and the unmatched frees
and reallocs. FILEs are read in order; their runs are numbered 1, 2, ...
across all of them. A FOLDER stands for its native_memory_<PID>.log files
in the order of their PIDs, as `quarrow run --follow-children` leaves them,
and a quoted glob is expanded too. A report left without its END line (the process died while
writing it) is left out with a warning; so is any block with a line that
cannot be read.

Frames are looked up in the objects the report names (--no-symbols skips it):
the function from the symbol tables, and from debug information the source
line and the calls inlined there, shown as
  function (file.c:123) in libc.so.6
An object that is missing, unreadable or not the one that ran (an address
outside its code, a symbol elsewhere than the report says) keeps the report's
names, with one warning. Separate debug files are looked for beside the object,
in its .debug directory, under each --debug-dir and under /usr/lib/debug (by
build-id or by .gnu_debuglink); no debug-file server is asked.

Examples:
  quarrow report native_memory_1234.log
  quarrow report --growth -n 20 native_memory_1234.log
  quarrow report --diff --from 1 --to -1 native_memory_1234.log
  quarrow report --diff before.log after.log
  quarrow report --html memory.html native_memory_1234.log
  quarrow report --json native_memory_1234.log > report.json
  quarrow report --json reports/ > every_process.json)");
    cmd->add_option("FILE", o->files, "Report files or folders of them; - reads standard input")->required();
    cmd->add_option("-n,--top", o->top, "Stacks per list (default 10; 0 lists all)");
    auto run_opt = cmd->add_option("--run", o->run,
                                   "Which run: 1 is the first, -1 the last (default: the last that has a "
                                   "complete report)");
    auto growth = cmd->add_flag("--growth", o->growth, "Live bytes of each stack across the reports; leak suspects");
    auto diff = cmd->add_flag("--diff", o->diff,
                              "Compare two reports: first and last of the run, or the last of each of two files");
    cmd->add_option("--from", o->from, "With --diff: the earlier report, [RUN:]REPORT (1 first, -1 last)")->needs(diff);
    cmd->add_option("--to", o->to, "With --diff: the later report, [RUN:]REPORT")->needs(diff);
    auto json = cmd->add_flag("--json", o->json, "Everything parsed, as JSON on standard output");
    cmd->add_option("--html", o->html, "Also write a self-contained HTML page to this file");
    cmd->add_flag("--strict", o->strict,
                  "Exit with status 1 when the parser warned or when DISCARDED_EVENTS is non-zero in any run (the "
                  "tracker lost events); lookup warnings do not count");
    cmd->add_flag("--no-symbols", o->no_symbols,
                  "Skip the offline lookup of functions, source lines and inlined calls in the objects");
    cmd->add_option("--debug-dir", o->lookup.debug_dirs,
                    "Another root for separate debug files (with a .build-id directory), before /usr/lib/debug; "
                    "repeatable")
        ->allow_extra_args(false);
    cmd->add_option("--sysroot", o->lookup.sysroot,
                    "Find the report's objects under this directory (and their debug files under its "
                    "usr/lib/debug), as when the report comes from another machine");
    growth->excludes(diff)->excludes(json);
    diff->excludes(json);
    run = [o, run_opt] {
        o->run_given = run_opt->count() > 0;
        o->files = expand_run_files(o->files);
        return _run(*o);
    };
}

} // namespace quarrow
