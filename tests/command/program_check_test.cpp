// The launcher's program checks on files made for each case: PATH search,
// ELF headers of both x86 classes and of every kind it must tell apart,
// #! chains, and the builds of the tracker each program needs.
#include <elf.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "program_check.h"

namespace {

using namespace quarrow::runner;
namespace fs = std::filesystem;

// An ELF file header, then program headers of the given types in the
// class's own layout. With extended_count the header says PN_XNUM and the
// count is in the first section header, as for very many segments.
std::string elf(unsigned char cls, uint16_t machine, uint16_t type, std::initializer_list<uint32_t> segments,
                bool extended_count = false) {
    bool wide = cls == ELFCLASS64;
    size_t header_size = wide ? 64 : 52, entry_size = wide ? 56 : 32, section_size = wide ? 64 : 40;
    std::string bytes(header_size, '\0');
    memcpy(&bytes[0], ELFMAG, SELFMAG);
    bytes[EI_CLASS] = char(cls);
    bytes[EI_DATA] = ELFDATA2LSB;
    bytes[EI_VERSION] = EV_CURRENT;
    memcpy(&bytes[16], &type, 2);
    memcpy(&bytes[18], &machine, 2);
    uint64_t phoff = header_size, shoff = header_size + entry_size * segments.size();
    uint16_t phentsize = uint16_t(entry_size), phnum = extended_count ? PN_XNUM : uint16_t(segments.size());
    memcpy(&bytes[wide ? 32 : 28], &phoff, wide ? 8 : 4);
    memcpy(&bytes[wide ? 54 : 42], &phentsize, 2);
    memcpy(&bytes[wide ? 56 : 44], &phnum, 2);
    for (uint32_t segment : segments) {
        std::string header(entry_size, '\0');
        memcpy(&header[0], &segment, 4);
        bytes += header;
    }
    if (extended_count) {
        memcpy(&bytes[wide ? 40 : 32], &shoff, wide ? 8 : 4);
        std::string section(section_size, '\0');
        uint32_t count = uint32_t(segments.size());
        memcpy(&section[wide ? 44 : 28], &count, 4); // sh_info
        bytes += section;
    }
    return bytes;
}

const std::string dynamic_x86 = elf(ELFCLASS32, EM_386, ET_DYN, {PT_PHDR, PT_INTERP, PT_LOAD});
const std::string dynamic_x86_64 = elf(ELFCLASS64, EM_X86_64, ET_DYN, {PT_PHDR, PT_INTERP, PT_LOAD});

class ProgramCheck : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        char name[] = "/tmp/program_check_XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string file(const std::string &name, const std::string &bytes, mode_t mode = 0755) {
        fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        chmod(path.c_str(), mode);
        return path.string();
    }

    program_check check(const std::string &program) { return check_program(program, dir.c_str()); }

    void expect_refused(const std::string &program, check_outcome outcome, const std::string &words) {
        program_check c = check(program);
        EXPECT_EQ(c.outcome, outcome) << c.message;
        EXPECT_NE(c.message.find(words), std::string::npos) << c.message;
        EXPECT_EQ(c.exit_status(), outcome == check_outcome::not_found ? 127 : 126);
    }

    // Trackable, needing these builds for these programs, in this order.
    void expect_builds(const std::string &program, std::vector<needed_build> builds) {
        program_check c = check(program);
        ASSERT_EQ(c.outcome, check_outcome::trackable) << c.message;
        ASSERT_EQ(c.builds.size(), builds.size());
        for (size_t i = 0; i < builds.size(); i++) {
            EXPECT_EQ(c.builds[i].build, builds[i].build) << i;
            EXPECT_EQ(c.builds[i].program, builds[i].program) << i;
        }
    }
};

TEST_F(ProgramCheck, PathSearchTakesTheFirstExecutableFileAsExecvpWould) {
    file("a/tool", dynamic_x86, 0644); // found first, but not executable
    fs::create_directories(dir / "b/tool");
    std::string wanted = file("c/tool", dynamic_x86);
    std::string path_list = (dir / "a").string() + ":" + (dir / "b").string() + ":" + (dir / "c").string();
    EXPECT_EQ(search_path("tool", path_list.c_str()), wanted);

    // only the one without permission: reported, so the message can say why
    path_list = (dir / "a").string();
    EXPECT_EQ(search_path("tool", path_list.c_str()), (dir / "a/tool").string());
    program_check c = check_program("tool", path_list.c_str());
    EXPECT_EQ(c.outcome, check_outcome::cannot_track);
    EXPECT_NE(c.message.find("not executable"), std::string::npos) << c.message;

    EXPECT_EQ(search_path("no_such_tool", path_list.c_str()), std::nullopt);
    EXPECT_EQ(search_path("", path_list.c_str()), std::nullopt);
    EXPECT_EQ(search_path("x/tool", "/nowhere"), "x/tool"); // a slash: never searched
    EXPECT_EQ(search_path("sh", nullptr), "/bin/sh");       // PATH unset: the C library's default

    // an empty entry is the working directory
    fs::path before = fs::current_path();
    fs::current_path(dir / "c");
    EXPECT_EQ(search_path("tool", "/nowhere::/nowhere/either"), "./tool");
    fs::current_path(before);
}

TEST_F(ProgramCheck, ADynamicallyLinkedX86ProgramOfEitherClassIsTrackable) {
    std::string good = file("good", dynamic_x86);
    program_check c = check(good);
    EXPECT_EQ(c.outcome, check_outcome::trackable) << c.message;
    EXPECT_EQ(c.path, good);
    EXPECT_EQ(c.exit_status(), 0);
    EXPECT_EQ(check("good").path, good); // found in PATH
    expect_builds(good, {{architecture::i386, good}});
    std::string wide = file("wide", dynamic_x86_64);
    expect_builds(wide, {{architecture::x86_64, wide}});
    expect_builds("/bin/ls", {{architecture::x86_64, "/bin/ls"}}); // a real one
    // a count past 0xfffe is read from the first section header
    std::string many = file("many", elf(ELFCLASS32, EM_386, ET_EXEC, {PT_LOAD, PT_INTERP}, true));
    expect_builds(many, {{architecture::i386, many}});
    std::string wide_many = file("wide_many", elf(ELFCLASS64, EM_X86_64, ET_EXEC, {PT_LOAD, PT_INTERP}, true));
    expect_builds(wide_many, {{architecture::x86_64, wide_many}});
}

TEST_F(ProgramCheck, OtherMachinesAndStaticProgramsAreRefused) {
    expect_refused(file("arm64", elf(ELFCLASS64, EM_AARCH64, ET_DYN, {PT_INTERP})), check_outcome::cannot_track,
                   "arm64 is a 64-bit AArch64 program; the tracker tracks only x86 programs (32- or 64-bit)");
    expect_refused(file("arm", elf(ELFCLASS32, EM_ARM, ET_EXEC, {PT_INTERP})), check_outcome::cannot_track,
                   "is a 32-bit ARM program");
    // the x32 ABI: x86-64 code in the 32-bit class, which neither build is
    expect_refused(file("x32", elf(ELFCLASS32, EM_X86_64, ET_EXEC, {PT_INTERP})), check_outcome::cannot_track,
                   "is a 32-bit x86-64 program; the tracker tracks only");
    expect_refused(file("wrong_class", elf(ELFCLASS64, EM_386, ET_EXEC, {PT_INTERP})), check_outcome::cannot_track,
                   "is a 64-bit x86 program; the tracker tracks only");
    expect_refused(file("static", elf(ELFCLASS32, EM_386, ET_EXEC, {PT_LOAD, PT_NOTE})), check_outcome::cannot_track,
                   "is a 32-bit x86 program without a program interpreter");
    expect_refused(file("static_64", elf(ELFCLASS64, EM_X86_64, ET_EXEC, {PT_LOAD, PT_NOTE})),
                   check_outcome::cannot_track, "is a 64-bit x86-64 program without a program interpreter");
    // the extended count, with no interpreter among the segments
    expect_refused(file("static_many", elf(ELFCLASS64, EM_X86_64, ET_EXEC, {PT_LOAD, PT_NOTE}, true)),
                   check_outcome::cannot_track, "without a program interpreter");
    expect_refused(file("object.o", elf(ELFCLASS32, EM_386, ET_REL, {})), check_outcome::cannot_track,
                   "is a 32-bit x86 object file, not a program");
    expect_refused(file("object_64.o", elf(ELFCLASS64, EM_X86_64, ET_REL, {})), check_outcome::cannot_track,
                   "is a 64-bit x86-64 object file, not a program");
}

TEST_F(ProgramCheck, DamagedAndNonProgramFilesAreRefused) {
    expect_refused(file("cut", dynamic_x86.substr(0, 40)), check_outcome::cannot_track,
                   "damaged 32-bit x86 ELF file (header cut short)");
    // cut inside the 64-bit header, past where a 32-bit one would end
    expect_refused(file("cut_64", dynamic_x86_64.substr(0, 60)), check_outcome::cannot_track,
                   "damaged 64-bit x86-64 ELF file (header cut short)");
    // program headers claimed past the end of the file
    expect_refused(file("cut_headers", dynamic_x86.substr(0, 60)), check_outcome::cannot_track,
                   "damaged 32-bit x86 ELF file (program headers cut short)");
    expect_refused(file("cut_headers_64", dynamic_x86_64.substr(0, 64 + 20)), check_outcome::cannot_track,
                   "damaged 64-bit x86-64 ELF file (program headers cut short)");
    std::string beyond = dynamic_x86_64;
    uint64_t far = uint64_t(1) << 62; // an offset no file reaches
    memcpy(&beyond[32], &far, 8);
    expect_refused(file("far_headers_64", beyond), check_outcome::cannot_track, "program headers cut short");
    expect_refused(file("text", "echo hello\n"), check_outcome::cannot_track, "neither an ELF program nor a #! script");
    expect_refused(file("empty", ""), check_outcome::cannot_track, "empty file");
    expect_refused(file("no_permission", dynamic_x86, 0644), check_outcome::cannot_track, "not executable");
    expect_refused(dir.string(), check_outcome::cannot_track, "is a directory");
    expect_refused((dir / "missing").string(), check_outcome::not_found, "does not exist");
    expect_refused("missing", check_outcome::not_found, "missing: not found in PATH");
}

TEST_F(ProgramCheck, ScriptsAreJudgedByTheirInterpreter) {
    std::string interpreter = file("bin/interp32", dynamic_x86);
    std::string script = file("script", "#!" + interpreter + " -x  \necho\n");
    program_check c = check(script);
    EXPECT_EQ(c.outcome, check_outcome::trackable) << c.message;
    EXPECT_EQ(c.path, script); // execv gets the script; the kernel does the rest
    // without a newline, as long as the line is all there
    EXPECT_EQ(check(file("short", "#! \t" + interpreter)).outcome, check_outcome::trackable);

    expect_builds(file("sh_script", "#!/bin/sh\n"), {{architecture::x86_64, "/bin/sh"}});
    // the kernel runs only the last interpreter: its class alone counts
    std::string wide = file("bin/interp64", dynamic_x86_64);
    std::string outer = file("outer", "#!" + wide + "\n");
    expect_builds(file("nested", "#!" + outer + "\n"), {{architecture::x86_64, wide}});
    expect_refused(file("arm_script", "#!" + file("bin/arm", elf(ELFCLASS64, EM_AARCH64, ET_DYN, {PT_INTERP})) + "\n"),
                   check_outcome::cannot_track,
                   "arm_script is a script run by " + (dir / "bin/arm").string() +
                       ", which is a 64-bit AArch64 program");
    expect_refused(file("lost", "#!/no/such/shell\n"), check_outcome::cannot_track,
                   "is a script run by /no/such/shell, which does not exist");
    expect_refused(file("blank", "#!   \n"), check_outcome::cannot_track, "names no interpreter");
    expect_refused(file("long", "#!/" + std::string(400, 'x')), check_outcome::cannot_track,
                   "longer than the kernel reads");
}

TEST_F(ProgramCheck, EnvInterpreterIsFollowedThroughPath) {
    std::string interpreter = file("interp32", dynamic_x86);
    // env is 64-bit and loads the preload too: both builds are needed
    expect_builds(file("by_env", "#!/usr/bin/env interp32\n"),
                  {{architecture::x86_64, "/usr/bin/env"}, {architecture::i386, interpreter}});
    EXPECT_EQ(check(file("split", "#!/usr/bin/env -S MODE=1 interp32 --flag\n")).outcome, check_outcome::trackable);

    // one class throughout: one build
    program_check c = check_program(file("by_env_sh", "#!/usr/bin/env sh\n"), "/bin");
    EXPECT_EQ(c.outcome, check_outcome::trackable) << c.message;
    ASSERT_EQ(c.builds.size(), 1u);
    EXPECT_EQ(c.builds[0].build, architecture::x86_64);
    EXPECT_EQ(c.builds[0].program, "/usr/bin/env");
    // an env the loader does not start (here a static one) needs no build
    std::string static_env = file("bin/env", elf(ELFCLASS64, EM_X86_64, ET_EXEC, {PT_LOAD}));
    expect_builds(file("by_static_env", "#!" + static_env + " interp32\n"), {{architecture::i386, interpreter}});

    expect_refused(file("absent", "#!/usr/bin/env no_such_interp\n"), check_outcome::cannot_track,
                   "there is no no_such_interp in PATH");
    // without -S, env takes the whole rest as one name
    expect_refused(file("unsplit", "#!/usr/bin/env interp32 -x\n"), check_outcome::cannot_track,
                   "no interp32 -x in PATH");
    expect_refused(file("cleared", "#!/usr/bin/env -S -i interp32\n"), check_outcome::cannot_track,
                   "clears the environment");
    expect_refused(file("preload", "#!/usr/bin/env -S LD_PRELOAD=x.so interp32\n"), check_outcome::cannot_track,
                   "sets LD_PRELOAD");
    expect_refused(file("nameless", "#!/usr/bin/env\n"), check_outcome::cannot_track, "without a program name");
}

TEST_F(ProgramCheck, NestedInterpretersStopAtTheLimit) {
    // a chain of exactly the limit's length still ends at a program
    std::string next = file("end", dynamic_x86);
    for (int level = max_interpreter_depth; level >= 1; level--)
        next = file("level" + std::to_string(level), "#!" + next + "\n");
    EXPECT_EQ(check(next).outcome, check_outcome::trackable) << check(next).message;
    expect_refused(file("one_more", "#!" + next + "\n"), check_outcome::cannot_track, "nested #! interpreters");

    std::string a = (dir / "loop_a").string(), b = (dir / "loop_b").string();
    file("loop_a", "#!" + b + "\n");
    file("loop_b", "#!" + a + "\n");
    expect_refused(a, check_outcome::cannot_track, "more than 4 nested #! interpreters (a loop?)");
}

} // namespace
