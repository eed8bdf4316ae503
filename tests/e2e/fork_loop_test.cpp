// Fork loops under stress: Debian's 32-bit bash runs a loop of command
// substitutions, pipes and background jobs under the launcher, 2,000
// rounds, 10 runs in a row, without and with --follow-children. Every run
// must end with the program's own exit, its whole output and the
// launcher's final line; the launcher runs with core dumps on, so a crash
// of it (or of anything else in the run's folder) leaves its core there.
// QUARROW_E2E_LOOP_ROUNDS and QUARROW_E2E_LOOP_RUNS change the numbers.
#include "e2e_support.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

namespace {

using namespace e2e;

int setting(const char *name, int fallback) {
    const char *text = getenv(name);
    return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

std::string loop(int rounds) {
    return "T=" + host_path("e2e_tool_host") + "\nR=" + std::to_string(rounds) + R"SH(
i=0
bad=0
while [ $i -lt $R ]; do
  x=$(echo r$i)
  [ "$x" = "r$i" ] || bad=$((bad+1))
  n=$($T echo p$i | $T wc)
  [ "$n" = "$(( ${#i} + 2 ))" ] || bad=$((bad+1))
  $T true &
  i=$((i+1))
done
wait
echo "rounds=$i bad=$bad"
)SH";
}

void keep_cores() {
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited);
}

class ForkLoop : public ::testing::TestWithParam<bool> {};

TEST_P(ForkLoop, RunsCleanEveryTime) {
    bool follow = GetParam();
    int rounds = setting("QUARROW_E2E_LOOP_ROUNDS", 2000);
    int runs = setting("QUARROW_E2E_LOOP_RUNS", 10);
    std::string shell = i386_shell_path("bash");
    ASSERT_EQ(access(shell.c_str(), X_OK), 0) << shell << " is missing: run scripts/install-deps.sh";
    double seconds = 0;
    for (int r = 0; r < runs; r++) {
        scratch_dir dir;
        std::ofstream(dir.file("loop.sh")) << loop(rounds);
        std::vector<std::string> args = {launcher_path(), "run", "--write-period", "2"};
        if (follow)
            args.push_back("--follow-children");
        args.insert(args.end(), {shell, dir.file("loop.sh")});
        auto run = spawn({args, {}, false, dir.path(), 900, keep_cores});
        seconds += run.seconds;
        SCOPED_TRACE("run " + std::to_string(r + 1) + " of " + std::to_string(runs));
        ASSERT_TRUE(run.exited(0)) << run.describe();
        ASSERT_EQ(run.out, "rounds=" + std::to_string(rounds) + " bad=0\n") << run.describe();
        pid_t pid = launched_pid(run.err);
        ASSERT_NE(pid, 0) << run.err;
        ASSERT_EQ(last_line(run.err), "quarrow run: PID " + std::to_string(pid) + " exited with status 0") << run.err;
        ASSERT_EQ(matching_entries(dir.path(), "core.*"), std::vector<std::string>{}) << "a process dumped core";
        ASSERT_EQ(count_lines(run.err, "Linux Quarrow Version.*"), 1u) << run.err;
        // Without following, the shell's report is the only one; with it,
        // each of the three programs of a round started one too. A PID used
        // again within the run appends a run of its own to the same file.
        auto reports = matching_entries(dir.path(), "native_memory_[0-9]+\\.log");
        size_t starts = 0;
        for (const auto &name : reports)
            starts += count_lines(read_file(dir.file(name)), "Started log at .*");
        ASSERT_EQ(starts, follow ? 1u + 3u * unsigned(rounds) : 1u);
        ASSERT_EQ(reports.size() == 1, !follow);
        if (follow) {
            ASSERT_EQ(count_lines(read_file(dir.file("quarrow_children.log")), "Linux Quarrow Version.*"),
                      3u * unsigned(rounds));
        }
    }
    std::cout << runs << " runs of " << rounds << " rounds " << (follow ? "following children" : "untracked children")
              << ": " << seconds << " s in all\n";
}

INSTANTIATE_TEST_SUITE_P(Bash, ForkLoop, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "FollowingChildren" : "ChildrenUntracked"; });

} // namespace
