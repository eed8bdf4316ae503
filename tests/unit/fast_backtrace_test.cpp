// The stack-capture engine against the platform's backtrace: each stack is
// captured by backtrace, by quarrow_backtrace and by the engine alone from
// the same call instruction, and the frames must be identical.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "stack_walk/stack_walk.h"
#include "unwind_capture.h"
#include "unwind_chains.h"

namespace {

void expect_all_agreed(Tally &tally, int at_least) {
    EXPECT_EQ(tally.mismatched, 0) << tally.first_failure;
    EXPECT_GE(tally.compared, at_least);
    printf("[ compared ] %d captures, %d mismatched, the engine declined %d\n", tally.compared.load(),
           tally.mismatched.load(), tally.declined.load());
}

TEST(FastBacktrace, NonPositiveSizesWriteNothingAndSizeOneGivesTheCallSite) {
    for (int (*method)(void **, int) : {quarrow_backtrace, quarrow_fast_unwind}) {
        EXPECT_EQ(method(nullptr, 0), 0);
        void *unwritten;
        memset(&unwritten, 0x5a, sizeof unwritten);
        for (int size : {0, -1, INT_MIN}) {
            void *frames[4];
            memset(frames, 0x5a, sizeof frames);
            EXPECT_EQ(method(frames, size), 0) << size;
            for (void *frame : frames)
                EXPECT_EQ(frame, unwritten) << size;
        }
    }
    Capture c;
    capture_all(&c, 1);
    EXPECT_EQ(compare_captures(c, kEngineMustUnwind), "");
    ASSERT_EQ(c.count[kByQuarrow], 1);
    Dl_info info; // entry 0 is the return address just after the call in capture_with
    ASSERT_TRUE(dladdr(c.frames[kByQuarrow][0], &info));
    EXPECT_STREQ(info.dli_sname, "capture_with");
}

// Returns backtrace's count, so callers can aim sizes at the end of the stack.
int capture_chain(Tally &tally, int levels, int size, EnginePolicy policy, int realigned_level = -1) {
    Capture c;
    ChainRun run{&c, size};
    run.realigned_level = realigned_level;
    run_chain(levels, &run);
    tally.add(c, policy,
              "chain of " + std::to_string(levels) + " (realigned level " + std::to_string(realigned_level) + ")");
    return c.count[kByBacktrace];
}

TEST(FastBacktrace, DeepOptimisedChainsAtEveryDepth) {
    Tally tally;
    for (int levels : {30, 47, 60}) {
        int whole = capture_chain(tally, levels, kMaxFrames, kEngineMustUnwind);
        ASSERT_GT(whole, levels) << "the chain's frames are not all there";
        ASSERT_LT(whole, kMaxFrames) << "the capture did not stop at the process's start";
        if (levels == 30) { // every size, through the end of the stack and one past it
            for (int size = 1; size <= whole + 1; size++)
                capture_chain(tally, levels, size, kEngineMustUnwind);
        } else {
            for (int size : {1, 2, 10, levels, levels + 2, levels + 3, whole - 1, whole, whole + 1})
                capture_chain(tally, levels, size, kEngineMustUnwind);
        }
    }
    expect_all_agreed(tally, 70);
}

// An unwinder may decline these, but quarrow_backtrace must still equal
// backtrace: a frame whose rules are expressions, and a frame with no unwind
// information, below which backtrace goes on along the frame-pointer chain.
TEST(FastBacktrace, FramesTheEngineMayLeaveToBacktrace) {
    Tally tally;
    int whole = capture_chain(tally, 20, kMaxFrames, kEngineMayDecline, 9);
    for (int size = 1; size <= whole + 1; size++)
        capture_chain(tally, 20, size, kEngineMayDecline, 9);

    // Below a frame without unwind information the i386 platform follows the
    // frame-pointer chain, and x86_64's stops; once start-up has found the
    // platform's own entry lookup, the engine does the same itself.
    ASSERT_EQ(configure_stack_capture("fast"), 0);
    Capture c;
    ChainRun run{&c, kMaxFrames};
    call_without_unwind_info(chain_entry, &run);
    tally.add(c, kEngineMustUnwind, "below a frame without unwind information");
    whole = c.count[kByBacktrace];
    int reached_at = -1;
    for (int i = 0; i < whole; i++)
        if ((unsigned)((char *)c.frames[kByBacktrace][i] - (char *)call_without_unwind_info) < 32)
            reached_at = i;
    EXPECT_GE(reached_at, 0) << "backtrace never reached the frame without unwind information";
#if defined(__x86_64__)
    EXPECT_EQ(reached_at, whole - 1) << "x86_64's backtrace went on below the frame without unwind information";
#endif
    for (run.size = 1; run.size <= whole + 1; run.size++) {
        call_without_unwind_info(chain_entry, &run);
        tally.add(c, kEngineMustUnwind, "below a frame without unwind information");
    }
    expect_all_agreed(tally, 30);
}

TEST(FastBacktrace, InsideAnInlinedStdSortComparator) {
    std::vector<Capture> captures;
    ASSERT_TRUE(std_sort_capturing(captures, 3000, 331));
    Tally tally;
    for (const Capture &c : captures)
        tally.add(c, kEngineMustUnwind, "std::sort comparator");
    expect_all_agreed(tally, 80);
}

TEST(FastBacktrace, InsideCallbacksFromLibcAndLibstdcxx) {
    std::vector<Capture> from_qsort, from_streams;
    ASSERT_TRUE(qsort_capturing(from_qsort, 2000, 211));
    capture_in_libstdcxx_callbacks(from_streams);
    EXPECT_GE(from_streams.size(), 13u); // three per round, four rounds, and call_once

    Tally tally;
    bool through_libc = false, through_libstdcxx = false;
    for (const Capture &c : from_qsort) {
        tally.add(c, kEngineMustUnwind, "qsort comparator");
        through_libc |= passes_through(c, "libc.so");
    }
    for (const Capture &c : from_streams) {
        tally.add(c, kEngineMustUnwind, "stream buffer or call_once");
        through_libstdcxx |= passes_through(c, "libstdc++");
    }
    EXPECT_TRUE(through_libc);
    EXPECT_TRUE(through_libstdcxx);
    expect_all_agreed(tally, 60);
}

Capture g_handler_capture;
std::atomic<int> g_handled;

void capture_in_handler(int) {
    capture_all(&g_handler_capture, kMaxFrames);
    g_handled = 1;
}

void capture_in_info_handler(int, siginfo_t *, void *) {
    capture_all(&g_handler_capture, kMaxFrames);
    g_handled = 1;
}

void install_handler(bool with_info, bool on_alternate_stack) {
    struct sigaction action = {};
    if (with_info) {
        action.sa_sigaction = capture_in_info_handler;
        action.sa_flags = SA_SIGINFO;
    } else {
        action.sa_handler = capture_in_handler;
    }
    if (on_alternate_stack)
        action.sa_flags |= SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
}

TEST(FastBacktrace, InsideSignalHandlers) {
    Tally tally;
    struct sigaction previous;
    sigaction(SIGUSR1, nullptr, &previous);
    std::vector<char> alternate(256 * 1024);
    stack_t stack = {};
    stack.ss_sp = alternate.data();
    stack.ss_size = alternate.size();
    ASSERT_EQ(sigaltstack(&stack, nullptr), 0);

    // Both kinds of signal frame (their return trampolines differ), on this
    // stack and on the alternate one.
    for (bool with_info : {false, true}) {
        for (bool on_alternate_stack : {false, true}) {
            install_handler(with_info, on_alternate_stack);
            g_handled = 0;
            raise(SIGUSR1);
            ASSERT_EQ(g_handled, 1);
            tally.add(g_handler_capture, kEngineMayDecline,
                      std::string("raise, ") + (with_info ? "SA_SIGINFO" : "plain") +
                          (on_alternate_stack ? ", alternate stack" : ""));
        }
    }

    install_handler(true, false);
    std::thread([&] {
        g_handled = 0;
        pthread_kill(pthread_self(), SIGUSR1);
        tally.add(g_handler_capture, kEngineMayDecline, "pthread_kill of its own thread");
    }).join();

    // Delivered wherever a thread spinning at the bottom of a chain happens to be.
    volatile int stop = 0;
    Capture unused;
    ChainRun run{&unused, 0};
    run.spin_until = &stop;
    std::thread spinner([&] { run_chain(12, &run); });
    for (int i = 0; i < 20; i++) {
        g_handled = 0;
        pthread_kill(spinner.native_handle(), SIGUSR1);
        while (!g_handled)
            std::this_thread::yield();
        tally.add(g_handler_capture, kEngineMayDecline, "signal into a spinning chain");
    }
    stop = 1;
    spinner.join();

    sigaction(SIGUSR1, &previous, nullptr);
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    expect_all_agreed(tally, 25);
}

// The whole stack, then every size up to one past its end.
__attribute__((noinline)) std::vector<Capture> capture_at_every_size() {
    std::vector<Capture> out(1);
    capture_all(&out[0], kMaxFrames);
    for (int size = 1; size <= out[0].count[kByBacktrace] + 1 && size < kMaxFrames; size++) {
        out.emplace_back();
        capture_all(&out.back(), size);
    }
    return out;
}

void *capture_at_thread_start(void *out) {
    *(std::vector<Capture> *)out = capture_at_every_size();
    return nullptr;
}

void expect_stop_at_thread_start(Tally &tally, const std::vector<Capture> &captures, const char *how) {
    ASSERT_FALSE(captures.empty());
    const Capture &whole = captures[0];
    int n = whole.count[kByBacktrace];
    Dl_info info; // the last frame is the thread's start in libc, far short of the size
    ASSERT_TRUE(n > 0 && n < 20 && dladdr(whole.frames[kByBacktrace][n - 1], &info)) << how << ": " << n;
    EXPECT_TRUE(strstr(info.dli_fname, "libc.so")) << how << ": ends in " << info.dli_fname;
    for (const Capture &c : captures)
        tally.add(c, kEngineMustUnwind, how);
}

TEST(FastBacktrace, StopsAtTheThreadsOutermostFrame) {
    Tally tally;
    std::vector<Capture> captures;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, capture_at_thread_start, &captures), 0);
    pthread_join(thread, nullptr);
    expect_stop_at_thread_start(tally, captures, "pthread_create");

    std::thread([&] { captures = capture_at_every_size(); }).join();
    expect_stop_at_thread_start(tally, captures, "std::thread");
    EXPECT_TRUE(passes_through(captures[0], "libstdc++"));
    expect_all_agreed(tally, 8);
}

const char *const kPlugins[] = {UNWIND_PLUGIN_A, UNWIND_PLUGIN_B};
typedef int (*PluginDescend)(int depth, int (*callback)(void *), void *arg);

int capture_from_plugin(void *capture) {
    capture_all((Capture *)capture, kMaxFrames);
    return 1;
}

// Loads the plugin, captures through `depth` of its frames, unloads it. The
// engine may decline only where an unload can have overlapped the capture.
bool capture_through_plugin(Tally &tally, const char *path, int depth, EnginePolicy policy) {
    void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    PluginDescend descend = handle ? (PluginDescend)dlsym(handle, "plugin_descend") : nullptr;
    if (!descend) {
        tally.fail(std::string("cannot load ") + path + ": " + dlerror());
        return false;
    }
    Capture c;
    descend(depth, capture_from_plugin, &c);
    // Compared while loaded, so that the frames can still be named.
    tally.add(c, policy, std::string("through ") + path);
    if (!passes_through(c, "unwind_plugin_"))
        tally.fail("backtrace did not pass through the plugin");
    dlclose(handle);
    return true;
}

// The two plugins have the same code layout and other frame sizes: when one
// replaces the other at the same address, the steps learnt for the first are
// wrong for the second.
TEST(FastBacktrace, PluginReplacedAtTheSameAddressIsUnwoundByItsOwnRules) {
    Tally tally;
    int reused_addresses = 0;
    void *previous_base = nullptr;
    for (int i = 0; i < 12; i++) {
        const char *path = kPlugins[i % 2];
        void *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        Dl_info info;
        ASSERT_TRUE(dladdr(dlsym(handle, "plugin_descend"), &info));
        reused_addresses += info.dli_fbase == previous_base;
        previous_base = info.dli_fbase;
        for (int depth = 1; depth <= 3; depth++)
            ASSERT_TRUE(capture_through_plugin(tally, path, depth, kEngineMustUnwind)) << tally.first_failure;
        dlclose(handle);
        ASSERT_EQ(dlopen(path, RTLD_NOW | RTLD_NOLOAD), nullptr) << path << " stayed loaded";
    }
    EXPECT_GT(reused_addresses, 0) << "no plugin was loaded where the other had been";
    expect_all_agreed(tally, 36);
}

TEST(FastBacktrace, CapturesWhileOtherThreadsLoadAndUnloadPlugins) {
    Tally tally;
    std::atomic<bool> stop{false};
    std::atomic<int> churns{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++)
        threads.emplace_back([&, t] {
            for (int i = t; !stop && capture_through_plugin(tally, kPlugins[i % 2], 1 + i % 4, kEngineMayDecline);
                 i++) {
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; !stop; i++, churns++) {
            void *handle = dlopen(kPlugins[i % 2], RTLD_NOW | RTLD_LOCAL);
            if (!handle)
                return tally.fail(dlerror());
            dlclose(handle);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    printf("[ churned  ] %d loads and unloads\n", churns.load());
    EXPECT_GT(churns, 10);
    EXPECT_GE(tally.compared - tally.declined, 10) << "the engine hardly ever unwound these itself";
    expect_all_agreed(tally, 30);
}

} // namespace
