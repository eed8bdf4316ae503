// Eight threads malloc, realloc and free for a while under tracking, with
// producers waiting for room as under the launcher: the process ends
// normally, no event is dropped, and the report's counters are the host's
// own. QUARROW_E2E_STRESS_SECONDS sets the duration (20).
#include "e2e_support.h"

#include <stdlib.h>

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

TEST(Stress, ThreadsAllocatingTogetherAreCountedExactly) {
    const char *configured = getenv("QUARROW_E2E_STRESS_SECONDS");
    std::string seconds = configured != nullptr ? configured : "20";
    scratch_dir dir;
    auto run = spawn({{host_path("e2e_stress_host"), seconds, "8"},
                      {{"PROFILER_REPORT_AT_EXIT", "1"}, {"QUARROW_FULL_BUFFER", "wait"}},
                      true,
                      dir.path(),
                      std::stoi(seconds) + 120});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    auto expected = host_counters(run.out);
    ASSERT_EQ(expected.size(), 3u) << run.out;
    EXPECT_EQ(expected["site_stress_leak"].allocated, 8u * (1000 + 1001 + 1002 + 1003));
    EXPECT_EQ(count_lines(run.err, "QUARROW.*"), 0u) << run.err;

    auto set = report::parse_report_files({dir.file(report_name(run.pid))});
    EXPECT_EQ(set.warning_count, 0u);
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    const auto &rep = set.runs[0].reports[0];
    std::cout << "events dropped: " << set.runs[0].discarded_events << ", most pending: " << rep.max_pending.value_or(0)
              << ", host operations: " << run.out.substr(run.out.rfind("OPERATIONS")) << std::flush;

    ASSERT_EQ(set.runs[0].discarded_events, 0u) << "a producer waited out its bound for room";
    for (const auto &[site, counts] : expected)
        EXPECT_TRUE(allocator_counters(set, rep, site, counts));
    for (auto type : {caller_type::unmatched_freer, caller_type::unmatched_reallocer})
        for (const auto &block : rep.blocks)
            EXPECT_NE(type_of(set, block), type)
                << "unmatched record at " << frame(set, block, 0).symbol << ": " << block.unmatched_count();
}

} // namespace
