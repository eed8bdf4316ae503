/*
 * Unit tests of what the views compute from a parsed report set: amounts
 * and their formatting, report selection, leak-suspect ranking, diffs
 * within and across runs, readable frames, and a JSON rendering that loses
 * nothing (the report text is rebuilt from it byte for byte).
 */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "diff.h"
#include "growth.h"
#include "report_parser.h"
#include "symbols.h"
#include "views.h"

using namespace quarrow::report;

namespace {

report_set parse(const std::string &text) {
    report_set set;
    report_parser parser(set);
    parser.parse_text(text, "t.log");
    return set;
}

std::string block(const std::string &frames, unsigned long long allocated, unsigned long long freed) {
    std::ostringstream out;
    out << frames << "TYPE:ALLOCATOR\nTOTAL_ALLOCATED:" << allocated << "\nNUMBER_OF_ALLOCATIONS:" << allocated / 10
        << "\nTOTAL_FREED:" << freed << "\nNUMBER_OF_FREES:" << freed / 10 << "\n";
    return out.str();
}

std::string report_text(const std::string &blocks) {
    return "TIMESTAMP:Mon Jan  6 09:01:00 2025\nMAX_PENDING:0\nDISCARDED_EVENTS:0\n" + blocks + "END\n";
}

std::string start(unsigned depth = 4) {
    return "Started log at Mon Jan  6 09:00:00 2025, write period = 60 seconds, stack depth = " +
           std::to_string(depth) + "\n";
}

std::string frame(const char *symbol, unsigned base, unsigned offset, int index = 0) {
    char line[200];
    snprintf(line, sizeof line, "STACK_%d:/opt/app/lib/libapp.so(%#x):%s+%#x (%#x)\n", index, base, symbol, offset,
             base + 0x1000 + offset);
    return line;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* ---- amounts and selection --------------------------------------------- */

TEST(ReportAmounts, GroupedDigitsSignsAndUnits) {
    EXPECT_EQ(format_amount(0), "0");
    EXPECT_EQ(format_amount(999), "999");
    EXPECT_EQ(format_amount(1000), "1,000");
    EXPECT_EQ(format_amount(-1234567), "-1,234,567");
    // live bytes span 65 bits: the largest counter minus nothing, and nothing minus it
    caller_block widest{0, UINT64_MAX, 0, 0, 0}, deepest{0, 0, 0, UINT64_MAX, 0};
    EXPECT_EQ(format_amount(live_bytes(widest)), "18,446,744,073,709,551,615");
    EXPECT_EQ(format_amount(live_bytes(deepest)), "-18,446,744,073,709,551,615");
    EXPECT_EQ(format_bytes(1023), "1,023 B");
    EXPECT_EQ(format_bytes(1536), "1.5 KiB");
    EXPECT_EQ(format_bytes(-2048), "-2.0 KiB");
    EXPECT_EQ(format_bytes(amount(3) << 30), "3.0 GiB");
}

TEST(ReportAmounts, RunsAndReportsAreChosenByNumberFromEitherEnd) {
    std::string one = report_text(block(frame("a", 0x10000, 4), 10, 0));
    report_set set = parse(start() + one + one + one + start() + one);
    std::string error;
    EXPECT_EQ(select_run(set, -1, error), 1u);
    EXPECT_EQ(select_run(set, 1, error), 0u);
    EXPECT_FALSE(select_run(set, 0, error));
    EXPECT_FALSE(select_run(set, 3, error));
    EXPECT_NE(error.find("run 3 does not exist"), std::string::npos) << error;

    auto ref = select_report(set, "-1", 0, error);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->run, 0u);
    EXPECT_EQ(ref->report, 2u);
    ref = select_report(set, "2:1", 0, error);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->run, 1u);
    EXPECT_EQ(ref->report, 0u);
    EXPECT_FALSE(select_report(set, "2:2", 0, error));
    EXPECT_FALSE(select_report(set, "x", 0, error));
    EXPECT_FALSE(select_report(set, "1:", 0, error));
    EXPECT_EQ(last_report_of_file(set, 0)->run, 1u);
}

TEST(ReportAmounts, TopStacksByLiveBytesSkipUnmatchedRecords) {
    std::string blocks = block(frame("small", 0x10000, 4), 100, 90) + block(frame("big", 0x10000, 8), 500, 0) +
                         block(frame("negative", 0x10000, 12), 5, 10) + frame("freer", 0x10000, 16) +
                         "TYPE:UNMATCHED_FREER\nUNMATCHED_FREES:1000\n";
    report_set set = parse(start() + report_text(blocks));
    const report &r = set.runs[0].reports[0];
    auto top = top_by_live(r, set, 0);
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(live_bytes(*top[0]), 500);
    EXPECT_EQ(live_bytes(*top[1]), 10);
    EXPECT_EQ(live_bytes(*top[2]), -5);
    EXPECT_EQ(top_by_live(r, set, 2).size(), 2u);
    EXPECT_EQ(unmatched_of(r, set, caller_type::unmatched_freer).size(), 1u);
}

/* ---- growth ------------------------------------------------------------- */

stack_series series_of(uint32_t stack, std::vector<std::optional<amount>> live) { return {stack, std::move(live)}; }

TEST(ReportGrowth, SteadyRiseBeatsOneJumpAndNoise) {
    std::vector<stack_series> all = {
        series_of(0, {1000000000, 1000000000, 1000000000, 1000000000, 1000000000, 1000000000}), // one jump at start
        series_of(1, {10, 10, 10, 900000, 900000, 900000}),                                     // one jump later
        series_of(2, {100, 200, 300, 400, 500, 600}),                                           // steady, small
        series_of(3, {1000, 0, 1000, 0, 1000, 0}),                                              // noise
        series_of(4, {0, 0, 0, 5000, 10000, 15000}),                                            // steady, late
        series_of(5, {1000, 2000, 1000, 2000, 3000, 4000}),                                     // rises, some falls
    };
    auto ranked = rank_growth(all);
    ASSERT_EQ(ranked.size(), all.size());
    std::vector<uint32_t> suspects;
    for (const stack_growth &g : ranked)
        if (g.suspect)
            suspects.push_back(g.stack);
    EXPECT_EQ(suspects, (std::vector<uint32_t>{4, 5, 2}));
    EXPECT_EQ(ranked[0].rises, 3u) << "the flat periods before a stack holds memory are not counted";
    EXPECT_EQ(ranked[0].periods, 3u);
    EXPECT_EQ(ranked[1].falls, 1u);
    // the non-suspects follow by live bytes now
    EXPECT_EQ(ranked[3].stack, 0u);
    EXPECT_EQ(ranked[4].stack, 1u);
}

TEST(ReportGrowth, GapsAndShortRuns) {
    // a lost block in the middle: the two periods around it do not count
    auto g = rank_growth({series_of(7, {100, 200, std::nullopt, 400, 500})})[0];
    EXPECT_EQ(g.periods, 3u);
    EXPECT_EQ(g.rises, 3u);
    EXPECT_EQ(g.now, 500);
    EXPECT_TRUE(g.suspect);
    // two reports are a short run: two rises are enough
    EXPECT_TRUE(rank_growth({series_of(1, {100, 200})})[0].suspect);
    EXPECT_FALSE(rank_growth({series_of(1, {100, 100})})[0].suspect);
    EXPECT_FALSE(rank_growth({series_of(1, {-5, -3, -1})})[0].suspect) << "nothing live, nothing leaking";
}

TEST(ReportGrowth, LiveSeriesFillsZerosBeforeAStackAppears) {
    std::string a = block(frame("a", 0x10000, 4), 100, 0), b = block(frame("b", 0x10000, 8), 50, 0);
    report_set set = parse(start() + report_text(a) + report_text(a + b));
    auto series = live_series(set, set.runs[0]);
    ASSERT_EQ(series.size(), 2u);
    EXPECT_EQ(series[1].live[0], amount(0));
    EXPECT_EQ(series[1].live[1], amount(50));
}

size_t code_points(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xc0) != 0x80;
    return n;
}

TEST(ReportGrowth, SparklineScalesAndBuckets) {
    EXPECT_EQ(sparkline({0, 1, 2, 3, 4, 5, 6, 7}, 40), "▁▂▃▄▅▆▇█");
    EXPECT_EQ(sparkline({5, std::nullopt, 5}, 40), "▁ ▁");
    std::vector<std::optional<amount>> many;
    for (int i = 0; i < 500; i++)
        many.push_back(i);
    std::string line = sparkline(many, 40);
    EXPECT_EQ(code_points(line), 40u);
    EXPECT_EQ(line.substr(0, 3), "▁");
    EXPECT_EQ(line.substr(line.size() - 3), "█");
}

/* ---- diff --------------------------------------------------------------- */

TEST(ReportDiff, WithinOneRunStacksAreTheirExactFrames) {
    std::string grows = frame("grows", 0x10000, 4), shrinks = frame("shrinks", 0x10000, 8),
                same = frame("same", 0x10000, 12), fresh = frame("fresh", 0x10000, 16);
    report_set set =
        parse(start() + report_text(block(grows, 100, 0) + block(shrinks, 500, 0) + block(same, 7, 0)) +
              report_text(block(grows, 400, 0) + block(shrinks, 500, 300) + block(same, 7, 0) + block(fresh, 50, 0)));
    report_diff d = compare_reports(set, {0, 0}, {0, 1});
    ASSERT_EQ(d.gained.size(), 2u);
    EXPECT_EQ(d.gained[0].change(), 300);
    EXPECT_EQ(d.gained[1].change(), 50);
    EXPECT_FALSE(d.gained[1].in_before);
    ASSERT_EQ(d.lost.size(), 1u);
    EXPECT_EQ(d.lost[0].change(), -300);
    EXPECT_EQ(d.unchanged, 1u);
    EXPECT_EQ(d.before_total, 607);
    EXPECT_EQ(d.after_total, 657);
}

TEST(ReportDiff, AcrossRunsStacksMatchWithoutAddresses) {
    // the second run loaded the library elsewhere, and two of its stacks
    // differ only in a raw address the loader could not place
    std::string unknown_a = "STACK_1:*Unknown*((nil)):*Unknown*+(nil) (0x804f00d)\n";
    std::string unknown_b = "STACK_1:*Unknown*((nil)):*Unknown*+(nil) (0x804f0aa)\n";
    std::string text = start() + report_text(block(frame("work", 0x10000, 4) + unknown_a, 100, 0)) + start() +
                       report_text(block(frame("work", 0x20000, 4) + unknown_a, 150, 0) +
                                   block(frame("work", 0x20000, 4) + unknown_b, 30, 0));
    report_set set = parse(text);
    ASSERT_EQ(set.warning_count, 0u);
    report_diff d = compare_reports(set, {0, 0}, {1, 0});
    ASSERT_EQ(d.gained.size(), 1u);
    EXPECT_TRUE(d.gained[0].in_before);
    EXPECT_EQ(d.gained[0].before_bytes, 100);
    EXPECT_EQ(d.gained[0].after_bytes, 180);
    EXPECT_TRUE(d.lost.empty());
    // within the second run the two stacks stay apart
    EXPECT_EQ(top_by_live(set.runs[1].reports[0], set, 0).size(), 2u);
}

TEST(ReportDiff, AcrossRunsAFunctionFoundByTheLookupMatchesAtAnyOffset) {
    // a rebuilt object: the same function, the call at another offset; and
    // a function the lookup could not name, which still needs its offset
    std::string text =
        start() + report_text(block(frame("work", 0x10000, 4), 100, 0) + block(frame("other", 0x10000, 8), 10, 0)) +
        start() + report_text(block(frame("work", 0x20000, 12), 150, 0) + block(frame("other", 0x20000, 16), 30, 0));
    report_set set = parse(text);
    ASSERT_EQ(set.frames.size(), 4u);
    set.lookups.resize(4);
    for (uint32_t id : {0u, 2u}) {
        set.lookups[id].found = true;
        set.lookups[id].function.name = "work";
    }
    report_diff d = compare_reports(set, {0, 0}, {1, 0});
    ASSERT_EQ(d.gained.size(), 2u);
    EXPECT_TRUE(d.gained[0].in_before); // work: 100 -> 150
    EXPECT_EQ(d.gained[0].change(), 50);
    EXPECT_FALSE(d.gained[1].in_before); // other+0x10 is new, other+0x8 gone
    ASSERT_EQ(d.lost.size(), 1u);
    EXPECT_FALSE(d.lost[0].in_after);
}

/* ---- readable frames ---------------------------------------------------- */

TEST(ReportSymbols, DemanglingAndShortPaths) {
    EXPECT_EQ(demangle("_ZN5cache5Store4loadEv"), "cache::Store::load()");
    EXPECT_EQ(demangle("_ZNSt6vectorIiSaIiEE9push_backERKi"),
              "std::vector<int, std::allocator<int> >::push_back(int const&)");
    EXPECT_EQ(demangle("malloc"), "malloc");
    EXPECT_EQ(demangle("_Zbogus"), "_Zbogus");
    EXPECT_EQ(demangle("*Unknown*"), "*Unknown*");
    EXPECT_EQ(short_library("/usr/lib/i386-linux-gnu/libc.so.6"), "libc.so.6");
    EXPECT_EQ(short_library("*Unknown*"), "*Unknown*");
    EXPECT_EQ(short_library("server"), "server");
    EXPECT_EQ(short_library(""), "?");

    report_set set = parse(start() + report_text(block("STACK_0:*Unknown*((nil)):*Unknown*+(nil) (0x804f00d)\n" +
                                                           frame("_ZN5cache5Store4loadEv", 0x10000, 0x91, 1),
                                                       10, 0)));
    frame_labels labels(set);
    EXPECT_EQ(labels.innermost(0), "*Unknown* at 0x804f00d");
    EXPECT_EQ(labels.innermost(1), "cache::Store::load()+0x91 in libapp.so");
    EXPECT_EQ(labels.box(labels.functions(1).front(), 1), "cache::Store::load() in libapp.so");
    // without a name, the address in the object rather than the absolute one
    report_set unnamed = parse(start() + report_text(block(frame("*Unknown*", 0xf7c00000, 0x1234), 10, 0)));
    frame_labels unnamed_labels(unnamed);
    EXPECT_EQ(unnamed_labels.innermost(0), "*Unknown* at 0x2234 in libapp.so");
}

TEST(ReportSymbols, LookupsGiveSourceLinesAndInlinedCalls) {
    report_set set = parse(start() + report_text(block(frame("exported", 0x10000, 0x40), 10, 0)));
    frame_lookup found;
    found.found = true;
    found.object_address = 0x1040;
    found.function = {"_ZN5cache5Store4loadEv", "/src/cache/store.cpp", 120};
    found.function_offset = 0x18;
    found.from_symbol_table = true;
    found.inlined = {{"_ZN5cache4hashEj", "/src/cache/hash.h", 7}, {"helper", "", 0}};
    set.lookups = {found};
    frame_labels labels(set);
    std::vector<std::string> lines = labels.lines(0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[inlined] cache::hash(unsigned int) (hash.h:7) in libapp.so");
    EXPECT_EQ(lines[1], "[inlined] helper in libapp.so");
    EXPECT_EQ(lines[2], "cache::Store::load() (store.cpp:120) in libapp.so");
    EXPECT_EQ(labels.symbol(0), "cache::Store::load()");
    // a name from the symbol table without a line keeps its own offset
    set.lookups[0].function.line = 0;
    set.lookups[0].inlined.clear();
    frame_labels no_line(set);
    EXPECT_EQ(no_line.innermost(0), "cache::Store::load()+0x18 in libapp.so");
}

/* ---- JSON --------------------------------------------------------------- */

std::string json_of(const report_set &set) {
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    write_json(set, out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

// The report text written back from the JSON alone.
std::string rebuild(const nlohmann::json &doc) {
    std::string out;
    for (const auto &r : doc["runs"]) {
        if (r["line"] != 0)
            out += "Started log at " + r["started_at"].get<std::string>() +
                   ", write period = " + std::to_string(r["write_period_seconds"].get<int>()) +
                   " seconds, stack depth = " + std::to_string(r["stack_depth"].get<int>()) + "\n";
        for (const auto &re : r["reports"]) {
            out += "TIMESTAMP:" + re["timestamp"].get<std::string>() + "\n";
            out += "MAX_PENDING:" + std::to_string(re["max_pending"].get<uint64_t>()) + "\n";
            out += "DISCARDED_EVENTS:" + std::to_string(re["discarded_events"].get<uint64_t>()) + "\n";
            for (const auto &c : re["callers"]) {
                const auto &stack = doc["stacks"][c["stack"].get<size_t>()];
                int i = 0;
                for (const auto &id : stack["frames"]) {
                    const auto &f = doc["frames"][id.get<size_t>()];
                    out += "STACK_" + std::to_string(i++) + ":" + f["library"].get<std::string>() + "(" +
                           f["base"].get<std::string>() + "):" + f["symbol"].get<std::string>() + "+" +
                           f["offset"].get<std::string>() + " (" + f["address"].get<std::string>() + ")\n";
                }
                std::string type = stack["type"];
                out += "TYPE:" + type + "\n";
                auto n = [&](const char *key) { return std::to_string(c[key].get<uint64_t>()); };
                if (type == "ALLOCATOR" || type == "JNI_ALLOCATOR")
                    out += "TOTAL_ALLOCATED:" + n("total_allocated") +
                           "\nNUMBER_OF_ALLOCATIONS:" + n("number_of_allocations") +
                           "\nTOTAL_FREED:" + n("total_freed") + "\nNUMBER_OF_FREES:" + n("number_of_frees") + "\n";
                else if (type == "UNMATCHED_FREER" || type == "UNMATCHED_JNI_FREER")
                    out += "UNMATCHED_FREES:" + n("unmatched_count") + "\n";
                else
                    out += "UNMATCHED_REALLOCSS:" + n("unmatched_count") + "\n";
            }
            out += "END\n";
        }
    }
    return out;
}

TEST(ReportJson, RebuildsTheReportFileByteForByte) {
    for (const char *name : {"every_type.log", "huge.log"}) {
        std::string path = std::string(QUARROW_REPORTS_DIR) + "/" + name;
        std::string original = read_file(path);
        ASSERT_FALSE(original.empty()) << path;
        report_set set = parse_report_files({path});
        ASSERT_EQ(set.warning_count, 0u) << name;
        nlohmann::json doc = nlohmann::json::parse(json_of(set));
        EXPECT_EQ(doc["format"], "quarrow-report");
        EXPECT_EQ(doc["version"], 1);
        EXPECT_EQ(rebuild(doc), original) << name;
    }
}

TEST(ReportJson, KeepsWarningsSkippedReportsAndMissingFields) {
    std::string text = start() + "TIMESTAMP:x\nDISCARDED_EVENTS:3\nEND\nTIMESTAMP:y\nMAX_PENDING:1\n";
    report_set set = parse(text);
    nlohmann::json doc = nlohmann::json::parse(json_of(set));
    ASSERT_EQ(doc["runs"].size(), 1u);
    const auto &r = doc["runs"][0];
    EXPECT_EQ(r["discarded_events"], 3);
    ASSERT_EQ(r["reports"].size(), 1u);
    EXPECT_TRUE(r["reports"][0]["max_pending"].is_null());
    EXPECT_TRUE(r["reports"][0]["time"].is_null());
    ASSERT_EQ(r["skipped_reports"].size(), 1u);
    EXPECT_EQ(r["skipped_reports"][0]["line"], 5);
    EXPECT_EQ(doc["warning_count"], 2);
    EXPECT_EQ(doc["warnings"][0]["line"], 2);
}

TEST(ReportJson, LookupFieldsOfAFrame) {
    report_set set =
        parse(start() + report_text(block(frame("exported", 0x10000, 0x40) + frame("other", 0x10000, 0x80, 1), 10, 0)));
    set.lookups.resize(set.frames.size());
    frame_lookup &l = set.lookups[0];
    l.found = true;
    l.object_address = 0x1040;
    l.function = {"_ZN5cache5Store4loadEv", "/src/store.cpp", 120};
    l.inlined = {{"helper", "/src/helper.h", 7}};
    set.lookups[1].object_address = 0x1080; // read, but no symbol held it
    nlohmann::json doc = nlohmann::json::parse(json_of(set));
    const auto &f = doc["frames"][0];
    EXPECT_EQ(f["object_address"], "0x1040");
    EXPECT_EQ(f["function"], "_ZN5cache5Store4loadEv");
    EXPECT_EQ(f["file"], "/src/store.cpp");
    EXPECT_EQ(f["line"], 120);
    ASSERT_EQ(f["inlined"].size(), 1u);
    EXPECT_EQ(f["inlined"][0]["function"], "helper");
    EXPECT_EQ(f["inlined"][0]["line"], 7);
    const auto &g = doc["frames"][1];
    EXPECT_EQ(g["object_address"], "0x1080");
    EXPECT_TRUE(g["function"].is_null());
    EXPECT_TRUE(g["line"].is_null());
    EXPECT_TRUE(g["inlined"].empty());
    EXPECT_EQ(g["symbol"], "other"); // the report's own fields stay
}

} // namespace
