// Stack capture against real call chains of known depth, and the copies and
// releases of stacks and strings on the private heap.
#include <gtest/gtest.h>

#include <pthread.h>
#include <string.h>

#include <string>
#include <vector>

#include "private_heap/private_heap.h"
#include "stack_walk/stack_walk.h"

namespace {

size_t in_use() { return dlmallinfo().uordblks; }

// Each level of the chain records its own return address, so that the
// expected frames come from the compiler, not from the code under test.
constexpr int kMaxLevels = 64;
void *g_return_address[kMaxLevels];

struct Capture {
    int depth;
    unsigned skip;
    call_stack *stack;
};

// Level 0 is the innermost and calls walk_stack; level i returns into level
// i + 1. The barrier after each call keeps it from being a tail call.
__attribute__((noinline)) void descend(int level, Capture *capture) {
    g_return_address[level] = __builtin_return_address(0);
    if (level == 0)
        capture->stack = walk_stack(capture->depth, capture->skip);
    else
        descend(level - 1, capture);
    asm volatile("" ::: "memory");
}

call_stack *capture_at(int levels, int depth, unsigned skip) {
    Capture capture = {depth, skip, nullptr};
    descend(levels - 1, &capture);
    return capture.stack;
}

// Backtrace entry k (k >= 2) is the return address recorded by level k - 2:
// entry 0 is inside walk_stack and entry 1 inside level 0.
void expect_frames_from_entry(const call_stack *stack, unsigned first_entry, unsigned count) {
    ASSERT_NE(stack, nullptr);
    ASSERT_EQ(stack->frame_count, count);
    for (unsigned j = 0; j < count; ++j)
        EXPECT_EQ(stack->return_addresses[j], g_return_address[first_entry + j - 2]) << "frame " << j;
}

TEST(WalkStack, SkipDropsExactlyTheInnermostEntries) {
    // With a skip of 3 the first frame is where level 1 returns into level 2:
    // the caller of the caller of walk_stack's caller.
    call_stack *s = capture_at(20, 7, 3);
    expect_frames_from_entry(s, 3, 7);
    free_stack(s);

    s = capture_at(20, 5, 2);
    expect_frames_from_entry(s, 2, 5);
    free_stack(s);

    s = capture_at(20, 1, 10);
    expect_frames_from_entry(s, 10, 1);
    free_stack(s);
}

TEST(WalkStack, ShallowStacksKeepWhatIsLeftAfterTheSkip) {
    // The whole stack at this point, however deep the test runner is.
    call_stack *all = capture_at(4, QUARROW_MAX_STACK_DEPTH, 0);
    ASSERT_NE(all, nullptr);
    unsigned total = all->frame_count;
    ASSERT_GT(total, 6u);
    free_stack(all);

    call_stack *two = capture_at(4, 7, total - 2); // only 2 entries past the skip
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->frame_count, 2u);
    free_stack(two);

    for (unsigned skip : {total, total + 1, 100000u, 0xffffffffu}) {
        call_stack *empty = capture_at(4, 7, skip);
        ASSERT_NE(empty, nullptr) << "skip " << skip;
        EXPECT_EQ(empty->frame_count, 0u);
        EXPECT_EQ(empty->return_addresses, nullptr);
        free_stack(empty);
    }
}

TEST(WalkStack, NonPositiveDepthGivesAnEmptyStack) {
    for (int depth : {0, -1, -2147483647 - 1}) {
        call_stack *s = walk_stack(depth, 0);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->frame_count, 0u);
        free_stack(s);
    }
}

// A huge depth must neither overflow a small thread stack nor keep more than
// the cap, even when the chain is deeper than the cap.
void *deep_capture_on_small_stack(void *) {
    Capture capture = {1 << 30, 3, nullptr};
    descend(8, &capture);
    return capture.stack;
}

TEST(WalkStack, HugeDepthsAreCappedAndSafeOnSmallStacks) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, deep_capture_on_small_stack, nullptr), 0);
    void *result = nullptr;
    pthread_join(thread, &result);
    pthread_attr_destroy(&attr);
    call_stack *s = (call_stack *)result;
    ASSERT_NE(s, nullptr);
    EXPECT_GT(s->frame_count, 6u); // eight levels less the skip, plus the thread's start
    EXPECT_LE(s->frame_count, (unsigned)QUARROW_MAX_STACK_DEPTH);
    free_stack(s);
}

__attribute__((noinline)) call_stack *recurse_then_walk(int n, int depth) {
    call_stack *s = n == 0 ? walk_stack(depth, 0) : recurse_then_walk(n - 1, depth);
    asm volatile("" ::: "memory");
    return s;
}

TEST(WalkStack, ChainsDeeperThanTheCapKeepTheCap) {
    call_stack *s = recurse_then_walk(QUARROW_MAX_STACK_DEPTH + 200, 1 << 20);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->frame_count, (unsigned)QUARROW_MAX_STACK_DEPTH);
    free_stack(s);
}

// A frame with a frame pointer, as an entry point has: both captures from
// here must give the same frames, the whole walk with this frame and
// capture_frames's own skipped, the other started at this frame.
struct FromFrame {
    int depth;
    std::vector<void *> whole, started;
    bool started_here;
};

__attribute__((noinline)) void capture_both_ways(FromFrame *run) {
    const uintptr_t *frame = (const uintptr_t *)__builtin_frame_address(0);
    void *scratch[QUARROW_CAPTURE_SCRATCH];
    void **frames;
    uint32_t count = capture_frames(scratch, run->depth, 2, &frames);
    run->whole.assign(frames, frames + count);
    count = 0;
    run->started_here = capture_frames_from(scratch, run->depth, frame, &frames, &count);
    if (run->started_here)
        run->started.assign(frames, frames + count);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void recurse_then_capture(int n, FromFrame *run) {
    if (n == 0)
        capture_both_ways(run);
    else
        recurse_then_capture(n - 1, run);
    asm volatile("" ::: "memory");
}

TEST(WalkStack, StartingAtAKnownFrameGivesTheFramesOfTheWholeWalk) {
    for (int levels : {0, 1, 5, 40}) {
        for (int depth : {1, 2, 7, 30, QUARROW_MAX_STACK_DEPTH}) {
            FromFrame run{depth, {}, {}, false};
            recurse_then_capture(levels, &run);
            ASSERT_TRUE(run.started_here) << "levels " << levels << ", depth " << depth;
            ASSERT_FALSE(run.whole.empty());
            EXPECT_EQ(run.started, run.whole) << "levels " << levels << ", depth " << depth;
        }
    }
    // The other methods need the whole walk: the caller is told to make it.
    for (const char *method : {"backtrace", "check"}) {
        ASSERT_EQ(configure_stack_capture(method), 0);
        FromFrame run{7, {}, {}, true};
        testing::internal::CaptureStderr();
        capture_both_ways(&run);
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(run.started_here) << method;
        EXPECT_EQ(run.whole.size(), 7u) << method;
    }
    ASSERT_EQ(configure_stack_capture("fast"), 0);
}

TEST(WalkStack, OutOfMemoryReportsAndLeavesNothingAllocated) {
    size_t before = in_use();
    for (int successes : {0, 1}) { // the record, then the address array
        testing::internal::CaptureStderr();
        private_heap_fail_after(successes);
        call_stack *s = capture_at(10, 7, 3);
        private_heap_fail_after(-1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(err.rfind("QUARROW ERROR: Malloc failed (out of native memory), File: src/stack_walk.cpp, Line: ", 0),
                  0u)
            << err;
        EXPECT_EQ(in_use(), before);
    }
}

TEST(CloneStack, CopiesAreDeepAndOutliveTheirSource) {
    call_stack *source = capture_at(12, 7, 3);
    ASSERT_NE(source, nullptr);
    void *expected[7];
    memcpy(expected, source->return_addresses, sizeof expected);

    call_stack *copy = clone_stack(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, source);
    EXPECT_NE(copy->return_addresses, source->return_addresses);
    free_stack(source);
    ASSERT_EQ(copy->frame_count, 7u);
    EXPECT_EQ(memcmp(copy->return_addresses, expected, sizeof expected), 0);
    free_stack(copy);
}

TEST(CloneStack, EmptyStacksCopyAndRelease) {
    size_t before = in_use();
    call_stack *empty = walk_stack(7, 100000);
    ASSERT_NE(empty, nullptr);
    call_stack *copy = clone_stack(empty);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->frame_count, 0u);
    free_stack(copy);
    free_stack(empty);
    EXPECT_EQ(in_use(), before);
}

TEST(CloneStack, OutOfMemoryReportsAndLeavesNothingAllocated) {
    call_stack *source = capture_at(10, 7, 3);
    ASSERT_NE(source, nullptr);
    size_t before = in_use();
    for (int successes : {0, 1}) {
        testing::internal::CaptureStderr();
        private_heap_fail_after(successes);
        call_stack *copy = clone_stack(source);
        private_heap_fail_after(-1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(copy, nullptr);
        EXPECT_EQ(err.rfind("QUARROW ERROR: Malloc failed, File: src/stack_walk.cpp, Line: ", 0), 0u) << err;
        EXPECT_EQ(in_use(), before);
    }
    free_stack(source);
}

} // namespace
