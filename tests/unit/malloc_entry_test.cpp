// The allocation entry points: routing through the four hook pointers, the
// argument rules of the routed ones, and the way back to the C library.
#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "memory_operations/memory_operations.h"
#include "private_heap/private_heap.h"

/* The C library's first symbol version on this architecture. */
#if defined(__x86_64__)
#define GLIBC_FIRST_VERSION "GLIBC_2.2.5"
#else
#define GLIBC_FIRST_VERSION "GLIBC_2.0"
#endif

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_memalign(size_t alignment, size_t size);
extern "C" void __libc_free(void *block);

namespace {

// What the fake hooks saw last; each serves from the C library.
struct seen_call {
    int calls = 0;
    size_t size = 0;
    size_t alignment = 0;
    void *block = nullptr;
};
seen_call seen;

void *fake_malloc(size_t size, const void *) {
    seen.calls++;
    seen.size = size;
    void *block = __libc_malloc(size);
    if (block != nullptr)
        memset(block, 0xAB, size); // calloc must zero what the hook hands back
    return block;
}
void *fake_memalign(size_t alignment, size_t size, const void *) {
    seen.calls++;
    seen.alignment = alignment;
    seen.size = size;
    return __libc_memalign(alignment, size);
}
void *fake_realloc(void *block, size_t size, const void *) {
    seen.calls++;
    seen.block = block;
    seen.size = size;
    return nullptr;
}
void fake_free(void *block, const void *) {
    seen.calls++;
    seen.block = block;
}

// Installs the fakes for one call only: the test framework allocates too.
struct fake_hooks {
    fake_hooks() {
        seen = seen_call();
        quarrow_malloc_hook = fake_malloc;
        quarrow_memalign_hook = fake_memalign;
        quarrow_realloc_hook = fake_realloc;
        quarrow_free_hook = fake_free;
    }
    ~fake_hooks() {
        quarrow_malloc_hook = nullptr;
        quarrow_memalign_hook = nullptr;
        quarrow_realloc_hook = nullptr;
        quarrow_free_hook = nullptr;
    }
};

// Keeps the compiler from folding a call it knows the meaning of.
template <typename T> T opaque(T value) {
    __asm__ volatile("" : "+r"(value));
    return value;
}

// Two factors of this size overflow a size_t: 0x10000 on i386.
const size_t kHalfWordBit = (size_t)1 << (4 * sizeof(size_t));

TEST(MallocEntry, CallocGoesThroughTheMallocHookZeroedAndChecksOverflow) {
    void *block;
    {
        fake_hooks hooks;
        block = calloc(opaque<size_t>(12), 10);
    }
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.size, 120u);
    for (int i = 0; i < 120; i++)
        ASSERT_EQ(((unsigned char *)block)[i], 0) << "byte " << i;
    __libc_free(block);

    {
        fake_hooks hooks;
        errno = 0;
        block = calloc(opaque<size_t>(kHalfWordBit), kHalfWordBit + 1);
    }
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(seen.calls, 0) << "an overflowing calloc reached the hook";
}

TEST(MallocEntry, AlignedFamilyGoesThroughTheMemalignHook) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    struct routed {
        const char *name;
        void *(*call)();
        size_t alignment, size;
    } cases[] = {
        {"memalign", [] { return memalign(opaque<size_t>(64), 100); }, 64, 100},
        {"aligned_alloc", [] { return aligned_alloc(opaque<size_t>(32), 96); }, 32, 96},
        {"valloc", [] { return valloc(opaque<size_t>(10)); }, page, 10},
        {"pvalloc", [] { return pvalloc(opaque<size_t>((size_t)sysconf(_SC_PAGESIZE) + 1)); }, page, 2 * page},
        {"pvalloc of 0", [] { return pvalloc(opaque<size_t>(0)); }, page, page},
    };
    for (const routed &c : cases) {
        void *block;
        {
            fake_hooks hooks;
            block = c.call();
        }
        EXPECT_EQ(seen.calls, 1) << c.name;
        EXPECT_EQ(seen.alignment, c.alignment) << c.name;
        EXPECT_EQ(seen.size, c.size) << c.name;
        EXPECT_EQ((uintptr_t)block % c.alignment, 0u) << c.name;
        __libc_free(block);
    }

    void *out = (void *)1;
    int result;
    {
        fake_hooks hooks;
        result = posix_memalign(&out, opaque<size_t>(128), 40);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.alignment, 128u);
    EXPECT_EQ((uintptr_t)out % 128, 0u);
    __libc_free(out);
}

TEST(MallocEntry, BadAlignmentsAndOverflowsFailBeforeTheHook) {
    void *out = (void *)1;
    fake_hooks hooks;
    errno = 1234;
    EXPECT_EQ(posix_memalign(&out, opaque<size_t>(24), 8), EINVAL);
    EXPECT_EQ(posix_memalign(&out, opaque<size_t>(2), 8), EINVAL); // not a multiple of a pointer
    EXPECT_EQ(posix_memalign(&out, opaque<size_t>(0), 8), EINVAL);
    EXPECT_EQ(errno, 1234) << "posix_memalign reports through its result, not errno";
    EXPECT_EQ(out, (void *)1) << "a failed posix_memalign wrote its result";
    EXPECT_EQ(aligned_alloc(opaque<size_t>(48), 96), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(reallocarray(nullptr, opaque<size_t>(kHalfWordBit), kHalfWordBit), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(pvalloc(opaque<size_t>(SIZE_MAX - 10)), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(seen.calls, 0);
}

TEST(MallocEntry, ReallocFamilyAndFreeReachTheirHooks) {
    char local;
    {
        fake_hooks hooks;
        EXPECT_EQ(reallocarray(opaque<void *>(&local), opaque<size_t>(6), 7), nullptr);
    }
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.block, &local);
    EXPECT_EQ(seen.size, 42u);
    {
        fake_hooks hooks;
        free(opaque<void *>(&local));
    }
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.block, &local);
}

// glibc's own answer, found past this program's definitions.
size_t c_library_usable_size(void *block) {
    using usable_size_fn = size_t (*)(void *);
    static usable_size_fn real = (usable_size_fn)dlvsym(RTLD_NEXT, "malloc_usable_size", GLIBC_FIRST_VERSION);
    return real(block);
}

TEST(MallocEntry, UnhookedCallsServeTheCLibraryAndMeasureItsBlocks) {
    ASSERT_EQ(quarrow_malloc_hook, nullptr);
    // Small, large enough to be mapped on its own, and aligned.
    void *blocks[] = {malloc(opaque<size_t>(1)), malloc(opaque<size_t>(100)), malloc(opaque<size_t>(300 * 1024)),
                      memalign(opaque<size_t>(4096), 5000)};
    for (void *block : blocks) {
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(private_heap_owns(block), 0);
        EXPECT_EQ(malloc_usable_size(block), c_library_usable_size(block));
        EXPECT_GE(malloc_usable_size(block), 1u);
    }
    EXPECT_EQ(malloc_usable_size(nullptr), 0u);
    for (void *block : blocks)
        free(block);
}

TEST(MallocEntry, PrivateBlocksComingBackUnhookedStayWithThePrivateHeap) {
    // As after the hooks were taken out again: blocks they handed out must
    // never reach the C library.
    char *block = (char *)dlmalloc(200);
    ASSERT_NE(block, nullptr);
    memcpy(block, "kept", 5);
    EXPECT_EQ(malloc_usable_size(block), dlmalloc_usable_size(block));
    char *grown = (char *)realloc(block, 5000);
    ASSERT_NE(grown, nullptr);
    EXPECT_STREQ(grown, "kept");
    EXPECT_NE(private_heap_owns(grown), 0) << "the private block was moved to the C library";
    size_t in_use = dlmallinfo().uordblks;
    free(grown);
    EXPECT_LT(dlmallinfo().uordblks, in_use) << "free did not return the block to the private heap";
    EXPECT_EQ(private_heap_check(), 0);
}

// malloc_trim: with the hooks in, the private heap trims and the caller's
// cache goes back to it first; without them, the C library's allocator
// trims and the caches stay as they are.
TEST(MallocEntry, MallocTrimTrimsTheHeapThatServesTheProcess) {
    ASSERT_EQ(0, thread_cache_configure());
    std::thread([] {
        void *cached[20];
        for (void *&block : cached)
            block = thread_cache_malloc(64);
        for (void *block : cached)
            thread_cache_free(block);
        size_t held = thread_cache_bytes();
        ASSERT_GT(held, 0u);

        // Free memory of the C library's below a block still in use, so
        // that only a trim can give it back.
        void *freed[40];
        for (void *&block : freed)
            block = __libc_malloc(64 * 1024);
        void *above = __libc_malloc(100);
        for (void *block : freed)
            __libc_free(block);
        EXPECT_EQ(1, malloc_trim(0)) << "the C library's allocator did not trim";
        __libc_free(above);
        EXPECT_EQ(held, thread_cache_bytes()) << "an unhooked trim emptied a cache";

        quarrow_malloc_hook = fake_malloc;
        malloc_trim(0);
        quarrow_malloc_hook = nullptr;
        EXPECT_EQ(0u, thread_cache_bytes()) << "a hooked trim left the caller's cache";
        EXPECT_EQ(private_heap_check(), 0);
    }).join();
}

} // namespace
