// What the launched program is given: LD_PRELOAD, the library's variables,
// and the directory the libraries are taken from.
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "launch.h"

namespace {

using namespace quarrow::runner;
namespace fs = std::filesystem;

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

TEST(LaunchEnvironment, LibTokenNamesEachWordSizesDirectory) {
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
    settings.other_class_stand_ins = true;
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
    EXPECT_EQ(values["QUARROW_FULL_BUFFER"], "wait"); // the launcher loses no events
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

class LibraryDir : public ::testing::Test {
protected:
    fs::path root;

    void SetUp() override {
        char name[] = "/tmp/library_dir_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override { fs::remove_all(root); }

    std::string libraries(const std::string &where, bool with_starter = true) {
        fs::create_directories(root / where);
        std::ofstream(root / where / tracker_library) << "x";
        if (with_starter)
            std::ofstream(root / where / starter_library) << "x";
        return (root / where).string();
    }
};

TEST_F(LibraryDir, ExplicitChoicesWinAndMustHoldBothLibraries) {
    std::string given = libraries("given");
    std::string installed = libraries("lib/quarrow");
    std::string command = (root / "bin/quarrow").string();
    EXPECT_EQ(find_library_dir(given, "/elsewhere", command, "").dir, given);
    EXPECT_EQ(find_library_dir("", given, command, "").dir, given);
    EXPECT_EQ(find_library_dir(given + "/", "", "", "").dir, given);

    // a relative option is made absolute: the program may change directory
    fs::path before = fs::current_path();
    fs::current_path(root);
    EXPECT_EQ(find_library_dir("given", "", "", "").dir, given);
    fs::current_path(before);

    std::string half = libraries("half", false);
    library_location found = find_library_dir(half, "", command, "");
    EXPECT_EQ(found.dir, "");
    EXPECT_NE(found.error.find("--library-dir " + half + ": there is no " + half + "/libquarrow_start.so"),
              std::string::npos)
        << found.error;
    // an explicit directory that lacks them is not passed over
    found = find_library_dir("", half, command, installed);
    EXPECT_NE(found.error.find("QUARROW_LIBRARY_DIR"), std::string::npos) << found.error;

    found = find_library_dir(libraries("with:colon"), "", "", "");
    EXPECT_NE(found.error.find("LD_PRELOAD cannot carry"), std::string::npos) << found.error;
}

TEST_F(LibraryDir, StandInsNeedBothWordSizes) {
    std::string dir = libraries("q");
    EXPECT_FALSE(has_other_class_stand_ins(dir));
    libraries("q/lib/i386-linux-gnu");
    EXPECT_FALSE(has_other_class_stand_ins(dir));
    libraries("q/lib/x86_64-linux-gnu", false);
    EXPECT_FALSE(has_other_class_stand_ins(dir));
    libraries("q/lib/x86_64-linux-gnu");
    EXPECT_TRUE(has_other_class_stand_ins(dir));
}

TEST_F(LibraryDir, InstalledLayoutThenBuildTree) {
    std::string command = (root / "prefix/bin/quarrow").string();
    std::string build = libraries("build/src");
    EXPECT_EQ(find_library_dir("", "", command, build).dir, build);
    std::string installed = libraries("prefix/lib/quarrow");
    EXPECT_EQ(find_library_dir("", "", command, build).dir, installed);

    library_location found = find_library_dir("", "", (root / "other/bin/quarrow").string(), (root / "none").string());
    EXPECT_EQ(found.dir, "");
    EXPECT_NE(found.error.find((root / "other/lib/quarrow").string() + " and " + (root / "none").string()),
              std::string::npos)
        << found.error;
}

} // namespace
