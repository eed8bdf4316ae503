// heap_bench: the private heap (dlmalloc/dlfree/dlrealloc) against glibc's
// malloc/free/realloc on one deterministic mixed-size workload, and, when the
// tracker runs in the process with tracing held back (bench/run_heap_bench.sh
// starts it so), the process's own malloc/free/realloc: the hooked path,
// through the hooks and the per-thread caches to the private heap.
//
// Each worker thread keeps a ring of slots holding live blocks. Every step it
// picks a slot at random; usually it frees the slot's block (if any) and
// allocates a new one, sometimes it reallocs the block instead. Sizes are
// mostly 8-512 bytes, some 1-16 KiB, and 1 step in 2000 asks for 300 KiB to
// 1 MiB. The random stream depends only on the seed and the thread index, so
// both allocators see exactly the same sequence of requests.
//
// Every block is tagged (first byte, a small prefix and its last byte) when
// it is handed out and checked before it is freed or resized, the same way for
// both allocators; a mismatch means the allocator corrupted or lost data.
//
// After each private-heap or hooked run, with every block freed and the
// workers (and so their caches) gone, dlmalloc_trim(0) runs
// and dlmalloc_footprint() must be at most 64 KiB above its value before the
// first private-heap run.
//
// Exit status: 0 when the footprint check passed and no block was corrupted
// and no request failed, 1 otherwise, 2 on a bad command line.

#include <malloc.h>

extern "C" void *__libc_malloc(size_t size);
extern "C" void __libc_free(void *block);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench_random.h"

#include "memory_operations/memory_operations.h"
#include "private_heap/private_heap.h"

namespace {

// ---------------------------------------------------------------- workload

constexpr size_t kFootprintSlack = 64 * 1024;

struct Config {
    unsigned long ops = 2000000; // steps per thread per run
    unsigned ring = 4096;        // live-block slots per thread
    unsigned reps = 3;           // timed repetitions per allocator, best kept
    uint64_t seed = 0x5157a11c0ffee123ull;
    std::vector<unsigned> threads{1, 2};
    bool smoke = false;
    bool warmup = true;
    bool use[3] = {true, true, true}; // private heap, glibc, hooked (--only)
    bool verbose = false;
};

using bench::Rng;
using bench::splitmix64;

// Mostly small, some KiB, rarely 300 KiB .. 1 MiB.
uint32_t draw_size(Rng &r) {
    uint32_t u = r.next();
    if (u % 2000 == 0)
        return 300 * 1024 + r.below(724 * 1024 + 1); // ~1 in 2000
    uint32_t c = r.below(100);
    if (c < 5)
        return 1024 + r.below(15 * 1024 + 1); // 5%: 1-16 KiB
    if (c < 62)
        return 8 + r.below(57); // 57%: 8-64
    if (c < 90)
        return 65 + r.below(192); // 28%: 65-256
    return 257 + r.below(256);    // 10%: 257-512
}

// Realloc target: mostly grow by half (a growing buffer), sometimes shrink.
uint32_t realloc_size(Rng &r, uint32_t old) {
    uint32_t n;
    if (r.below(4) != 0)
        n = old + old / 2 + 1 + r.below(64);
    else
        n = std::max<uint32_t>(8, old / 2);
    if (n > 2 * 1024 * 1024)
        n = 8 + r.below(57);
    return n;
}

struct Slot {
    unsigned char *p;
    uint32_t size;
    uint8_t tag;
};

// Writes the block's tag: a prefix of up to 16 bytes and the last byte.
inline void touch(unsigned char *p, uint32_t size, uint8_t tag) {
    memset(p, tag, size < 16 ? size : 16);
    p[size - 1] = tag;
}

// Checks the bytes touch() wrote (valid bytes: the first `size`).
inline bool intact(const unsigned char *p, uint32_t size, uint8_t tag) {
    return p[0] == tag && p[(size < 16 ? size : 16) - 1] == tag && p[size - 1] == tag;
}

struct Stats {
    unsigned long corrupt = 0; // tag mismatches seen
    unsigned long failed = 0;  // allocation requests that returned NULL
};

struct DlHeap {
    static void *alloc(size_t n) { return dlmalloc(n); }
    static void release(void *p) { dlfree(p); }
    static void *resize(void *p, size_t n) { return dlrealloc(p, n); }
};

// The process's own entry points: with the hooks in, the hooked path.
struct Hooked {
    static void *alloc(size_t n) { return malloc(n); }
    static void release(void *p) { free(p); }
    static void *resize(void *p, size_t n) { return realloc(p, n); }
};

struct Glibc {
    // By glibc's own names: the library linked here defines malloc itself.
    static void *alloc(size_t n) { return __libc_malloc(n); }
    static void release(void *p) { __libc_free(p); }
    static void *resize(void *p, size_t n) { return __libc_realloc(p, n); }
};

// One thread's copy of the workload. The ring storage comes from the caller
// (allocated before timing, outside the heap being measured).
template <class A>
void run_workload(uint64_t stream_seed, unsigned long ops, Slot *ring, unsigned ring_size, Stats &st) {
    Rng r(stream_seed);
    for (unsigned long i = 0; i < ops; ++i) {
        Slot &s = ring[r.below(ring_size)];
        uint8_t tag = uint8_t(i) | 1;
        if (s.p && r.below(16) == 0) {
            // realloc in place of free + malloc
            if (!intact(s.p, s.size, s.tag))
                ++st.corrupt;
            uint32_t n = realloc_size(r, s.size);
            unsigned char *q = static_cast<unsigned char *>(A::resize(s.p, n));
            if (!q) {
                ++st.failed; // the old block is still valid and still ours
                continue;
            }
            uint32_t kept = std::min(n, s.size);
            if (q[0] != s.tag || q[(kept < 16 ? kept : 16) - 1] != s.tag)
                ++st.corrupt;
            s.p = q;
            s.size = n;
            s.tag = tag;
            touch(q, n, tag);
            continue;
        }
        if (s.p) {
            if (!intact(s.p, s.size, s.tag))
                ++st.corrupt;
            A::release(s.p);
            s.p = nullptr;
        }
        uint32_t n = draw_size(r);
        unsigned char *q = static_cast<unsigned char *>(A::alloc(n));
        if (!q) {
            ++st.failed;
            continue;
        }
        s.p = q;
        s.size = n;
        s.tag = tag;
        touch(q, n, tag);
    }
    // Free everything that is still live.
    for (unsigned k = 0; k < ring_size; ++k) {
        Slot &s = ring[k];
        if (s.p) {
            if (!intact(s.p, s.size, s.tag))
                ++st.corrupt;
            A::release(s.p);
            s.p = nullptr;
        }
    }
}

// --------------------------------------------------------------- the runs

// One ring of empty slots per thread, from glibc's allocator.
struct LibcRings {
    Slot *ring[64] = {};
    unsigned count;
    LibcRings(unsigned threads, unsigned slots) : count(threads) {
        for (unsigned t = 0; t < count; ++t) {
            ring[t] = static_cast<Slot *>(__libc_calloc(slots, sizeof(Slot)));
            if (ring[t] == nullptr) {
                fprintf(stderr, "heap_bench: no memory for the rings\n");
                exit(1);
            }
        }
    }
    ~LibcRings() {
        for (unsigned t = 0; t < count; ++t)
            __libc_free(ring[t]);
    }
    LibcRings(const LibcRings &) = delete;
    LibcRings &operator=(const LibcRings &) = delete;
};

enum Which { kPrivate = 0, kGlibc = 1, kHooked = 2 };
const char *const kName[] = {"private heap", "glibc", "hooked"};

struct Footprint {
    size_t before = 0; // before the first private-heap run
    size_t last = 0;   // after the latest run + trim
    size_t worst = 0;  // highest after-trim value seen
    unsigned checks = 0;
    bool pass() const { return worst <= before + kFootprintSlack; }
};

struct Runner {
    const Config &cfg;
    Stats total[3]; // per allocator
    Footprint fp;
    bool fp_started = false;

    explicit Runner(const Config &c) : cfg(c) {}

    // Runs one copy of the workload per thread, all released together; returns
    // the wall time in seconds from the release until the last thread is done.
    double run(Which which, unsigned nthreads, unsigned long ops, uint64_t seed) {
        // All storage the harness needs is made before the measured heap is used.
        // The rings come from glibc by its own name: under the tracker the
        // process's malloc is the private heap, whose footprint is checked.
        LibcRings rings(nthreads, cfg.ring);
        std::vector<Stats> stats(nthreads);
        std::atomic<unsigned> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> workers;
        workers.reserve(nthreads);

        if (which != kGlibc && !fp_started) {
            fp.before = dlmalloc_footprint();
            fp_started = true;
        }

        for (unsigned t = 0; t < nthreads; ++t) {
            workers.emplace_back([&, t] {
                uint64_t s = seed + t;
                uint64_t stream = splitmix64(s);
                ready.fetch_add(1);
                while (!go.load(std::memory_order_acquire)) {
                }
                if (which == kPrivate)
                    run_workload<DlHeap>(stream, ops, rings.ring[t], cfg.ring, stats[t]);
                else if (which == kHooked)
                    run_workload<Hooked>(stream, ops, rings.ring[t], cfg.ring, stats[t]);
                else
                    run_workload<Glibc>(stream, ops, rings.ring[t], cfg.ring, stats[t]);
            });
        }
        while (ready.load() != nthreads) {
        }
        auto t0 = std::chrono::steady_clock::now();
        go.store(true, std::memory_order_release);
        for (auto &w : workers)
            w.join();
        auto t1 = std::chrono::steady_clock::now();

        for (const Stats &s : stats) {
            total[which].corrupt += s.corrupt;
            total[which].failed += s.failed;
        }

        // Give memory back, the same way for both, outside the timing.
        if (which != kGlibc) {
            dlmalloc_trim(0);
            size_t f = dlmalloc_footprint();
            fp.last = f;
            fp.worst = fp.checks ? std::max(fp.worst, f) : f;
            ++fp.checks;
        } else {
            malloc_trim(0);
        }
        return std::chrono::duration<double>(t1 - t0).count();
    }
};

double mops(unsigned long ops_total, double secs) { return secs > 0 ? ops_total / secs / 1e6 : 0; }

std::string kib(long long bytes) {
    char buf[64];
    snprintf(buf, sizeof buf, "%+.1f KiB", bytes / 1024.0);
    return buf;
}

void usage(FILE *f) {
    fprintf(f, "usage: heap_bench [--ops N] [--threads LIST] [--reps N] [--ring N] [--seed N]\n"
               "                  [--only private|glibc|hooked] [--no-warmup] [--smoke] [--verbose]\n"
               "  --ops N        steps per thread per run (default 2000000; --smoke: 20000)\n"
               "  --threads LIST comma-separated thread counts (default 1,2)\n"
               "  --reps N       timed repetitions per allocator, best one reported (default 3;\n"
               "                 --smoke: 1)\n"
               "  --ring N       live-block slots per thread (default 4096)\n"
               "  --seed N       workload seed (default fixed)\n"
               "  --only NAME    run one allocator only, private, glibc or hooked (for profiling;\n"
               "                 hooked needs the tracker in the process: run_heap_bench.sh)\n"
               "  --no-warmup    skip the untimed warm-up run of each allocator\n"
               "  --smoke        tiny run: checks it works and the footprint check passes\n"
               "  --verbose      print every run's time\n");
}

bool parse_ulong(const char *s, unsigned long long &out) {
    if (!s || !*s)
        return false;
    char *end = nullptr;
    out = strtoull(s, &end, 0);
    return end && *end == '\0';
}

bool parse_args(int argc, char **argv, Config &cfg) {
    bool ops_given = false, reps_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long n = 0;
        if (a == "--ops") {
            if (!parse_ulong(v, n) || n == 0)
                return false;
            cfg.ops = (unsigned long)n;
            ops_given = true;
            ++i;
        } else if (a == "--reps") {
            if (!parse_ulong(v, n) || n == 0 || n > 100)
                return false;
            cfg.reps = unsigned(n);
            reps_given = true;
            ++i;
        } else if (a == "--ring") {
            if (!parse_ulong(v, n) || n == 0 || n > (1u << 24))
                return false;
            cfg.ring = unsigned(n);
            ++i;
        } else if (a == "--seed") {
            if (!parse_ulong(v, n))
                return false;
            cfg.seed = n;
            ++i;
        } else if (a == "--threads") {
            if (!v)
                return false;
            cfg.threads.clear();
            std::string list = v;
            size_t pos = 0;
            while (pos <= list.size()) {
                size_t comma = list.find(',', pos);
                if (comma == std::string::npos)
                    comma = list.size();
                std::string item = list.substr(pos, comma - pos);
                if (!parse_ulong(item.c_str(), n) || n == 0 || n > 64)
                    return false;
                cfg.threads.push_back(unsigned(n));
                pos = comma + 1;
            }
            ++i;
        } else if (a == "--smoke") {
            cfg.smoke = true;
        } else if (a == "--only") {
            if (!v)
                return false;
            std::string w = v;
            if (w != "private" && w != "glibc" && w != "hooked")
                return false;
            cfg.use[kPrivate] = w == "private";
            cfg.use[kGlibc] = w == "glibc";
            cfg.use[kHooked] = w == "hooked";
            ++i;
        } else if (a == "--no-warmup") {
            cfg.warmup = false;
        } else if (a == "--verbose" || a == "-v") {
            cfg.verbose = true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else {
            return false;
        }
    }
    if (cfg.smoke) {
        if (!ops_given)
            cfg.ops = 20000;
        if (!reps_given)
            cfg.reps = 1;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    if (!parse_args(argc, argv, cfg)) {
        usage(stderr);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Without the tracker in the process malloc is glibc's: nothing to measure.
    bool hooked = quarrow_malloc_hook != nullptr;
    if (!hooked && cfg.use[kHooked] && !cfg.use[kPrivate] && !cfg.use[kGlibc]) {
        fprintf(stderr, "heap_bench: --only hooked, but the hooks are not installed (use run_heap_bench.sh)\n");
        return 2;
    }
    cfg.use[kHooked] = cfg.use[kHooked] && hooked;

    printf("heap_bench: %lu ops/thread/run, ring %u slots/thread, best of %u%s, seed %#llx\n", cfg.ops, cfg.ring,
           cfg.reps, cfg.warmup ? " after a warm-up" : "", (unsigned long long)cfg.seed);

    Runner runner(cfg);
    struct Row {
        unsigned threads;
        double best[3];
    };
    std::vector<Row> rows;

    for (unsigned nt : cfg.threads) {
        Row row{nt, {0, 0, 0}};
        unsigned long total_ops = cfg.ops * nt;
        if (cfg.warmup) {
            // Untimed: faults in the code, the thread stacks and each heap's memory.
            unsigned long wops = std::max(1ul, cfg.ops / 4);
            for (Which w : {kPrivate, kGlibc, kHooked})
                if (cfg.use[w])
                    runner.run(w, nt, wops, cfg.seed);
        }
        for (unsigned rep = 0; rep < cfg.reps; ++rep) {
            // Rotate which allocator goes first.
            const Which ways[3] = {kPrivate, kGlibc, kHooked};
            Which order[3] = {ways[rep % 3], ways[(rep + 1) % 3], ways[(rep + 2) % 3]};
            for (Which w : order) {
                if (!cfg.use[w])
                    continue;
                double secs = runner.run(w, nt, cfg.ops, cfg.seed);
                double rate = mops(total_ops, secs);
                row.best[w] = std::max(row.best[w], rate);
                if (cfg.verbose)
                    printf("  %u thread%s rep %u %-12s %8.3f s  %8.2f Mops/s\n", nt, nt == 1 ? " " : "s", rep + 1,
                           kName[w], secs, rate);
            }
        }
        rows.push_back(row);
    }

    printf("\n%-8s %20s %16s %14s %22s %20s\n", "threads", "private heap Mops/s", "glibc Mops/s", "hooked Mops/s",
           "ratio private/glibc", "ratio hooked/glibc");
    for (const Row &r : rows) {
        char cell[3][32], ratio[2][32] = {"-", "-"};
        for (Which w : {kPrivate, kGlibc, kHooked}) {
            if (cfg.use[w])
                snprintf(cell[w], sizeof cell[w], "%.2f", r.best[w]);
            else
                snprintf(cell[w], sizeof cell[w], "-");
        }
        for (Which w : {kPrivate, kHooked})
            if (cfg.use[w] && cfg.use[kGlibc] && r.best[kGlibc] > 0)
                snprintf(ratio[w == kHooked], sizeof ratio[0], "%.2f", r.best[w] / r.best[kGlibc]);
        printf("%-8u %20s %16s %14s %22s %20s\n", r.threads, cell[kPrivate], cell[kGlibc], cell[kHooked], ratio[0],
               ratio[1]);
    }
    if (!hooked)
        printf("(hooked: not measured, the hooks are not installed; bench/run_heap_bench.sh runs the bench\n"
               " under the tracker with tracing held back)\n");
    printf("(ops = allocation steps, summed over threads; each step frees one block and\n"
           " allocates one, or reallocs one)\n\n");

    const Footprint &fp = runner.fp;
    long long diff_last = (long long)fp.last - (long long)fp.before;
    long long diff_worst = (long long)fp.worst - (long long)fp.before;
    bool fp_ok = !(cfg.use[kPrivate] || cfg.use[kHooked]) || (fp.checks > 0 && fp.pass());
    if (cfg.use[kPrivate] || cfg.use[kHooked])
        printf("footprint: before %zu B, after workload + dlmalloc_trim(0) %zu B (%s; worst of %u "
               "runs %s), limit +64 KiB: %s\n",
               fp.before, fp.last, kib(diff_last).c_str(), fp.checks, kib(diff_worst).c_str(), fp_ok ? "PASS" : "FAIL");

    bool data_ok = true;
    for (Which w : {kPrivate, kGlibc, kHooked}) {
        if (!cfg.use[w])
            continue;
        const Stats &s = runner.total[w];
        bool ok = s.corrupt == 0 && s.failed == 0;
        data_ok = data_ok && ok;
        printf("integrity (%s): %lu corrupted blocks, %lu failed requests: %s\n", kName[w], s.corrupt, s.failed,
               ok ? "PASS" : "FAIL");
    }

    return fp_ok && data_ok ? 0 : 1;
}
