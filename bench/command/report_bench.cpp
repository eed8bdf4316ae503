// report_bench: how fast `quarrow report` reads a large report file.
//
// Writes a report file of STACKS caller records over REPORTS reports, shaped
// like the tracker's own output (one run, blocks grouped by caller type,
// counters that only grow, some stacks leaking steadily, a few unmatched
// records), then runs `quarrow report --strict` on it once per view, with
// the offline lookup and without it (--no-symbols), and prints the wall
// time and the peak resident memory of each run.
//
// The frames lie in functions of real 32-bit objects of this machine (the C
// library, whose debug files libc6-dbg:i386 provides, libstdc++, libm, the
// Java VM's libjvm.so with its large .symtab, libjava.so), at made-up load
// bases, named as the tracker names them: an exported function by name, any
// other as *Unknown*. So the lookup does the work a real report asks of it.
// With --x86-64 they are the same objects of the 64-bit build's programs,
// at load bases above 4 GiB, as a 64-bit process's report has them.
// Objects that are missing are left out (with --fake-objects, paths of no
// machine are used instead, and every lookup fails at its first open).
//
// The split between parsing and lookup: quarrow prints the CPU time of
// each phase when QUARROW_REPORT_TIMES is set (CPU time, since the machine
// is shared and wall time swings), and a file of one report holding the
// same stacks shows the lookup where parsing is next to nothing.
//
// The default size, 2,000 stacks x 500 reports with stacks of 1 or 2 frames,
// makes a file of about 200 MB. --smoke makes a small one; its timings mean
// nothing and are not checked against any limit.
//
// Exit status: 0 when every run of quarrow exited 0 (so the generated file
// parsed without a warning), 1 otherwise, 2 on a bad command line.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <gelf.h>

#include <chrono>
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct _settings {
    std::string quarrow;
    std::string file = "report_bench.log";
    unsigned stacks = 2000;
    unsigned reports = 500;
    unsigned depth = 2; // stacks have 1 to depth frames
    bool keep = false;
    bool generate = true;
    bool fake_objects = false;
    bool x86_64 = false;
};

const char *const _real_objects[] = {
    "/lib/i386-linux-gnu/libc.so.6", "/usr/lib/i386-linux-gnu/libstdc++.so.6", "/lib/i386-linux-gnu/libm.so.6",
    "/usr/lib/jvm/java-17-openjdk-i386/lib/server/libjvm.so", "/usr/lib/jvm/java-17-openjdk-i386/lib/libjava.so"};
const char *const _fake_objects[] = {"/opt/app/bin/server", "/opt/app/lib/libcache.so.1",
                                     "/usr/lib/i386-linux-gnu/libstdc++.so.6.fake",
                                     "/lib/i386-linux-gnu/libc.so.6.fake", "/opt/jvm/lib/server/libjvm.so"};
const uint64_t _bases[] = {0xf7c00000u, 0xf7a00000u, 0xf7900000u, 0xf6800000u, 0xf7e80000u};
const char *const _real_objects_64[] = {
    "/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/lib/x86_64-linux-gnu/libm.so.6",
    "/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so", "/usr/lib/jvm/java-17-openjdk-amd64/lib/libjava.so"};
const char *const _fake_objects_64[] = {"/opt/app/bin/server", "/opt/app/lib/libcache.so.1",
                                        "/usr/lib/x86_64-linux-gnu/libstdc++.so.6.fake",
                                        "/lib/x86_64-linux-gnu/libc.so.6.fake", "/opt/jvm/lib/server/libjvm.so"};
const uint64_t _bases_64[] = {0x7f3a2d400000u, 0x7f3a2d200000u, 0x7f3a2d100000u, 0x7f3a2c600000u, 0x7f3a2ce80000u};

struct _function {
    std::string name; // empty when the dynamic symbols do not name it
    uint64_t start, size;
};
struct _object {
    std::string path;
    uint64_t base;
    std::vector<_function> functions;
};

// The functions of a shared object with a first segment at 0, from
// .symtab where there is one, named when .dynsym has them.
bool _read_functions(_object &object) {
    int fd = open(object.path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    std::vector<std::pair<uint64_t, uint64_t>> all;
    std::vector<_function> exported;
    for (Elf_Scn *scn = elf ? elf_nextscn(elf, nullptr) : nullptr; scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr shdr;
        if (!gelf_getshdr(scn, &shdr) || (shdr.sh_type != SHT_SYMTAB && shdr.sh_type != SHT_DYNSYM))
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        size_t count = shdr.sh_entsize ? shdr.sh_size / shdr.sh_entsize : 0;
        for (size_t i = 0; data && i < count; i++) {
            GElf_Sym sym;
            if (!gelf_getsym(data, int(i), &sym) || GELF_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_size < 16 ||
                sym.st_shndx == SHN_UNDEF)
                continue;
            if (shdr.sh_type == SHT_DYNSYM)
                exported.push_back({elf_strptr(elf, shdr.sh_link, sym.st_name), sym.st_value, sym.st_size});
            else
                all.push_back({sym.st_value, sym.st_size});
        }
    }
    if (elf)
        elf_end(elf);
    close(fd);
    std::sort(exported.begin(), exported.end(),
              [](const _function &a, const _function &b) { return a.start < b.start; });
    // dladdr names the nearest exported symbol below an address; only an
    // exported function's own addresses get its name for certain
    object.functions = exported;
    for (auto [start, size] : all) {
        auto at = std::lower_bound(exported.begin(), exported.end(), start,
                                   [](const _function &f, uint64_t s) { return f.start < s; });
        if (at == exported.end() || at->start != start)
            object.functions.push_back({"", start, size});
    }
    return !object.functions.empty();
}

struct _stack {
    int type; // 0 ALLOCATOR, 1 JNI_ALLOCATOR, 2 UNMATCHED_FREER, 3 UNMATCHED_REALLOCER
    std::string frames;
    unsigned long long allocated = 0, allocations = 0, freed = 0, frees = 0;
    unsigned size; // typical request
    bool leaks;    // frees lag behind allocations
};

std::vector<_object> _objects(const _settings &s) {
    std::vector<_object> objects;
    for (size_t i = 0; i < 5; i++) {
        const char *path = s.x86_64 ? (s.fake_objects ? _fake_objects_64[i] : _real_objects_64[i])
                                    : (s.fake_objects ? _fake_objects[i] : _real_objects[i]);
        _object o{path, s.x86_64 ? _bases_64[i] : _bases[i], {}};
        if (s.fake_objects) {
            for (unsigned f = 0; f < 997; f++)
                o.functions.push_back({"_ZN3app6U" + std::to_string(10000 + f) + "4stepEv", 0x1000 + f * 0x40, 0x400});
        } else if (!_read_functions(o)) {
            fprintf(stderr, "report_bench: %s is missing or has no functions: left out\n", o.path.c_str());
            continue;
        }
        objects.push_back(std::move(o));
    }
    return objects;
}

bool _generate(const _settings &s, unsigned reports, const std::string &file) {
    FILE *out = fopen(file.c_str(), "w");
    if (!out) {
        perror(file.c_str());
        return false;
    }
    std::mt19937 random(12345);
    std::vector<_object> objects = _objects(s);
    if (objects.empty()) {
        fprintf(stderr, "report_bench: no object to put frames in (try --fake-objects)\n");
        fclose(out);
        return false;
    }
    std::vector<_stack> stacks(s.stacks);
    std::set<std::string> distinct;
    for (unsigned i = 0; i < s.stacks; i++) {
        _stack &st = stacks[i];
        st.type = i % 50 == 49 ? 3 : i % 50 == 48 ? 2 : i % 10 == 7 ? 1 : 0;
        st.size = 8u << (random() % 10);
        st.leaks = random() % 20 == 0;
        unsigned frames = 1 + i % s.depth;
        char line[1024];
        // a stack drawn twice would be a repeated caller record
        while (st.frames.empty() || !distinct.insert(st.frames).second) {
            st.frames.clear();
            for (unsigned f = 0; f < frames; f++) {
                const _object &o = objects[(i + f) % objects.size()];
                const _function &fn = o.functions[random() % o.functions.size()];
                unsigned long long offset = 1 + random() % (fn.size - 1), address = o.base + fn.start + offset,
                                   base = o.base;
                if (fn.name.empty())
                    snprintf(line, sizeof line, "STACK_%u:%s(%#llx):*Unknown*+%#llx (%#llx)\n", f, o.path.c_str(), base,
                             address, address);
                else
                    snprintf(line, sizeof line, "STACK_%u:%s(%#llx):%s+%#llx (%#llx)\n", f, o.path.c_str(), base,
                             fn.name.c_str(), offset, address);
                st.frames += line;
            }
        }
    }
    // Keep the writer's grouping by type.
    std::vector<unsigned> order;
    for (int type = 0; type < 4; type++)
        for (unsigned i = 0; i < s.stacks; i++)
            if (stacks[i].type == type)
                order.push_back(i);
    static const char *const type_lines[] = {"TYPE:ALLOCATOR\n", "TYPE:JNI_ALLOCATOR\n", "TYPE:UNMATCHED_FREER\n",
                                             "TYPE:UNMATCHED_REALLOCER\n"};

    fprintf(out, "Started log at Mon Jan  6 09:00:00 2025, write period = 60 seconds, stack depth = %u\n", s.depth);
    for (unsigned r = 0; r < reports; r++) {
        unsigned minute = r + 1;
        fprintf(out, "TIMESTAMP:Mon Jan  6 %02u:%02u:00 2025\nMAX_PENDING:%u\nDISCARDED_EVENTS:0\n",
                (9 + minute / 60) % 24, minute % 60, unsigned(random() % 2000));
        for (unsigned i : order) {
            _stack &st = stacks[i];
            unsigned n = unsigned(random() % 40);
            st.allocations += n;
            st.allocated += (unsigned long long)n * st.size;
            // a leaking stack frees half of what it allocates; the others
            // keep about an eighth of their blocks
            unsigned long long live = st.allocations - st.frees;
            unsigned long long release = st.leaks ? n / 2 : live - live / 8;
            st.frees += release;
            st.freed += release * st.size;
            fputs(st.frames.c_str(), out);
            fputs(type_lines[st.type], out);
            if (st.type < 2)
                fprintf(out,
                        "TOTAL_ALLOCATED:%llu\nNUMBER_OF_ALLOCATIONS:%llu\nTOTAL_FREED:%llu\nNUMBER_OF_FREES:%llu\n",
                        st.allocated, st.allocations, st.freed, st.frees);
            else
                fprintf(out, "%s:%llu\n", st.type == 2 ? "UNMATCHED_FREES" : "UNMATCHED_REALLOCSS", st.allocations);
        }
        fputs("END\n", out);
    }
    return fclose(out) == 0;
}

// Runs quarrow with its output thrown away; false when it did not exit 0.
bool _measure(const _settings &s, const std::string &file, const char *view, bool lookups) {
    std::string errors = s.file + ".stderr";
    std::vector<const char *> argv = {s.quarrow.c_str(), "report", "--strict"};
    if (!lookups)
        argv.push_back("--no-symbols");
    if (view)
        argv.push_back(view);
    argv.push_back(file.c_str());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        // standard error is shown afterwards: a lookup warning would mean the frames fell back
        int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(err, 2);
        setenv("QUARROW_REPORT_TIMES", "1", 1);
        execv(argv[0], const_cast<char *const *>(argv.data()));
        perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        perror("fork/wait");
        return false;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    printf("quarrow report %-9s %-13s wall %7.2f s  user %6.2f s  peak RSS %7.1f MB  %s\n", view ? view : "(summary)",
           lookups ? "lookups" : "--no-symbols", seconds,
           double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6, double(usage.ru_maxrss) / 1024.0,
           ok ? "ok" : "FAILED");
    // quarrow's own split of its CPU time, and anything else it said
    FILE *said = fopen(errors.c_str(), "r");
    char line[4096];
    while (said && fgets(line, sizeof line, said)) {
        const char *times = strstr(line, "CPU seconds: ");
        if (times)
            printf("    %s", times);
        else
            fputs(line, stderr);
    }
    if (said)
        fclose(said);
    unlink(errors.c_str());
    return ok;
}

void _usage() {
    fprintf(stderr, "usage: report_bench --quarrow PATH [--file F] [--stacks N] [--reports N] [--depth N] [--keep]\n"
                    "                    [--no-generate] [--fake-objects] [--x86-64] [--smoke]\n");
}

} // namespace

int main(int argc, char **argv) {
    _settings s;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        if (a == "--smoke") {
            s.stacks = 60;
            s.reports = 25;
            s.depth = 4;
        } else if (a == "--fake-objects") {
            s.fake_objects = true;
        } else if (a == "--x86-64") {
            s.x86_64 = true;
        } else if (a == "--keep") {
            s.keep = true;
        } else if (a == "--no-generate") {
            s.generate = false;
            s.keep = true;
        } else if ((a == "--quarrow" || a == "--file" || a == "--stacks" || a == "--reports" || a == "--depth") &&
                   (v = value())) {
            if (a == "--quarrow")
                s.quarrow = v;
            else if (a == "--file")
                s.file = v;
            else if (a == "--stacks")
                s.stacks = unsigned(atoi(v));
            else if (a == "--reports")
                s.reports = unsigned(atoi(v));
            else
                s.depth = unsigned(atoi(v));
        } else {
            _usage();
            return 2;
        }
    }
    if (s.quarrow.empty() || s.stacks == 0 || s.reports == 0 || s.depth == 0) {
        _usage();
        return 2;
    }
    std::string one = s.file + ".one";
    if (s.generate) {
        auto start = std::chrono::steady_clock::now();
        if (!_generate(s, s.reports, s.file) || !_generate(s, 1, one))
            return 1;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        struct stat st {};
        stat(s.file.c_str(), &st);
        printf("generated %s: %u stacks x %u reports, %.1f MB, in %.1f s\n", s.file.c_str(), s.stacks, s.reports,
               double(st.st_size) / 1e6, seconds);
    }
    bool ok = _measure(s, s.file, nullptr, false);
    ok = _measure(s, s.file, nullptr, true) && ok;
    ok = _measure(s, s.file, "--growth", false) && ok;
    ok = _measure(s, s.file, "--growth", true) && ok;
    ok = _measure(s, s.file, "--diff", false) && ok;
    ok = _measure(s, s.file, "--diff", true) && ok;
    printf("the same stacks in a file of one report:\n");
    ok = _measure(s, one, nullptr, false) && ok;
    ok = _measure(s, one, nullptr, true) && ok;
    if (!s.keep) {
        unlink(s.file.c_str());
        unlink(one.c_str());
    }
    return ok ? 0 : 1;
}
