// Exact counters per call site for every allocation entry point, and what
// the tracker says about itself at start-up.
#include "e2e_support.h"

#include <map>
#include <regex>

#include "report_parser.h"

namespace {

using namespace e2e;
using report::caller_type;

// What counting_host's "count" does at each site (see its run_count):
// malloc of 100..109 bytes, 100..106 freed; calloc of 3 x 40; realloc(NULL)
// blocks of which three are moved on by site_realloc; reallocarray of 5 x 20;
// both posix_memalign blocks leaked.
const std::vector<std::pair<std::string, counters>> expected_sites = {
    {"site_malloc", {1045, 10, 721, 7}}, {"site_malloc_zero", {0, 2, 0, 2}},
    {"site_calloc", {600, 5, 600, 5}},   {"site_realloc_null", {256, 4, 256, 4}},
    {"site_realloc", {600, 3, 400, 2}},  {"site_reallocarray", {200, 2, 100, 1}},
    {"site_memalign", {900, 3, 900, 3}}, {"site_posix_memalign", {1000, 2, 0, 0}},
    {"site_valloc", {2000, 2, 2000, 2}}, {"site_aligned_alloc", {512, 2, 256, 1}},
};

TEST(Counting, EveryEntryPointIsChargedToItsCallSite) {
    scratch_dir dir;
    auto run = spawn({{host_path("e2e_counting_host"), "count"}, {{"PROFILER_REPORT_AT_EXIT", "1"}}, true, dir.path()});
    ASSERT_TRUE(run.exited(0)) << run.describe();

    // The tracker's own lines, in order, naming this process's report.
    std::string name = report_name(run.pid);
    EXPECT_TRUE(lines_in_order(
        run.err, {"Profiler stack depth=7", quoted("Linux Quarrow Version 1.0 Configured. Output file = " + name +
                                                   ", write out period = 600 seconds")}));
    EXPECT_EQ(count_lines(run.err, "QUARROW ERROR.*"), 0u) << run.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{name});

    auto set = report::parse_report_files({dir.file(name)});
    EXPECT_EQ(set.warning_count, 0u) << (set.warnings.empty() ? "" : set.warnings[0].message);
    ASSERT_EQ(set.runs.size(), 1u);
    const auto &tracked = set.runs[0];
    EXPECT_EQ(tracked.line, 1u) << "the start line comes first";
    EXPECT_EQ(tracked.write_period_seconds, 600);
    EXPECT_EQ(tracked.stack_depth, 7);
    EXPECT_TRUE(tracked.start_time.has_value()) << tracked.started_at;
    // The period is long: the only report is the one at exit.
    ASSERT_EQ(tracked.reports.size(), 1u);
    const auto &rep = tracked.reports[0];
    EXPECT_EQ(rep.discarded_events, 0u);

    for (const auto &[site, expected] : expected_sites)
        EXPECT_TRUE(allocator_counters(set, rep, site, expected));

    // Frees of known blocks and of NULL leave no record of their own.
    for (const char *freer : {"site_free", "site_free_null"})
        for (auto type : {caller_type::allocator, caller_type::unmatched_freer, caller_type::unmatched_reallocer})
            EXPECT_TRUE(blocks_at(set, rep, freer, type).empty()) << freer << " has a " << caller_type_name(type);

    // Nothing the tracker does for itself, on its own threads or inside its
    // hooks, shows up as a caller; every stack is at most the depth asked.
    for (const auto &block : rep.blocks) {
        size_t frames = frame_count(set, block);
        EXPECT_GE(frames, 1u);
        EXPECT_LE(frames, 7u);
        for (size_t i = 0; i < frames; i++)
            EXPECT_FALSE(is_tracker_frame(frame(set, block, i)))
                << "frame " << i << " of a " << caller_type_name(type_of(set, block))
                << " record is the tracker's: " << frame(set, block, i).library << " " << frame(set, block, i).symbol;
    }
}

// Every frame of a site's record, as object, symbol and offset (or offset
// in the object): the same in every run of one program, wherever its
// objects were loaded.
std::vector<std::string> frames_of_site(const report::report_set &set, const report::report &rep,
                                        const std::string &site) {
    std::vector<std::string> frames;
    auto found = blocks_at(set, rep, site, caller_type::allocator);
    if (found.size() == 1)
        for (size_t i = 0; i < frame_count(set, *found[0]); i++) {
            const auto &f = frame(set, *found[0], i);
            // A frame without a symbol is told by its place in its object.
            if (f.symbol == "*Unknown*")
                frames.push_back(f.library + " +" +
                                 std::to_string(std::stoull(f.address, nullptr, 16) - std::stoull(f.base, nullptr, 16)));
            else
                frames.push_back(f.library + " " + f.symbol + "+" + f.offset);
        }
    return frames;
}

// The other capture methods charge the same sites with the same counters,
// and with the same frames as the engine's walk that starts at the entry
// point's caller. In check mode every capture is taken both ways; the count
// line at exit must cover at least one capture per allocation and show no
// difference.
TEST(Counting, EveryCaptureMethodChargesTheSameSites) {
    uint64_t allocations = 0;
    for (const auto &site : expected_sites)
        allocations += site.second.allocations;
    const std::regex count_line(
        "QUARROW UNWINDER CHECK: ([0-9]+) captures compared, ([0-9]+) mismatches, ([0-9]+) left to backtrace");

    std::map<std::string, std::map<std::string, std::vector<std::string>>> frames; // by method, then site
    for (const char *method : {"fast", "backtrace", "check"}) {
        SCOPED_TRACE(std::string("PROFILER_UNWINDER=") + method);
        scratch_dir dir;
        auto run = spawn({{host_path("e2e_counting_host"), "count"},
                          {{"PROFILER_REPORT_AT_EXIT", "1"}, {"PROFILER_UNWINDER", method}},
                          true,
                          dir.path()});
        ASSERT_TRUE(run.exited(0)) << run.describe();
        EXPECT_EQ(count_lines(run.err, "QUARROW ERROR.*"), 0u) << run.err;
        EXPECT_EQ(count_lines(run.err, "QUARROW UNWINDER MISMATCH:.*"), 0u) << run.err;

        std::vector<std::smatch> counts;
        std::vector<std::string> lines = lines_of(run.err);
        for (const auto &line : lines) {
            std::smatch m;
            if (std::regex_match(line, m, count_line))
                counts.push_back(m);
        }
        if (std::string(method) == "check") {
            ASSERT_EQ(counts.size(), 1u) << run.err;
            EXPECT_GE(std::stoull(counts[0][1].str()), allocations) << run.err;
            EXPECT_EQ(counts[0][2].str(), "0") << run.err;
            // Plain compiled code all the way: the engine itself took every capture.
            EXPECT_EQ(counts[0][3].str(), "0") << run.err;
        } else {
            EXPECT_EQ(count_lines(run.err, "QUARROW UNWINDER.*"), 0u) << run.err;
        }

        auto set = report::parse_report_files({dir.file(report_name(run.pid))});
        EXPECT_EQ(set.warning_count, 0u) << (set.warnings.empty() ? "" : set.warnings[0].message);
        ASSERT_EQ(set.runs.size(), 1u);
        ASSERT_EQ(set.runs[0].reports.size(), 1u);
        const auto &rep = set.runs[0].reports[0];
        EXPECT_EQ(rep.discarded_events, 0u);
        for (const auto &[site, expected] : expected_sites) {
            EXPECT_TRUE(allocator_counters(set, rep, site, expected));
            frames[method][site] = frames_of_site(set, rep, site);
        }
    }
    for (const auto &site : expected_sites) {
        EXPECT_GE(frames["fast"][site.first].size(), 3u) << site.first << ": the site, its caller and beyond";
        EXPECT_EQ(frames["fast"][site.first], frames["backtrace"][site.first]) << site.first;
    }
}

} // namespace
