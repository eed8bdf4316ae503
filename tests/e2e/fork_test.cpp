// Forking while other threads allocate: no child hangs or crashes, and no
// child writes a report, to the parent's file or a file of its own.
#include "e2e_support.h"

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

TEST(Fork, ChildrenRunUntrackedAndNeverReport) {
    scratch_dir dir;
    auto run =
        spawn({{host_path("e2e_fork_host"), "50", "4"}, {{"PROFILER_REPORT_AT_EXIT", "1"}}, true, dir.path(), 240});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    EXPECT_EQ(run.out, "forks=50 hung=0 failed=0\n");
    EXPECT_EQ(count_lines(run.err, "QUARROW.*"), 0u) << run.err;

    std::string name = report_name(run.pid);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{name}) << "a child wrote a report file of its own";
    // A child's report would land in the parent's file, whole or cut short.
    std::string text = read_file(dir.file(name));
    EXPECT_EQ(count_lines(text, "Started log at .*"), 1u);
    EXPECT_EQ(count_lines(text, "TIMESTAMP:.*"), 1u);
    auto set = report::parse_report_files({dir.file(name)});
    EXPECT_EQ(set.warning_count, 0u);
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    const auto &rep = set.runs[0].reports[0];
    auto workers = blocks_at(set, rep, "site_worker_malloc", caller_type::allocator);
    ASSERT_FALSE(workers.empty());
    if (rep.discarded_events == 0u) {
        // The workers free every block before the report is written.
        for (const auto *block : workers) {
            EXPECT_GT(block->number_of_allocations, 0u);
            EXPECT_EQ(block->total_freed, block->total_allocated);
            EXPECT_EQ(block->number_of_frees, block->number_of_allocations);
        }
    }
}

} // namespace
