// Blocks freed on one thread and handed out again at once on another, by
// free and by a realloc that moves: the report must see every release
// before the reuse of its address, or it would show blocks that are gone as
// live, charge frees to the wrong site and count unmatched releases.
#include "e2e_support.h"

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

TEST(Ordering, AReleaseIsSeenBeforeTheReuseOfItsAddressOnAnotherThread) {
    scratch_dir dir;
    auto run = spawn({{host_path("e2e_handoff_host"), "600000"},
                      {{"PROFILER_REPORT_AT_EXIT", "1"}, {"QUARROW_FULL_BUFFER", "wait"}},
                      true,
                      dir.path(),
                      240});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    auto expected = host_counters(run.out);
    ASSERT_EQ(expected.size(), 4u) << run.out;
    EXPECT_EQ(count_lines(run.err, "QUARROW.*"), 0u) << run.err;

    auto set = report::parse_report_files({dir.file(report_name(run.pid))});
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    ASSERT_EQ(set.runs[0].discarded_events, 0u) << "a dropped event would blur the order";
    const auto &rep = set.runs[0].reports[0];
    for (const auto &[site, counts] : expected)
        EXPECT_TRUE(allocator_counters(set, rep, site, counts));
    size_t unmatched = 0;
    for (const auto &block : rep.blocks)
        if (type_of(set, block) == caller_type::unmatched_freer ||
            type_of(set, block) == caller_type::unmatched_reallocer)
            unmatched += block.unmatched_count();
    EXPECT_EQ(unmatched, 0u) << "releases handled after the reuse of their address";
}

} // namespace
