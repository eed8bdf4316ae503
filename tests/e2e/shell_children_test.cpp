// Real 32-bit shells under the launcher: the programs they start, at any
// depth, stay untracked unless children are followed, and followed
// children, 32-bit or 64-bit, each tracked by the build of its own class,
// write their reports into the run's folder and their lines into its side
// file, never onto their own standard error.
#include "e2e_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "report_parser.h"

namespace {

using namespace e2e;

const std::string BANNER = "Linux Quarrow Version 1\\.0 Configured\\..*";
const std::string REPORT = "native_memory_[0-9]+\\.log";

std::string write_script(const scratch_dir &dir, const std::string &name, const std::string &text) {
    std::string path = dir.file(name);
    std::ofstream(path) << text;
    return path;
}

// Command substitutions, pipes and background jobs, one level of the shell
// itself below, and a 64-bit program, for ROUNDS rounds.
std::string loop_script(const std::string &shell) {
    std::string tool = host_path("e2e_tool_host");
    return "T=" + tool + "\nSH=" + shell + R"SH(
i=0
bad=0
while [ $i -lt 40 ]; do
  x=$($T echo r$i)
  [ "$x" = "r$i" ] || bad=$((bad+1))
  n=$($T echo p$i | $T wc)
  [ "$n" = "$(( ${#i} + 2 ))" ] || bad=$((bad+1))
  $T true &
  d=$($SH -c "$T echo deep | $T wc")
  [ "$d" = 5 ] || bad=$((bad+1))
  w=$(/bin/echo wide)
  [ "$w" = wide ] || bad=$((bad+1))
  i=$((i+1))
done
wait
echo "rounds=$i bad=$bad"
)SH";
}

class ShellChildren : public ::testing::TestWithParam<const char *> {};

TEST_P(ShellChildren, StayUntrackedAtAnyDepth) {
    std::string shell = i386_shell_path(GetParam());
    ASSERT_EQ(access(shell.c_str(), X_OK), 0) << shell << " is missing: run scripts/install-deps.sh";
    scratch_dir dir;
    std::string script = write_script(dir, "loop.sh", loop_script(shell));
    auto run = spawn({{launcher_path(), "run", "--write-period", "2", shell, script}, {}, false, dir.path(), 240});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "rounds=40 bad=0\n");
    pid_t pid = launched_pid(run.err);
    ASSERT_NE(pid, 0) << run.err;
    EXPECT_EQ(matching_entries(dir.path(), REPORT), std::vector<std::string>{report_name(pid)});
    EXPECT_EQ(count_lines(run.err, BANNER), 1u) << run.err;
    EXPECT_EQ(count_lines(run.err, ".*ld\\.so.*"), 0u) << run.err; // nothing was left to preload in the 64-bit echo
    EXPECT_EQ(last_line(run.err), "quarrow run: PID " + std::to_string(pid) + " exited with status 0");
}

INSTANTIATE_TEST_SUITE_P(Debian, ShellChildren, ::testing::Values("bash", "dash"));

// Each line of the script starts at most one tracked child, so the number
// of reports is exact.
const char *FOLLOWED_SCRIPT = R"(
cd work
x=$($T echo sub)
[ "$x" = sub ] || echo "substitution gave [$x]"
$T echo pipe | $T wc
$T true &
wait
$T echo quiet 2>child_err.txt >/dev/null
PROFILER_STACK_DEPTH=0 $T echo bad start
PROFILER_REPORT_AT_EXIT=2 $T echo odd
/bin/echo wide
env -i $T env LD_PRELOAD
LD_PRELOAD= $T echo own preload
echo done
)";

TEST(FollowedChildren, ReportInOneFolderAndKeepStandardErrorClean) {
    std::string shell = i386_shell_path("bash");
    ASSERT_EQ(access(shell.c_str(), X_OK), 0) << shell << " is missing: run scripts/install-deps.sh";
    scratch_dir dir;
    ASSERT_EQ(mkdir(dir.file("work").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("reports").c_str(), 0755), 0);
    std::string script = write_script(dir, "followed.sh", "T=" + host_path("e2e_tool_host") + "\n" + FOLLOWED_SCRIPT);
    // A relative folder: the launcher makes it absolute for every child.
    auto run = spawn({{launcher_path(), "run", "--follow-children", "--report-dir", "reports", shell, script},
                      {},
                      false,
                      dir.path(),
                      120});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "5\nbad start\nodd\nwide\n(unset)\nown preload\ndone\n");
    EXPECT_EQ(read_file(dir.file("work/child_err.txt")), "");

    // The launched shell and the eight children that started the tracker:
    // six 32-bit ones, one of them without a report at exit, and the two
    // 64-bit ones, each tracked by the 64-bit build (env execs the next
    // program, so it writes no report at exit).
    pid_t pid = launched_pid(run.err);
    ASSERT_NE(pid, 0) << run.err;
    auto reports = matching_entries(dir.file("reports"), REPORT);
    EXPECT_EQ(reports.size(), 9u);
    EXPECT_TRUE(std::find(reports.begin(), reports.end(), report_name(pid)) != reports.end());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"followed.sh", "reports", "work"}));
    EXPECT_EQ(matching_entries(dir.file("work"), ".*"), std::vector<std::string>{"child_err.txt"});
    std::map<size_t, size_t> files_by_reports;
    size_t with_64_bit_frames = 0, with_32_bit_frames = 0;
    for (const auto &name : reports) {
        auto set = report::parse_report_files({dir.file("reports/" + name)});
        EXPECT_EQ(set.warning_count, 0u) << name;
        ASSERT_EQ(set.runs.size(), 1u) << name;
        files_by_reports[set.runs[0].reports.size()]++;
        std::string text = read_file(dir.file("reports/" + name));
        with_64_bit_frames += text.find("/x86_64-linux-gnu/") != std::string::npos;
        with_32_bit_frames += text.find("/i386-linux-gnu/") != std::string::npos;
    }
    EXPECT_EQ(files_by_reports, (std::map<size_t, size_t>{{0, 2}, {1, 7}}));
    // echo's report names the 64-bit C library, and the 32-bit reports
    // the 32-bit one: neither build tracked a program of the other class.
    EXPECT_EQ(with_64_bit_frames, 1u);
    EXPECT_EQ(with_32_bit_frames, 6u);

    // Only the launched process speaks on the run's standard error.
    std::string reports_dir = dir.file("reports");
    EXPECT_EQ(count_lines(run.err, BANNER), 1u) << run.err;
    EXPECT_EQ(count_lines(run.err, e2e::quoted("Linux Quarrow Version 1.0 Configured. Output file = " + reports_dir +
                                               "/" + report_name(pid) + ", write out period = 600 seconds")),
              1u)
        << run.err;
    EXPECT_EQ(count_lines(run.err, ".*(ld\\.so|QUARROW ERROR).*"), 0u) << run.err;
    EXPECT_EQ(count_lines(run.err, ".*ran untracked.*"), 1u) << run.err;
    EXPECT_TRUE(
        lines_in_order(run.err, {"quarrow run: 1 child process could not start the tracker and ran untracked; see .*",
                                 e2e::quoted("quarrow run: PID " + std::to_string(pid) + " exited with status 0")}));
    EXPECT_EQ(last_line(run.err), "quarrow run: PID " + std::to_string(pid) + " exited with status 0");

    // The children's lines: eight starts (one with an error line of its
    // own; two are the 64-bit echo, and env before it cleared everything)
    // and one failed start in one line.
    std::string side = read_file(dir.file("reports/quarrow_children.log"));
    EXPECT_EQ(count_lines(side, "Profiler stack depth=7"), 8u) << side;
    EXPECT_EQ(count_lines(side, "Linux Quarrow Version 1\\.0 Configured\\. Output file = " + e2e::quoted(reports_dir) +
                                    "/native_memory_[0-9]+\\.log, write out period = 600 seconds"),
              8u)
        << side;
    EXPECT_EQ(count_lines(side, "QUARROW ERROR: PID [0-9]+ \\(" + e2e::quoted(host_path("e2e_tool_host")) +
                                    "\\) runs untracked, start-up stage 2 failed: Supplied stack depth option parsed "
                                    "as 0\\. Stack depth must be at least 1 File: src/event_processing\\.cpp, Line "
                                    "[0-9]+"),
              1u)
        << side;
    EXPECT_EQ(count_lines(side, "QUARROW ERROR: PROFILER_REPORT_AT_EXIT must be 0 or 1, not \"2\"; no report at "
                                "exit\\. File: src/initialise\\.cpp, Line [0-9]+"),
              1u)
        << side;
    EXPECT_EQ(count_lines(side, "QUARROW ERROR.*"), 2u) << side;
    EXPECT_EQ(count_lines(side, ".*UNTRACKED.*"), 0u) << side;
    EXPECT_EQ(lines_of(side).size(), 18u) << side;
}

// A trigger file deleted before a child starts: the child is tracked from
// its start instead of ending on the missing file.
TEST(FollowedChildren, StartAfterTheTriggerFileIsGone) {
    std::string shell = i386_shell_path("dash");
    ASSERT_EQ(access(shell.c_str(), X_OK), 0) << shell << " is missing: run scripts/install-deps.sh";
    scratch_dir dir;
    std::ofstream(dir.file("go")) << "";
    std::string script =
        write_script(dir, "late.sh", "rm go\n" + host_path("e2e_tool_host") + " echo started late\necho $?\n");
    auto run = spawn({{launcher_path(), "run", "--follow-children", "--trigger-file", "go", shell, script},
                      {},
                      false,
                      dir.path(),
                      120});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "started late\n0\n");
    // The shell, rm (a 64-bit program, tracked by the 64-bit build: it
    // started while the file was there, so it alone polled for it) and the
    // host started after it was gone.
    EXPECT_EQ(matching_entries(dir.path(), REPORT).size(), 3u);
    std::string side = read_file(dir.file("quarrow_children.log"));
    EXPECT_EQ(count_lines(side, BANNER), 2u) << side;
    EXPECT_EQ(count_lines(side, "Polling file .*/go\\. Trace will start when this file is deleted"), 1u) << side;
    EXPECT_EQ(count_lines(side, "QUARROW ERROR.*"), 0u) << side;
}

} // namespace

namespace {

using namespace e2e;

// The process the launcher starts keeps the library's exit codes and its
// lines on standard error, children followed or not.
TEST(FollowedChildren, LaunchedProcessKeepsItsExitCodes) {
    scratch_dir dir;
    auto run = spawn({{launcher_path(), "run", "--follow-children", host_path("e2e_tool_host"), "true"},
                      {{"PROFILER_WRITE_PERIOD_SECONDS", "0"}},
                      false,
                      dir.path()});
    ASSERT_TRUE(run.exited(2)) << run.describe();
    EXPECT_EQ(count_lines(run.err, "QUARROW ERROR: Couldn't configure event processing\\. Err = 2 .*"), 1u) << run.err;
    pid_t pid = launched_pid(run.err);
    EXPECT_EQ(last_line(run.err), "quarrow run: PID " + std::to_string(pid) + " exited with status 2");
    EXPECT_EQ(matching_entries(dir.path(), ".*"), std::vector<std::string>{});
}

} // namespace
