/*
 * Unit tests of the report file parser: the line grammar (frames, counters,
 * start lines, times), how runs and reports are delimited, and what happens
 * to damaged input: every fault is a warning with the right line, and no
 * damaged block or unfinished report reaches the model.
 */
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "report_parser.h"

using namespace quarrow::report;

namespace {

const char *const kStart = "Started log at Mon Jan  6 09:00:00 2025, write period = 60 seconds, stack depth = 4\n";

report_set parse(const std::string &text) {
    report_set set;
    report_parser parser(set);
    parser.parse_text(text, "t.log");
    return set;
}

std::string allocator_block(const std::string &frames, unsigned long long allocated, unsigned long long freed,
                            const char *type = "ALLOCATOR") {
    std::ostringstream out;
    out << frames << "TYPE:" << type << "\nTOTAL_ALLOCATED:" << allocated
        << "\nNUMBER_OF_ALLOCATIONS:1\nTOTAL_FREED:" << freed << "\nNUMBER_OF_FREES:0\n";
    return out.str();
}

std::string report_text(const std::string &blocks, const char *time = "Mon Jan  6 09:01:00 2025") {
    return std::string("TIMESTAMP:") + time + "\nMAX_PENDING:0\nDISCARDED_EVENTS:0\n" + blocks + "END\n";
}

const std::string kMainFrame = "STACK_0:/opt/app/server(0x56555000):main+0x10 (0x56555510)\n";

std::string warnings_of(const report_set &set) {
    std::string all;
    for (const parse_warning &w : set.warnings)
        all += std::to_string(w.line) + ": " + w.message + "\n";
    return all;
}

bool has_warning(const report_set &set, uint64_t line, const std::string &part) {
    for (const parse_warning &w : set.warnings)
        if (w.line == line && w.message.find(part) != std::string::npos)
            return true;
    return false;
}

/* ---- frames ------------------------------------------------------------- */

report_frame only_frame(const std::string &stack_line) {
    report_set set = parse(kStart + report_text(stack_line + "TYPE:UNMATCHED_FREER\nUNMATCHED_FREES:1\n"));
    EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
    EXPECT_EQ(set.frames.size(), 1u);
    return set.frames.empty() ? report_frame{} : set.frames[0];
}

TEST(ReportFrames, FieldsAreSplitAsPrinted) {
    report_frame f = only_frame(
        "STACK_0:/usr/lib/libstdc++.so.6(0xf7a00000):_ZNSt6vectorIiSaIiEE9push_backERKi+0x1b (0xf7ab0c1b)\n");
    EXPECT_EQ(f.library, "/usr/lib/libstdc++.so.6");
    EXPECT_EQ(f.base, "0xf7a00000");
    EXPECT_EQ(f.symbol, "_ZNSt6vectorIiSaIiEE9push_backERKi");
    EXPECT_EQ(f.offset, "0x1b");
    EXPECT_EQ(f.address, "0xf7ab0c1b");
}

TEST(ReportFrames, SixtyFourBitPointersAreKeptWhole) {
    // a 64-bit process: every pointer as wide as %p prints it, up to 16 digits
    report_frame f = only_frame("STACK_0:/usr/lib/x86_64-linux-gnu/libc.so.6(0x7f3a2d400000):malloc+0x1a "
                                "(0xffffffffff600400)\n");
    EXPECT_EQ(f.library, "/usr/lib/x86_64-linux-gnu/libc.so.6");
    EXPECT_EQ(f.base, "0x7f3a2d400000");
    EXPECT_EQ(f.address, "0xffffffffff600400");
    f = only_frame("STACK_0:/x.so(0x7f3a2d400000):*Unknown*+0x7f3a2d4f0c81 (0x7f3a2d4f0c81)\n");
    EXPECT_EQ(f.offset, "0x7f3a2d4f0c81");
    // 17 digits are no pointer of either build
    report_set set =
        parse(kStart + report_text(allocator_block("STACK_0:/x.so(0x1):y+0x2 (0x1ffffffffff600400)\n", 10, 0)));
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_TRUE(set.runs[0].reports[0].blocks.empty());
    EXPECT_TRUE(has_warning(set, 5, "has no pointer as its address")) << warnings_of(set);
}

TEST(ReportFrames, UnresolvedFramesWithNullPointers) {
    report_frame f = only_frame("STACK_0:*Unknown*((nil)):*Unknown*+(nil) (0x804f00d)\n");
    EXPECT_EQ(f.library, "*Unknown*");
    EXPECT_EQ(f.base, "(nil)");
    EXPECT_EQ(f.symbol, "*Unknown*");
    EXPECT_EQ(f.offset, "(nil)");
    EXPECT_EQ(f.address, "0x804f00d");

    f = only_frame("STACK_0:(0x8048000):*Unknown*+0x8049abc ((nil))\n");
    EXPECT_EQ(f.library, "") << "the loader may give no path";
    EXPECT_EQ(f.base, "0x8048000");
    EXPECT_EQ(f.address, "(nil)");
}

TEST(ReportFrames, PathsMayHoldTheSeparators) {
    report_frame f = only_frame("STACK_0:/opt/a+b (x86)/odd(0x1):dir/lib.so(0xf7000000):sym+0x4 (0xf7000104)\n");
    EXPECT_EQ(f.library, "/opt/a+b (x86)/odd(0x1):dir/lib.so");
    EXPECT_EQ(f.base, "0xf7000000");
    EXPECT_EQ(f.symbol, "sym");
}

TEST(ReportFrames, ParenthesesAfterTheBaseBelongToTheSymbol) {
    // the last "):" is not the base's; the one before it is, once with the
    // '(' found for the last one and once with a '(' further left
    report_frame f = only_frame("STACK_0:/lib/x.so(0x1000):sym):x+0x4 (0x1004)\n");
    EXPECT_EQ(f.library, "/lib/x.so");
    EXPECT_EQ(f.base, "0x1000");
    EXPECT_EQ(f.symbol, "sym):x");
    f = only_frame("STACK_0:a(b(0x1000):c(d):e+0x4 (0x1004)\n");
    EXPECT_EQ(f.library, "a(b");
    EXPECT_EQ(f.base, "0x1000");
    EXPECT_EQ(f.symbol, "c(d):e");
}

TEST(ReportFrames, ALongLineOfFalseBasesIsRejectedInOnePass) {
    // Each "):" is a candidate base; searching back to the '(' for each one
    // took minutes on a line this long. The test's timeout catches a relapse.
    std::string line = "STACK_0:(";
    for (int i = 0; i < 400000; i++)
        line += "):";
    line += "sym+0x4 (0x1004)\n";
    report_set set = parse(kStart + report_text(allocator_block(line, 10, 0)));
    ASSERT_EQ(set.runs.size(), 1u);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_TRUE(set.runs[0].reports[0].blocks.empty());
    EXPECT_TRUE(has_warning(set, 5, "has no \"library(base):\"")) << warnings_of(set);
}

TEST(ReportFrames, MalformedFramesLeaveTheirBlockOut) {
    const char *bad[] = {
        "STACK_0:/lib/x.so(0xf7000000):sym+0x4\n",             // no address
        "STACK_0:/lib/x.so(0xf7000000):sym+0x4 (0xzz)\n",      // address not a pointer
        "STACK_0:/lib/x.so(0xf7000000):sym (0xf7000004)\n",    // no offset
        "STACK_0:/lib/x.so(f7000000):sym+0x4 (0xf7000004)\n",  // base not a pointer
        "STACK_0:/lib/x.so:sym+0x4 (0xf7000004)\n",            // no base at all
        "STACK_x:/lib/x.so(0xf7000000):sym+0x4 (0xf7000004)\n" // no frame number
    };
    for (const char *line : bad) {
        report_set set = parse(kStart + report_text(allocator_block(line, 10, 0) + allocator_block(kMainFrame, 5, 0)));
        ASSERT_EQ(set.runs.size(), 1u);
        ASSERT_EQ(set.runs[0].reports.size(), 1u) << line;
        const report &r = set.runs[0].reports[0];
        ASSERT_EQ(r.blocks.size(), 1u) << line << warnings_of(set);
        EXPECT_EQ(r.blocks[0].total_allocated, 5u) << "only the sound block stays";
        EXPECT_TRUE(has_warning(set, 5, "STACK")) << line << warnings_of(set);
    }
}

TEST(ReportFrames, FramesOutOfSequenceAreNotGluedToAStack) {
    std::string frames = kMainFrame + "STACK_2:/opt/app/server(0x56555000):run+0x10 (0x56555610)\n";
    report_set set = parse(kStart + report_text(allocator_block(frames, 10, 0)));
    EXPECT_TRUE(set.runs[0].reports[0].blocks.empty());
    EXPECT_TRUE(has_warning(set, 6, "STACK_2 where STACK_1 was due")) << warnings_of(set);
}

/* ---- runs and reports --------------------------------------------------- */

TEST(ReportStructure, EveryCallerTypeAndZeroFrameBlocks) {
    std::string blocks = allocator_block(kMainFrame, 100, 40) + allocator_block("", 7, 0) +
                         allocator_block(kMainFrame, 64, 0, "JNI_ALLOCATOR") + kMainFrame +
                         "TYPE:UNMATCHED_FREER\nUNMATCHED_FREES:3\n" +
                         "TYPE:UNMATCHED_REALLOCER\nUNMATCHED_REALLOCSS:4\n" + kMainFrame +
                         "TYPE:UNMATCHED_JNI_FREER\nUNMATCHED_FREES:5\n" + kMainFrame +
                         "TYPE:UNMATCHED_JNI_REALLOCER\nUNMATCHED_REALLOCSS:6\n";
    report_set set = parse(kStart + report_text(blocks));
    EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
    ASSERT_EQ(set.runs.size(), 1u);
    const run &ru = set.runs[0];
    EXPECT_EQ(ru.write_period_seconds, 60);
    EXPECT_EQ(ru.stack_depth, 4);
    EXPECT_EQ(ru.started_at, "Mon Jan  6 09:00:00 2025");
    ASSERT_EQ(ru.reports.size(), 1u);
    const report &r = ru.reports[0];
    EXPECT_EQ(r.line, 2u);
    EXPECT_EQ(r.timestamp, "Mon Jan  6 09:01:00 2025");
    ASSERT_EQ(r.blocks.size(), 7u);
    caller_type expected[] = {caller_type::allocator,
                              caller_type::allocator,
                              caller_type::jni_allocator,
                              caller_type::unmatched_freer,
                              caller_type::unmatched_reallocer,
                              caller_type::unmatched_jni_freer,
                              caller_type::unmatched_jni_reallocer};
    uint64_t counts[] = {100, 7, 64, 3, 4, 5, 6};
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(set.stacks[r.blocks[i].stack].type, expected[i]) << i;
        EXPECT_EQ(r.blocks[i].total_allocated, counts[i]) << i;
    }
    EXPECT_EQ(r.blocks[0].total_freed, 40u);
    EXPECT_TRUE(set.stacks[r.blocks[1].stack].frames.empty());
    EXPECT_TRUE(set.stacks[r.blocks[4].stack].frames.empty());
    // one frame line, five stacks: the same frames under another type are another stack
    EXPECT_EQ(set.frames.size(), 1u);
    EXPECT_EQ(set.stacks.size(), 7u);
}

TEST(ReportStructure, AReportWithNoCallerRecordsIsFourLines) {
    report_set set = parse(kStart + report_text(""));
    EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_TRUE(set.runs[0].reports[0].blocks.empty());
    EXPECT_EQ(set.runs[0].reports[0].max_pending, 0u);
}

TEST(ReportStructure, StacksKeepTheirIdentityAcrossReports) {
    std::string other = "STACK_0:/opt/app/server(0x56555000):work+0x20 (0x56555620)\n";
    std::string text = kStart + report_text(allocator_block(kMainFrame, 10, 0)) +
                       report_text(allocator_block(kMainFrame, 20, 0) + allocator_block(other, 5, 0));
    report_set set = parse(text);
    EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
    const run &r = set.runs[0];
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[0].blocks[0].stack, r.reports[1].blocks[0].stack);
    EXPECT_NE(r.reports[1].blocks[0].stack, r.reports[1].blocks[1].stack);
    EXPECT_EQ(set.stacks.size(), 2u);
}

TEST(ReportStructure, AppendedRunsAndACutLineBetweenThem) {
    std::string first = kStart + report_text(allocator_block(kMainFrame, 10, 0)) +
                        "TIMESTAMP:Mon Jan  6 09:02:00 2025\nMAX_PENDING:0\nDISCARDED_EVENTS:0\n" + kMainFrame +
                        "TYPE:ALLOCATOR\nTOTAL_ALLOCATED:2"; // the process died here
    std::string second =
        std::string("Started log at Tue Jan  7 10:00:00 2025, write period = 600 seconds, stack depth = 7\n") +
        report_text(allocator_block(kMainFrame, 99, 0), "Tue Jan  7 10:10:00 2025");
    report_set set = parse(first + second);
    ASSERT_EQ(set.runs.size(), 2u);
    EXPECT_EQ(set.runs[0].reports.size(), 1u);
    ASSERT_EQ(set.runs[0].skipped.size(), 1u);
    EXPECT_EQ(set.runs[0].skipped[0].line, 12u);
    EXPECT_TRUE(has_warning(set, 12, "its line 17 is cut short by the start of a new run")) << warnings_of(set);
    EXPECT_EQ(set.runs[1].line, 17u);
    EXPECT_EQ(set.runs[1].write_period_seconds, 600);
    EXPECT_EQ(set.runs[1].stack_depth, 7);
    ASSERT_EQ(set.runs[1].reports.size(), 1u);
    EXPECT_EQ(set.runs[1].reports[0].blocks[0].total_allocated, 99u);
    EXPECT_EQ(set.warning_count, 1u) << warnings_of(set);
}

TEST(ReportStructure, ATruncatedTailIsLeftOutWithAWarning) {
    std::string whole =
        kStart + report_text(allocator_block(kMainFrame, 10, 0)) + report_text(allocator_block(kMainFrame, 12345, 0));
    // Cut after every byte of the second report: no cut may show a number
    // of it, and only "END" without its newline still finishes it.
    size_t second = whole.find("TIMESTAMP", whole.find("TIMESTAMP") + 1);
    for (size_t cut = second + 1; cut < whole.size(); cut++) {
        report_set set = parse(whole.substr(0, cut));
        ASSERT_EQ(set.runs.size(), 1u);
        bool finished = cut >= whole.size() - 1; // "END" present, newline maybe not
        ASSERT_EQ(set.runs[0].reports.size(), finished ? 2u : 1u) << cut;
        EXPECT_EQ(set.runs[0].reports[0].blocks[0].total_allocated, 10u);
        if (!finished) {
            EXPECT_EQ(set.runs[0].skipped.size(), 1u) << cut;
            EXPECT_TRUE(has_warning(set, 12, "has no \"END\" line")) << cut << "\n" << warnings_of(set);
        } else {
            EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
        }
    }
}

TEST(ReportStructure, ReportsBeforeAnyStartLineFormARunOfUnknownShape) {
    report_set set = parse(report_text(allocator_block(kMainFrame, 10, 0)));
    ASSERT_EQ(set.runs.size(), 1u);
    EXPECT_EQ(set.runs[0].line, 0u);
    EXPECT_FALSE(set.runs[0].write_period_seconds);
    EXPECT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_TRUE(has_warning(set, 1, "before any \"Started log at\" line"));
}

TEST(ReportStructure, MalformedStartLineStillStartsARun) {
    report_set set = parse("Started log at sometime, write period = x seconds, stack depth = 4\n" + report_text(""));
    ASSERT_EQ(set.runs.size(), 1u);
    EXPECT_FALSE(set.runs[0].write_period_seconds);
    EXPECT_FALSE(set.runs[0].stack_depth);
    EXPECT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_TRUE(has_warning(set, 1, "malformed start line"));
}

TEST(ReportStructure, ACutStartLineGivesNoPeriodOrDepth) {
    // "stack depth = 12" cut after its first digit must not read as 1
    std::string text = "Started log at Mon Jan  6 09:00:00 2025, write period = 60 seconds, stack depth = 1";
    report_set set = parse(text);
    ASSERT_EQ(set.runs.size(), 1u);
    EXPECT_FALSE(set.runs[0].stack_depth);
    EXPECT_FALSE(set.runs[0].write_period_seconds);
    EXPECT_EQ(set.runs[0].started_at, "Mon Jan  6 09:00:00 2025");
    EXPECT_TRUE(has_warning(set, 1, "the start line is cut short"));
}

TEST(ReportStructure, CarriageReturnsAreTolerated) {
    std::string text = kStart + report_text(allocator_block(kMainFrame, 10, 0));
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    report_set set = parse(crlf);
    EXPECT_EQ(set.warning_count, 0u) << warnings_of(set);
    ASSERT_EQ(set.runs[0].reports.size(), 1u);
    EXPECT_EQ(set.frames[0].address, "0x56555510");
}

/* ---- counters ----------------------------------------------------------- */

TEST(ReportCounters, SixtyFourBitValuesAndTheirLimit) {
    std::string blocks = allocator_block(kMainFrame, 18446744073709551615ull, 4294967296ull) +
                         allocator_block("STACK_0:/x(0x1):y+0x2 (0x3)\n", 0, 0);
    std::string text = kStart + report_text(blocks);
    // one past the largest value in the second block
    text.replace(text.rfind("TOTAL_ALLOCATED:0"), 17, "TOTAL_ALLOCATED:18446744073709551616");
    report_set set = parse(text);
    const report &r = set.runs[0].reports[0];
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].total_allocated, 18446744073709551615ull);
    EXPECT_EQ(r.blocks[0].total_freed, 4294967296ull);
    EXPECT_TRUE(has_warning(set, 13, "TOTAL_ALLOCATED is not an unsigned 64-bit number")) << warnings_of(set);
    EXPECT_EQ(set.warning_count, 1u) << warnings_of(set);
}

TEST(ReportCounters, BadCounterLinesLeaveOnlyTheirBlockOut) {
    struct {
        const char *from, *to;
        uint64_t line;
        const char *warning;
    } cases[] = {
        {"TOTAL_FREED:0", "TOTAL_FREED:-1", 9, "TOTAL_FREED is not an unsigned"},
        {"TOTAL_FREED:0", "TOTAL_FREED: 1", 9, "TOTAL_FREED is not an unsigned"},
        {"TOTAL_FREED:0\n", "", 6, "lacks TOTAL_FREED"},
        {"TOTAL_FREED:0", "TOTAL_FREED:0\nTOTAL_FREED:0", 10, "a second TOTAL_FREED"},
        {"TOTAL_FREED:0", "UNMATCHED_FREES:0", 9, "does not belong to a TYPE:ALLOCATOR block"},
        {"TYPE:ALLOCATOR", "TYPE:ALLOCATORS", 6, "unknown caller type \"ALLOCATORS\""},
        {"TOTAL_FREED:0", "TOTAL_FREE:0", 9, "an unrecognised line"},
    };
    for (const auto &c : cases) {
        std::string first = allocator_block(kMainFrame, 10, 0);
        first.replace(first.find(c.from), strlen(c.from), c.to);
        report_set set = parse(kStart + report_text(first + allocator_block("", 7, 0)));
        ASSERT_EQ(set.runs[0].reports.size(), 1u) << c.to;
        const report &r = set.runs[0].reports[0];
        ASSERT_EQ(r.blocks.size(), 1u) << c.to << "\n" << warnings_of(set);
        EXPECT_EQ(r.blocks[0].total_allocated, 7u) << c.to;
        EXPECT_TRUE(has_warning(set, c.line, c.warning)) << c.to << "\n" << warnings_of(set);
    }
}

TEST(ReportCounters, FreedAboveAllocatedIsKeptButWarned) {
    report_set set = parse(kStart + report_text(allocator_block(kMainFrame, 10, 11)));
    ASSERT_EQ(set.runs[0].reports[0].blocks.size(), 1u);
    EXPECT_TRUE(has_warning(set, 6, "TOTAL_FREED 11 exceeds TOTAL_ALLOCATED 10")) << warnings_of(set);
}

TEST(ReportCounters, DiscardedEventsAreSummedOverTheRunEvenInUnfinishedReports) {
    std::string text = kStart + report_text("") + report_text("") + report_text("");
    size_t second = text.find("DISCARDED_EVENTS:0", text.find("DISCARDED_EVENTS:0") + 1);
    text.replace(second, 18, "DISCARDED_EVENTS:7");
    text += "TIMESTAMP:Mon Jan  6 09:09:00 2025\nMAX_PENDING:0\nDISCARDED_EVENTS:5\n";
    report_set set = parse(text);
    EXPECT_EQ(set.runs[0].discarded_events, 12u);
    EXPECT_EQ(set.runs[0].reports_with_discards, 2u);
    EXPECT_EQ(set.runs[0].first_discard_line, 8u);
}

TEST(ReportCounters, DiscardedEventsPastSixtyFourBitsStayAtTheLargestCount) {
    // wrapped, 2^63 + 2^63 would be 0 and the run would pass as complete
    std::string text = kStart + report_text("") + report_text("");
    for (size_t at = text.find("DISCARDED_EVENTS:0"); at != std::string::npos; at = text.find("DISCARDED_EVENTS:0"))
        text.replace(at, 18, "DISCARDED_EVENTS:9223372036854775808");
    report_set set = parse(text);
    ASSERT_EQ(set.runs.size(), 1u);
    EXPECT_EQ(set.runs[0].discarded_events, UINT64_MAX);
    EXPECT_EQ(set.runs[0].reports_with_discards, 2u);
}

TEST(ReportCounters, RepeatedAndVanishedStacksAreCaught) {
    std::string a = allocator_block(kMainFrame, 10, 0);
    std::string b = allocator_block("STACK_0:/x(0x1):y+0x2 (0x3)\n", 5, 0);
    report_set set = parse(kStart + report_text(a + b) + report_text(a + a));
    const run &r = set.runs[0];
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[1].blocks.size(), 1u) << "the repeated block is left out";
    EXPECT_TRUE(has_warning(set, 28, "repeats a stack")) << warnings_of(set);
    EXPECT_TRUE(has_warning(set, 18, "1 caller record of the previous report (line 2) is missing")) << warnings_of(set);
}

/* ---- lines outside the grammar ----------------------------------------- */

TEST(ReportLines, StrayLinesAreWarnedWithTheirNumbers) {
    std::string text = kStart + report_text(allocator_block(kMainFrame, 10, 0)) + "\nnoise\n" +
                       report_text(allocator_block(kMainFrame, 20, 0));
    report_set set = parse(text);
    EXPECT_EQ(set.runs[0].reports.size(), 2u);
    EXPECT_TRUE(has_warning(set, 12, "an empty line outside any report")) << warnings_of(set);
    EXPECT_TRUE(has_warning(set, 13, "a line outside any report")) << warnings_of(set);
    EXPECT_EQ(set.warning_count, 2u);
}

TEST(ReportLines, FileReaderMatchesTheTextReaderAcrossItsBufferEdges) {
    // More than one read buffer, so lines straddle reads, and an overlong
    // line that must be skipped as a whole.
    std::string text = kStart;
    for (int i = 0; i < 6000; i++)
        text += report_text(allocator_block(kMainFrame, 10 + i, 0));
    std::string overlong(3 << 20, 'x');
    std::string file_text = text + overlong + "\n" + report_text(allocator_block(kMainFrame, 1, 0));

    char path[] = "/tmp/quarrow_parser_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, file_text.data(), file_text.size()), ssize_t(file_text.size()));
    close(fd);
    report_set from_file;
    report_parser parser(from_file);
    EXPECT_TRUE(parser.parse_file(path));
    unlink(path);

    ASSERT_EQ(from_file.runs.size(), 1u);
    const run &r = from_file.runs[0];
    ASSERT_EQ(r.reports.size(), 6001u);
    for (int i = 0; i < 6000; i++)
        ASSERT_EQ(r.reports[size_t(i)].blocks[0].total_allocated, uint64_t(10 + i)) << i;
    EXPECT_EQ(r.reports.back().blocks[0].total_allocated, 1u);
    uint64_t overlong_line = 1 + 6000 * 10 + 1;
    EXPECT_EQ(r.reports.back().line, overlong_line + 1);
    ASSERT_EQ(from_file.warning_count, 1u) << warnings_of(from_file);
    EXPECT_TRUE(has_warning(from_file, overlong_line, "a line longer than")) << warnings_of(from_file);
}

TEST(ReportLines, UnreadableFileIsAWarningNotACrash) {
    report_set set;
    report_parser parser(set);
    EXPECT_FALSE(parser.parse_file("/nonexistent/quarrow.log"));
    ASSERT_EQ(set.warning_count, 1u);
    EXPECT_EQ(set.warnings[0].line, 0u);
    EXPECT_NE(set.warnings[0].message.find("cannot open"), std::string::npos);
    EXPECT_TRUE(set.runs.empty());
}

/* ---- times -------------------------------------------------------------- */

TEST(ReportTimes, PosixFormReadsAsUtcSeconds) {
    EXPECT_EQ(parse_report_time("Thu Jan  1 00:00:00 1970"), 0);
    EXPECT_EQ(parse_report_time("Mon Jan  6 09:00:00 2025"), 1736154000);
    EXPECT_EQ(parse_report_time("Thu Feb 29 12:00:00 2024"), 1709208000);
    EXPECT_EQ(parse_report_time("Fri Dec 31 23:59:59 1999"), 946684799);
    EXPECT_FALSE(parse_report_time(""));
    EXPECT_FALSE(parse_report_time("Mon Foo  6 09:00:00 2025"));
    EXPECT_FALSE(parse_report_time("Mon Jan  6 9:00:00 2025"));
    EXPECT_FALSE(parse_report_time("06.01.2025 09:00:00"));
}

} // namespace
