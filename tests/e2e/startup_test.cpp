// Start-up with bad environment variables or an output file that cannot be
// opened: the documented messages in order and the documented exit status,
// never a crash. Values that the library reads with atoi are listed with
// what atoi makes of them, since that is what the library acts on.
#include "e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "report_parser.h"

namespace {

using namespace e2e;

// Placeholders in the expected lines, replaced before matching.
const std::string PID = "<PID>", DIR = "<DIR>";
const std::string EP = "File: src/event_processing\\.cpp, Line [0-9]+";
const std::string INIT = "File: src/initialise\\.cpp, Line [0-9]+";
const std::string PERIOD_NOTE =
    "Read profiler write thread period from PROFILER_WRITE_PERIOD_SECONDS environment variable";

enum class report_file { none, start_line_only, with_report };

struct startup_case {
    const char *name;
    std::map<std::string, std::string> env;
    int exit_code;
    std::vector<std::string> lines; // patterns, in this order on stderr
    report_file file;
    std::function<void()> before_exec = nullptr;
    // How long the host runs, so that the tracker's threads get going.
    const char *linger_seconds = "0";
};

std::vector<std::string> depth_error(const std::string &parsed) {
    return {"QUARROW ERROR: Supplied stack depth option parsed as " + parsed + "\\. Stack depth must be at least 1 " +
                EP,
            "QUARROW ERROR: Couldn't configure stack depth\\. Err = 1 " + EP,
            "QUARROW ERROR: Couldn't configure event processing\\. Err = 4 " + INIT};
}

std::vector<std::string> period_error(const std::string &supplied, const std::string &parsed) {
    return {PERIOD_NOTE,
            "QUARROW ERROR: Unusable write thread sleep time supplied\\. Must be > 0\\. You supplied " +
                quoted(supplied) + " which was parsed as " + parsed + " " + EP,
            "QUARROW ERROR: Couldn't parse write period\\. Err = 1 " + EP,
            "QUARROW ERROR: Couldn't configure event processing\\. Err = 2 " + INIT};
}

std::vector<std::string> trigger_error(const std::string &path, std::vector<std::string> before = {}) {
    before.insert(before.begin(), "Profiler stack depth=7");
    for (const auto &line : std::vector<std::string>{
             "QUARROW ERROR: Specified trigger file: " + path + " doesn't exist File: src/trigger\\.cpp, Line [0-9]+",
             "QUARROW ERROR: Couldn't configure triggering: 1 File: src/memory_operations\\.cpp, Line [0-9]+",
             "QUARROW ERROR: Couldn't configure memory operations\\. Err = 1 " + INIT})
        before.push_back(line);
    return before;
}

std::vector<std::string> output_error(const std::string &errno_text) {
    return {"Profiler stack depth=7",
            "QUARROW ERROR: Couldn't open file native_memory_" + PID + "\\.log\\. Errno=" + errno_text + " " + EP,
            "QUARROW ERROR: Couldn't configure output file\\. Err = 2 " + EP,
            "QUARROW ERROR: Couldn't configure event processing\\. Err = 8 " + INIT};
}

std::vector<std::string> banner(const std::string &period, std::vector<std::string> before) {
    before.push_back("Linux Quarrow Version 1.0 Configured\\. Output file = native_memory_" + PID +
                     "\\.log, write out period = " + period + " seconds");
    return before;
}

const std::string HUGE = "99999999999999999999";

std::vector<startup_case> cases() {
    return {
        // Stack depth: atoi, and at least 1.
        {"depth_zero", {{"PROFILER_STACK_DEPTH", "0"}}, 2, depth_error("0"), report_file::none},
        {"depth_empty", {{"PROFILER_STACK_DEPTH", ""}}, 2, depth_error("0"), report_file::none},
        {"depth_not_a_number", {{"PROFILER_STACK_DEPTH", "deep"}}, 2, depth_error("0"), report_file::none},
        {"depth_negative", {{"PROFILER_STACK_DEPTH", "-3"}}, 2, depth_error("-3"), report_file::none},
        {"depth_huge_negative",
         {{"PROFILER_STACK_DEPTH", "-" + HUGE}},
         2,
         depth_error("-2147483648"),
         report_file::none},
        // atoi saturates; the walker keeps what fits.
        {"depth_huge",
         {{"PROFILER_STACK_DEPTH", HUGE}},
         0,
         banner("600", {"Profiler stack depth=2147483647"}),
         report_file::start_line_only},
        {"depth_trailing_text",
         {{"PROFILER_STACK_DEPTH", "3 frames"}},
         0,
         banner("600", {"Profiler stack depth=3"}),
         report_file::start_line_only},

        // Write period: atoi, and above 0.
        {"period_zero", {{"PROFILER_WRITE_PERIOD_SECONDS", "0"}}, 2, period_error("0", "0"), report_file::none},
        {"period_empty", {{"PROFILER_WRITE_PERIOD_SECONDS", ""}}, 2, period_error("", "0"), report_file::none},
        {"period_not_a_number",
         {{"PROFILER_WRITE_PERIOD_SECONDS", "soon"}},
         2,
         period_error("soon", "0"),
         report_file::none},
        {"period_negative", {{"PROFILER_WRITE_PERIOD_SECONDS", "-5"}}, 2, period_error("-5", "-5"), report_file::none},
        {"period_huge_negative",
         {{"PROFILER_WRITE_PERIOD_SECONDS", "-" + HUGE}},
         2,
         period_error("-" + HUGE, "-2147483648"),
         report_file::none},
        // The writer thread must start its first wait with this period.
        {"period_huge",
         {{"PROFILER_WRITE_PERIOD_SECONDS", HUGE}},
         0,
         banner("2147483647", {PERIOD_NOTE, "Profiler stack depth=7"}),
         report_file::start_line_only,
         nullptr,
         "1"},

        // Trigger file: it must exist at start-up.
        {"trigger_missing",
         {{"PROFILER_TRIGGER_FILE", DIR + "/no-such-trigger"}},
         3,
         trigger_error(DIR + "/no-such-trigger"),
         report_file::start_line_only},
        {"trigger_empty", {{"PROFILER_TRIGGER_FILE", ""}}, 3, trigger_error(""), report_file::start_line_only},
        {"trigger_under_a_file",
         {{"PROFILER_TRIGGER_FILE", DIR + "/plain/x"}},
         3,
         trigger_error(DIR + "/plain/x", {"QUARROW ERROR: Error testing file " + DIR +
                                          "/plain/x: 20 - Not a directory File: src/trigger\\.cpp, Line [0-9]+"}),
         report_file::start_line_only,
         [] { std::ofstream("plain") << "a file, not a directory\n"; }},

        // Report at exit: 0 or 1; anything else is named and ignored.
        {"report_at_exit_word",
         {{"PROFILER_REPORT_AT_EXIT", "yes"}},
         0,
         banner("600",
                {"Profiler stack depth=7",
                 "QUARROW ERROR: PROFILER_REPORT_AT_EXIT must be 0 or 1, not \"yes\"; no report at exit\\. " + INIT}),
         report_file::start_line_only},
        {"report_at_exit_zero",
         {{"PROFILER_REPORT_AT_EXIT", "0"}},
         0,
         banner("600", {"Profiler stack depth=7"}),
         report_file::start_line_only},
        {"report_at_exit_one",
         {{"PROFILER_REPORT_AT_EXIT", "1"}},
         0,
         banner("600", {"Profiler stack depth=7"}),
         report_file::with_report},

        // The report file cannot be opened, even by root: the working
        // directory is gone, or a directory holds the report's name.
        {"output_directory_deleted",
         {},
         2,
         output_error("2:No such file or directory"),
         report_file::none,
         [] {
             if (mkdir("gone", 0700) != 0 || chdir("gone") != 0 || rmdir("../gone") != 0)
                 _exit(125);
         }},
        {"output_name_is_a_directory",
         {},
         2,
         output_error("21:Is a directory"),
         report_file::none,
         [] {
             char name[64];
             snprintf(name, sizeof name, "native_memory_%d.log", (int)getpid());
             if (mkdir(name, 0700) != 0)
                 _exit(125);
         }},
    };
}

void PrintTo(const startup_case &c, std::ostream *out) { *out << c.name; }

class BadEnvironment : public ::testing::TestWithParam<startup_case> {};

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST_P(BadEnvironment, ExitsAsDocumented) {
    const auto &c = GetParam();
    scratch_dir dir;
    spawn_options options{{host_path("e2e_counting_host"), "idle", c.linger_seconds}, {}, true, dir.path()};
    for (const auto &[name, value] : c.env)
        options.env[name] = replace_all(value, DIR, dir.path());
    options.before_exec = c.before_exec;
    auto run = spawn(options);

    ASSERT_FALSE(run.timed_out) << run.describe();
    ASSERT_EQ(run.term_signal, 0) << run.describe();
    EXPECT_TRUE(run.exited(c.exit_code)) << "wanted exit " << c.exit_code << "; " << run.describe();
    std::vector<std::string> lines;
    for (const auto &line : c.lines)
        lines.push_back(replace_all(replace_all(line, PID, std::to_string(run.pid)), DIR, quoted(dir.path())));
    EXPECT_TRUE(lines_in_order(run.err, lines));
    EXPECT_EQ(run.out == "host main ran\n", c.exit_code == 0) << run.describe();
    if (c.exit_code != 0) {
        EXPECT_EQ(count_lines(run.err, "Linux Quarrow Version.*"), 0u) << "a failed start printed the banner";
    }

    std::string report = dir.file(report_name(run.pid));
    struct stat info;
    bool is_file = stat(report.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (c.file == report_file::none) {
        EXPECT_FALSE(is_file) << report << " was written";
        return;
    }
    ASSERT_TRUE(is_file) << report << " is missing";
    auto set = report::parse_report_files({report});
    ASSERT_EQ(set.runs.size(), 1u);
    EXPECT_EQ(set.runs[0].reports.size(), c.file == report_file::with_report ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Startup, BadEnvironment, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
