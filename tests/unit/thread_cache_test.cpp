// The per-thread caches the hooks serve from: bounds, double frees, foreign
// blocks, the return of a cache at thread exit (return, pthread_exit,
// cancellation), at trim and in a forked child, and a randomized model of
// several threads handing blocks to each other.
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "heap_sizes.h"
#include "private_heap/private_heap.h"

extern "C" void *__libc_malloc(size_t size);
extern "C" void __libc_free(void *block);

namespace {

using namespace heap_sizes;

const size_t kMaxCachedBytes = 512 * 1024; // the stated bound per thread
const size_t kMaxPerClass = 128;
const size_t kMaxExactChunk = 512;    // one class per chunk size up to here
const size_t kMaxCachedChunk = 10240; // the last rounded class
const size_t kMaxCachedRequest = kMaxCachedChunk - kOverhead;

class ThreadCache : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, thread_cache_configure()); }
};

// Bytes the heap counts in use: cached blocks included.
size_t in_use() { return (size_t)dlmallinfo().uordblks; }

// Runs fn on a thread of its own and waits for it.
template <class F> void on_thread(F fn) { std::thread(fn).join(); }

// A thread that runs `fill` and then stays alive, its cache as `fill` left
// it, until the holder goes out of scope.
class cache_holder {
public:
    template <class F>
    explicit cache_holder(F fill)
        : thread_([this, fill] {
              fill();
              cached_ = true;
              while (!done_)
                  std::this_thread::yield();
          }) {
        while (!cached_)
            std::this_thread::yield();
    }
    ~cache_holder() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> cached_{false}, done_{false};
    std::thread thread_; // last: it starts once the flags exist
};

TEST_F(ThreadCache, BoundsPerClassAndPerThread) {
    on_thread([] {
        std::vector<void *> blocks;
        for (int i = 0; i < 200; ++i)
            blocks.push_back(thread_cache_malloc(8)); // the smallest chunks
        for (void *b : blocks)
            thread_cache_free(b);
        EXPECT_LE(thread_cache_bytes(), kMaxPerClass * kMinChunk);
        EXPECT_GT(thread_cache_bytes(), 0u) << "nothing was cached";
        blocks.clear();
        // Every cacheable size, exact and rounded, far more than the byte bound.
        for (size_t n = 1; n <= kMaxCachedRequest; n += n < kMaxExactChunk - kOverhead ? 7 : 173)
            for (int i = 0; i < 40; ++i)
                blocks.push_back(thread_cache_malloc(n));
        size_t most = 0;
        for (void *b : blocks) {
            thread_cache_free(b);
            ASSERT_LE(thread_cache_bytes(), kMaxCachedBytes);
            most = std::max(most, thread_cache_bytes());
        }
        // The bound is the one the cache works to, not merely one it stays under.
        EXPECT_GT(most, kMaxCachedBytes - kMaxCachedChunk);
        // A block beyond the cached sizes goes straight back.
        size_t before = thread_cache_bytes();
        thread_cache_free(thread_cache_malloc(kMaxCachedRequest + 1));
        EXPECT_EQ(before, thread_cache_bytes());
    });
}

TEST_F(ThreadCache, DoubleFreeNeverPlantsABlockTwice) {
    on_thread([] {
        void *a = thread_cache_malloc(40);
        ASSERT_NE(a, nullptr);
        thread_cache_free(a);
        size_t cached = thread_cache_bytes();
        thread_cache_free(a); // the second free is left alone
        EXPECT_EQ(cached, thread_cache_bytes());
        std::set<void *> seen;
        for (int i = 0; i < 64; ++i) {
            void *b = thread_cache_malloc(40);
            EXPECT_TRUE(seen.insert(b).second) << b << " handed out twice";
        }
        for (void *b : seen)
            thread_cache_free(b);
    });
}

TEST_F(ThreadCache, DoubleFreeOnAnotherThreadIsLeftAlone) {
    void *a = nullptr;
    on_thread([&] {
        a = thread_cache_malloc(24);
        thread_cache_free(a); // cached on this thread, which stays alive below
    });
    // The first thread is gone and returned its cache; a fresh block now.
    void *b = nullptr;
    cache_holder holder([&b] {
        b = thread_cache_malloc(24);
        thread_cache_free(b);
    });
    on_thread([&] {
        size_t before = thread_cache_bytes();
        thread_cache_free(b); // already sits in the holder's cache
        EXPECT_EQ(before, thread_cache_bytes());
        EXPECT_NE(thread_cache_malloc(24), b);
    });
}

TEST_F(ThreadCache, ForeignAndWildBlocksNeverEnter) {
    on_thread([] {
        void *foreign = __libc_malloc(32);
        ASSERT_NE(foreign, nullptr);
        memset(foreign, 0x5a, 32);
        thread_cache_free(thread_cache_malloc(100)); // the cache exists and holds this
        size_t before = thread_cache_bytes();
        thread_cache_free(foreign);
        EXPECT_EQ(before, thread_cache_bytes());
        for (int i = 0; i < 64; ++i)
            EXPECT_NE(thread_cache_malloc(32), foreign);
        __libc_free(foreign); // still glibc's, untouched

        char *block = (char *)thread_cache_malloc(100);
        memset(block, 0, 100); // no header-like words inside
        before = thread_cache_bytes();
        thread_cache_free(block + kAlign / 2); // misaligned
        thread_cache_free(block + kAlign);     // inside a live block: its header is data
        EXPECT_EQ(before, thread_cache_bytes());
        EXPECT_EQ(0, private_heap_check());
    });
}

// The hooks' recorded mark: taken once from a marked block of ours, never
// from a foreign, wild or mapped one, whose words stay as they were. A
// marked block keeps its size and leaves the heap sound; one freed still
// marked stays out of the cache and comes back unmarked.
TEST_F(ThreadCache, TheRecordedMarkIsTakenOnceAndOnlyFromOurBlocks) {
    on_thread([] {
        void *block = thread_cache_malloc(100);
        ASSERT_NE(block, nullptr);
        size_t usable = dlmalloc_usable_size(block);
        EXPECT_FALSE(thread_cache_take_recorded_mark(block)) << "a fresh block is unmarked";
        thread_cache_mark_recorded(block);
        EXPECT_EQ(usable, dlmalloc_usable_size(block));
        EXPECT_EQ(0, private_heap_check());
        EXPECT_TRUE(thread_cache_take_recorded_mark(block));
        EXPECT_FALSE(thread_cache_take_recorded_mark(block)) << "taken twice";
        size_t before = thread_cache_bytes();
        thread_cache_free(block); // unmarked again: cached
        EXPECT_GT(thread_cache_bytes(), before);

        void *kept = thread_cache_malloc(200);
        thread_cache_mark_recorded(kept);
        before = thread_cache_bytes();
        thread_cache_free(kept); // still marked: to the heap, not the cache
        EXPECT_EQ(before, thread_cache_bytes());
        EXPECT_EQ(0, private_heap_check());
        void *again = thread_cache_malloc(200);
        EXPECT_FALSE(thread_cache_take_recorded_mark(again)) << "a block came back marked";
        thread_cache_free(again);

        // Foreign and wild: a word shaped like a marked header, in use, of
        // eight words, with its neighbour's previous-in-use bit set.
        const size_t marked_head = 8 * sizeof(size_t) | 7;
        size_t fake[16] = {0, marked_head, 0, 0, 0, 0, 0, 0, 0, 1 | 2};
        EXPECT_FALSE(thread_cache_take_recorded_mark(&fake[2])) << "a block on the stack";
        EXPECT_EQ(fake[1], marked_head);
        size_t *foreign = (size_t *)__libc_malloc(64);
        size_t foreign_head = foreign[-1]; // bit 2 is the C library's: set for a thread's own arena
        foreign[-1] |= 4;
        EXPECT_FALSE(thread_cache_take_recorded_mark(foreign)) << "a block of the C library";
        EXPECT_NE(foreign[-1] & 4, 0u);
        foreign[-1] = foreign_head;
        __libc_free(foreign);
        size_t *live = (size_t *)thread_cache_malloc(256);
        memset(live, 0, 256);
        live[3] = marked_head; // the header of a chunk two words in, whose neighbour is not in use
        EXPECT_FALSE(thread_cache_take_recorded_mark(live + 4)) << "inside a live block";
        EXPECT_EQ(live[3], marked_head);
        thread_cache_free(live);

        void *mapped = dlmalloc(4 << 20); // above the mapping threshold: never marked
        ASSERT_NE(mapped, nullptr);
        size_t head = ((size_t *)mapped)[-1];
        thread_cache_mark_recorded(mapped);
        EXPECT_EQ(head, ((size_t *)mapped)[-1]);
        EXPECT_FALSE(thread_cache_take_recorded_mark(mapped));
        dlfree(mapped);
        EXPECT_EQ(0, private_heap_check());
    });
}

TEST_F(ThreadCache, CachedBlocksKeepUsableSizeAndResizeInPlace) {
    on_thread([] {
        void *a = thread_cache_malloc(50);
        size_t usable = dlmalloc_usable_size(a); // its class, should it be larger than asked
        thread_cache_free(a);
        void *b = thread_cache_malloc(usable);
        EXPECT_EQ(a, b) << "the cached block is served first";
        EXPECT_EQ(usable, dlmalloc_usable_size(b));
        memset(b, 7, usable);
        EXPECT_EQ(b, dlrealloc(b, 10)) << "a shrink stays in place";
        thread_cache_free(b);
        void *m = dlmemalign(64, 100);
        ASSERT_EQ(0u, (uintptr_t)m % 64);
        thread_cache_free(m);
        EXPECT_EQ(0, private_heap_check());
    });
}

// A block's chunk size: its usable size and the one header word in use.
size_t chunk_size_of(void *b) { return dlmalloc_usable_size(b) + sizeof(size_t); }

// An empty exact class is served by a cached block of a class at most a
// quarter larger, the nearest first; never by a smaller one, one further
// off, or across into the rounded classes. A borrowed block keeps its own
// chunk and goes back to its own class. (The heap may hand out a chunk one
// alignment step larger than asked, so the sizes are read, not assumed.)
TEST_F(ThreadCache, AnEmptyClassBorrowsOnlyANearbyLargerBlock) {
    on_thread([] {
        thread_cache_free(thread_cache_malloc(1)); // the cache exists from here
        // On i386 requests of 60, 108, 116 and 148 bytes.
        const size_t step = kAlign, class_below = 13 * step;
        void *smaller = thread_cache_malloc(8 * step - kOverhead);
        void *nearest = thread_cache_malloc(class_below + step - kOverhead);
        void *near = thread_cache_malloc(class_below + 2 * step - kOverhead);
        void *far = thread_cache_malloc(class_below + 6 * step - kOverhead);
        for (void *b : {smaller, nearest, near, far})
            ASSERT_NE(b, nullptr);
        size_t asked = chunk_size_of(nearest) - step; // one class below the nearest
        size_t limit = asked + asked / 4;
        ASSERT_LT(chunk_size_of(smaller), asked);
        ASSERT_LT(chunk_size_of(nearest), chunk_size_of(near));
        ASSERT_LE(chunk_size_of(near), limit);
        ASSERT_GT(chunk_size_of(far), limit);
        size_t held = chunk_size_of(near) + chunk_size_of(far) + chunk_size_of(smaller);
        dlmalloc_trim(0); // empties this thread's cache: it holds these four alone
        ASSERT_EQ(0u, thread_cache_bytes());
        for (void *b : {smaller, nearest, near, far})
            thread_cache_free(b);
        ASSERT_EQ(held + chunk_size_of(nearest), thread_cache_bytes());
        size_t request = asked - sizeof(size_t);
        EXPECT_EQ(nearest, thread_cache_malloc(request)) << "the nearest larger class first";
        void *second = thread_cache_malloc(request);
        EXPECT_EQ(near, second);
        EXPECT_EQ(held - chunk_size_of(near), thread_cache_bytes()) << "a borrowed block keeps its chunk";
        void *third = thread_cache_malloc(request); // a miss: to the heap
        EXPECT_NE(far, third) << "more than a quarter above the request";
        EXPECT_NE(smaller, third);
        thread_cache_free(second);
        EXPECT_EQ(near, thread_cache_malloc(dlmalloc_usable_size(near))) << "back in its own class";
        EXPECT_EQ(far, thread_cache_malloc(dlmalloc_usable_size(far)));
        EXPECT_EQ(smaller, thread_cache_malloc(dlmalloc_usable_size(smaller)));
        // The smallest class has no class within a quarter of it.
        void *tiny = thread_cache_malloc(kMinChunk + step - kOverhead);
        thread_cache_free(tiny);
        EXPECT_NE(tiny, thread_cache_malloc(8)) << "the next class up for the smallest chunk";
        // A rounded class lends to nobody, not even the last exact class,
        // which it is no more than a quarter above.
        void *rounded = thread_cache_malloc(kMaxExactChunk + 1);
        thread_cache_free(rounded);
        EXPECT_NE(rounded, thread_cache_malloc(kMaxExactChunk - kOverhead));
        EXPECT_EQ(0, private_heap_check());
    });
}

TEST_F(ThreadCache, ReallocOfACachedBlockCopiesItAndLeavesItCached) {
    on_thread([] {
        char *a = (char *)thread_cache_malloc(40);
        // A chunk may come out larger than asked; asking its usable size
        // again lands in its class.
        size_t usable = dlmalloc_usable_size(a);
        memset(a, 'q', 40);
        thread_cache_free(a);
        char *q = (char *)thread_cache_realloc(a, 100); // a use after free
        ASSERT_NE(q, nullptr);
        EXPECT_NE(q, a) << "the heap resized a block the cache holds";
        EXPECT_EQ('q', q[20]);
        EXPECT_EQ(a, thread_cache_malloc(usable)) << "the cached block is still there, once";
        EXPECT_NE(a, thread_cache_malloc(usable));
        EXPECT_EQ(0, private_heap_check());
    });
}

// Above 512 bytes a class has one chunk size and a cached malloc rounds up
// to it, so any block of the class serves any request of it; a block of
// another size there never enters.
TEST_F(ThreadCache, RoundedClassesServeTheirWholeRange) {
    on_thread([] {
        // Each class's chunk size, after the one below it.
        const size_t classes[][2] = {{512, 640}, {896, 1024}, {1024, 1280}, {4096, 5120}, {8192, 10240}};
        for (const auto &c : classes) {
            size_t bottom = c[0] - kOverhead + 1, top = c[1] - kOverhead;
            void *a = thread_cache_malloc(bottom);
            ASSERT_NE(a, nullptr);
            EXPECT_EQ(top, dlmalloc_usable_size(a)) << bottom << " bytes asked";
            memset(a, 0x6b, top);
            thread_cache_free(a);
            EXPECT_EQ(a, thread_cache_malloc(top)) << "the top of the class";
            thread_cache_free(a);
            EXPECT_EQ(a, thread_cache_malloc(bottom)) << "the bottom of the class";
            thread_cache_free(a);
            void *below = thread_cache_malloc(bottom - 1);
            EXPECT_NE(a, below) << "the class below";
            thread_cache_free(below);
        }
        EXPECT_EQ(0, private_heap_check());
        // A block of 1100 bytes from the heap itself has no class of its own.
        size_t before = thread_cache_bytes();
        thread_cache_free(dlmalloc(1100));
        EXPECT_EQ(before, thread_cache_bytes());
    });
}

// A live block of a cached size stays put while it fits and is at most
// twice the new size; otherwise it moves through the cache, contents kept.
TEST_F(ThreadCache, ReallocOfALiveBlockKeepsOrMovesItThroughTheCache) {
    on_thread([] {
        char *live = (char *)thread_cache_malloc(200);
        memset(live, 'r', 200);
        EXPECT_EQ(live, thread_cache_realloc(live, 150)) << "a shrink by less than half";
        char *moved = (char *)thread_cache_realloc(live, 50);
        ASSERT_NE(moved, nullptr);
        EXPECT_NE(moved, live) << "a block kept at more than twice its size";
        EXPECT_EQ(std::string(50, 'r'), std::string(moved, 50));
        size_t moved_usable = dlmalloc_usable_size(moved); // it may be a borrowed, larger block
        EXPECT_EQ(live, thread_cache_malloc(200)) << "the old block went to the cache";
        char *grown = (char *)thread_cache_realloc(moved, 3000);
        ASSERT_NE(grown, nullptr);
        EXPECT_EQ(std::string(50, 'r'), std::string(grown, 50));
        EXPECT_EQ(3072 - kOverhead, dlmalloc_usable_size(grown)) << "grown into its rounded class";
        EXPECT_EQ(moved, thread_cache_malloc(moved_usable)) << "the smaller block went to the cache";
        // Beyond the cached sizes the heap resizes as ever.
        char *big = (char *)thread_cache_realloc(grown, 20000);
        ASSERT_NE(big, nullptr);
        EXPECT_EQ(std::string(50, 'r'), std::string(big, 50));
        EXPECT_GE(dlmalloc_usable_size(big), 20000u);
        thread_cache_free(big);
        thread_cache_free(moved);
        thread_cache_free(live);
        EXPECT_EQ(0, private_heap_check());
    });
}

void *_fill_and_exit(void *how) {
    std::vector<void *> blocks;
    for (int i = 0; i < 300; ++i)
        blocks.push_back(thread_cache_malloc(16 + i % 400));
    for (void *b : blocks)
        thread_cache_free(b);
    if (thread_cache_bytes() == 0)
        return (void *)1; // nothing cached: the test would prove nothing
    if (how == (void *)1)
        pthread_exit(nullptr);
    if (how == (void *)2) {
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        for (;;)
            pthread_testcancel(), usleep(1000);
    }
    return nullptr;
}

TEST_F(ThreadCache, ThreadExitReturnsTheCacheHoweverItEnds) {
    on_thread([] { thread_cache_free(thread_cache_malloc(1)); }); // the heap's first segment
    for (intptr_t how = 0; how < 3; ++how) {
        size_t before = in_use();
        pthread_t t;
        ASSERT_EQ(0, pthread_create(&t, nullptr, _fill_and_exit, (void *)how));
        if (how == 2) {
            usleep(20000);
            pthread_cancel(t);
        }
        void *result = nullptr;
        pthread_join(t, &result);
        EXPECT_NE(result, (void *)1) << "way " << how;
        // The thread's own start-up blocks may remain, never its cache.
        EXPECT_LT(in_use(), before + 1024) << "way " << how << ": " << in_use() - before << " bytes held";
    }
}

TEST_F(ThreadCache, TrimReturnsEveryThreadsCache) {
    std::atomic<int> phase{0};
    size_t other_held = 0;
    std::thread other([&] {
        for (int i = 0; i < 100; ++i)
            thread_cache_free(thread_cache_malloc(200));
        std::vector<void *> blocks;
        for (int i = 0; i < 100; ++i)
            blocks.push_back(thread_cache_malloc(120));
        for (void *b : blocks)
            thread_cache_free(b);
        other_held = thread_cache_bytes();
        phase = 1;
        while (phase != 2)
            std::this_thread::yield();
        // Its next request sees the trim; what it holds then is that
        // request's refill of the smallest chunks (some may be a step larger), no more.
        thread_cache_free(thread_cache_malloc(8));
        other_held = thread_cache_bytes();
        phase = 3;
    });
    while (phase != 1)
        std::this_thread::yield();
    ASSERT_GT(other_held, 0u);
    for (int i = 0; i < 10; ++i)
        thread_cache_free(thread_cache_malloc(64));
    ASSERT_GT(thread_cache_bytes(), 0u);
    dlmalloc_trim(0);
    EXPECT_EQ(0u, thread_cache_bytes()) << "the trimming thread's own cache";
    phase = 2;
    while (phase != 3)
        std::this_thread::yield();
    EXPECT_LE(other_held, 4 * (kMinChunk + kAlign)) << "the other thread kept its cache past the trim";
    other.join();
}

TEST_F(ThreadCache, ForkedChildStartsEmptyWithASoundHeap) {
    cache_holder other([] { // a thread with a full cache that the child lacks
        std::vector<void *> blocks;
        for (int i = 0; i < 100; ++i)
            blocks.push_back(thread_cache_malloc(48));
        for (void *b : blocks)
            thread_cache_free(b);
    });
    for (int i = 0; i < 20; ++i)
        thread_cache_free(thread_cache_malloc(48));
    private_heap_prepare_fork();
    pid_t pid = fork();
    if (pid == 0) {
        private_heap_after_fork();
        thread_cache_after_fork_in_child();
        int bad = thread_cache_bytes() != 0 ? 1 : 0;
        std::vector<void *> blocks;
        for (int i = 0; i < 1000; ++i)
            blocks.push_back(thread_cache_malloc(i % 500));
        for (void *b : blocks)
            thread_cache_free(b);
        bad |= private_heap_check() != 0 ? 2 : 0;
        _exit(bad);
    }
    private_heap_after_fork();
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "child died: status " << status;
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1: cache not empty in the child, 2: heap walk failed";
}

// Several threads allocate, free, hand blocks to each other and exit while
// holding cached blocks; every live block keeps its fill byte, no block is
// handed out twice, and after all threads end the heap holds nothing more.
TEST_F(ThreadCache, RandomModelWithHandoffsExitsTrimAndFork) {
    struct Live {
        unsigned char *p;
        size_t n;
        unsigned char fill;
    };
    std::mutex mutex;
    std::vector<Live> handed;  // blocks in transit between threads
    std::set<uintptr_t> owned; // every live block of every thread
    std::atomic<bool> failed{false};
    uint64_t seed = std::random_device{}();
    RecordProperty("seed", std::to_string(seed));
    size_t before = in_use();

    auto worker = [&](uint64_t s) {
        std::mt19937_64 rng(s);
        std::vector<Live> live;
        auto check = [&](const Live &b) {
            for (size_t i = 0; i < b.n; ++i)
                if (b.p[i] != b.fill) {
                    failed = true;
                    ADD_FAILURE() << "seed " << seed << ": block " << (void *)b.p << " byte " << i << " changed";
                    return false;
                }
            return true;
        };
        auto release = [&](const Live &b) {
            if (!check(b))
                return;
            {
                std::lock_guard<std::mutex> g(mutex);
                owned.erase((uintptr_t)b.p);
            }
            thread_cache_free(b.p);
        };
        // A block handed out (or moved) here must not be live anywhere else.
        auto take = [&](unsigned char *p, const char *what) {
            std::lock_guard<std::mutex> g(mutex);
            if (owned.insert((uintptr_t)p).second)
                return true;
            failed = true;
            ADD_FAILURE() << "seed " << seed << ": " << (void *)p << " " << what;
            return false;
        };
        for (int op = 0; op < 4000 && !failed; ++op) {
            unsigned r = rng() % 100;
            if (r < 40 || live.empty()) {
                unsigned kind = rng() % 8;
                size_t n = kind < 5 ? rng() % 120 : kind < 7 ? rng() % 700 : rng() % 12000;
                unsigned char *p = (unsigned char *)thread_cache_malloc(n);
                if (p == nullptr || dlmalloc_usable_size(p) < n) {
                    failed = true;
                    ADD_FAILURE() << "seed " << seed << ": request of " << n << " bytes";
                    return;
                }
                if (!take(p, "handed out while live"))
                    return;
                Live b{p, n, (unsigned char)(1 + rng() % 255)};
                memset(p, b.fill, n);
                live.push_back(b);
            } else if (r < 78) {
                size_t i = rng() % live.size();
                release(live[i]);
                live[i] = live.back();
                live.pop_back();
            } else if (r < 85) {
                Live &b = live[rng() % live.size()];
                if (!check(b))
                    return;
                size_t n = rng() % 2 ? b.n + b.n / 2 + 1 : b.n / 2;
                // The old block may be freed inside, and handed out at once to
                // another thread: it stops being ours first.
                {
                    std::lock_guard<std::mutex> g(mutex);
                    owned.erase((uintptr_t)b.p);
                }
                unsigned char *p = (unsigned char *)thread_cache_realloc(b.p, n);
                if (p == nullptr || dlmalloc_usable_size(p) < n) {
                    failed = true;
                    ADD_FAILURE() << "seed " << seed << ": realloc to " << n << " bytes";
                    return;
                }
                if (!take(p, "resized into a live block"))
                    return;
                if (n > b.n)
                    memset(p + b.n, b.fill, n - b.n);
                b.p = p;
                b.n = n;
            } else if (r < 92) {
                size_t i = rng() % live.size();
                std::lock_guard<std::mutex> g(mutex);
                handed.push_back(live[i]);
                live[i] = live.back();
                live.pop_back();
            } else if (r < 99) {
                std::unique_lock<std::mutex> g(mutex);
                if (!handed.empty()) {
                    Live b = handed.back();
                    handed.pop_back();
                    g.unlock();
                    release(b); // freed on another thread than its own
                }
            } else if (rng() % 8 == 0) {
                dlmalloc_trim(0);
            }
            if (thread_cache_bytes() > kMaxCachedBytes) {
                failed = true;
                ADD_FAILURE() << "seed " << seed << ": cache holds " << thread_cache_bytes();
                return;
            }
        }
        for (const Live &b : live)
            release(b); // the thread exits with these in its cache
    };

    for (int round = 0; round < 6 && !failed; ++round) {
        std::vector<std::thread> pool;
        for (int t = 0; t < 3; ++t)
            pool.emplace_back(worker, seed + round * 3 + t);
        if (round == 3) { // a fork while the workers run
            private_heap_prepare_fork();
            pid_t pid = fork();
            if (pid == 0) {
                private_heap_after_fork();
                thread_cache_after_fork_in_child();
                for (int i = 0; i < 2000; ++i)
                    thread_cache_free(thread_cache_malloc(i % 300));
                _exit(private_heap_check() == 0 && thread_cache_bytes() <= kMaxCachedBytes ? 0 : 1);
            }
            private_heap_after_fork();
            int status = -1;
            waitpid(pid, &status, 0);
            EXPECT_EQ(0, status) << "seed " << seed << ": the forked child";
        }
        for (std::thread &t : pool)
            t.join();
    }
    for (const Live &b : handed)
        thread_cache_free(b.p);
    dlmalloc_trim(0); // this thread's cache
    EXPECT_EQ(0, private_heap_check());
    EXPECT_LT(in_use(), before + 2048) << "seed " << seed << ": caches of ended threads not returned";
}

} // namespace
