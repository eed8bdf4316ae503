// report_bench: how fast `quarrow report` reads a large report file.
//
// Writes a report file of STACKS caller records over REPORTS reports, shaped
// like the tracker's own output (one run, blocks grouped by caller type,
// counters that only grow, some stacks leaking steadily, a few unmatched
// records), then runs `quarrow report --strict` on it once per view and
// prints the wall time and the peak resident memory of each run.
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
#include <unistd.h>

#include <chrono>
#include <random>
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
};

const char *const _libraries[] = {"/opt/app/bin/server", "/opt/app/lib/libcache.so.1",
                                  "/usr/lib/i386-linux-gnu/libstdc++.so.6", "/lib/i386-linux-gnu/libc.so.6",
                                  "/opt/jvm/lib/server/libjvm.so"};
const unsigned _bases[] = {0x56555000u, 0xf7e80000u, 0xf7a00000u, 0xf7c00000u, 0xf6800000u};

struct _stack {
    int type; // 0 ALLOCATOR, 1 JNI_ALLOCATOR, 2 UNMATCHED_FREER, 3 UNMATCHED_REALLOCER
    std::string frames;
    unsigned long long allocated = 0, allocations = 0, freed = 0, frees = 0;
    unsigned size; // typical request
    bool leaks;    // frees lag behind allocations
};

bool _generate(const _settings &s) {
    FILE *out = fopen(s.file.c_str(), "w");
    if (!out) {
        perror(s.file.c_str());
        return false;
    }
    std::mt19937 random(12345);
    std::vector<_stack> stacks(s.stacks);
    for (unsigned i = 0; i < s.stacks; i++) {
        _stack &st = stacks[i];
        st.type = i % 50 == 49 ? 3 : i % 50 == 48 ? 2 : i % 10 == 7 ? 1 : 0;
        st.size = 8u << (random() % 10);
        st.leaks = random() % 20 == 0;
        unsigned frames = 1 + i % s.depth;
        char line[256];
        for (unsigned f = 0; f < frames; f++) {
            unsigned lib = (i + f) % 5, base = _bases[lib];
            unsigned offset = 0x10 + (random() % 0x400), function = (i * 7 + f) % 997;
            snprintf(line, sizeof line, "STACK_%u:%s(%#x):_ZN3app6U%05u4stepEv+%#x (%#x)\n", f, _libraries[lib], base,
                     function, offset, base + 0x1000 + function * 0x40 + offset);
            st.frames += line;
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
    for (unsigned r = 0; r < s.reports; r++) {
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
bool _measure(const _settings &s, const char *view) {
    std::vector<const char *> argv = {s.quarrow.c_str(), "report", "--strict"};
    if (view)
        argv.push_back(view);
    argv.push_back(s.file.c_str());
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
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
    printf("quarrow report %-9s wall %7.2f s  user %6.2f s  peak RSS %7.1f MB  %s\n", view ? view : "(summary)",
           seconds, double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6,
           double(usage.ru_maxrss) / 1024.0, ok ? "ok" : "FAILED");
    return ok;
}

void _usage() {
    fprintf(stderr, "usage: report_bench --quarrow PATH [--file F] [--stacks N] [--reports N] [--depth N] [--keep]\n"
                    "                    [--no-generate] [--smoke]\n");
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
    if (s.generate) {
        auto start = std::chrono::steady_clock::now();
        if (!_generate(s))
            return 1;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        struct stat st {};
        stat(s.file.c_str(), &st);
        printf("generated %s: %u stacks x %u reports, %.1f MB, in %.1f s\n", s.file.c_str(), s.stacks, s.reports,
               double(st.st_size) / 1e6, seconds);
    }
    bool ok = _measure(s, nullptr);
    ok = _measure(s, "--growth") && ok;
    ok = _measure(s, "--diff") && ok;
    if (!s.keep)
        unlink(s.file.c_str());
    return ok ? 0 : 1;
}
