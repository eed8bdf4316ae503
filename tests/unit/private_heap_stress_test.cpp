/*
 * Randomized differential stress test of the private heap.
 *
 * Long random sequences of dl allocation calls run against a simple model that
 * keeps every live block (address, requested and usable size, fill byte). Each
 * block holds its own byte over its whole usable size, so a heap that writes
 * into a live block, hands out overlapping blocks or loses realloc contents is
 * caught at the next look; dlmallinfo is checked against the footprint and the
 * model, and the heap's own walker (private_heap_check) runs now and then. One
 * test runs one thread, the other four, each with its own model, with a queue
 * that hands blocks from thread to thread. QUARROW_STRESS_SEED (default
 * random), QUARROW_STRESS_OPS (per thread) and QUARROW_STRESS_SECONDS bound a
 * run; every failure names the seed (thread t's model uses seed + t), the
 * thread and the op index. One thread replays from its seed; four do not, as
 * their interleaving differs from run to run. Each runs twice: with the dl
 * functions alone, and with malloc and free through the per-thread caches as
 * the hooks make them (the other calls go to the heap, as theirs do).
 */
#include <errno.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "heap_sizes.h"
#include "private_heap/private_heap.h"

namespace {

using namespace heap_sizes;

const size_t kMaxLive = 3000;           // live blocks per model before frees dominate
const size_t kMaxLiveBytes = 24u << 20; // live usable bytes per model, likewise
const uint64_t kSweepEvery = 1000, kStatsEvery = 250, kWalkEvery = 500;

struct Config {
    uint64_t seed, ops;
    double seconds;
};

Config read_config(uint64_t default_ops, double default_seconds) {
    Config c{std::random_device{}(), default_ops, default_seconds};
    if (const char *s = getenv("QUARROW_STRESS_SEED"))
        c.seed = strtoull(s, nullptr, 0);
    if (const char *s = getenv("QUARROW_STRESS_OPS"))
        c.ops = strtoull(s, nullptr, 0);
    if (const char *s = getenv("QUARROW_STRESS_SECONDS"))
        c.seconds = strtod(s, nullptr);
    return c;
}

// Set by the first failure in any thread: every model stops, and nobody
// touches a heap that may be broken.
std::atomic<bool> g_stop{false};

// qemu-user 7.2 (it runs these tests where the kernel cannot run 32-bit code)
// also unmaps the pages past a mapping that mremap shrinks in place. There the
// model never shrinks a mapped block, lest the emulator's fault pass for the heap's.
bool mremap_shrink_is_sound() {
    size_t page = sysconf(_SC_PAGESIZE);
    char *a = (char *)mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    int fds[2];
    if (a == MAP_FAILED || pipe(fds) != 0)
        return true;
    bool sound = mremap(a, 2 * page, page, 0) != a ||
                 write(fds[1], a + 2 * page, 1) == 1; // the next mapping, read without a fault
    close(fds[0]), close(fds[1]);
    munmap(a, 4 * page);
    return sound;
}
bool g_shrink_mapped = true; // set by each test

// Whether malloc and free go through the per-thread caches, as the hooks'.
bool g_cached = false;
void *heap_malloc(size_t n) { return g_cached ? thread_cache_malloc(n) : dlmalloc(n); }
void heap_free(void *p) { g_cached ? thread_cache_free(p) : dlfree(p); }

// What dlmemalign promises: the heap's own alignment up to it, else at
// least the smallest chunk and a power of two (on i386: 8 up to 8, else 16 up).
size_t effective_alignment(size_t a) {
    size_t e = kMinChunk;
    while (e < a)
        e <<= 1;
    return a <= kAlign ? kAlign : e;
}

// Whether every byte of [p, p+n) is c; *bad gets the first offending offset.
bool all_bytes(const unsigned char *p, size_t n, unsigned char c, size_t *bad) {
    if (n == 0)
        return true;
    if (p[0] != c)
        return *bad = 0, false;
    if (memcmp(p, p + 1, n - 1) == 0)
        return true; // every byte equals p[0]
    for (size_t i = 1; i < n; ++i)
        if (p[i] != c)
            return *bad = i, false;
    return true;
}

struct Block {
    unsigned char *p;
    size_t req;    // requested size
    size_t usable; // dlmalloc_usable_size when allocated; all of it holds `fill`
    unsigned char fill;
    bool big; // may be a chunk mapped on its own: looser usable-size bound
};

// Blocks in transit between threads; no model owns them meanwhile.
struct Handoff {
    std::mutex mutex;
    std::deque<Block> queue;
};

// On failure: report, stop every model, and return false from the caller.
#define HCHECK(cond, ...)                                                                                              \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            return fail(__LINE__, #cond, __VA_ARGS__);                                                                 \
    } while (0)

class Model {
public:
    Model(uint64_t seed, int thread, Handoff *handoff) : seed_(seed), thread_(thread), handoff_(handoff), rng_(seed) {}

    uint64_t ops_done() const { return done_; }

    // Runs up to `ops` random operations or `seconds`, whichever ends first.
    void run(uint64_t ops, double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
        for (op_ = 0; op_ < ops && !g_stop.load(std::memory_order_relaxed); done_ = ++op_) {
            if ((op_ & 63) == 0 && std::chrono::steady_clock::now() >= deadline)
                break;
            if (!step())
                return;
            if (op_ % kSweepEvery == kSweepEvery - 1 && !sweep())
                return;
            if (op_ % kStatsEvery == 0 && !check_stats())
                return;
            if (op_ % kWalkEvery == kWalkEvery - 1 && !walk())
                return;
        }
    }

    // Verifies and frees every live block, in random order.
    bool free_all() {
        std::shuffle(live_.begin(), live_.end(), rng_);
        if (!sweep())
            return false;
        for (const Block &b : live_)
            heap_free(b.p);
        live_.clear(), index_.clear(), live_bytes_ = 0;
        return walk();
    }

    bool verify(const Block &b) {
        size_t bad = 0;
        HCHECK(all_bytes(b.p, b.usable, b.fill, &bad), "block %p (req %zu, usable %zu): byte %zu is 0x%02x, not 0x%02x",
               (void *)b.p, b.req, b.usable, bad, b.p[bad], b.fill);
        return true;
    }

private:
    bool fail(int line, const char *cond, const char *fmt, ...) __attribute__((format(printf, 4, 5))) {
        char detail[512], msg[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(detail, sizeof detail, fmt, ap);
        va_end(ap);
        snprintf(msg, sizeof msg, "seed=%llu thread=%d op=%llu (%s), line %d: %s: %s [live blocks %zu]",
                 (unsigned long long)seed_, thread_, (unsigned long long)op_, name_, line, cond, detail, live_.size());
        fprintf(stderr, "STRESS FAILURE: %s\n", msg); // in case a crash follows
        ADD_FAILURE() << msg;
        g_stop = true;
        return false;
    }

    uint32_t rnd(uint32_t n) { return uint32_t(rng_() % n); }

    size_t pick_size() {
        // The size rules' edges: the smallest chunk, the last small request,
        // the smallest tree chunk, the caches' exact classes and the mapping
        // threshold (on i386: 10 to 13, 243 to 245, 252 and 253, 0x3fff4 and 0x3fff5).
        // clang-format off
        static const size_t edge[] = {
            0, 1, kMinUsable - 2, kMinUsable - 1, kMinUsable, kMinUsable + 1, 20,
            kMaxSmallRequest - 1, kMaxSmallRequest, kMaxSmallRequest + 1,
            kSmallLimit - kAlign, kSmallLimit - kOverhead, kSmallLimit - kOverhead + 1, kSmallLimit,
            512 - kOverhead, 512 - kOverhead + 1, kPage - 3 * kOverhead, kPage,
            kMaxUnmappedRequest - 4, kMaxUnmappedRequest, kMaxUnmappedRequest + 1, kMapThreshold - 8};
        // clang-format on
        uint32_t r = rnd(1000);
        if (r < 550)
            return rnd(65);
        if (r < 850)
            return rnd(513);
        if (r < 950)
            return 512 + rnd(7681);
        if (r < 985)
            return 8192 + rnd(57345);
        if (r < 995)
            return edge[rnd(sizeof edge / sizeof edge[0])];
        return kMapThreshold + rnd(0xc0000); // 256 KiB .. 1 MiB: mapped on their own
    }

    // What a cached malloc may add to a chunk: a quarter at most, by the
    // rounded classes' rounding or a block borrowed from a larger class.
    static size_t rounding(size_t req) {
        size_t chunk = chunk_size_for(req);
        return g_cached && chunk <= 10240 ? chunk / 4 : 0;
    }

    static bool may_be_mapped(size_t req, size_t align) {
        return req + effective_alignment(align) + 4 * kMinChunk >= kMapThreshold;
    }

    // Checks a fresh block and enters it into the model with a new fill byte.
    bool add(void *mem, size_t req, size_t align, bool big, bool zeroed) {
        unsigned char *p = static_cast<unsigned char *>(mem);
        uintptr_t a = uintptr_t(p);
        size_t al = effective_alignment(align);
        HCHECK(p != nullptr, "request of %zu bytes (alignment %zu) failed", req, align);
        HCHECK(a % al == 0, "%p not aligned to %zu", mem, al);
        size_t usable = dlmalloc_usable_size(p);
        HCHECK(usable >= req, "%p: usable %zu < requested %zu", mem, usable, req);
        if (big)
            HCHECK(usable <= req + 4 * 4096 + al + 64, "%p: usable %zu for %zu bytes", mem, usable, req);
        else // a heap chunk keeps a surplus of at most the smallest chunk, less one word of
             // overhead; through the caches, chunks up to 10 KiB may be a quarter larger
            HCHECK(usable <= chunk_size_for(req) + rounding(req) + kMinChunk - kOverhead &&
                       usable % kAlign == kAlign - kOverhead,
                   "%p: heap block of %zu bytes has usable size %zu", mem, req, usable);
        auto next = index_.lower_bound(a);
        if (next != index_.end())
            HCHECK(a + usable <= next->first, "%p+%zu overlaps live block at %p", mem, usable, (void *)next->first);
        if (next != index_.begin()) {
            const Block &q = live_[std::prev(next)->second];
            HCHECK(uintptr_t(q.p) + q.usable <= a, "%p overlaps live block %p+%zu", mem, (void *)q.p, q.usable);
        }
        size_t bad = 0;
        if (zeroed)
            HCHECK(all_bytes(p, req, 0, &bad), "calloc %p of %zu bytes: 0x%02x at %zu", mem, req, p[bad], bad);
        unsigned char fill = static_cast<unsigned char>(1 + rnd(255));
        memset(p, fill, usable);
        index_[a] = live_.size();
        live_.push_back(Block{p, req, usable, fill, big});
        live_bytes_ += usable;
        return true;
    }

    Block take(size_t i) {
        Block b = live_[i];
        index_.erase(uintptr_t(b.p));
        if (i + 1 != live_.size()) {
            live_[i] = live_.back();
            index_[uintptr_t(live_[i].p)] = i;
        }
        live_.pop_back();
        live_bytes_ -= b.usable;
        return b;
    }

    bool step() {
        bool full = live_.size() > kMaxLive || live_bytes_ > kMaxLiveBytes;
        bool few = live_.size() < 16;
        uint32_t r = rnd(1000);
        if (full && r < 700)
            return r < 620 ? op_free() : op_bulk_free();
        if (r < 280 || (few && r >= 530 && r < 940))
            return op_malloc();
        if (r < 340)
            return op_calloc();
        if (r < 390)
            return op_memalign();
        if (r < 430)
            return op_posix_memalign();
        if (r < 580)
            return op_realloc();
        if (r < 610)
            return op_realloc_in_place();
        if (r < 900)
            return op_free();
        if (r < 940)
            return op_bulk_free();
        if (r < 945)
            return op_trim();
        if (r < 950)
            return handoff_ ? op_trim() : op_move_break();
        if (r < 975)
            return handoff_ ? op_handoff() : op_malloc();
        return handoff_ ? op_adopt() : op_free();
    }

    bool op_malloc() {
        name_ = "dlmalloc";
        size_t n = pick_size();
        return add(heap_malloc(n), n, 8, may_be_mapped(n, 8), false);
    }

    bool op_calloc() {
        name_ = "dlcalloc";
        size_t k = 1 + rnd(16), each = pick_size() / k;
        return add(dlcalloc(k, each), k * each, 8, may_be_mapped(k * each, 8), true);
    }

    bool op_memalign() {
        name_ = "dlmemalign";
        static const size_t aligns[] = {0, 4, 8, 16, 24, 32, 48, 64, 100, 128, 256, 512, 1000, 1024, 2048, 4096};
        size_t a = aligns[rnd(sizeof aligns / sizeof aligns[0])], n = pick_size();
        return add(dlmemalign(a, n), n, a, may_be_mapped(n, a), false);
    }

    bool op_posix_memalign() {
        name_ = "dlposix_memalign";
        static const size_t aligns[] = {8, 4, 16, 32, 64, 128, 256, 1024, 4096, 0, 2, 12, 24};
        size_t a = aligns[rnd(sizeof aligns / sizeof aligns[0])], n = pick_size();
        void *out = &out; // sentinel: a failing call must leave it
        int rc = dlposix_memalign(&out, a, n);
        size_t words = a / sizeof(void *);
        if (a != kAlign && (a % sizeof(void *) != 0 || words == 0 || (words & (words - 1)) != 0)) {
            HCHECK(rc == 22 && out == &out, "alignment %zu: rc %d, out %p", a, rc, out);
            return true;
        }
        HCHECK(rc == 0, "alignment %zu, %zu bytes: rc %d", a, n, rc);
        return add(out, n, a, may_be_mapped(n, a), false);
    }

    bool op_realloc() {
        name_ = "dlrealloc";
        uint32_t r = rnd(100);
        if (r < 8 || live_.empty()) {
            size_t n = pick_size();
            return add(dlrealloc(nullptr, n), n, 8, may_be_mapped(n, 8), false);
        }
        size_t i = rnd(live_.size());
        const Block old = live_[i];
        if (!verify(old))
            return false;
        size_t n = r < 18   ? 0                          // minimum block, not a free
                   : r < 45 ? old.req + 1 + rnd(64)      // top / dv / next-free growth
                   : r < 65 ? old.req - rnd(old.req + 1) // shrink
                            : pick_size();
        if (old.big && n < old.req && !g_shrink_mapped)
            n = rnd(2) ? rnd(256) : old.req + rnd(8192);
        void *p = dlrealloc(old.p, n);
        HCHECK(p != nullptr, "realloc of %p (req %zu) to %zu failed", (void *)old.p, old.req, n);
        // A heap chunk that is already big enough is always resized in place.
        HCHECK(old.big || n > old.req || p == old.p, "shrink of %p from %zu to %zu moved it to %p", (void *)old.p,
               old.req, n, p);
        take(i);
        size_t keep = std::min(old.usable, n), bad = 0;
        HCHECK(all_bytes(static_cast<unsigned char *>(p), keep, old.fill, &bad),
               "%p (req %zu) -> %p (req %zu): kept byte %zu of %zu lost", (void *)old.p, old.req, p, n, bad, keep);
        return add(p, n, 8, old.big || may_be_mapped(n, 8), false);
    }

    bool op_realloc_in_place() {
        name_ = "dlrealloc_in_place";
        if (live_.empty())
            return true;
        size_t i = rnd(live_.size());
        const Block old = live_[i];
        if (!verify(old))
            return false;
        size_t n = rnd(2) || (old.big && !g_shrink_mapped) ? old.req + rnd(256) : old.req - rnd(old.req + 1);
        void *p = dlrealloc_in_place(old.p, n);
        HCHECK(p == nullptr || p == old.p, "in-place resize of %p returned %p", (void *)old.p, p);
        HCHECK(p != nullptr || old.big || n > old.req, "in-place shrink of %p (%zu -> %zu) failed", (void *)old.p,
               old.req, n);
        if (p == nullptr)
            return verify(old); // unchanged
        take(i);
        size_t keep = std::min(old.usable, n), bad = 0;
        HCHECK(all_bytes(old.p, keep, old.fill, &bad), "%p (%zu -> %zu) lost byte %zu", (void *)old.p, old.req, n, bad);
        return add(p, n, 8, old.big || may_be_mapped(n, 8), false);
    }

    bool op_free() {
        name_ = "dlfree";
        if (live_.empty())
            return true;
        size_t i = rnd(live_.size());
        if (!verify(live_[i]))
            return false;
        heap_free(take(i).p);
        return true;
    }

    bool op_bulk_free() {
        name_ = "dlbulk_free";
        if (live_.empty())
            return true;
        size_t k = 1 + rnd(8);
        std::vector<uintptr_t> addrs;
        if (rnd(3) != 0) { // neighbours by address, so that adjacent chunks get merged
            auto it = index_.find(uintptr_t(live_[rnd(live_.size())].p));
            for (; it != index_.end() && addrs.size() < k; ++it)
                addrs.push_back(it->first);
        } else {
            for (size_t j = 0; j < k; ++j)
                addrs.push_back(uintptr_t(live_[rnd(live_.size())].p));
            std::sort(addrs.begin(), addrs.end());
            addrs.erase(std::unique(addrs.begin(), addrs.end()), addrs.end());
        }
        std::vector<void *> array;
        for (uintptr_t a : addrs) {
            if (!verify(live_[index_[a]]))
                return false;
            array.push_back(take(index_[a]).p);
        }
        if (rnd(4) == 0)
            array.insert(array.begin() + rnd(array.size() + 1), nullptr);
        if (rnd(4) == 0)
            std::shuffle(array.begin(), array.end(), rng_);
        size_t left = dlbulk_free(array.data(), array.size());
        HCHECK(left == 0, "dlbulk_free of %zu entries returned %zu", array.size(), left);
        for (void *e : array)
            HCHECK(e == nullptr, "entry %p not cleared", e);
        return true;
    }

    bool op_trim() {
        name_ = "dlmalloc_trim";
        size_t pad = rnd(2) ? 0 : rnd(1 << 20), before = dlmalloc_footprint();
        int rc = dlmalloc_trim(pad);
        size_t after = dlmalloc_footprint();
        HCHECK(rc == 0 || rc == 1, "pad %zu: result %d", pad, rc);
        if (!handoff_) // alone, the footprint moves only through this call
            HCHECK(rc == 1 ? after < before : after == before, "pad %zu: result %d, footprint %zu -> %zu", pad, rc,
                   before, after);
        return true;
    }

    // Another user of sbrk moves the break (alone: sbrk is not thread-safe), so
    // that the heap's next growth has to start a new segment.
    bool op_move_break() {
        name_ = "foreign sbrk";
        if (rnd(10) == 0)
            HCHECK(sbrk(4096 * (1 + rnd(4))) != (void *)-1, "errno %d", errno);
        return true;
    }

    bool op_handoff() {
        name_ = "handoff";
        if (live_.empty())
            return true;
        size_t i = rnd(live_.size());
        if (!verify(live_[i]))
            return false;
        std::lock_guard<std::mutex> lock(handoff_->mutex);
        if (handoff_->queue.size() < 256)
            handoff_->queue.push_back(take(i));
        return true;
    }

    // Takes a block some thread (maybe this one) queued: frees it, or adopts it.
    bool op_adopt() {
        name_ = "adopt";
        std::unique_lock<std::mutex> lock(handoff_->mutex);
        if (handoff_->queue.empty())
            return true;
        Block b = handoff_->queue.front();
        handoff_->queue.pop_front();
        lock.unlock();
        if (!verify(b))
            return false;
        if (rnd(2))
            return heap_free(b.p), true;
        HCHECK(dlmalloc_usable_size(b.p) == b.usable, "adopted %p: usable size changed", (void *)b.p);
        return add(b.p, b.req, 8, b.big, false); // refilled with a fill byte of this model
    }

    bool sweep() {
        name_ = "sweep";
        return std::all_of(live_.begin(), live_.end(), [this](const Block &b) { return verify(b); });
    }

    bool walk() {
        name_ = "private_heap_check";
        int faults = private_heap_check();
        HCHECK(faults == 0, "%d faults (described on standard error)", faults);
        return true;
    }

    bool check_stats() {
        name_ = "dlmallinfo";
        struct mallinfo mi = dlmallinfo();
        size_t max_fp = dlmalloc_max_footprint();
        size_t arena = mi.arena, hblkhd = mi.hblkhd, uord = mi.uordblks, ford = mi.fordblks;
        size_t held = uord + ford, usm = mi.usmblks; // held: the footprint at the walk
        HCHECK(arena + hblkhd == held, "arena %zu + hblkhd %zu != uordblks %zu + fordblks %zu", arena, hblkhd, uord,
               ford);
        HCHECK(usm >= held && max_fp >= usm, "usmblks %zu, max_footprint %zu, footprint %zu", usm, max_fp, held);
        // Before the first block the heap owns nothing and reports zeros; after it, the
        // free total always holds the top and the top foot.
        if (held == 0)
            HCHECK(mi.keepcost == 0 && mi.ordblks == 0, "empty heap: keepcost %d, ordblks %d", mi.keepcost, mi.ordblks);
        else
            HCHECK(size_t(mi.keepcost) + kTopFoot <= ford, "keepcost %d, fordblks %zu", mi.keepcost, ford);
        size_t live_usable = 0; // other threads' blocks only add to uordblks
        for (const Block &b : live_)
            live_usable += b.usable;
        HCHECK(uord >= live_usable, "uordblks %zu < live usable bytes %zu", uord, live_usable);
        if (!handoff_) {
            size_t fp = dlmalloc_footprint();
            HCHECK(held == fp && usm == max_fp, "uord+ford %zu, footprint %zu, usmblks %zu, max %zu", held, fp, usm,
                   max_fp);
        }
        return true;
    }

    const uint64_t seed_;
    const int thread_;
    Handoff *const handoff_;
    std::mt19937_64 rng_;
    std::vector<Block> live_;
    std::map<uintptr_t, size_t> index_; // address -> position in live_
    size_t live_bytes_ = 0;
    uint64_t op_ = 0, done_ = 0;
    const char *name_ = "start";
};

// Runs one model per thread (seeds seed+0, seed+1, ...), then frees every
// block and checks that the heap is whole and nearly empty.
void stress(int threads, uint64_t default_ops, bool cached) {
    g_stop = false;
    g_cached = cached;
    ASSERT_EQ(0, thread_cache_configure());
    Config c = read_config(default_ops, 8.0);
    ::testing::Test::RecordProperty("seed", std::to_string(c.seed));
    printf("[ stress   ] %d thread(s): QUARROW_STRESS_SEED=%llu QUARROW_STRESS_OPS=%llu QUARROW_STRESS_SECONDS=%g\n",
           threads, (unsigned long long)c.seed, (unsigned long long)c.ops, c.seconds);
    fflush(stdout); // the seed must survive a crash
    if (!(g_shrink_mapped = mremap_shrink_is_sound()))
        printf("[ stress   ] mremap cannot shrink a mapping in place here: mapped blocks only grow\n");
    int corruption_before = malloc_corruption_error_count;
    Handoff handoff;
    std::deque<Model> models; // a deque: models never move
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        models.emplace_back(c.seed + t, t, threads > 1 ? &handoff : nullptr);
    for (Model &m : models)
        pool.emplace_back([&c, &m = m] {
            m.run(c.ops, c.seconds);
            if (!g_stop)
                m.free_all();
        });
    uint64_t total = 0;
    for (size_t t = 0; t < pool.size(); ++t)
        pool[t].join(), total += models[t].ops_done();
    printf("[ stress   ] %llu ops done in %d thread(s)\n", (unsigned long long)total, threads);
    if (g_stop)
        return; // leave a broken heap alone
    for (const Block &b : handoff.queue)
        if (!models[0].verify(b))
            return;
    for (const Block &b : handoff.queue)
        heap_free(b.p);
    dlmalloc_trim(0); // this thread's cache: the workers returned theirs on exit
    EXPECT_EQ(corruption_before, malloc_corruption_error_count) << "seed " << c.seed;
    EXPECT_EQ(0, private_heap_check()) << "seed " << c.seed;
    struct mallinfo mi = dlmallinfo(); // only segment records and fence posts stay in use
    EXPECT_EQ(size_t(mi.uordblks) + size_t(mi.fordblks), dlmalloc_footprint()) << "seed " << c.seed;
    EXPECT_LT(size_t(mi.uordblks), size_t(64 * 1024)) << "in use after freeing all, seed " << c.seed;
    printf("[ stress   ] all freed: footprint %zu, max %zu, in use %d, free chunks %d\n", dlmalloc_footprint(),
           dlmalloc_max_footprint(), mi.uordblks, mi.ordblks);
}

TEST(PrivateHeapStress, SingleThreadAgainstModel) { stress(1, 300000, false); }

TEST(PrivateHeapStress, FourThreadsWithHandoff) { stress(4, 100000, false); }

TEST(PrivateHeapStress, SingleThreadThroughTheCaches) { stress(1, 300000, true); }

TEST(PrivateHeapStress, FourThreadsWithHandoffThroughTheCaches) { stress(4, 100000, true); }

} // namespace
