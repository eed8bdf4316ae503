// Blocks the C library handed out before the tracker started stay usable:
// measured, reallocated and freed through the tracker's entry points. The
// host checks the blocks themselves; the report shows how their release was
// counted, and how a double free of one of the tracker's own blocks is.
#include "e2e_support.h"

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

TEST(GlibcBlocks, BlocksFromBeforeTheStartStaySafe) {
    scratch_dir dir;
    // Linked against the tracker, so nothing is preloaded.
    auto run = spawn({{host_path("e2e_glibc_blocks_host")}, {{"PROFILER_REPORT_AT_EXIT", "1"}}, false, dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "reallocated=6 failures=0\n");
    EXPECT_TRUE(lines_in_order(run.err, {quoted("Linux Quarrow Version 1.0 Configured. Output file = " +
                                                report_name(run.pid) + ", write out period = 600 seconds")}));

    auto set = report::parse_report_files({dir.file(report_name(run.pid))});
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    const auto &rep = set.runs[0].reports[0];
    EXPECT_EQ(rep.discarded_events, 0u);

    // Six early blocks reallocated: unseen as allocations, so each release is
    // an unmatched realloc; the new blocks are ordinary ones of the site.
    auto unmatched_reallocs = blocks_at(set, rep, "site_realloc_foreign", caller_type::unmatched_reallocer);
    ASSERT_EQ(unmatched_reallocs.size(), 1u);
    EXPECT_EQ(unmatched_reallocs[0]->unmatched_count(), 6u);
    EXPECT_EQ(count_lines(run.err, "Unmatched realloc processed"), 6u) << run.err;
    EXPECT_TRUE(allocator_counters(set, rep, "site_realloc_foreign",
                                   {1000 + 10 + 1000 + 400 * 1024 + 800 + 100, 6, 412510, 6}));
    // Four early blocks freed.
    auto unmatched_frees = blocks_at(set, rep, "site_free_foreign", caller_type::unmatched_freer);
    ASSERT_EQ(unmatched_frees.size(), 1u);
    EXPECT_EQ(unmatched_frees[0]->unmatched_count(), 4u);
    // Sizes 16, 56, ..., 1976.
    EXPECT_TRUE(allocator_counters(set, rep, "site_normal_malloc", {49800, 50, 49800, 50}));
    EXPECT_TRUE(blocks_at(set, rep, "site_normal_free", caller_type::unmatched_freer).empty());
    EXPECT_TRUE(blocks_at(set, rep, "site_free_reallocated", caller_type::unmatched_freer).empty());
    // A block of the tracker's freed twice: the first free matched, the
    // second is charged to its own site, whose stack was captured for it.
    EXPECT_TRUE(allocator_counters(set, rep, "site_malloc_freed_twice", {24, 1, 24, 1}));
    auto again = blocks_at(set, rep, "site_free_again", caller_type::unmatched_freer);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0]->unmatched_count(), 1u);
}

} // namespace
