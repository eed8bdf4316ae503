/*
 * Unit tests of the private heap's observable rules: sizes, errno, alignment,
 * where a block comes from (bins, designated victim, top, sbrk, own mapping),
 * trimming, and what happens to blocks the heap never handed out.
 *
 * The first tests expect an untouched heap. CTest runs every test in its own
 * process; a whole-binary run keeps them first by their order in this file.
 */
#include <errno.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "heap_sizes.h"
#include "private_heap/private_heap.h"

namespace {

using namespace heap_sizes;

const size_t kHalfWordBit = (size_t)1 << (4 * kWord); /* 0x10000 on i386 */
const size_t kTopBit = ~(size_t)0 / 2 + 1;            /* 0x80000000 on i386 */

void expect_consistent() {
    EXPECT_EQ(private_heap_check(), 0);
    struct mallinfo mi = dlmallinfo();
    EXPECT_EQ((size_t)mi.uordblks + (size_t)mi.fordblks, dlmalloc_footprint());
    EXPECT_EQ((size_t)mi.arena + (size_t)mi.hblkhd, dlmalloc_footprint());
    EXPECT_EQ((size_t)mi.usmblks, dlmalloc_max_footprint());
}

/* ---- an untouched heap -------------------------------------------------- */

TEST(FreshHeap, StatisticsAreZeroAndTheFirstLargeRequestComesFromTheBreak) {
    ASSERT_EQ(dlmalloc_footprint(), 0u) << "this test needs a heap nobody has used";
    struct mallinfo mi = dlmallinfo();
    EXPECT_EQ(mi.arena, 0);
    EXPECT_EQ(mi.ordblks, 0);
    EXPECT_EQ(mi.uordblks, 0);
    EXPECT_EQ(mi.fordblks, 0);
    EXPECT_EQ(mi.keepcost, 0);

    testing::internal::CaptureStderr();
    dlmalloc_stats();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "max system bytes =          0\nsystem bytes     =          0\nin use bytes     =          0\n");

    /* above the mapping threshold, but an empty heap has no top: sbrk serves */
    char *brk_before = (char *)sbrk(0);
    void *first = dlmalloc(0x50000);
    ASSERT_NE(first, nullptr);
    EXPECT_GE((char *)first, brk_before);
    EXPECT_LT((char *)first, (char *)sbrk(0));
    EXPECT_EQ(dlmalloc_usable_size(first), chunk_size_for(0x50000) - kOverhead)
        << "a segment block has one word of overhead";

    /* later large requests get a mapping of their own, released at once */
    size_t footprint = dlmalloc_footprint();
    void *mapped = dlmalloc(0x40000);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(dlmalloc_footprint(), footprint + mapping_size_for(0x40000));
    EXPECT_GE(dlmalloc_usable_size(mapped), (size_t)0x40000);
    memset(mapped, 0x5a, 0x40000);
    dlfree(mapped);
    EXPECT_EQ(dlmalloc_footprint(), footprint);
    dlfree(first);
    expect_consistent();
}

TEST(FreshHeap, DesignatedVictimServesBeforeLargerBinsAndTheTop) {
    /* A free 200-byte block split for a 40-byte request leaves its rest as
     * the designated victim, right after the 40-byte block. */
    void *guard0 = dlmalloc(500);
    void *two_hundred = dlmalloc(200);
    void *guard1 = dlmalloc(500);
    void *big_free = dlmalloc(1000); /* will sit in a tree bin */
    void *guard2 = dlmalloc(500);
    void *mid_free = dlmalloc(150); /* will sit in a larger small bin */
    void *guard3 = dlmalloc(500);
    dlfree(two_hundred);
    void *forty = dlmalloc(40);
    ASSERT_EQ(forty, two_hundred) << "the 200-byte chunk is the smallest fitting bin";
    dlfree(big_free);
    dlfree(mid_free);

    void *from_victim = dlmalloc(24);
    EXPECT_EQ((char *)from_victim, (char *)forty + chunk_size_for(40));

    for (void *p : {guard0, guard1, guard2, guard3, forty, from_victim})
        dlfree(p);
    expect_consistent();
}

TEST(FreshHeap, ReallocGrowsIntoTheTopInPlace) {
    dlfree(dlmalloc(200000)); /* leaves a roomy top behind */
    void *p = dlmalloc(3000);
    ASSERT_NE(p, nullptr);
    memset(p, 0x11, 3000);
    void *q = dlrealloc(p, 60000);
    EXPECT_EQ(q, p);
    EXPECT_EQ(((unsigned char *)q)[2999], 0x11);
    void *r = dlrealloc_in_place(q, 90000);
    EXPECT_EQ(r, q);
    dlfree(r);
    expect_consistent();
}

TEST(FreshHeap, ALargeRequestTakesTheBestFittingFreeChunk) {
    /* Free chunks in the tries, each boxed in by a guard so none merges: four
     * that share a bin and differ in their low size bits, one in a bin above. */
    const size_t base = 4 * kSmallLimit, a = kAlign;
    const size_t chunks[] = {base, base + 2 * a, base + 5 * a, base + 7 * a, 2 * base + a};
    void *blocks[5], *guards[5];
    for (int i = 0; i < 5; ++i) {
        blocks[i] = dlmalloc(chunks[i] - kOverhead);
        guards[i] = dlmalloc(kMinUsable);
        ASSERT_TRUE(blocks[i] && guards[i]);
        ASSERT_EQ(dlmalloc_usable_size(blocks[i]), chunks[i] - kOverhead);
    }
    for (void *p : blocks)
        dlfree(p);
    EXPECT_EQ(private_heap_check(), 0);

    /* Each request's best fit is left over by less than a chunk, so it is
     * handed out whole and the others stay as they were. */
    struct {
        size_t chunk;
        int best;
    } const wants[] = {{base + 4 * a, 2}, {base + a, 1}, {base + 6 * a, 3}, {base, 0}, {base + 8 * a, 4}};
    for (const auto &want : wants) {
        void *p = dlmalloc(want.chunk - kOverhead);
        EXPECT_EQ(p, blocks[want.best]) << "chunk of " << want.chunk << " bytes";
        EXPECT_EQ(private_heap_check(), 0);
    }
    for (void *p : blocks)
        dlfree(p);
    for (void *p : guards)
        dlfree(p);
    expect_consistent();
}

/* ---- size rules --------------------------------------------------------- */

TEST(SizeRules, UsableSizesFollowTheChunkRule) {
    std::vector<void *> blocks;
    for (size_t n = 0; n < 600; ++n) {
        void *p = dlmalloc(n);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % kAlign, 0u);
        EXPECT_EQ(dlmalloc_usable_size(p), chunk_size_for(n) - kOverhead) << "request " << n;
        blocks.push_back(p);
    }
    EXPECT_EQ(dlmalloc_usable_size(blocks[0]), kMinUsable);
    EXPECT_NE(blocks[0], blocks[1]) << "each zero-byte request is a block of its own";
    /* 244 and 245 bytes on i386: chunks of 248 and 256 */
    EXPECT_EQ(dlmalloc_usable_size(blocks[kMaxSmallRequest]), kMaxSmallRequest) << "the largest small chunk";
    EXPECT_EQ(dlmalloc_usable_size(blocks[kMaxSmallRequest + 1]), kSmallLimit - kOverhead) << "the smallest tree chunk";
    for (void *p : blocks)
        dlfree(p);
    EXPECT_EQ(dlmalloc_usable_size(nullptr), 0u);
    expect_consistent();
}

TEST(SizeRules, HugeRequestsFailWithTheRightErrno) {
    errno = 0;
    EXPECT_EQ(dlmalloc(kMaxRequest), nullptr);
    EXPECT_EQ(dlmalloc(~(size_t)0), nullptr);
    EXPECT_EQ(errno, 0) << "a request that wraps leaves errno alone";

    void *p = dlmalloc(100);
    memset(p, 0x42, 100);
    errno = 0;
    EXPECT_EQ(dlrealloc(p, kMaxRequest), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(dlrealloc_in_place(p, kMaxRequest), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(((unsigned char *)p)[99], 0x42) << "the old block stays valid";

    EXPECT_EQ(dlcalloc(kHalfWordBit, kHalfWordBit), nullptr) << "the product wraps to 0";
    EXPECT_EQ(dlcalloc(kTopBit, 2), nullptr);
    void *none = dlcalloc(0, 100);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(dlmalloc_usable_size(none), kMinUsable);

    errno = 0;
    EXPECT_EQ(dlpvalloc(~(size_t)0), nullptr) << "rounding up to a page must not wrap to a tiny block";
    EXPECT_EQ(errno, ENOMEM);
    errno = 0;
    EXPECT_EQ(dlmemalign(kTopBit + 1, 16), nullptr) << "no power of two lies above this alignment";
    EXPECT_EQ(errno, ENOMEM);

    dlfree(none);
    dlfree(p);
    expect_consistent();
}

TEST(SizeRules, CallocClearsReusedMemory) {
    void *dirty = dlmalloc(400);
    memset(dirty, 0xff, 400);
    void *guard = dlmalloc(16);
    dlfree(dirty);
    unsigned char *z = (unsigned char *)dlcalloc(100, 4);
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(z[i], 0) << "byte " << i;
    unsigned char *big = (unsigned char *)dlcalloc(1, 0x50000); /* a fresh mapping */
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big[0] | big[0x4ffff], 0);
    dlfree(big);
    dlfree(z);
    dlfree(guard);
}

TEST(SizeRules, ReallocToZeroKeepsAMinimumBlockAndNullIsMalloc) {
    char *p = (char *)dlmalloc(200);
    void *after = dlmalloc(16);
    strcpy(p, "kept");
    char *q = (char *)dlrealloc(p, 0);
    EXPECT_EQ(q, p);
    EXPECT_EQ(dlmalloc_usable_size(q), kMinUsable);
    EXPECT_STREQ(q, "kept");
    void *fresh = dlrealloc(nullptr, 50);
    ASSERT_NE(fresh, nullptr);
    EXPECT_GE(dlmalloc_usable_size(fresh), 50u);
    EXPECT_EQ(dlrealloc_in_place(nullptr, 10), nullptr);
    dlfree(fresh);
    dlfree(q);
    dlfree(after);
    expect_consistent();
}

/* ---- alignment ---------------------------------------------------------- */

TEST(Alignment, MemalignRoundsAndReusesItsSurplus) {
    /* on i386: alignments 4 and 8 are plain requests, 24 rounds up to 32 */
    void *half = dlmemalign(kAlign / 2, 10);
    void *plain = dlmemalign(kAlign, 10);
    EXPECT_EQ((uintptr_t)half % kAlign, 0u);
    EXPECT_EQ(dlmalloc_usable_size(half), kMinUsable) << "a smaller alignment is a plain request";
    EXPECT_EQ(dlmalloc_usable_size(plain), kMinUsable) << "the heap's own alignment is a plain request";
    void *odd = dlmemalign(3 * kAlign, 100);
    EXPECT_EQ((uintptr_t)odd % (4 * kAlign), 0u) << "rounds up to the next power of two";
    for (size_t align = 2 * kAlign; align <= 65536; align <<= 1) {
        void *p = dlmemalign(align, 1000);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % align, 0u);
        EXPECT_GE(dlmalloc_usable_size(p), 1000u);
        dlfree(p);
    }
    errno = 0;
    EXPECT_EQ(dlmemalign(kMinChunk, kMaxRequest - kMinChunk), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    void *page = dlvalloc(10);
    EXPECT_EQ((uintptr_t)page % kPage, 0u);
    void *pages = dlpvalloc(kPage + 1);
    EXPECT_EQ((uintptr_t)pages % kPage, 0u);
    EXPECT_GE(dlmalloc_usable_size(pages), 2 * kPage);
    for (void *p : {half, plain, odd, page, pages})
        dlfree(p);
    expect_consistent();
}

TEST(Alignment, AlignedBlocksLeaveTheirSurplusForReuse) {
    void *guard = dlmalloc(32);
    void *p = dlmemalign(256, 40);
    ASSERT_NE(p, nullptr);
    /* the lead in front of p went back: a small block now fits before p */
    void *q = dlmalloc(16);
    EXPECT_LT((char *)q, (char *)p);
    EXPECT_GT((char *)q, (char *)guard);
    for (void *x : {guard, p, q})
        dlfree(x);
    expect_consistent();
}

TEST(Alignment, AnAlignedMappedBlockGrowsToItsFullRequest) {
    dlfree(dlmalloc(16)); /* only a heap with a top maps large blocks */
    /* a large alignment puts the block far into its own mapping */
    char *p = (char *)dlmemalign(65536, 5000000);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ((uintptr_t)p % 65536, 0u);
    memset(p, 0x44, 5000000);
    char *q = (char *)dlrealloc(p, 5400000);
    ASSERT_NE(q, nullptr);
    EXPECT_GE(dlmalloc_usable_size(q), 5400000u) << "the lead before the block must not be taken off its size";
    EXPECT_EQ(q[4999999], 0x44);
    memset(q, 0x45, 5400000);
    dlfree(q);
    expect_consistent();
}

TEST(Alignment, PosixMemalignChecksItsArguments) {
    /* on i386: 12, 0 and 2 are refused; 4 gives a 16-aligned block, 8 a plain one */
    void *out = (void *)0x1234;
    EXPECT_EQ(dlposix_memalign(&out, 3 * sizeof(void *), 10), 22);
    EXPECT_EQ(dlposix_memalign(&out, 0, 10), 22);
    EXPECT_EQ(dlposix_memalign(&out, sizeof(void *) / 2, 10), 22) << "not a multiple of a pointer";
    EXPECT_EQ(out, (void *)0x1234) << "the out pointer is written only on success";
    EXPECT_EQ(dlposix_memalign(&out, 64, kMaxRequest), 12);
    EXPECT_EQ(out, (void *)0x1234);
    ASSERT_EQ(dlposix_memalign(&out, sizeof(void *), 10), 0);
    EXPECT_EQ((uintptr_t)out % kMinChunk, 0u) << "an alignment below the smallest chunk is raised to it";
    dlfree(out);
    ASSERT_EQ(dlposix_memalign(&out, kAlign, 10), 0);
    EXPECT_EQ(dlmalloc_usable_size(out), kMinUsable) << "the heap's own alignment is a plain request";
    dlfree(out);
    ASSERT_EQ(dlposix_memalign(&out, 4096, 10), 0);
    EXPECT_EQ((uintptr_t)out % 4096, 0u);
    dlfree(out);
}

/* ---- where blocks come from and go back to ------------------------------ */

TEST(Reuse, AFreedSmallChunkComesBackFirst) {
    for (size_t n : {(size_t)8, (size_t)40, (size_t)100, kMaxSmallRequest}) {
        void *before = dlmalloc(n);
        void *p = dlmalloc(n);
        void *after = dlmalloc(n);
        dlfree(p);
        EXPECT_EQ(dlmalloc(n), p) << "request " << n;
        for (void *x : {before, p, after})
            dlfree(x);
    }
    expect_consistent();
}

/* Only a heap that has a top maps large blocks on their own. */
void warm_up() { dlfree(dlmalloc(16)); }

TEST(Reuse, MappedBlocksResizeAndMove) {
    warm_up();
    /* larger than any free chunk or top earlier tests can leave behind */
    const size_t first = 5000000, second = 9000000;
    size_t footprint = dlmalloc_footprint();
    char *p = (char *)dlmalloc(first);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(dlmalloc_footprint(), footprint + mapping_size_for(first)) << "mapped on its own";
    EXPECT_EQ(dlmalloc_usable_size(p), mapping_size_for(first) - 4 * kWord - kMappedOverhead)
        << "less the fence post and zero word past the chunk";
    memset(p, 0x33, first);

    /* growing keeps the contents through mremap */
    char *grown = (char *)dlrealloc(p, second);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[first - 1], 0x33);
    EXPECT_EQ(dlmalloc_footprint(), footprint + mapping_size_for(second));

    /* to a small chunk it becomes an ordinary heap block */
    char *small = (char *)dlrealloc(grown, 100);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small[99], 0x33);
    EXPECT_EQ(dlmalloc_usable_size(small), chunk_size_for(100) - kOverhead);
    EXPECT_LE(dlmalloc_footprint(), footprint + kPage) << "the mapping went back";
    dlfree(small);
    expect_consistent();
}

TEST(Reuse, InPlaceResizeOfABoxedInMappingFails) {
    warm_up();
    const size_t n = 3000000;
    char *p = (char *)dlmalloc(n);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(dlmalloc_usable_size(p), mapping_size_for(n) - 4 * kWord - kMappedOverhead)
        << "mapped on its own, at its mapping's start";
    char *map_end = p - 2 * kWord + mapping_size_for(n);
    /* occupy the address space right after the block's mapping, unless an
     * older mapping already does (msync fails with ENOMEM on unmapped pages) */
    bool occupied = msync(map_end, kPage, MS_ASYNC) == 0;
    void *blocker = nullptr;
    if (!occupied) {
        blocker = mmap(map_end, kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        ASSERT_EQ(blocker, (void *)map_end);
    }
    p[0] = 7;
    EXPECT_EQ(dlrealloc_in_place(p, 2 * n), nullptr);
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(dlrealloc_in_place(p, n - 1000), p) << "a small shrink keeps the mapping";
    char *moved = (char *)dlrealloc(p, 2 * n);
    ASSERT_NE(moved, nullptr);
    EXPECT_NE(moved, p) << "dlrealloc may move it";
    EXPECT_EQ(moved[0], 7);
    dlfree(moved);
    if (!occupied)
        munmap(blocker, kPage);
    expect_consistent();
}

TEST(Reuse, FreeingPastTheTrimThresholdLowersTheBreak) {
    std::vector<void *> blocks;
    for (int i = 0; i < 16; ++i)
        blocks.push_back(dlmalloc(200000)); /* below the mapping threshold */
    size_t footprint = dlmalloc_footprint();
    char *brk_before = (char *)sbrk(0);
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
        dlfree(*it);
    size_t dropped = footprint - dlmalloc_footprint();
    EXPECT_GT(dropped, 2000000u);
    EXPECT_EQ(dropped % kPage, 0u);
    EXPECT_EQ((size_t)(brk_before - (char *)sbrk(0)), dropped) << "the break drops by what the footprint lost";
    expect_consistent();
}

TEST(Reuse, ABreakMovedByOthersStartsANewSegment) {
    void *first = dlmalloc(100);
    char *theirs = (char *)sbrk(kPage); /* someone else's memory, right after ours */
    ASSERT_NE(theirs, (char *)-1);
    memset(theirs, 0x77, kPage);

    std::vector<void *> blocks;
    bool above = false;
    for (int i = 0; i < 40 && !above; ++i) {
        char *p = (char *)dlmalloc(150000);
        ASSERT_NE(p, nullptr);
        memset(p, 0x22, 150000);
        blocks.push_back(p);
        above = p > theirs;
    }
    EXPECT_TRUE(above) << "growth continued past the foreign memory";
    expect_consistent();

    for (void *p : blocks)
        dlfree(p);
    dlfree(first);
    dlmalloc_trim(0);
    EXPECT_GE((char *)sbrk(0), theirs + kPage) << "the heap never lowers a break it does not end";
    for (size_t i = 0; i < kPage; ++i)
        ASSERT_EQ((unsigned char)theirs[i], 0x77);
    expect_consistent();
}

TEST(Reuse, TrimAfterFreeingEverythingReturnsToTheStartingFootprint) {
    size_t start = dlmalloc_footprint();
    std::vector<void *> blocks;
    for (int i = 0; i < 2000; ++i)
        blocks.push_back(dlmalloc((size_t)(i * 37) % 3000));
    for (void *p : blocks)
        dlfree(p);
    dlmalloc_trim(0);
    EXPECT_LE(dlmalloc_footprint(), start + 64 * 1024);
}

/* ---- batch allocators --------------------------------------------------- */

TEST(Batch, BulkFreeMergesNeighbours) {
    void *a = dlmalloc(64);
    void *b = dlmalloc(64);
    void *c = dlmalloc(64);
    ASSERT_EQ((char *)b, (char *)a + chunk_size_for(64));
    void *array[] = {a, b, nullptr};
    EXPECT_EQ(dlbulk_free(array, 3), 0u);
    EXPECT_EQ(array[0], nullptr);
    EXPECT_EQ(array[1], nullptr);
    EXPECT_EQ(dlmalloc(64 + chunk_size_for(64)), a) << "a and b went back as one chunk";
    dlfree(a);
    dlfree(c);
    expect_consistent();
}

TEST(Batch, IndependentAllocatorsGiveSeparatelyFreeableBlocks) {
    size_t sizes[] = {10, 300, 40};
    void **blocks = dlindependent_comalloc(3, sizes, nullptr);
    ASSERT_NE(blocks, nullptr);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(blocks[i], nullptr);
        EXPECT_GE(dlmalloc_usable_size(blocks[i]), sizes[i]);
        memset(blocks[i], 0xee, sizes[i]);
    }
    EXPECT_EQ((char *)blocks[1], (char *)blocks[0] + chunk_size_for(10));
    dlfree(blocks[1]);
    dlfree(blocks[0]);
    dlfree(blocks[2]);
    dlfree(blocks);

    void *mine[4];
    EXPECT_EQ(dlindependent_calloc(4, 50, mine), mine);
    for (void *p : mine) {
        for (int i = 0; i < 50; ++i)
            ASSERT_EQ(((unsigned char *)p)[i], 0);
        dlfree(p);
    }
    EXPECT_EQ(dlindependent_calloc(0, 50, mine), mine);
    void **empty = dlindependent_calloc(0, 50, nullptr);
    EXPECT_NE(empty, nullptr);
    dlfree(empty);

    /* totals that wrap must fail, not be cut into overlapping chunks */
    EXPECT_EQ(dlindependent_calloc(kTopBit / 2, 16, nullptr), nullptr);
    EXPECT_EQ(dlindependent_calloc(kTopBit / 8, 64, mine), nullptr);
    size_t wrapping[] = {kTopBit, kTopBit - 0x100};
    EXPECT_EQ(dlindependent_comalloc(2, wrapping, nullptr), nullptr);
    expect_consistent();
}

/* ---- settings ----------------------------------------------------------- */

TEST(Settings, MalloptAndFootprintLimit) {
    EXPECT_EQ(dlmallopt(M_GRANULARITY_PARAM, 100), 0);
    EXPECT_EQ(dlmallopt(M_GRANULARITY_PARAM, 3 * 4096), 0);
    EXPECT_EQ(dlmallopt(M_GRANULARITY_PARAM, 4096), 1);
    EXPECT_EQ(dlmallopt(-4, 1), 0);
    EXPECT_EQ(dlmallopt(M_TRIM_THRESHOLD_PARAM, 0x200000), 1);
    EXPECT_EQ(dlmallopt(M_MMAP_THRESHOLD_PARAM, 0x40000), 1);

    EXPECT_EQ(dlmalloc_set_footprint_limit(0), kPage);
    EXPECT_EQ(dlmalloc_set_footprint_limit(1), kPage);
    EXPECT_EQ(dlmalloc_set_footprint_limit(kPage + 1), 2 * kPage);
    EXPECT_EQ(dlmalloc_set_footprint_limit(~(size_t)1), ~(kPage - 1)) << "rounding must not wrap to no limit";
    EXPECT_EQ(dlmalloc_set_footprint_limit(~(size_t)0), 0u);
    EXPECT_EQ(dlmalloc_footprint_limit(), ~(size_t)0);

    /* a limit just above today's footprint refuses growth without errno */
    dlmalloc_set_footprint_limit(dlmalloc_footprint() + kPage);
    errno = 0;
    EXPECT_EQ(dlmalloc(0x100000), nullptr);
    EXPECT_EQ(errno, 0);
    dlmalloc_set_footprint_limit(~(size_t)0);
    void *p = dlmalloc(0x100000);
    EXPECT_NE(p, nullptr);
    dlfree(p);
}

/* ---- misuse, foreign blocks and corruption ------------------------------ */

TEST(Misuse, DoubleFreesAndForeignPointersAreIgnored) {
    int corruptions = malloc_corruption_error_count;
    dlfree(nullptr);

    void *p = dlmalloc(48);
    void *guard = dlmalloc(48);
    dlfree(p);
    dlfree(p); /* already free: ignored */

    static char below_the_heap[64];
    ASSERT_LT((char *)below_the_heap, (char *)guard) << "static data lies below the break";
    dlfree(below_the_heap + 16);

    /* blocks of the platform allocator, a small one and a mapped one */
    char *theirs = (char *)malloc(100);
    char *their_mapping = (char *)malloc(4 << 20);
    ASSERT_TRUE(theirs && their_mapping);
    memset(theirs, 0x61, 100);
    memset(their_mapping, 0x62, 4 << 20);
    dlfree(theirs);
    dlfree(their_mapping);
    EXPECT_EQ(theirs[99], 0x61);
    EXPECT_EQ(their_mapping[(4 << 20) - 1], 0x62) << "still mapped";

    /* realloc copies a foreign block and leaves it alone */
    char *copy = (char *)dlrealloc(theirs, 100);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, theirs);
    EXPECT_EQ(memcmp(copy, theirs, 100), 0);
    char *big_copy = (char *)dlrealloc(their_mapping, 4 << 20);
    ASSERT_NE(big_copy, nullptr);
    EXPECT_EQ(big_copy[(4 << 20) - 1], 0x62);
    EXPECT_EQ(dlrealloc_in_place(theirs, 50), nullptr);
    void *foreign[] = {theirs, their_mapping};
    EXPECT_EQ(dlbulk_free(foreign, 2), 0u);
    EXPECT_EQ(theirs[0], 0x61);

    free(theirs);
    free(their_mapping);
    dlfree(copy);
    dlfree(big_copy);
    dlfree(guard);
    EXPECT_EQ(malloc_corruption_error_count, corruptions);
    expect_consistent();
}

TEST(Misuse, ABrokenBinLinkResetsTheHeapAndItGoesOn) {
    int corruptions = malloc_corruption_error_count;
    void *a = dlmalloc(72);
    void *guard = dlmalloc(72);
    dlfree(a);
    /* overwrite the freed chunk's forward link with an address below the heap */
    ((void **)a)[0] = (void *)16;
    void *b = dlmalloc(72);
    EXPECT_EQ(malloc_corruption_error_count, corruptions + 1);
    EXPECT_EQ(b, a) << "the chunk already taken is still handed out";

    /* the heap starts over and serves correct blocks */
    std::vector<char *> fresh;
    for (int i = 0; i < 100; ++i) {
        char *p = (char *)dlmalloc(100 + i);
        ASSERT_NE(p, nullptr);
        memset(p, i, 100 + i);
        fresh.push_back(p);
    }
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(fresh[i][99 + i], (char)i);
    EXPECT_EQ(private_heap_check(), 0);
    for (char *p : fresh)
        dlfree(p);
    dlfree(guard); /* in the forgotten segment: ignored */
    EXPECT_EQ(malloc_corruption_error_count, corruptions + 1);
    EXPECT_EQ(private_heap_check(), 0);
}

} // namespace
