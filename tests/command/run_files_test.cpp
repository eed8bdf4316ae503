// The report reader's FILE arguments: folders and globs of a run's files.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "run_files.h"

namespace {

namespace fs = std::filesystem;
using quarrow::report::expand_run_files;

TEST(RunFiles, FolderGivesItsReportsInPidOrderAndGlobsExpand) {
    char name[] = "/tmp/run_files_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    fs::path dir = name;
    for (const char *file :
         {"native_memory_100.log", "native_memory_99.log", "quarrow_children.log", "native_memory_x.log", "notes.txt"})
        std::ofstream(dir / file) << "";
    fs::create_directory(dir / "native_memory_5.log"); // not a file
    std::string d = dir.string();

    EXPECT_EQ(expand_run_files({d}),
              (std::vector<std::string>{d + "/native_memory_99.log", d + "/native_memory_100.log"}));
    // a glob the shell left alone: sorted by name, as the shell would
    EXPECT_EQ(expand_run_files({d + "/native_memory_1*.log"}), std::vector<std::string>{d + "/native_memory_100.log"});
    // plain names and - stay, in order; a glob without matches is dropped
    EXPECT_EQ(expand_run_files({"-", "absent.log", d + "/none*.log", d + "/notes.txt"}),
              (std::vector<std::string>{"-", "absent.log", d + "/notes.txt"}));
    fs::create_directory(dir / "empty");
    EXPECT_EQ(expand_run_files({d + "/empty"}), std::vector<std::string>{});
    fs::remove_all(dir);
}

} // namespace
