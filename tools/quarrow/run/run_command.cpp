// The `run` subcommand: checks the command line and the program, finds the
// libraries, then starts the program with the tracker preloaded.
//
// Exit status: the program's own (128+N when signal N ended it); 2 for a
// bad command line; 127 when the program is not found; 126 when it is found
// but cannot be tracked; 1 when the libraries are missing or no process
// could be started, or when the libraries lack the build of the program's
// class. When a program was started, the last line on stderr says how
// the program ended; a launcher that dies itself says so and dies of its
// signal instead.
#include "run_command.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "launch.h"
#include "library_dir.h"
#include "program_check.h"
#include "quarrow_limits.h"

#ifndef QUARROW_BUILD_LIBRARY_DIR
#define QUARROW_BUILD_LIBRARY_DIR ""
#endif

namespace quarrow {

namespace {

using namespace quarrow::runner;

struct _options {
    std::string write_period;
    std::string stack_depth;
    std::string trigger_file;
    std::string library_dir;
    std::string report_dir;
    bool no_exit_report = false;
    bool follow_children = false;
    bool allow_drops = false;
};

// The tracker walks no deeper than this many frames.
constexpr unsigned _max_stack_depth = QUARROW_MAX_STACK_DEPTH;
constexpr unsigned _max_write_period = QUARROW_MAX_WRITE_PERIOD_SECONDS;

// Plain decimal digits only: the library reads the value with atoi, which
// would take "10s" as 10 and "x" as 0 without a word.
std::optional<unsigned> _positive(const std::string &text, unsigned max) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long value = std::stoul(text);
    if (value == 0 || value > max)
        return std::nullopt;
    return unsigned(value);
}

int _usage_error(const std::string &message) {
    fmt::print(stderr, "quarrow run: {}\nRun 'quarrow run --help' for the options.\n", message);
    return 2;
}

// The report folder as every tracked process of the run is given it:
// absolute, an existing directory, and free of the commas and braces that
// the library's option text cannot carry. Nothing when it is not, after saying why.
std::optional<std::string> _report_dir(const std::string &given) {
    std::error_code error;
    std::filesystem::path dir = std::filesystem::absolute(given, error).lexically_normal();
    std::string text = dir.string();
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (error || !std::filesystem::is_directory(text, error)) {
        _usage_error(fmt::format("the report folder {} is not a directory", text));
        return std::nullopt;
    }
    if (text.find_first_of(",{}") != std::string::npos) {
        _usage_error(fmt::format(
            "the report folder {} holds a comma or a brace, which the tracker's options cannot carry", text));
        return std::nullopt;
    }
    return text;
}

std::string _command_path() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).string();
}

int _run(const _options &o, bool library_dir_given, std::vector<std::string> command) {
    bool marked = !command.empty() && command.front() == "--";
    if (marked)
        command.erase(command.begin());
    if (command.empty())
        return _usage_error("no program given: quarrow run [OPTIONS] [--] PROGRAM [ARGS...]");
    if (!marked && command.front()[0] == '-')
        return _usage_error(
            fmt::format("unknown option {} (put -- before a program whose name starts with -)", command.front()));

    launch_settings settings;
    if (!o.write_period.empty()) {
        settings.write_period_seconds = _positive(o.write_period, _max_write_period);
        if (!settings.write_period_seconds)
            return _usage_error(
                fmt::format("--write-period takes a whole number of seconds, at least 1; not '{}'", o.write_period));
    }
    if (!o.stack_depth.empty()) {
        settings.stack_depth = _positive(o.stack_depth, _max_stack_depth);
        if (!settings.stack_depth)
            return _usage_error(fmt::format("--stack-depth takes a whole number from 1 to {}; not '{}'",
                                            _max_stack_depth, o.stack_depth));
    }
    if (library_dir_given && o.library_dir.empty())
        return _usage_error("--library-dir needs a directory");
    std::string report_dir;
    if (!o.report_dir.empty() || o.follow_children) {
        std::optional<std::string> usable = _report_dir(o.report_dir.empty() ? "." : o.report_dir);
        if (!usable)
            return 2;
        report_dir = *usable;
    }
    if (!o.trigger_file.empty()) {
        // The tracker ends a program whose trigger file is missing at start;
        // better to say so before anything runs.
        struct stat st;
        if (stat(o.trigger_file.c_str(), &st) != 0)
            return _usage_error(fmt::format("the trigger file {} does not exist; create it first: tracking starts "
                                            "when it is deleted",
                                            o.trigger_file));
        // absolute, so a program that changes directory still watches it
        std::error_code ignored;
        settings.trigger_file = std::filesystem::absolute(o.trigger_file, ignored).lexically_normal().string();
    }

    program_check checked = check_program(command.front(), getenv("PATH"));
    if (checked.outcome != check_outcome::trackable) {
        fmt::print(stderr, "quarrow run: {}\n", checked.message);
        return checked.exit_status();
    }

    const char *from_environment = getenv("QUARROW_LIBRARY_DIR");
    library_location libraries = find_library_dir(o.library_dir, from_environment ? from_environment : "",
                                                  _command_path(), QUARROW_BUILD_LIBRARY_DIR);
    if (!libraries.error.empty()) {
        fmt::print(stderr, "quarrow run: {}\n", libraries.error);
        return 1;
    }
    // A run of a class the directory lacks would go untracked: refused.
    preload_choice preload = choose_preload(libraries.dir, checked, o.follow_children);
    if (!preload.error.empty()) {
        fmt::print(stderr, "quarrow run: {}\n", preload.error);
        return 1;
    }
    if (!preload.warning.empty())
        fmt::print(stderr, "quarrow run: warning: {}\n", preload.warning);
    settings.library_dir = libraries.dir;
    settings.via_lib_token = preload.via_lib_token;
    settings.report_at_exit = !o.no_exit_report;
    settings.follow_children = o.follow_children;
    settings.allow_drops = o.allow_drops;
    settings.report_dir = report_dir;
    return launch(checked.path, command, child_environment(current_environment(), settings), settings.report_dir,
                  settings.follow_children);
}

// The usage line CLI11 would print shows neither -- nor the program's own
// arguments.
class _run_formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *, std::string name) const override {
        return "Usage: " + name + " [OPTIONS] [--] PROGRAM [ARGS...]\n";
    }
};

} // namespace

void add_run_command(CLI::App &app, std::function<int()> &run) {
    auto o = std::make_shared<_options>();
    CLI::App *cmd =
        app.add_subcommand("run", "Run an x86 program (32- or 64-bit) with the tracker; exit with its status");
    cmd->formatter(std::make_shared<_run_formatter>());
    cmd->footer(R"(
Runs PROGRAM with the tracker preloaded, waits for it and exits with its
exit status (128+N when signal N ended it). Options end at PROGRAM or at --:
what follows is PROGRAM's own, so 'quarrow run java -Xmx64m Main' passes
-Xmx64m to java.

PROGRAM is looked up in PATH as a shell does. It must be a dynamically
linked x86 program, 32-bit (i386) or 64-bit (x86-64), or a #! script whose
interpreter is one (also through '#!/usr/bin/env NAME'); anything else,
another machine's program or a statically linked one, is refused before it
runs. Each program runs with the tracker's build of its own class, and the
run is refused when DIR lacks that build.

The report: native_memory_<PID>.log in the program's working directory (or
in --report-dir DIR), added to every write period and, unless
--no-exit-report, once more at a normal exit. The launcher prints the PID
and the report's path on stderr, and when the program ends one last line
with its exit status or the signal that ended it. A launcher that dies
itself says so and dies of its signal: it never exits 128+N for that.

Without --follow-children only the started process is tracked: programs it
starts, at any depth, run untracked (QUARROW_TRACKED_PID names the one
process the starter may start the tracker in). With it, every x86 program
started below is tracked too, 32- and 64-bit alike, each by its own build,
and all the run's reports go to one folder: --report-dir, else the working
directory. The children's own start-up and error lines go to
quarrow_children.log in that folder, never to their standard error; a
child whose tracker cannot start runs on untracked, with one error line
there, and the launcher counts those once at the end.

The program's environment (the launcher's own is left alone):
  LD_PRELOAD                     DIR/$LIB/libquarrow.so:DIR/$LIB/libquarrow_start.so
                                 (the loader reads $LIB as lib/i386-linux-gnu or
                                 lib/x86_64-linux-gnu, by the program's class;
                                 DIR/NAME when DIR holds the one build the run
                                 needs in itself), then what it held before
  PROFILER_WRITE_PERIOD_SECONDS  --write-period
  PROFILER_STACK_DEPTH           --stack-depth
  PROFILER_TRIGGER_FILE          --trigger-file
  PROFILER_REPORT_AT_EXIT=1      set unless --no-exit-report
  QUARROW_FOLLOW_CHILDREN=1      set with --follow-children
  QUARROW_FULL_BUFFER=wait       set unless --allow-drops: a thread that finds
                                 the tracker's event buffer full waits for room
                                 (at most 100 ms an event) instead of dropping
  QUARROW_REPORT_DIR             --report-dir, or the working directory with
                                 --follow-children
  QUARROW_TRACKED_PID            the started process's PID
Without their options, inherited PROFILER_WRITE_PERIOD_SECONDS,
PROFILER_STACK_DEPTH and PROFILER_TRIGGER_FILE pass through unchanged; the
other variables follow the flags alone.

PROFILER_UNWINDER, passed through as inherited, chooses how stacks are
captured: unset or 'fast', the tracker's own engine; 'backtrace', glibc's
backtrace; 'check', both on every capture, compared, with counts at exit.
glibc's backtrace by itself follows the frame-pointer chain below code that
keeps none (compiled Java code) wherever it lies below the main stack's end,
and crashes a JIT host at larger depths; the library cannot make it safe.
Under the tracker every method, 'backtrace' included, ends a capture where
the next link would leave the thread's stack.

DIR, the libraries' directory: --library-dir, else $QUARROW_LIBRARY_DIR,
else ../lib/quarrow beside this command (the installed layout), else the
build tree this command was built in. It holds each build's two libraries
in lib/i386-linux-gnu/ and lib/x86_64-linux-gnu/, or one build's in itself.

Ctrl-C and Ctrl-\ go to the program; SIGTERM and SIGHUP sent to the
launcher are passed on to it.

Exit status: the program's; 2 for a bad command line; 127 when PROGRAM is
not found; 126 when it is found but cannot be tracked; 1 when the libraries,
or the build of PROGRAM's class, are missing or no process could be started
(127 when exec fails).

Examples:
  quarrow run ./server --port 8080
  quarrow run --write-period 10 --stack-depth 12 -- ./batch input.txt
  touch go; quarrow run --trigger-file go ./app &  (later: rm go)
  quarrow report native_memory_1234.log
  quarrow run --follow-children --report-dir reports ./build.sh
  quarrow report reports/)");

    // Never takes a value: with prefix_command() it makes CLI11 stop at the
    // first argument that is not an option, or at --, and leave the rest,
    // PROGRAM and its arguments, in remaining().
    cmd->prefix_command();
    cmd->validate_positionals();
    cmd->add_option("PROGRAM", "The program to run, then its own arguments")
        ->type_name("")
        ->check(CLI::Validator([](std::string &) { return std::string("never taken"); }, "", ""));

    cmd->add_option("--write-period", o->write_period, "Seconds between reports (PROFILER_WRITE_PERIOD_SECONDS)")
        ->type_name("SECONDS");
    cmd->add_option("--stack-depth", o->stack_depth,
                    fmt::format("Frames kept per call stack, 1 to {} (PROFILER_STACK_DEPTH)", _max_stack_depth))
        ->type_name("N");
    cmd->add_option("--trigger-file", o->trigger_file,
                    "Hold tracking back until this file is deleted (PROFILER_TRIGGER_FILE); it must exist at start")
        ->type_name("PATH");
    cmd->add_flag("--no-exit-report", o->no_exit_report,
                  "No final report at normal exit (leaves PROFILER_REPORT_AT_EXIT unset)");
    cmd->add_flag("--allow-drops", o->allow_drops,
                  "Let a full event buffer drop events, counted in DISCARDED_EVENTS, rather than make the program "
                  "wait for room (leaves QUARROW_FULL_BUFFER unset)");
    cmd->add_flag("--follow-children", o->follow_children,
                  "Track the program's child processes too (QUARROW_FOLLOW_CHILDREN=1)");
    cmd->add_option("--report-dir", o->report_dir,
                    "Where every report of the run goes (QUARROW_REPORT_DIR); with --follow-children the default is "
                    "the working directory")
        ->type_name("DIR");
    auto library_dir = cmd->add_option("--library-dir", o->library_dir,
                                       "Where the tracker's builds are: DIR/lib/<multiarch>/ or DIR itself "
                                       "(or QUARROW_LIBRARY_DIR)")
                           ->type_name("DIR");
    // Set at parse time, and only when this subcommand is the one given.
    cmd->callback([&run, o, cmd, library_dir] {
        run = [o, cmd, library_dir] { return _run(*o, library_dir->count() > 0, cmd->remaining()); };
    });
}

} // namespace quarrow
