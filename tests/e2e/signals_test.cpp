// The host's signal handlers run on the host's threads. A process-directed
// signal goes to any thread that leaves it open, so a tracker thread that
// did would run a shell's SIGCHLD handler behind the shell's back (Debian's
// bash crashed that way in a fork loop). The host blocks the signals on its
// main thread, makes them pending and waits: none may be handled until it
// unblocks them itself.
#include "e2e_support.h"

#include <fstream>

namespace {

using namespace e2e;

struct tracker_threads {
    const char *name;
    bool with_trigger_file; // adds the trigger file's polling thread
};

class SignalThreads : public ::testing::TestWithParam<tracker_threads> {};

TEST_P(SignalThreads, HandlersRunOnlyOnTheHostsThreads) {
    scratch_dir dir;
    std::map<std::string, std::string> env = {{"PROFILER_WRITE_PERIOD_SECONDS", "1"}};
    if (GetParam().with_trigger_file) {
        std::ofstream(dir.file("hold")) << "held\n";
        env["PROFILER_TRIGGER_FILE"] = dir.file("hold");
    }
    auto run = spawn({{host_path("e2e_tool_host"), "signals"}, env, true, dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "signals on main thread\n");
    EXPECT_EQ(count_lines(run.err, "Linux Quarrow Version.*"), 1u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Tracker, SignalThreads,
                         ::testing::Values(tracker_threads{"ProcessingAndWriting", false},
                                           tracker_threads{"WithTriggerPolling", true}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
