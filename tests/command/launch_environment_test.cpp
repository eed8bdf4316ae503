// What the launched program is given: LD_PRELOAD and the library's
// variables.
#include <signal.h>
#include <stdlib.h>

#include <map>

#include <gtest/gtest.h>

#include "launch.h"

namespace {

using namespace quarrow::runner;

// Name to value; a name given twice would make the test fail.
std::map<std::string, std::string> as_map(const std::vector<std::string> &environment) {
    std::map<std::string, std::string> values;
    for (const std::string &entry : environment) {
        size_t equals = entry.find('=');
        EXPECT_TRUE(values.emplace(entry.substr(0, equals), entry.substr(equals + 1)).second) << "twice: " << entry;
    }
    return values;
}

TEST(LaunchEnvironment, TrackerLibrariesComeFirstInLdPreload) {
    EXPECT_EQ(preload_value("/q", ""), "/q/libquarrow.so:/q/libquarrow_start.so");
    // the loader's separators are blanks and colons; the result uses colons
    EXPECT_EQ(preload_value("/q", "/a/one.so /b/two.so::three.so"),
              "/q/libquarrow.so:/q/libquarrow_start.so:/a/one.so:/b/two.so:three.so");
    // another copy of the tracker is dropped, wherever it came from
    EXPECT_EQ(preload_value("/q", "/old/libquarrow.so:/x/keep.so:/old/libquarrow_start.so"),
              "/q/libquarrow.so:/q/libquarrow_start.so:/x/keep.so");
}

TEST(LaunchEnvironment, LibTokenNamesEachClasssDirectory) {
    EXPECT_EQ(preload_value("/q", "/x/keep.so:/old/lib/i386-linux-gnu/libquarrow.so", true),
              "/q/$LIB/libquarrow.so:/q/$LIB/libquarrow_start.so:/x/keep.so");
}

TEST(LaunchEnvironment, LauncherVariablesFollowTheSettingsAlone) {
    // inherited from a launcher further up: this run names its own
    std::vector<std::string> parent = {"QUARROW_TRACKED_PID=12", "QUARROW_REPORT_DIR=/old"};
    launch_settings settings;
    settings.library_dir = "/q";
    auto values = as_map(child_environment(parent, settings));
    EXPECT_EQ(values.count("QUARROW_TRACKED_PID"), 0u); // set by the child itself
    EXPECT_EQ(values.count("QUARROW_REPORT_DIR"), 0u);
    settings.report_dir = "/reports";
    settings.follow_children = true;
    settings.via_lib_token = true;
    values = as_map(child_environment(parent, settings));
    EXPECT_EQ(values["QUARROW_REPORT_DIR"], "/reports");
    EXPECT_EQ(values["QUARROW_FOLLOW_CHILDREN"], "1");
    EXPECT_EQ(values["LD_PRELOAD"], "/q/$LIB/libquarrow.so:/q/$LIB/libquarrow_start.so");
}

TEST(LaunchEnvironment, FinalLineSaysHowTheProgramEnded) {
    EXPECT_EQ(final_line(42, 3 << 8), "quarrow run: PID 42 exited with status 3");
    EXPECT_EQ(final_line(42, 0), "quarrow run: PID 42 exited with status 0");
    EXPECT_EQ(final_line(42, SIGSEGV), "quarrow run: PID 42 was ended by signal 11 (Segmentation fault)");
}

TEST(LaunchEnvironment, DefaultsKeepInheritedSettingsAndFollowTheFlags) {
    std::vector<std::string> parent = {
        "PATH=/bin", "LD_PRELOAD=/x/keep.so", "PROFILER_STACK_DEPTH=9", "QUARROW_FOLLOW_CHILDREN=1",
        "EMPTY=",    "WITH_EQUALS=a=b"};
    launch_settings settings;
    settings.library_dir = "/q";
    auto values = as_map(child_environment(parent, settings));
    EXPECT_EQ(values["LD_PRELOAD"], "/q/libquarrow.so:/q/libquarrow_start.so:/x/keep.so");
    EXPECT_EQ(values["PROFILER_STACK_DEPTH"], "9");
    EXPECT_EQ(values["PROFILER_REPORT_AT_EXIT"], "1");
    EXPECT_EQ(values["QUARROW_FULL_BUFFER"], "wait");       // the launcher loses no events
    EXPECT_EQ(values.count("QUARROW_FOLLOW_CHILDREN"), 0u); // only the flag turns it on
    EXPECT_EQ(values.count("PROFILER_WRITE_PERIOD_SECONDS"), 0u);
    EXPECT_EQ(values.count("PROFILER_TRIGGER_FILE"), 0u);
    EXPECT_EQ(values["PATH"], "/bin");
    EXPECT_EQ(values["EMPTY"], "");
    EXPECT_EQ(values["WITH_EQUALS"], "a=b");
    EXPECT_EQ(values.size(), parent.size() + 1); // FOLLOW out, REPORT_AT_EXIT and FULL_BUFFER in

    parent.push_back("QUARROW_FULL_BUFFER=wait");
    settings.allow_drops = true; // an inherited wait goes too: the flag alone decides
    values = as_map(child_environment(parent, settings));
    EXPECT_EQ(values.count("QUARROW_FULL_BUFFER"), 0u);
}

} // namespace
