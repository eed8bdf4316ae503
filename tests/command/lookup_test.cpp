/*
 * The offline lookup against objects built for it (lookup_fixtures/), once
 * for each class of the tracker's builds: the report the fixture program
 * wrote names its frames as the tracker does (with 64-bit addresses in the
 * x86_64 set), and the lookup must find the static function, the source
 * lines and the inlined call the source marks with "LINE:" comments;
 * through separate debug files too. Objects that are missing, different,
 * broken, of another machine, or not files at all must leave the report's
 * names in place, with one warning each, and never block.
 */
#include <fcntl.h>
#include <gelf.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "diff.h"
#include "frame_lookup.h"
#include "object_lookup.h"
#include "report_parser.h"
#include "symbols.h"

using namespace quarrow::report;

namespace {

const std::string all_fixtures = QUARROW_LOOKUP_FIXTURES;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

uint32_t marker_line(const std::string &name) {
    std::istringstream source(read_file(QUARROW_LOOKUP_SOURCE));
    std::string line;
    for (uint32_t number = 1; std::getline(source, line); number++)
        if (line.find("LINE:" + name + " ") != std::string::npos)
            return number;
    ADD_FAILURE() << "no marker " << name;
    return 0;
}

std::string temp_dir() {
    char pattern[] = "/tmp/quarrow_lookup_XXXXXX";
    const char *made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    return made ? made : "/tmp";
}

struct looked_up {
    report_set set;
    std::vector<std::string> warnings;
};

// Frame i of stack s: stack 0 is the call through hidden_leaf, stack 1
// the inlined one.
const frame_lookup &at(const looked_up &l, size_t stack, size_t frame) {
    return l.set.lookups[l.set.stacks[stack].frames[frame]];
}

size_t warnings_naming(const looked_up &l, const std::string &path) {
    size_t n = 0;
    for (const std::string &w : l.warnings)
        n += w.find(path) != std::string::npos;
    return n;
}

// One class's fixtures: i386 in lookup_fixtures/, x86_64 below it.
class FrameLookup : public ::testing::TestWithParam<const char *> {
protected:
    const std::string fixtures =
        all_fixtures + (GetParam() == std::string("i386") ? "" : "/" + std::string(GetParam()));
    const std::string library = fixtures + "/liblookup.so";

    // The fixture report with the object's path replaced, parsed as if it
    // lay in the fixture directory (where the program's relative path
    // resolves), then looked up.
    looked_up look_up(const std::string &object, const lookup_options &options = {}) {
        looked_up result;
        report_parser parser(result.set);
        parser.parse_text(replace_all(read_file(fixtures + "/lookup.log"), library, object), fixtures + "/lookup.log");
        result.warnings = look_up_frames(result.set, options);
        return result;
    }
};

INSTANTIATE_TEST_SUITE_P(Builds, FrameLookup, ::testing::Values("i386", "x86_64"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

} // namespace

TEST_P(FrameLookup, ReportHasAddressesOfItsClass) {
    // a 64-bit process's objects load far above 4 GiB; a 32-bit one's cannot
    report_set set;
    report_parser(set).parse_text(read_file(fixtures + "/lookup.log"), "lookup.log");
    ASSERT_FALSE(set.frames.empty());
    for (const report_frame &f : set.frames) {
        if (f.library != library)
            continue;
        uint64_t address = strtoull(f.address.c_str(), nullptr, 16);
        EXPECT_EQ(address > UINT32_MAX, GetParam() == std::string("x86_64")) << f.address;
    }
}

TEST_P(FrameLookup, NamesStaticFunctionsSourceLinesAndInlinedCalls) {
    looked_up l = look_up(library);
    EXPECT_EQ(warnings_naming(l, "liblookup.so"), 0u) << ::testing::PrintToString(l.warnings);
    ASSERT_GE(l.set.stacks.size(), 2u);

    const frame_lookup &hidden = at(l, 0, 0);
    ASSERT_TRUE(hidden.found);
    EXPECT_EQ(hidden.function.name, "hidden_leaf");
    EXPECT_EQ(hidden.function.line, marker_line("hidden_leaf"));
    EXPECT_NE(hidden.function.file.find("lookup_lib.c"), std::string::npos);
    EXPECT_TRUE(hidden.inlined.empty());
    const report_frame &raw = l.set.frames[l.set.stacks[0].frames[0]];
    // a shared object's first segment starts at 0: address minus base
    EXPECT_EQ(hidden.object_address,
              strtoull(raw.address.c_str(), nullptr, 16) - strtoull(raw.base.c_str(), nullptr, 16));
    EXPECT_EQ(at(l, 0, 1).function.name, "fixture_exported");
    EXPECT_EQ(at(l, 0, 1).function.line, marker_line("exported_calls_hidden"));

    const frame_lookup &inlined = at(l, 1, 0);
    ASSERT_TRUE(inlined.found);
    ASSERT_EQ(inlined.inlined.size(), 1u);
    EXPECT_EQ(inlined.inlined[0].name, "inlined_helper");
    EXPECT_EQ(inlined.inlined[0].line, marker_line("inlined_helper"));
    EXPECT_EQ(inlined.function.name, "fixture_exported");
    EXPECT_EQ(inlined.function.line, marker_line("exported_calls_inlined"));

    // the program's own frame: a relative path, found beside the report
    EXPECT_EQ(at(l, 0, 2).function.name, "main");
    EXPECT_GT(at(l, 0, 2).function.line, 0u);

    frame_labels labels(l.set);
    std::vector<std::string> lines = labels.lines(l.set.stacks[1].frames[0]);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[inlined] inlined_helper (lookup_lib.c:" + std::to_string(marker_line("inlined_helper")) +
                            ") in liblookup.so");
    EXPECT_EQ(lines[1], "fixture_exported (lookup_lib.c:" + std::to_string(marker_line("exported_calls_inlined")) +
                            ") in liblookup.so");
}

TEST_P(FrameLookup, SeparateDebugFilesByDebuglinkAndByBuildId) {
    looked_up linked = look_up(fixtures + "/debuglink/liblookup.so");
    EXPECT_TRUE(linked.warnings.empty()) << ::testing::PrintToString(linked.warnings);
    EXPECT_EQ(at(linked, 0, 0).function.line, marker_line("hidden_leaf"));
    EXPECT_EQ(at(linked, 1, 0).inlined.size(), 1u);

    // without its debug file the symbol table still names the functions
    std::string stripped = fixtures + "/buildid/liblookup.so";
    looked_up bare = look_up(stripped);
    EXPECT_EQ(at(bare, 0, 0).function.name, "hidden_leaf");
    EXPECT_EQ(at(bare, 0, 0).function.line, 0u);
    EXPECT_TRUE(at(bare, 1, 0).inlined.empty());

    std::string error;
    auto object = object_file::open(stripped, debug_search_path({}), error);
    ASSERT_TRUE(object) << error;
    ASSERT_GT(object->build_id().size(), 2u);
    std::string root = temp_dir();
    std::string dir = root + "/.build-id/" + object->build_id().substr(0, 2);
    ASSERT_EQ(mkdir((root + "/.build-id").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    write_file(dir + "/" + object->build_id().substr(2) + ".debug", read_file(fixtures + "/buildid/liblookup.debug"));
    lookup_options options;
    options.debug_dirs = {"/nonexistent", root};
    looked_up found = look_up(stripped, options);
    EXPECT_EQ(at(found, 0, 0).function.line, marker_line("hidden_leaf"));
    EXPECT_EQ(at(found, 1, 0).inlined.size(), 1u);
}

TEST_P(FrameLookup, DynamicSymbolsAloneNameOnlyTheExportedFunctions) {
    looked_up l = look_up(fixtures + "/nodebug/liblookup.so");
    EXPECT_TRUE(l.warnings.empty()) << ::testing::PrintToString(l.warnings);
    EXPECT_EQ(at(l, 0, 1).function.name, "fixture_exported");
    EXPECT_EQ(at(l, 0, 1).function.line, 0u);
    frame_labels labels(l.set);
    // hidden_leaf is in no table the file kept: the report's name stays
    const frame_lookup &hidden = at(l, 0, 0);
    EXPECT_FALSE(hidden.found);
    uint32_t id = l.set.stacks[0].frames[0];
    EXPECT_EQ(labels.symbol(id), l.set.frames[id].symbol);
    char expected[64];
    snprintf(expected, sizeof expected, "*Unknown* at %#llx in liblookup.so",
             (unsigned long long)hidden.object_address);
    EXPECT_EQ(labels.innermost(id), expected);
}

TEST_P(FrameLookup, SysrootHoldsTheObjectsOfAnotherMachine) {
    std::string root = temp_dir();
    ASSERT_EQ(mkdir((root + "/opt").c_str(), 0755), 0);
    write_file(root + "/opt/liblookup.so", read_file(library));
    lookup_options options;
    options.sysroot = root;
    looked_up l = look_up("/opt/liblookup.so", options);
    EXPECT_EQ(at(l, 0, 0).function.name, "hidden_leaf");
    EXPECT_EQ(warnings_naming(l, root + "/opt/liblookup.so"), 0u) << ::testing::PrintToString(l.warnings);
}

TEST_P(FrameLookup, BadObjectsWarnOnceAndKeepTheReportsNames) {
    std::string dir = temp_dir();
    std::string full = read_file(library);
    write_file(dir + "/truncated.so", full.substr(0, 1500));
    write_file(dir + "/text.so", "not an object at all\n");
    ASSERT_EQ(mkfifo((dir + "/fifo.so").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir + "/directory.so").c_str(), 0755), 0);
    // a 64-bit object claiming another machine: e_machine is at byte 18
    std::string arm = read_file(all_fixtures + "/x86_64/liblookup.so");
    uint16_t aarch64 = EM_AARCH64;
    memcpy(&arm[18], &aarch64, sizeof aarch64);
    write_file(dir + "/aarch64.so", arm);
    std::string other_class = all_fixtures + (fixtures == all_fixtures ? "/x86_64" : "") + "/liblookup.so";

    struct bad {
        std::string path, why;
    };
    const bad cases[] = {
        {dir + "/missing.so", "No such file"},
        {dir + "/truncated.so", ""},
        {dir + "/text.so", "cannot be read as ELF"},
        {dir + "/aarch64.so", "is a 64-bit AArch64 object"},
        // the other build's object where this one's ran
        {other_class, "not the object that ran"},
        {fixtures + "/lookup_program", "not the object that ran"}, // another object altogether
        {dir + "/fifo.so", "is a FIFO"},                           // opening it would block
        {dir + "/directory.so", "is a directory"},
        {"/dev/zero", "is a device"},
    };
    for (const bad &c : cases) {
        SCOPED_TRACE(c.path);
        looked_up l = look_up(c.path);
        ASSERT_EQ(warnings_naming(l, c.path), 1u) << ::testing::PrintToString(l.warnings);
        for (const std::string &w : l.warnings) {
            if (w.find(c.path) != std::string::npos) {
                EXPECT_NE(w.find(c.why), std::string::npos) << w;
            }
        }
        frame_labels labels(l.set);
        for (size_t s = 0; s < 2; s++) {
            uint32_t id = l.set.stacks[s].frames[0];
            EXPECT_FALSE(l.set.lookups[id].found);
            EXPECT_EQ(labels.symbol(id), l.set.frames[id].symbol);
        }
    }
}

TEST_P(FrameLookup, DamagedDebugInformationLosesLinesNotNames) {
    std::string dir = temp_dir();
    std::string copy = read_file(library);
    // overwrite .debug_info and .debug_line with garbage
    int fd = open(library.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    size_t strings;
    ASSERT_EQ(elf_getshdrstrndx(elf, &strings), 0);
    int damaged = 0;
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        gelf_getshdr(scn, &shdr);
        std::string name = elf_strptr(elf, strings, shdr.sh_name);
        if (name != ".debug_info" && name != ".debug_line" && name != ".debug_abbrev")
            continue;
        for (size_t i = 0; i < shdr.sh_size; i++)
            copy[shdr.sh_offset + i] = char(0xff - i % 7);
        damaged++;
    }
    elf_end(elf);
    close(fd);
    ASSERT_EQ(damaged, 3);
    write_file(dir + "/liblookup.so", copy);
    looked_up l = look_up(dir + "/liblookup.so");
    EXPECT_EQ(at(l, 0, 0).function.name, "hidden_leaf"); // .symtab is intact
}

TEST_P(FrameLookup, OneObjectAcrossRunsIsLookedUpAtEachLoadBase) {
    // the same report again as a second run with the object 1 MiB higher
    std::string text = read_file(fixtures + "/lookup.log");
    const report_frame *first = nullptr;
    report_set probe;
    report_parser(probe).parse_text(text, "probe");
    for (const report_frame &f : probe.frames)
        if (f.library == library)
            first = &f;
    ASSERT_NE(first, nullptr);
    uint64_t base = strtoull(first->base.c_str(), nullptr, 16);
    std::string moved = text;
    char from[32], to[32];
    for (const report_frame &f : probe.frames) {
        if (f.library != library)
            continue;
        uint64_t address = strtoull(f.address.c_str(), nullptr, 16);
        snprintf(from, sizeof from, "(%s)", f.address.c_str());
        snprintf(to, sizeof to, "(%#llx)", (unsigned long long)(address + 0x100000));
        moved = replace_all(moved, from, to);
    }
    snprintf(from, sizeof from, "(%#llx)", (unsigned long long)base);
    snprintf(to, sizeof to, "(%#llx)", (unsigned long long)(base + 0x100000));
    moved = replace_all(moved, library + from, library + to);

    report_set set;
    report_parser parser(set);
    parser.parse_text(text + moved, fixtures + "/lookup.log");
    auto warnings = look_up_frames(set, {});
    EXPECT_EQ(set.runs.size(), 2u);
    size_t named = 0;
    for (size_t i = 0; i < set.frames.size(); i++)
        if (set.frames[i].library == library) {
            EXPECT_TRUE(set.lookups[i].found) << set.frames[i].address;
            named++;
        }
    EXPECT_GE(named, 6u);
    // across the runs the stacks match by object and function
    report_diff diff = compare_reports(set, {0, 0}, {1, 0});
    EXPECT_EQ(diff.unchanged, set.runs[0].reports[0].blocks.size());
    EXPECT_TRUE(diff.gained.empty());
}
