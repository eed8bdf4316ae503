// hook_bench: what the process's own allocation calls cost, for comparing a
// plain run with runs under the tracker (see run_hook_bench.sh). It links
// nothing of the library: the tracker, when wanted, comes in by preloading.
//
//   hook_bench [--slots K] [--seed S] THREADS STEPS
//       Each thread keeps a table of K slots (default 4096) and takes STEPS
//       steps, each picking a slot at random: an empty slot gets a new block;
//       a full one is usually freed and refilled, 1 time in 16 resized
//       instead. Sizes: mostly 16-512 bytes, some 1-8 KiB, 1 in 1000 64 KiB.
//       Every request comes from a call site of its own (a real frame), a few
//       through one more frame, so stacks differ as in a real program. The
//       random stream depends only on the seed and the thread index.
//
//   hook_bench --backtrace-loop DEPTH N [THREADS]
//       Each thread calls backtrace(buf, DEPTH) N times from as many frames
//       below its thread's start as the workload's requests are when the
//       tracker captures them, so the walk sees the same stack.
//
// Both run three frames further below the thread's start, as a program's
// code would, so that a walk of 10 frames is cut off by its depth (its last
// frame is the thread library's start routine) rather than by the stack.
//
//   hook_bench --line-round-trip N
//       Two threads, on processors 0 and 1 where they may be placed, hand one
//       cache line back and forth N times: what moving a line between the
//       two processors costs right now. Every tracked request moves a few
//       lines between processors, so on a virtual machine whose host places
//       its processors near or far apart the 2-thread figures follow this.
//
//   hook_bench --smoke
//       All three modes with tiny counts, the first two on 1 and 2 threads.
//
// Output: one line per run, "key=value" fields. ns_per_step is the wall time
// divided by the steps of one thread (all threads run at once, so on 2
// threads it is how long one step takes while the other thread also works);
// cpu_ns_per_step is the same from each worker's own processor time,
// averaged over the workers.
// requests counts every malloc, free and realloc the timed steps made, over
// all threads; requests_per_step is per step of one thread.
//
// Every block is tagged when handed out and checked before it is freed or
// resized. Exit status: 0 when no block came back altered, no request failed
// and every backtrace found a frame; 1 otherwise; 2 on a bad command line.
#include <execinfo.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_args.h"
#include "bench_random.h"

#define NOINLINE __attribute__((noinline))

namespace {

// ---------------------------------------------------------------- randomness

using bench::Rng;
using bench::splitmix64;

double clock_seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double now_seconds() { return clock_seconds(CLOCK_MONOTONIC); }

// This thread's own processor time: less disturbed than the wall time by
// other load on the machine, but blind to time spent blocked and to work
// handed to other threads.
double thread_seconds() { return clock_seconds(CLOCK_THREAD_CPUTIME_ID); }

// ---------------------------------------------------------------- call sites

struct Slot {
    unsigned char *p;
    uint32_t size;
    uint8_t tag;
};

// Tag bytes: the first, the last and one in the middle.
void touch(unsigned char *p, uint32_t n, uint8_t tag) {
    p[0] = tag;
    p[n / 2] = tag;
    p[n - 1] = tag;
}

bool intact(const unsigned char *p, uint32_t n, uint8_t tag) {
    return p[0] == tag && p[n / 2] == tag && p[n - 1] == tag;
}

// One function per kind of object, as a program's constructors would be. The
// asm keeps each a frame of its own that the compiler cannot merge or fold.
NOINLINE unsigned char *new_node(uint32_t n) {
    void *p = malloc(n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
NOINLINE unsigned char *new_string(uint32_t n) {
    void *p = malloc(n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
NOINLINE unsigned char *new_record(uint32_t n) {
    void *p = malloc(n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
NOINLINE unsigned char *new_buffer(uint32_t n) {
    void *p = malloc(n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
NOINLINE unsigned char *new_table(uint32_t n) {
    void *p = malloc(n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
// A container's growth: a second frame between the step and the request.
NOINLINE unsigned char *grow_storage(unsigned char *old, uint32_t n) {
    void *p = realloc(old, n);
    asm volatile("" ::: "memory");
    return static_cast<unsigned char *>(p);
}
NOINLINE unsigned char *append_items(unsigned char *old, uint32_t n) {
    unsigned char *p = grow_storage(old, n);
    asm volatile("" ::: "memory");
    return p;
}
NOINLINE void drop_object(unsigned char *p) {
    free(p);
    asm volatile("" ::: "memory");
}
NOINLINE void drop_buffer(unsigned char *p) {
    free(p);
    asm volatile("" ::: "memory");
}
NOINLINE unsigned char *parse_field(uint32_t n) {
    unsigned char *p = new_string(n);
    asm volatile("" ::: "memory");
    return p;
}

// Sizes: 90% 16-512 bytes (small ones most often), 9.9% 1-8 KiB, 0.1% 64 KiB.
// Each size class has its own call sites.
unsigned char *allocate(Rng &r, uint32_t &n) {
    uint32_t c = r.below(1000);
    if (c == 0) {
        n = 64 * 1024;
        return new_table(n);
    }
    if (c < 100) {
        n = 1024 + r.below(7 * 1024 + 1);
        return new_buffer(n);
    }
    if (c < 550) {
        n = 16 + r.below(49); // 16-64
        return (c & 1) ? new_node(n) : parse_field(n);
    }
    if (c < 850) {
        n = 65 + r.below(192); // 65-256
        return (c & 1) ? new_record(n) : new_string(n);
    }
    n = 257 + r.below(256); // 257-512
    return new_record(n);
}

// A resize: mostly growth by half, sometimes a shrink, never past 64 KiB.
uint32_t resized(Rng &r, uint32_t old) {
    uint32_t n = r.below(4) != 0 ? old + old / 2 + 1 : old / 2;
    if (n < 16)
        n = 16;
    if (n > 64 * 1024)
        n = 16 + r.below(49);
    return n;
}

struct Result {
    unsigned long requests = 0;
    unsigned long corrupt = 0;
    unsigned long failed = 0;
    double end = 0; // when the timed steps finished
    double cpu = 0; // processor time the timed steps took on their thread
};

NOINLINE void run_steps(uint64_t seed, unsigned long steps, std::vector<Slot> &table, Result &out) {
    double cpu_start = thread_seconds();
    Rng r(seed);
    unsigned long requests = 0;
    for (unsigned long i = 0; i < steps; ++i) {
        Slot &s = table[r.below(uint32_t(table.size()))];
        uint8_t tag = uint8_t(i) | 1;
        if (s.p != nullptr && r.below(16) == 0) {
            if (!intact(s.p, s.size, s.tag))
                ++out.corrupt;
            uint32_t n = resized(r, s.size);
            unsigned char *q = append_items(s.p, n);
            ++requests;
            if (q == nullptr) {
                ++out.failed; // the old block is still ours
                continue;
            }
            if (q[0] != s.tag)
                ++out.corrupt;
            s.p = q;
            s.size = n;
            s.tag = tag;
            touch(q, n, tag);
            continue;
        }
        if (s.p != nullptr) {
            if (!intact(s.p, s.size, s.tag))
                ++out.corrupt;
            if (s.size >= 1024)
                drop_buffer(s.p);
            else
                drop_object(s.p);
            ++requests;
            s.p = nullptr;
        }
        uint32_t n = 0;
        unsigned char *q = allocate(r, n);
        ++requests;
        if (q == nullptr) {
            ++out.failed;
            continue;
        }
        s.p = q;
        s.size = n;
        s.tag = tag;
        touch(q, n, tag);
    }
    out.end = now_seconds();
    out.cpu = thread_seconds() - cpu_start;
    out.requests = requests;
}

// ------------------------------------------------------------ backtrace loop

// The frames a tracked request has below its thread's start when the stack
// is captured: the step loop, the call site, the entry point, the hook and
// the capture routine. Each of these stands for one of them.
NOINLINE int capture(void **buf, int depth) {
    int got = backtrace(buf, depth);
    asm volatile("" ::: "memory");
    return got;
}
NOINLINE int fake_hook(void **buf, int depth) {
    int got = capture(buf, depth);
    asm volatile("" ::: "memory");
    return got;
}
NOINLINE int fake_entry(void **buf, int depth) {
    int got = fake_hook(buf, depth);
    asm volatile("" ::: "memory");
    return got;
}
NOINLINE int fake_site(void **buf, int depth) {
    int got = fake_entry(buf, depth);
    asm volatile("" ::: "memory");
    return got;
}

NOINLINE void run_backtraces(int depth, unsigned long calls, Result &out) {
    std::vector<void *> buf(size_t(depth) + 1);
    double cpu_start = thread_seconds();
    for (unsigned long i = 0; i < calls; ++i)
        if (fake_site(buf.data(), depth) <= 0)
            ++out.failed;
    out.end = now_seconds();
    out.cpu = thread_seconds() - cpu_start;
    out.requests = calls;
}

// ---------------------------------------------------------------- the runs

struct Job {
    bool backtraces;
    int depth;
    unsigned long count;
    uint64_t seed;
    unsigned slots;
};

struct Worker {
    const Job *job;
    unsigned index;
    pthread_barrier_t *start;
    std::vector<Slot> table; // made before the start, freed after the timing
    Result result;
};

// Frames a program's code keeps between its thread's start and its work.
const int kOuterFrames = 3;

void work(Worker &w);

// The asm after the call keeps it from becoming a jump that drops the frame.
NOINLINE void nest(int levels, Worker &w) {
    if (levels > 0)
        nest(levels - 1, w);
    else
        work(w);
    asm volatile("" ::: "memory");
}

void *worker_main(void *arg) {
    Worker &w = *static_cast<Worker *>(arg);
    pthread_barrier_wait(w.start);
    nest(kOuterFrames - 1, w);
    return nullptr;
}

void work(Worker &w) {
    if (w.job->backtraces) {
        run_backtraces(w.job->depth, w.job->count, w.result);
    } else {
        uint64_t s = w.job->seed + w.index;
        run_steps(splitmix64(s), w.job->count, w.table, w.result);
        for (Slot &slot : w.table) { // untimed: leave nothing behind
            if (slot.p == nullptr)
                continue;
            if (!intact(slot.p, slot.size, slot.tag))
                ++w.result.corrupt;
            free(slot.p);
            slot.p = nullptr;
        }
    }
}

// Runs one job on `threads` threads released together; 0 when it went clean.
int run(const Job &job, unsigned threads) {
    std::vector<Worker> workers(threads);
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, threads + 1);
    std::vector<pthread_t> ids(threads);
    for (unsigned t = 0; t < threads; ++t) {
        workers[t].job = &job;
        workers[t].index = t;
        workers[t].start = &start;
        if (!job.backtraces)
            workers[t].table.assign(job.slots, Slot{nullptr, 0, 0});
        if (pthread_create(&ids[t], nullptr, worker_main, &workers[t]) != 0) {
            fprintf(stderr, "hook_bench: cannot start thread %u\n", t);
            exit(1);
        }
    }
    double begin = now_seconds();
    pthread_barrier_wait(&start);
    for (unsigned t = 0; t < threads; ++t)
        pthread_join(ids[t], nullptr);
    pthread_barrier_destroy(&start);

    double end = begin;
    Result total;
    for (const Worker &w : workers) {
        end = w.result.end > end ? w.result.end : end;
        total.requests += w.result.requests;
        total.corrupt += w.result.corrupt;
        total.failed += w.result.failed;
        total.cpu += w.result.cpu;
    }
    double wall = end - begin;
    double ns_each = wall * 1e9 / double(job.count);
    double cpu_each = total.cpu * 1e9 / (double(job.count) * threads);
    if (job.backtraces) {
        printf("backtrace_loop threads=%u depth=%d calls=%lu wall_s=%.4f ns_per_call=%.1f cpu_ns_per_call=%.1f "
               "empty=%lu\n",
               threads, job.depth, job.count, wall, ns_each, cpu_each, total.failed);
        return total.failed != 0;
    }
    double per_step = double(total.requests) / (double(job.count) * threads);
    printf("hook_bench threads=%u steps=%lu wall_s=%.4f ns_per_step=%.1f cpu_ns_per_step=%.1f requests=%lu "
           "requests_per_step=%.4f corrupt=%lu failed=%lu\n",
           threads, job.count, wall, ns_each, cpu_each, total.requests, per_step, total.corrupt, total.failed);
    return total.corrupt != 0 || total.failed != 0;
}

// ------------------------------------------------------ line round trips

struct alignas(64) Line {
    volatile int turn;
};

void pin_to(unsigned processor) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(processor, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set); // where it may not, the two still run apart
}

struct Bounce {
    Line *line;
    unsigned long count;
};

void *bounce_back(void *arg) {
    Bounce &b = *static_cast<Bounce *>(arg);
    pin_to(1);
    for (unsigned long i = 0; i < b.count; ++i) {
        while (__atomic_load_n(&b.line->turn, __ATOMIC_ACQUIRE) != 1) {
        }
        __atomic_store_n(&b.line->turn, 0, __ATOMIC_RELEASE);
    }
    return nullptr;
}

// 0 when both threads ran.
int line_round_trip(unsigned long count) {
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2) { // the two would only take turns on one processor
        printf("line_round_trip skipped: one processor\n");
        return 0;
    }
    Line line{0};
    Bounce b{&line, count};
    pthread_t other;
    if (pthread_create(&other, nullptr, bounce_back, &b) != 0) {
        fprintf(stderr, "hook_bench: cannot start thread\n");
        return 1;
    }
    pin_to(0);
    double begin = now_seconds();
    for (unsigned long i = 0; i < count; ++i) {
        __atomic_store_n(&line.turn, 1, __ATOMIC_RELEASE);
        while (__atomic_load_n(&line.turn, __ATOMIC_ACQUIRE) != 0) {
        }
    }
    double wall = now_seconds() - begin;
    pthread_join(other, nullptr);
    printf("line_round_trip round_trips=%lu ns_per_round_trip=%.1f\n", count, wall * 1e9 / double(count));
    return 0;
}

using bench::parse_count;

int usage() {
    fprintf(stderr, "usage: hook_bench [--slots K] [--seed S] THREADS STEPS\n"
                    "       hook_bench --backtrace-loop DEPTH N [THREADS]\n"
                    "       hook_bench --line-round-trip N\n"
                    "       hook_bench --smoke\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The first backtrace loads its unwinder: not part of what is timed.
    void *warm_up[1];
    backtrace(warm_up, 1);
    Job job{false, 0, 0, 0x5157a11c0ffee123ull, 4096};
    std::vector<const char *> positional;
    bool smoke = false;
    unsigned long round_trips = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        unsigned long v = 0;
        if (a == "--smoke") {
            smoke = true;
        } else if (a == "--line-round-trip") {
            if (!parse_count(i + 1 < argc ? argv[i + 1] : nullptr, 1, ~0ul, round_trips))
                return usage();
            ++i;
        } else if (a == "--backtrace-loop") {
            if (!parse_count(i + 1 < argc ? argv[i + 1] : nullptr, 1, 256, v))
                return usage();
            job.backtraces = true;
            job.depth = int(v);
            ++i;
        } else if (a == "--slots") {
            if (!parse_count(i + 1 < argc ? argv[i + 1] : nullptr, 1, 1ul << 22, v))
                return usage();
            job.slots = unsigned(v);
            ++i;
        } else if (a == "--seed") {
            if (!parse_count(i + 1 < argc ? argv[i + 1] : nullptr, 0, ~0ul, v))
                return usage();
            job.seed = v;
            ++i;
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            positional.push_back(argv[i]);
        }
    }

    if (round_trips > 0) {
        if (smoke || job.backtraces || !positional.empty())
            return usage();
        return line_round_trip(round_trips);
    }
    if (smoke) {
        if (job.backtraces || !positional.empty())
            return usage();
        int bad = 0;
        for (unsigned threads = 1; threads <= 2; ++threads) {
            Job steps = job;
            steps.count = 5000;
            bad |= run(steps, threads);
            Job loop{true, 10, 200, 0, 0};
            bad |= run(loop, threads);
        }
        bad |= line_round_trip(1000);
        return bad;
    }

    unsigned long threads = 1;
    if (job.backtraces) {
        // DEPTH came with the flag: N, then THREADS if given.
        if (positional.empty() || positional.size() > 2 || !parse_count(positional[0], 1, ~0ul, job.count) ||
            (positional.size() == 2 && !parse_count(positional[1], 1, 64, threads)))
            return usage();
    } else {
        if (positional.size() != 2 || !parse_count(positional[0], 1, 64, threads) ||
            !parse_count(positional[1], 1, ~0ul, job.count))
            return usage();
    }
    return run(job, unsigned(threads));
}
