// Programs a tracked process starts are tracked only when asked for.
#include "e2e_support.h"

#include <algorithm>
#include <regex>

#include "report_parser.h"

namespace {

using namespace e2e;
struct family {
    pid_t parent = 0, child = 0;
    std::string child_preload;
};

family read_family(const host_run &run) {
    family f;
    std::smatch m;
    for (const auto &line : lines_of(run.out)) {
        if (std::regex_match(line, m, std::regex("PARENT_PID=(\\d+)")))
            f.parent = std::stoi(m[1]);
        else if (std::regex_match(line, m, std::regex("CHILD_PID=(\\d+) STATUS=0")))
            f.child = std::stoi(m[1]);
        else if (std::regex_match(line, m, std::regex("CHILD_PRELOAD=(.*)")))
            f.child_preload = m[1];
    }
    return f;
}

TEST(Children, NotTrackedUnlessFollowed) {
    scratch_dir dir;
    auto run = spawn({{host_path("e2e_children_host")}, {}, true, dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    auto f = read_family(run);
    ASSERT_EQ(f.parent, run.pid) << run.out;
    ASSERT_NE(f.child, 0) << run.out;
    EXPECT_EQ(f.child_preload, "(unset)");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{report_name(run.pid)});
    EXPECT_EQ(count_lines(run.err, "Linux Quarrow Version.*"), 1u) << run.err;
}

TEST(Children, OtherPreloadedLibrariesStay) {
    scratch_dir dir;
    std::string bystander = host_path("libe2e_bystander.so");
    auto run = spawn({{host_path("e2e_children_host")},
                      {{"LD_PRELOAD", library_path() + ":" + bystander + " " + starter_path()}},
                      true,
                      dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    auto f = read_family(run);
    ASSERT_NE(f.child, 0) << run.out;
    EXPECT_EQ(f.child_preload, bystander);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{report_name(run.pid)});
}

TEST(Children, FollowedChildrenAreTrackedToo) {
    scratch_dir dir;
    auto run = spawn({{host_path("e2e_children_host")},
                      {{"QUARROW_FOLLOW_CHILDREN", "1"}, {"PROFILER_REPORT_AT_EXIT", "1"}},
                      true,
                      dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();
    auto f = read_family(run);
    ASSERT_NE(f.child, 0) << run.out;
    EXPECT_EQ(f.child_preload, library_path() + ":" + starter_path());
    std::vector<std::string> files = {report_name(run.pid), report_name(f.child)};
    std::sort(files.begin(), files.end());
    EXPECT_EQ(dir.entries(), files);
    for (pid_t pid : {run.pid, f.child})
        EXPECT_EQ(count_lines(run.err, quoted("Linux Quarrow Version 1.0 Configured. Output file = " +
                                              report_name(pid) + ", write out period = 600 seconds")),
                  1u)
            << run.err;

    // Each process's report holds its own traffic.
    auto parent = report::parse_report_files({dir.file(report_name(run.pid))});
    auto child = report::parse_report_files({dir.file(report_name(f.child))});
    ASSERT_EQ(parent.runs.size(), 1u);
    ASSERT_EQ(child.runs.size(), 1u);
    ASSERT_EQ(parent.runs[0].reports.size(), 1u);
    ASSERT_EQ(child.runs[0].reports.size(), 1u);
    EXPECT_TRUE(allocator_counters(parent, parent.runs[0].reports[0], "site_parent_alloc", {55, 1, 55, 1}));
    EXPECT_TRUE(allocator_counters(child, child.runs[0].reports[0], "site_child_alloc", {231, 3, 77, 1}));
}

} // namespace
