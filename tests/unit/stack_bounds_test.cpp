// Captures below a frame that left garbage in the frame pointer, as compiled
// Java code does. The i386 backtrace follows such a link wherever it lies
// below the main stack's end, so on any other thread it reads outside the
// stack and faults; x86_64's stops at that frame. Every method of the
// library must stop at the stack's edge, keep the frames above it, and give
// backtrace's frames wherever backtrace stays inside the stack. On x86_64
// the engine's own bounds are tried with a frame whose unwind rules read
// through the garbage.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "stack_walk/stack_walk_internal.h"
#include "stack_walk/stack_walk.h"
#include "unwind_capture.h"
#include "unwind_chains.h"

extern "C" void *__libc_stack_end;

namespace {

constexpr int kShotFrames = QUARROW_MAX_STACK_DEPTH + 8;
const uintptr_t kPage = (uintptr_t)sysconf(_SC_PAGESIZE);

typedef int (*Method)(void **, int);

struct Shot {
    int count;
    void *frames[kShotFrames];
};

// What one probe saw: each method from one call instruction, then
// walk_stack in each capture mode.
struct Probe {
    std::vector<Method> methods;
    int size = 64;
    std::vector<Shot> shots;
    bool bounded_cut = false;
    std::vector<call_stack *> walked; // per mode, per depth
    std::vector<int> walk_depths;
    std::vector<const char *> walk_modes = {"fast", "backtrace", "check"};
    const void *planter = (const void *)call_with_planted_frame_pointer; // where the walks must end
};

__attribute__((noipa)) void shoot(Probe *probe) {
    volatile int count = (int)probe->methods.size();
#pragma GCC unroll 1
    for (int m = 0; m < count; m++) {
        probe->shots[m].count = capture_with(probe->methods[m], probe->shots[m].frames, probe->size);
        if (probe->methods[m] == bounded_backtrace)
            probe->bounded_cut = bounded_backtrace_was_cut();
    }
}

int run_probe(void *argument) {
    Probe *probe = (Probe *)argument;
    probe->shots.resize(probe->methods.size());
    EXPECT_EQ(configure_stack_capture("fast"), 0); // as start-up does: the platform's entry lookup is found
    shoot(probe);
    for (const char *mode : probe->walk_modes) {
        EXPECT_EQ(configure_stack_capture(mode), 0);
        for (int depth : probe->walk_depths)
            probe->walked.push_back(walk_stack(depth, 0));
    }
    configure_stack_capture("fast");
    asm volatile("" ::: "memory");
    return 0;
}

std::string listing(const Shot &shot) {
    std::string text;
    for (int i = 0; i < shot.count; i++) {
        Dl_info info;
        char line[256];
        bool named = dladdr(shot.frames[i], &info) && info.dli_sname;
        snprintf(line, sizeof line, "  #%d %p %s\n", i, shot.frames[i], named ? info.dli_sname : "?");
        text += line;
    }
    return text;
}

bool inside_planting_frame(const Probe &probe, void *address) {
    return (uintptr_t)address - (uintptr_t)probe.planter < 40;
}

// The frames every method shares, from the probe's own frame outwards,
// must end at the frame that planted the garbage.
void expect_stopped_at_planting_frame(const Probe &probe, const std::string &where) {
    for (size_t m = 0; m < probe.shots.size(); m++) {
        const Shot &shot = probe.shots[m];
        ASSERT_GE(shot.count, 4) << where << ", method " << m;
        EXPECT_TRUE(inside_planting_frame(probe, shot.frames[shot.count - 1]))
            << where << ", method " << m << " went on past the planted frame pointer: " << shot.count << " frames";
        EXPECT_EQ(shot.count, probe.shots[0].count) << where << ", method " << m;
        for (int i = 1; i < shot.count && i < probe.shots[0].count; i++)
            EXPECT_EQ(shot.frames[i], probe.shots[0].frames[i]) << where << ", method " << m << ", frame " << i;
    }
    const call_stack *first = probe.walked.at(0);
    for (const call_stack *walked : probe.walked) {
        ASSERT_NE(walked, nullptr);
        ASSERT_GE(walked->frame_count, 3u) << where;
        EXPECT_TRUE(inside_planting_frame(probe, walked->return_addresses[walked->frame_count - 1])) << where;
        ASSERT_EQ(walked->frame_count, first->frame_count) << where;
        for (uint32_t i = 1; i < walked->frame_count; i++)
            EXPECT_EQ(walked->return_addresses[i], first->return_addresses[i]) << where << ", frame " << i;
    }
}

void release(Probe &probe) {
    for (call_stack *walked : probe.walked)
        if (walked)
            free_stack(walked);
    probe.walked.clear();
}

const std::vector<Method> kSafeMethods = {quarrow_backtrace, quarrow_fast_unwind, bounded_backtrace};

// Runs `body` on a thread whose stack lies in `stack`, below everything
// mapped before it, as the platform places thread stacks.
void on_thread_with_stack(void *stack, size_t size, const std::function<void()> &body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstack(&attributes, stack, size), 0);
    pthread_t thread;
    auto start = [](void *b) -> void * {
        (*(const std::function<void()> *)b)();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, start, (void *)&body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

struct Mapping {
    void *at;
    size_t size;
    Mapping(size_t bytes, int protection) : size(bytes) {
        at = mmap(nullptr, bytes, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    ~Mapping() {
        if (at != MAP_FAILED)
            munmap(at, size);
    }
    uintptr_t address() const { return (uintptr_t)at; }
};

// A frame pointer into memory that is mapped but unreadable, above the
// thread's stack and below the main stack's end: backtrace's own rule lets
// it through, as it let the VM's reserved heap through.
struct UnreadableAboveTheStack : ::testing::Test {
    Mapping unreadable{2 * kPage, PROT_NONE};
    Mapping stack{256 * 1024, PROT_READ | PROT_WRITE};

    void SetUp() override {
        ASSERT_NE(unreadable.at, MAP_FAILED);
        ASSERT_NE(stack.at, MAP_FAILED);
        ASSERT_LT(stack.address() + stack.size, unreadable.address()) << "the mappings did not come top-down";
        ASSERT_LT(unreadable.address(), (uintptr_t)__libc_stack_end);
    }
    uintptr_t planted() const { return unreadable.address() + 8; }
};

TEST_F(UnreadableAboveTheStack, EveryMethodStopsThereAtDepths64And1024) {
    for (int size : {64, QUARROW_MAX_STACK_DEPTH}) {
        Probe probe;
        probe.methods = kSafeMethods;
        probe.size = size;
        probe.walk_depths = {64, QUARROW_MAX_STACK_DEPTH};
        quarrow_unwinder_counts before, after;
        quarrow_get_unwinder_counts(&before);
        on_thread_with_stack(stack.at, stack.size,
                             [&] { call_with_planted_frame_pointer(run_probe, &probe, planted()); });
        quarrow_get_unwinder_counts(&after);
        expect_stopped_at_planting_frame(probe, "size " + std::to_string(size));
        // Only a backtrace that follows the chain would have left the stack.
        EXPECT_EQ(probe.bounded_cut, kBacktraceFollowsFrameChain)
            << "the bounded walk misjudged whether backtrace would leave the stack";
        EXPECT_EQ(after.mismatches, before.mismatches);
        EXPECT_EQ(after.cut_at_stack_edge - before.cut_at_stack_edge, kBacktraceFollowsFrameChain ? 2u : 0u)
            << "one per check-mode walk";
        release(probe);
    }
}

#if defined(__i386__)
// The fault is real: the platform's backtrace alone follows the same link.
TEST_F(UnreadableAboveTheStack, BacktraceAloneFaultsThere) {
    EXPECT_DEATH(
        {
            Probe probe;
            probe.methods = {backtrace};
            on_thread_with_stack(stack.at, stack.size,
                                 [&] { call_with_planted_frame_pointer(run_probe, &probe, planted()); });
        },
        "");
}

// A link to a readable chain outside the thread's stack (on the main
// thread's): backtrace follows it and reports its made-up return addresses;
// every method of the library gives backtrace's frames up to there.
TEST(StackBounds, ChainOnAnotherThreadsStackIsNotFollowed) {
    void *const made_up[3] = {(void *)0x1234, (void *)0x5678, (void *)0x9abc};
    volatile uintptr_t chain[6];
    chain[0] = (uintptr_t)&chain[2];
    chain[1] = (uintptr_t)made_up[0];
    chain[2] = (uintptr_t)&chain[4];
    chain[3] = (uintptr_t)made_up[1];
    chain[4] = 0;
    chain[5] = (uintptr_t)made_up[2];

    Probe probe;
    probe.methods = kSafeMethods;
    probe.methods.push_back(backtrace);
    probe.walk_depths = {64};
    std::thread([&] { call_with_planted_frame_pointer(run_probe, &probe, (uintptr_t)&chain[0]); }).join();

    Shot platform = probe.shots.back();
    probe.shots.pop_back();
    expect_stopped_at_planting_frame(probe, "chain on the main stack");
    int ours = probe.shots[0].count;
    ASSERT_EQ(platform.count, ours + 3) << "backtrace did not follow the planted chain";
    for (int i = 1; i < ours; i++)
        EXPECT_EQ(platform.frames[i], probe.shots[0].frames[i]) << "frame " << i;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(platform.frames[ours + i], made_up[i]);
    EXPECT_TRUE(probe.bounded_cut);
    release(probe);
}

// A link back down the stack (here, to itself) would repeat one frame up to
// the size; a chain must climb.
TEST(StackBounds, LinkThatDoesNotClimbEndsTheChain) {
    Probe probe;
    probe.methods = kSafeMethods;
    probe.walk_depths = {64};
    std::thread([&] {
        volatile uintptr_t loop[2];
        loop[0] = (uintptr_t)&loop[0];
        loop[1] = 0x4242;
        call_with_planted_frame_pointer(run_probe, &probe, (uintptr_t)&loop[0]);
    }).join();
    for (const Shot &shot : probe.shots) {
        ASSERT_GE(shot.count, 5);
        EXPECT_TRUE(inside_planting_frame(probe, shot.frames[shot.count - 2]));
        EXPECT_EQ(shot.frames[shot.count - 1], (void *)0x4242) << "the first link is on the stack and is kept";
    }
    EXPECT_TRUE(probe.bounded_cut);
    release(probe);
}
#elif defined(__x86_64__)
// x86_64's backtrace follows no frame-pointer link: below the garbage it
// stops at the planting frame, with the library's frames.
TEST_F(UnreadableAboveTheStack, BacktraceAloneStopsThereToo) {
    Probe probe;
    probe.methods = {backtrace, quarrow_backtrace};
    probe.walk_depths = {64};
    on_thread_with_stack(stack.at, stack.size, [&] { call_with_planted_frame_pointer(run_probe, &probe, planted()); });
    expect_stopped_at_planting_frame(probe, "backtrace");
    release(probe);
}

// A frame whose unwind rules read the caller's frame through the planted
// frame pointer. The platform's unwinder trusts the rules; the engine stops
// where they would leave the stack, and that is all that keeps it inside.
const std::vector<Method> kEngineMethods = {quarrow_backtrace, quarrow_fast_unwind};

TEST_F(UnreadableAboveTheStack, TheEngineStopsWhereFrameRulesReadThere) {
    for (int size : {64, QUARROW_MAX_STACK_DEPTH}) {
        Probe probe;
        probe.methods = kEngineMethods;
        probe.size = size;
        probe.walk_depths = {64, QUARROW_MAX_STACK_DEPTH};
        probe.walk_modes = {"fast"};
        probe.planter = (const void *)call_with_planted_frame_rules;
        on_thread_with_stack(stack.at, stack.size,
                             [&] { call_with_planted_frame_rules(run_probe, &probe, planted()); });
        expect_stopped_at_planting_frame(probe, "size " + std::to_string(size));
        release(probe);
    }
}

TEST_F(UnreadableAboveTheStack, BacktraceFollowingThoseRulesFaults) {
    EXPECT_DEATH(
        {
            Probe probe;
            probe.methods = {backtrace};
            on_thread_with_stack(stack.at, stack.size,
                                 [&] { call_with_planted_frame_rules(run_probe, &probe, planted()); });
        },
        "");
}

// The same rules pointing at a readable frame on another thread's stack
// (the main thread's): backtrace follows it to its return address, the
// engine stops short of it with backtrace's frames up to there.
TEST(StackBounds, FrameOnAnotherThreadsStackIsNotFollowed) {
    void *const made_up = (void *)(code_without_unwind_info + 8); // readable, and where backtrace stops
    volatile uintptr_t frame[2] = {0, (uintptr_t)made_up};

    Probe probe;
    probe.methods = kEngineMethods;
    probe.methods.push_back(backtrace);
    probe.walk_depths = {64};
    probe.walk_modes = {"fast"};
    probe.planter = (const void *)call_with_planted_frame_rules;
    std::thread([&] { call_with_planted_frame_rules(run_probe, &probe, (uintptr_t)&frame[0]); }).join();

    Shot platform = probe.shots.back();
    probe.shots.pop_back();
    expect_stopped_at_planting_frame(probe, "frame on the main stack");
    int ours = probe.shots[0].count;
    ASSERT_EQ(platform.count, ours + 1) << "backtrace did not follow the planted frame";
    for (int i = 1; i < ours; i++)
        EXPECT_EQ(platform.frames[i], probe.shots[0].frames[i]) << "frame " << i;
    EXPECT_EQ(platform.frames[ours], made_up);
    release(probe);
}

// A frame whose rules give the return address and the CFA of the frame
// before it makes no progress: x86_64's backtrace ends there without it, and
// so must every method, rather than repeat the frame up to the size. Here
// the planting frame's rules lead to a copy of it that leads to itself.
TEST(StackBounds, AFrameThatRepeatsEndsTheWalk) {
    Probe probe;
    probe.methods = {backtrace, quarrow_backtrace, quarrow_fast_unwind, bounded_backtrace};
    probe.walk_depths = {64};
    probe.planter = (const void *)call_with_planted_frame_rules;
    std::thread([&] {
        volatile uintptr_t loop[2];
        loop[0] = (uintptr_t)&loop[0];
        loop[1] = (uintptr_t)planted_frame_rules_return;
        call_with_planted_frame_rules(run_probe, &probe, (uintptr_t)&loop[0]);
    }).join();
    expect_stopped_at_planting_frame(probe, "a frame that repeats");
    for (const Shot &shot : probe.shots) {
        ASSERT_GE(shot.count, 5);
        EXPECT_EQ(shot.frames[shot.count - 2], (void *)planted_frame_rules_return) << listing(shot);
        EXPECT_EQ(shot.frames[shot.count - 1], (void *)planted_frame_rules_return) << "the copy is kept";
    }
    release(probe);
}
#else
#error "the unwind tests support i386 and x86_64 only"
#endif

// A coroutine's stack, made with makecontext in a mapping whose next page is
// unreadable. The plain capture ends at the context's start; a link planted
// in the stack's last word, whose second word would be read from the
// unreadable page, is not followed (on x86_64: frame rules that read there).
typedef int (*Planter)(int (*)(void *), void *, uintptr_t);

struct Coroutine {
    static constexpr size_t kStackBytes = 64 * 1024;
    Mapping memory{kStackBytes + kPage, PROT_READ | PROT_WRITE};
    ucontext_t caller, context;
    Probe probe;
    uintptr_t planted = 0;
    Planter planter = call_with_planted_frame_pointer;

    // makecontext passes only ints, too narrow for a pointer on x86_64.
    static inline Coroutine *starting = nullptr;

    static void entry() {
        Coroutine *self = starting;
        if (self->planted)
            self->planter(run_probe, &self->probe, self->planted);
        else
            run_probe(&self->probe);
    }

    void run() {
        ASSERT_NE(memory.at, MAP_FAILED);
        ASSERT_EQ(mprotect((char *)memory.at + kStackBytes, kPage, PROT_NONE), 0);
        ASSERT_EQ(getcontext(&context), 0);
        context.uc_stack.ss_sp = memory.at;
        context.uc_stack.ss_size = kStackBytes;
        context.uc_link = &caller;
        starting = this;
        makecontext(&context, entry, 0);
        ASSERT_EQ(swapcontext(&caller, &context), 0);
    }
};

TEST(StackBounds, InsideAMakecontextStack) {
    std::thread([] {
        Coroutine plain;
        plain.probe.methods = kSafeMethods;
        plain.probe.methods.push_back(backtrace); // safe: nothing planted
        plain.probe.size = 256;
        plain.probe.walk_depths = {64};
        plain.run();
        // Below the context's start the i386 backtrace follows whatever ebp
        // held at the switch, here a link into the thread's own stack; the
        // walk ends at the start instead, with backtrace's frames up to there.
        const Shot &platform = plain.probe.shots.back();
        const Shot &ours = plain.probe.shots[0];
        ASSERT_GE(ours.count, 3);
        ASSERT_LE(ours.count, platform.count);
        Dl_info info;
        ASSERT_TRUE(dladdr(ours.frames[ours.count - 1], &info) && info.dli_fname);
        EXPECT_TRUE(strstr(info.dli_fname, "libc.so")) << "the walk did not end at the context's start\n"
                                                       << listing(ours);
        EXPECT_EQ(plain.probe.bounded_cut, platform.count > ours.count);
        for (const Shot &shot : plain.probe.shots) {
            int n = shot.count;
            ASSERT_EQ(n, &shot == &platform ? platform.count : ours.count) << listing(shot) << "against backtrace's\n"
                                                                           << listing(platform);
            EXPECT_EQ(memcmp(shot.frames, platform.frames, ours.count * sizeof(void *)), 0) << listing(shot);
        }
        release(plain.probe);

        Coroutine planted;
        planted.probe.methods = kSafeMethods;
        planted.probe.walk_depths = {64, QUARROW_MAX_STACK_DEPTH};
#if defined(__x86_64__)
        planted.planter = call_with_planted_frame_rules;
        planted.probe.planter = (const void *)call_with_planted_frame_rules;
        planted.probe.methods = kEngineMethods;
        planted.probe.walk_modes = {"fast"};
#endif
        planted.planted = planted.memory.address() + Coroutine::kStackBytes - sizeof(uintptr_t);
        planted.run();
        expect_stopped_at_planting_frame(planted.probe, "planted at the coroutine stack's last word");
        EXPECT_EQ(planted.probe.bounded_cut, kBacktraceFollowsFrameChain);
        release(planted.probe);
    }).join();
}

} // namespace

namespace {

// The main thread's stack grows below the region learnt at its first
// capture: a capture from deeper down must learn it anew and still give
// backtrace's frames.
__attribute__((noinline)) void capture_below(size_t bytes, Capture *capture) {
    volatile char *below = (volatile char *)alloca(bytes);
    below[0] = below[bytes - 1] = 1;
    capture_all(capture, kMaxFrames);
    asm volatile("" ::"r"(below) : "memory");
}

TEST(StackBounds, MainStackThatGrewIsLearntAgain) {
    ASSERT_EQ(configure_stack_capture("fast"), 0);
    Capture near, deep;
    capture_all(&near, kMaxFrames);
    capture_below(4u << 20, &deep); // far below any page the test touched before
    EXPECT_EQ(compare_captures(near, kEngineMustUnwind), "");
    EXPECT_EQ(compare_captures(deep, kEngineMustUnwind), "");
    EXPECT_GT(deep.count[kByEngine], 3);
}

} // namespace

namespace {

// Another thread may rewrite a frame of this one while a check-mode capture
// runs (a VM patches the return address of a compiled frame it deoptimises
// while this thread runs native code). The methods then disagree with none
// at fault: walked again they agree, and the capture is counted apart. A
// difference that stays is a mismatch. The frame rewritten here is one the
// frame-pointer chain reaches below code without unwind information, as
// below the VM's compiled code (i386), or one that frame rules place there
// (x86_64, whose backtrace follows no chain); its return address is where
// every method stops.
#if defined(__i386__)
const uintptr_t kBeforeRewrite = 0x11110, kAfterRewrite = 0x22220;
const Planter kRewritePlanter = call_with_planted_frame_pointer;
#elif defined(__x86_64__)
// Code addresses: an unwinder reads the code at a return address that no
// unwind information covers, to tell a signal return.
const uintptr_t kBeforeRewrite = (uintptr_t)code_without_unwind_info + 4,
                kAfterRewrite = (uintptr_t)code_without_unwind_info + 12;
const Planter kRewritePlanter = call_with_planted_frame_rules;
#else
#error "the unwind tests support i386 and x86_64 only"
#endif

struct Rewrite {
    uintptr_t *frame; // [link, return address] on this thread's stack, above the walk
    bool at_every_walk;
    int rewrites = 0;
    call_stack *walked = nullptr;
};
Rewrite *_rewrite;

void rewrite_return_address() {
    if (_rewrite->rewrites > 0 && !_rewrite->at_every_walk)
        return;
    _rewrite->frame[1] ^= kBeforeRewrite ^ kAfterRewrite;
    _rewrite->rewrites++;
}

int walk_in_check_mode(void *argument) {
    Rewrite *rewrite = (Rewrite *)argument;
    EXPECT_EQ(configure_stack_capture("check"), 0);
    _rewrite = rewrite;
    unwinder_check_between_walks = rewrite_return_address;
    rewrite->walked = walk_stack(64, 0);
    unwinder_check_between_walks = nullptr;
    EXPECT_EQ(configure_stack_capture("fast"), 0);
    asm volatile("" ::: "memory");
    return 0;
}

void *last_frame(const call_stack *walked) { return walked->return_addresses[walked->frame_count - 1]; }

// One check-mode capture below a chain whose last return address is
// rewritten after the engine's first walk, or after each of its walks.
struct CheckedCapture {
    call_stack *walked;
    int rewrites;
    uint32_t captures, mismatches, changed;
    std::string said; // standard error meanwhile
};

CheckedCapture capture_rewriting(bool at_every_walk) {
    uintptr_t frame[2] = {0, kBeforeRewrite}; // the chain's last link: it ends there
    Rewrite rewrite{frame, at_every_walk};
    quarrow_unwinder_counts before, after;
    quarrow_get_unwinder_counts(&before);
    testing::internal::CaptureStderr();
    kRewritePlanter(walk_in_check_mode, &rewrite, (uintptr_t)frame);
    std::string said = testing::internal::GetCapturedStderr();
    quarrow_get_unwinder_counts(&after);
    return {rewrite.walked,
            rewrite.rewrites,
            after.captures - before.captures,
            after.mismatches - before.mismatches,
            after.changed_between_walks - before.changed_between_walks,
            said};
}

TEST(CheckMode, AFrameRewrittenBetweenTheWalksIsWalkedAgainNotCountedAMismatch) {
    CheckedCapture c = capture_rewriting(false);
    ASSERT_NE(c.walked, nullptr);
    EXPECT_EQ(c.rewrites, 1);
    EXPECT_EQ(c.captures, 1u);
    EXPECT_EQ(c.mismatches, 0u) << c.said;
    EXPECT_EQ(c.changed, 1u) << c.said;
    EXPECT_EQ(last_frame(c.walked), (void *)kAfterRewrite) << "not the frames of the walk that agreed";
    EXPECT_NE(c.said.find("QUARROW UNWINDER STACK CHANGED: "), std::string::npos) << c.said;
    char expected[96];
    snprintf(expected, sizeof expected, "%p against %p; walked again, every method agreed", (void *)kBeforeRewrite,
             (void *)kAfterRewrite);
    EXPECT_NE(c.said.find(expected), std::string::npos) << c.said;
    free_stack(c.walked);
}

TEST(CheckMode, AFrameThatDiffersAtEveryWalkIsAMismatch) {
    CheckedCapture c = capture_rewriting(true);
    ASSERT_NE(c.walked, nullptr);
    EXPECT_EQ(c.rewrites, 2) << "walked once only";
    EXPECT_EQ(c.mismatches, 1u) << c.said;
    EXPECT_EQ(c.changed, 0u) << c.said;
    EXPECT_EQ(last_frame(c.walked), (void *)kBeforeRewrite);
    EXPECT_NE(c.said.find("QUARROW UNWINDER MISMATCH: "), std::string::npos) << c.said;
    free_stack(c.walked);
}

} // namespace
