// Tracing held back by a trigger file: nothing before its deletion counts,
// everything after it does. The tracker polls every 10 seconds, so this
// takes a while.
#include "e2e_support.h"

#include <fstream>

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

TEST(Trigger, TracingStartsWhenTheFileIsDeleted) {
    scratch_dir dir;
    std::string trigger = dir.file("hold-tracing");
    std::ofstream(trigger) << "delete me to start tracing\n";
    auto run = spawn(
        {{host_path("e2e_counting_host"), "trigger", trigger},
         {{"PROFILER_TRIGGER_FILE", trigger}, {"PROFILER_WRITE_PERIOD_SECONDS", "1"}, {"PROFILER_REPORT_AT_EXIT", "1"}},
         true,
         dir.path(),
         90});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    std::string name = report_name(run.pid);
    EXPECT_TRUE(lines_in_order(
        run.err,
        {"Read profiler write thread period from PROFILER_WRITE_PERIOD_SECONDS environment variable",
         "Profiler stack depth=7", quoted("Polling file " + trigger + ". Trace will start when this file is deleted"),
         quoted("Linux Quarrow Version 1.0 Configured. Output file = " + name + ", write out period = 1 seconds"),
         quoted("Trigger file " + trigger + " has disappeared - enabling trace")}));
    EXPECT_EQ(count_lines(run.err, "QUARROW ERROR.*"), 0u) << run.err;

    auto set = report::parse_report_files({dir.file(name)});
    ASSERT_EQ(set.runs.size(), 1u);
    const auto &tracked = set.runs[0];
    EXPECT_EQ(tracked.write_period_seconds, 1);
    // About one a second for the 12 seconds the host waits, and the one at exit.
    ASSERT_GE(tracked.reports.size(), 5u);
    EXPECT_EQ(tracked.discarded_events, 0u);

    size_t with_late_site = 0;
    for (const auto &rep : tracked.reports) {
        for (auto type : {caller_type::allocator, caller_type::unmatched_freer})
            EXPECT_TRUE(blocks_at(set, rep, "site_before_trigger", type).empty())
                << "report at line " << rep.line << " holds the site that ran before tracing";
        // Frees of blocks from before tracing are not unmatched frees.
        EXPECT_TRUE(blocks_at(set, rep, "site_free", caller_type::unmatched_freer).empty())
            << "report at line " << rep.line;
        with_late_site += blocks_at(set, rep, "site_after_trigger", caller_type::allocator).size();
    }
    EXPECT_LT(with_late_site, tracked.reports.size()) << "the early reports should precede the traced allocations";
    EXPECT_TRUE(allocator_counters(set, tracked.reports.back(), "site_after_trigger", {280, 4, 70, 1}));
}

} // namespace
