// capture_bench: what one stack capture costs, by each way the library can
// take one, at the depth the tracker asks of it (7 kept + 3 skipped = 10
// frames), from below a call chain deeper than that.
//
//   capture_bench [--reps R] [--methods LIST] CALLS
//       On 1 and then 2 threads, R times (default 5), each method in turn:
//       every thread takes CALLS captures in a loop, all threads at once.
//       Methods (LIST is comma-separated; default all):
//         backtrace       the C library's backtrace(buf, 10)
//         quarrow         quarrow_backtrace(buf, 10)
//         fast            quarrow_fast_unwind(buf, 10), which must never
//                         hand over (-1)
//         walk-fast       walk_stack(7, 3) + free_stack, capture method
//         walk-backtrace  chosen with configure_stack_capture("fast"),
//         walk-check      "backtrace" or "check" before the run
//
//   capture_bench --smoke
//       Every method once, briefly, on 1 and 2 threads.
//
// The chain: 16 distinct functions, compiled without frame pointers, of
// different frame sizes; every fourth keeps a variable-length array, so its
// frame is found through the frame pointer rather than the stack pointer.
// Below it, one function runs the loop and calls the capture through one
// more frame.
//
// Before timing, each thread checks that its method gives exactly the frames
// the C library's backtrace gives from the same call site (walk_stack: the 7
// after the 3 it skips). In check mode the library's own counts must show
// every capture compared and none mismatched.
//
// Output: one "capture_bench" line per run; then per thread count and
// method the medians ("capture_median"), and the ratio of each method to
// backtrace's median on that thread count ("capture_ratio"). ns_per_call is
// each thread's wall time over its calls, averaged over the threads;
// cpu_ns_per_call the same from each thread's own processor time.
//
// Exit status: 0 when every check passed, 1 otherwise, 2 on a bad command
// line.
#include <alloca.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_args.h"
#include "stack_walk/stack_walk.h"

#define NOINLINE __attribute__((noinline))

namespace {

const int kDepth = 7;     // what the tracker keeps
const unsigned kSkip = 3; // what it drops: its own frames
const int kFrames = kDepth + kSkip;
const int kChainLevels = 16;
const unsigned long kWarmUpCalls = 200;

double clock_seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// ---------------------------------------------------------------- methods

typedef int (*capture_fn)(void **buf, int size);

// walk_stack's frames land in buf; the size is implied (kDepth, kSkip).
NOINLINE int by_walk_stack(void **buf, int) {
    call_stack *s = walk_stack(kDepth, kSkip);
    if (s == nullptr)
        return -2;
    int n = int(s->frame_count);
    if (n > 0)
        memcpy(buf, s->return_addresses, size_t(n) * sizeof(void *));
    free_stack(s);
    asm volatile("" ::: "memory");
    return n;
}

struct Method {
    const char *name;
    capture_fn fn;
    const char *unwinder; // walk_stack's setting; null for the direct calls
};

const Method kMethods[] = {
    {"backtrace", backtrace, nullptr},
    {"quarrow", quarrow_backtrace, nullptr},
    {"fast", quarrow_fast_unwind, nullptr},
    {"walk-fast", by_walk_stack, "fast"},
    {"walk-backtrace", by_walk_stack, "backtrace"},
    {"walk-check", by_walk_stack, "check"},
};

// The one frame between the loop and the method: the asm keeps the call a
// call, so each method's frames are counted from here alike. noclone: a copy
// specialised for one method would return to an address of its own.
NOINLINE __attribute__((noclone)) int capture(capture_fn fn, void **buf) {
    int n = fn(buf, kFrames);
    asm volatile("" ::: "memory");
    return n;
}

// ---------------------------------------------------------------- one run

struct Result {
    double wall = 0, cpu = 0;
    unsigned long failures = 0; // wrong frames, hand-overs, empty captures
    std::string first_failure;
};

struct Worker {
    const Method *method;
    unsigned long calls;
    pthread_barrier_t *start;
    Result result;
};

void fail(Result &r, const std::string &why) {
    if (r.failures++ == 0)
        r.first_failure = why;
}

std::string frames_text(void **f, int n) {
    std::string text;
    char one[24];
    for (int i = 0; i < n; ++i) {
        snprintf(one, sizeof one, " %p", f[i]);
        text += one;
    }
    return text;
}

// The method's frames against backtrace's, both taken through the same
// call of capture(). walk_stack starts 3 entries further in: its own frame,
// by_walk_stack's and capture's; so its frame k is backtrace's entry k + 1.
void verify(Worker &w) {
    void *want[kFrames + 1], *got[kFrames + 1];
    capture_fn fns[2] = {backtrace, w.method->fn};
    void **bufs[2] = {want, got};
    int n[2];
    // One call instruction for both: the asm keeps the loop from being
    // unrolled or peeled.
    for (int i = 0; i < 2; ++i) {
        asm volatile("" : "+r"(i));
        n[i] = capture(fns[i], bufs[i]);
    }
    if (n[0] != kFrames) {
        fail(w.result, "backtrace gave " + std::to_string(n[0]) + " frames, not " + std::to_string(kFrames));
        return;
    }
    const bool walk = w.method->unwinder != nullptr;
    void **expected = walk ? want + 1 : want;
    int expected_count = walk ? kDepth : kFrames;
    if (n[1] != expected_count || memcmp(got, expected, size_t(expected_count) * sizeof(void *)) != 0)
        fail(w.result, std::string(w.method->name) + " gave" + frames_text(got, n[1] > 0 ? n[1] : 0) + "; expected" +
                           frames_text(expected, expected_count));
}

NOINLINE void run_loop(Worker &w) {
    verify(w);
    void *buf[kFrames + 1];
    capture_fn fn = w.method->fn;
    for (unsigned long i = 0; i < kWarmUpCalls; ++i)
        capture(fn, buf);
    pthread_barrier_wait(w.start);
    double cpu_start = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
    double start = clock_seconds(CLOCK_MONOTONIC);
    unsigned long bad = 0;
    for (unsigned long i = 0; i < w.calls; ++i)
        bad += capture(fn, buf) <= 0; // fast's -1 included
    w.result.wall = clock_seconds(CLOCK_MONOTONIC) - start;
    w.result.cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu_start;
    if (bad != 0)
        fail(w.result, std::to_string(bad) + " timed captures gave no frames or handed over");
}

// The chain: level N calls level N - 1; level 0 runs the loop. Each level
// has its own code and return addresses and a frame size of its own; the
// asm after each call keeps it from becoming a jump.
template <int N> NOINLINE void chain(Worker &w) {
    volatile char pad[4 * N + 4];
    pad[0] = char(N);
    if (N % 4 == 3) {
        // A variable-length block: the compiler keeps this frame through the frame pointer.
        char *extra = static_cast<char *>(alloca(16 + (w.calls & 7)));
        extra[0] = pad[0];
        asm volatile("" ::"r"(extra) : "memory");
    }
    chain<N - 1>(w);
    asm volatile("" ::"r"(&pad[0]) : "memory");
}
template <> NOINLINE void chain<0>(Worker &w) {
    run_loop(w);
    asm volatile("" ::: "memory");
}

void *worker_main(void *arg) {
    chain<kChainLevels - 1>(*static_cast<Worker *>(arg));
    return nullptr;
}

// Runs one method on `threads` threads; false when a check failed.
bool run(const Method &m, unsigned threads, unsigned long calls, Result &mean) {
    if (m.unwinder != nullptr && configure_stack_capture(m.unwinder) != 0) {
        fprintf(stderr, "capture_bench: configure_stack_capture(\"%s\") failed\n", m.unwinder);
        return false;
    }
    quarrow_unwinder_counts before{}, after{};
    quarrow_get_unwinder_counts(&before);

    std::vector<Worker> workers(threads);
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, threads);
    std::vector<pthread_t> ids(threads);
    for (unsigned t = 0; t < threads; ++t) {
        workers[t].method = &m;
        workers[t].calls = calls;
        workers[t].start = &start;
        if (pthread_create(&ids[t], nullptr, worker_main, &workers[t]) != 0) {
            fprintf(stderr, "capture_bench: cannot start thread %u\n", t);
            exit(1);
        }
    }
    for (unsigned t = 0; t < threads; ++t)
        pthread_join(ids[t], nullptr);
    pthread_barrier_destroy(&start);
    quarrow_get_unwinder_counts(&after);

    bool ok = true;
    mean = Result();
    for (const Worker &w : workers) {
        mean.wall += w.result.wall / threads;
        mean.cpu += w.result.cpu / threads;
        if (w.result.failures != 0) {
            fprintf(stderr, "capture_bench: %s on %u thread(s): %s\n", m.name, threads, w.result.first_failure.c_str());
            ok = false;
        }
    }
    if (m.unwinder != nullptr && strcmp(m.unwinder, "check") == 0) {
        // Every walk_stack call of the run compared: the verification's, the
        // warm-up's and the timed ones.
        uint32_t compared = after.captures - before.captures, mismatched = after.mismatches - before.mismatches;
        unsigned long wanted = (1 + kWarmUpCalls + calls) * threads;
        if (compared != wanted || mismatched != 0) {
            fprintf(stderr, "capture_bench: check mode compared %u captures (wanted %lu), %u mismatched\n", compared,
                    wanted, mismatched);
            ok = false;
        }
    }
    return ok;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[(v.size() - 1) / 2];
}

using bench::parse_count;

int usage() {
    fprintf(stderr, "usage: capture_bench [--reps R] [--methods LIST] CALLS\n"
                    "       capture_bench --smoke\n"
                    "LIST: comma-separated, of backtrace quarrow fast walk-fast walk-backtrace walk-check\n");
    return 2;
}

bool pick_methods(const std::string &list, std::vector<const Method *> &out) {
    out.clear();
    size_t at = 0;
    while (at <= list.size()) {
        size_t comma = list.find(',', at);
        std::string name = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const Method *found = nullptr;
        for (const Method &m : kMethods)
            if (name == m.name)
                found = &m;
        if (found == nullptr)
            return false;
        out.push_back(found);
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return !out.empty();
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The first backtrace loads its unwinder: not part of what is timed.
    void *warm_up[1];
    backtrace(warm_up, 1);

    unsigned long reps = 5, calls = 0;
    bool smoke = false;
    std::vector<const Method *> methods;
    for (const Method &m : kMethods)
        methods.push_back(&m);
    std::vector<const char *> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--smoke") {
            smoke = true;
        } else if (a == "--reps") {
            if (!parse_count(i + 1 < argc ? argv[i + 1] : nullptr, 1, 1000, reps))
                return usage();
            ++i;
        } else if (a == "--methods") {
            if (i + 1 >= argc || !pick_methods(argv[i + 1], methods))
                return usage();
            ++i;
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (smoke) {
        if (!positional.empty())
            return usage();
        reps = 1;
        calls = 500;
    } else if (positional.size() != 1 || !parse_count(positional[0], 1, ~0ul, calls)) {
        return usage();
    }

    bool ok = true;
    const unsigned thread_counts[] = {1, 2};
    // [threads][method] -> one figure per repetition
    std::vector<std::vector<std::vector<double>>> ns(2), cpu(2);
    for (unsigned ti = 0; ti < 2; ++ti) {
        unsigned threads = thread_counts[ti];
        ns[ti].assign(methods.size(), {});
        cpu[ti].assign(methods.size(), {});
        for (unsigned long rep = 0; rep < reps; ++rep) {
            for (size_t mi = 0; mi < methods.size(); ++mi) {
                Result r;
                ok &= run(*methods[mi], threads, calls, r);
                double ns_each = r.wall * 1e9 / double(calls), cpu_each = r.cpu * 1e9 / double(calls);
                ns[ti][mi].push_back(ns_each);
                cpu[ti][mi].push_back(cpu_each);
                printf("capture_bench threads=%u method=%s rep=%lu calls=%lu frames=%d ns_per_call=%.1f "
                       "cpu_ns_per_call=%.1f\n",
                       threads, methods[mi]->name, rep, calls, kFrames, ns_each, cpu_each);
            }
        }
    }

    for (unsigned ti = 0; ti < 2; ++ti) {
        double base_ns = 0, base_cpu = 0;
        for (size_t mi = 0; mi < methods.size(); ++mi)
            if (methods[mi]->fn == backtrace) {
                base_ns = median(ns[ti][mi]);
                base_cpu = median(cpu[ti][mi]);
            }
        for (size_t mi = 0; mi < methods.size(); ++mi) {
            double m_ns = median(ns[ti][mi]), m_cpu = median(cpu[ti][mi]);
            printf("capture_median threads=%u method=%s reps=%lu ns_per_call=%.1f cpu_ns_per_call=%.1f",
                   thread_counts[ti], methods[mi]->name, reps, m_ns, m_cpu);
            if (base_ns > 0)
                printf(" ratio_to_backtrace=%.3f cpu_ratio_to_backtrace=%.3f", m_ns / base_ns, m_cpu / base_cpu);
            printf("\n");
        }
    }
    printf("capture_bench %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
