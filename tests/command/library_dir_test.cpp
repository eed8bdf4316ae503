// Where the launcher takes the libraries from, and whether a directory
// serves a run: the stand-in libraries of run_fixtures/ are real shared
// objects of each class (lib/: one 32-bit pair, both/: the installed
// layout, old/: a 64-bit libquarrow.so without the entry point).
#include <elf.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "library_dir.h"

namespace {

using namespace quarrow::runner;
namespace fs = std::filesystem;

const std::string fixtures = QUARROW_RUN_FIXTURES;
const std::string flat_32 = fixtures + "/lib";
const std::string both = fixtures + "/both";
const std::string old_install = fixtures + "/old";

class LibraryDir : public ::testing::Test {
protected:
    fs::path root;

    void SetUp() override {
        char name[] = "/tmp/library_dir_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root = name;
    }
    void TearDown() override { fs::remove_all(root); }

    // Placeholder files: finding a directory looks at names only.
    std::string libraries(const std::string &where, bool with_starter = true) {
        fs::create_directories(root / where);
        std::ofstream(root / where / tracker_library) << "x";
        if (with_starter)
            std::ofstream(root / where / starter_library) << "x";
        return (root / where).string();
    }

    // A copy of a fixture pair into root/where.
    std::string copy_pair(const std::string &from, const std::string &where) {
        fs::create_directories(root / where);
        for (const char *name : {tracker_library, starter_library})
            fs::copy_file(fs::path(from) / name, root / where / name);
        return (root / where).string();
    }
};

program_check program_of(std::vector<needed_build> builds) {
    program_check c;
    c.outcome = check_outcome::trackable;
    c.path = builds.back().program;
    c.builds = std::move(builds);
    return c;
}

const program_check program_32 = program_of({{architecture::i386, "/p/prog32"}});
const program_check program_64 = program_of({{architecture::x86_64, "/p/prog64"}});

TEST_F(LibraryDir, ExplicitChoicesWinAndMustHoldBothLibrariesOfABuild) {
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
    EXPECT_NE(found.error.find("--library-dir " + half + ": there is no " + half +
                               "/libquarrow_start.so, nor a lib/i386-linux-gnu/ or lib/x86_64-linux-gnu/"),
              std::string::npos)
        << found.error;
    // an explicit directory that lacks them is not passed over
    found = find_library_dir("", half, command, installed);
    EXPECT_NE(found.error.find("QUARROW_LIBRARY_DIR"), std::string::npos) << found.error;

    found = find_library_dir(libraries("with:colon"), "", "", "");
    EXPECT_NE(found.error.find("LD_PRELOAD cannot carry"), std::string::npos) << found.error;

    // one class's pair under lib/ is enough to be found, whichever class
    std::string per_class = root / "per_class";
    libraries("per_class/lib/x86_64-linux-gnu");
    EXPECT_EQ(find_library_dir(per_class, "", "", "").dir, per_class);
    libraries("half/lib/i386-linux-gnu");
    EXPECT_EQ(find_library_dir(half, "", "", "").dir, half);
}

TEST_F(LibraryDir, InstalledLayoutThenBuildTree) {
    std::string command = (root / "prefix/bin/quarrow").string();
    std::string build = libraries("build/src");
    EXPECT_EQ(find_library_dir("", "", command, build).dir, build);
    std::string installed = libraries("prefix/lib/quarrow/lib/x86_64-linux-gnu");
    installed = (root / "prefix/lib/quarrow").string();
    EXPECT_EQ(find_library_dir("", "", command, build).dir, installed);

    library_location found = find_library_dir("", "", (root / "other/bin/quarrow").string(), (root / "none").string());
    EXPECT_EQ(found.dir, "");
    EXPECT_NE(found.error.find((root / "other/lib/quarrow").string() + " and " + (root / "none").string()),
              std::string::npos)
        << found.error;
}

TEST_F(LibraryDir, BothBuildsServeEveryRunThroughLib) {
    for (const program_check &program : {program_32, program_64}) {
        preload_choice choice = choose_preload(both, program, true);
        EXPECT_TRUE(choice.via_lib_token);
        EXPECT_EQ(choice.error, "");
        EXPECT_EQ(choice.warning, ""); // children of the other class are served too
    }
    // a 64-bit env on the way to a 32-bit program
    preload_choice choice = choose_preload(
        both, program_of({{architecture::x86_64, "/usr/bin/env"}, {architecture::i386, "/p/prog32"}}), false);
    EXPECT_TRUE(choice.via_lib_token);
    EXPECT_EQ(choice.error, "");
    EXPECT_EQ(per_class_problem(both, architecture::i386), "");
    EXPECT_EQ(per_class_problem(both, architecture::x86_64), "");
}

TEST_F(LibraryDir, OneBuildInTheDirectoryItselfServesItsOwnClassOnly) {
    preload_choice choice = choose_preload(flat_32, program_32, false);
    EXPECT_FALSE(choice.via_lib_token);
    EXPECT_EQ(choice.error, "");
    EXPECT_EQ(choice.warning, "");
    choice = choose_preload(flat_32, program_32, true);
    EXPECT_EQ(choice.error, "");
    EXPECT_NE(choice.warning.find("64-bit x86-64 programs started below will run untracked"), std::string::npos)
        << choice.warning;

    // refused rather than run untracked, naming the class and what is missing
    choice = choose_preload(flat_32, program_64, false);
    EXPECT_EQ(choice.error, "/p/prog64 is a 64-bit x86-64 program, but " + flat_32 +
                                " holds no 64-bit x86-64 build of the tracker (there is no " + flat_32 +
                                "/lib/x86_64-linux-gnu/libquarrow.so; " + flat_32 +
                                "/libquarrow.so is the 32-bit x86 build)");
    // a run that needs both classes cannot go through one flat pair
    choice = choose_preload(
        flat_32, program_of({{architecture::x86_64, "/usr/bin/env"}, {architecture::i386, "/p/prog32"}}), false);
    EXPECT_NE(choice.error.find("/p/prog32 runs /usr/bin/env, a 64-bit x86-64 program, but " + flat_32 +
                                " holds no 64-bit x86-64 build"),
              std::string::npos)
        << choice.error;
}

TEST_F(LibraryDir, AnOlderInstallsStandInIsNoBuild) {
    preload_choice choice = choose_preload(old_install, program_64, false);
    EXPECT_NE(choice.error.find("holds no 64-bit x86-64 build of the tracker (" + old_install +
                                "/lib/x86_64-linux-gnu/libquarrow.so does not define initQuarrow"),
              std::string::npos)
        << choice.error;
    choice = choose_preload(old_install, program_32, true);
    EXPECT_TRUE(choice.via_lib_token);
    EXPECT_EQ(choice.error, "");
    EXPECT_NE(choice.warning.find("does not define initQuarrow"), std::string::npos) << choice.warning;
}

TEST_F(LibraryDir, EachFileOfAPairIsChecked) {
    // the 32-bit pair where the 64-bit one belongs
    std::string swapped = copy_pair(flat_32, "swapped/lib/x86_64-linux-gnu");
    EXPECT_EQ(per_class_problem((root / "swapped").string(), architecture::x86_64),
              swapped + "/libquarrow.so is the 32-bit x86 build");
    // the right tracker with the other class's starter
    std::string mixed = copy_pair(both + "/lib/x86_64-linux-gnu", "mixed/lib/x86_64-linux-gnu");
    fs::copy_file(flat_32 + "/libquarrow_start.so", mixed + "/libquarrow_start.so",
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(per_class_problem((root / "mixed").string(), architecture::x86_64),
              mixed + "/libquarrow_start.so is the 32-bit x86 build");
    fs::remove(mixed + "/libquarrow_start.so");
    EXPECT_EQ(per_class_problem((root / "mixed").string(), architecture::x86_64),
              "there is no " + mixed + "/libquarrow_start.so");

    // another machine's library in the 64-bit place (e_machine is at byte 18)
    std::string arm = copy_pair(both + "/lib/x86_64-linux-gnu", "arm/lib/x86_64-linux-gnu");
    {
        std::fstream patch(arm + "/libquarrow.so", std::ios::in | std::ios::out | std::ios::binary);
        patch.seekp(18);
        patch.put(char(EM_AARCH64));
    }
    EXPECT_EQ(per_class_problem((root / "arm").string(), architecture::x86_64),
              arm + "/libquarrow.so is not a 64-bit x86-64 library but one of AArch64 (ELF class 2)");

    std::string text = libraries("text/lib/i386-linux-gnu");
    EXPECT_EQ(per_class_problem((root / "text").string(), architecture::i386),
              text + "/libquarrow.so is not an ELF file");
    // a (non-PIE) program is no shared library
    fs::create_directories(root / "program/lib/i386-linux-gnu");
    fs::copy_file(fixtures + "/static_program", root / "program/lib/i386-linux-gnu/libquarrow.so");
    EXPECT_NE(per_class_problem((root / "program").string(), architecture::i386).find("is not a shared library"),
              std::string::npos);
    EXPECT_EQ(flat_problem(flat_32, architecture::i386), "");
    EXPECT_EQ(flat_problem(both, architecture::i386), "");
}

} // namespace
