#include "unwind_capture.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <stdio.h>
#include <string.h>

#include "stack_walk/stack_walk.h"

namespace {

void *const kUnwritten = (void *)0x5a5a5a5a;

std::string describe(void *address) {
    char text[320];
    Dl_info info;
    if (address && dladdr(address, &info) && info.dli_fname) {
        const char *object = strrchr(info.dli_fname, '/');
        snprintf(text, sizeof text, "%p %s+%#lx %s", address, object ? object + 1 : info.dli_fname,
                 (unsigned long)((char *)address - (char *)info.dli_fbase), info.dli_sname ? info.dli_sname : "?");
    } else {
        snprintf(text, sizeof text, "%p", address);
    }
    return text;
}

std::string listing(const Capture &c) {
    static const char *const names[kMethodCount] = {"backtrace", "quarrow_backtrace", "quarrow_fast_unwind"};
    std::string text = "size " + std::to_string(c.size) + "\n";
    for (int m = 0; m < kMethodCount; m++) {
        text += std::string(names[m]) + " gave " + std::to_string(c.count[m]) + ":\n";
        for (int i = 0; i < c.count[m] && i < kMaxFrames; i++)
            text += "  #" + std::to_string(i) + " " + describe(c.frames[m][i]) + "\n";
    }
    return text;
}

bool same_frames(const Capture &c, CaptureMethod m) {
    int n = c.count[kByBacktrace];
    return c.count[m] == n && memcmp(c.frames[m], c.frames[kByBacktrace], n * sizeof(void *)) == 0;
}

} // namespace

// The barrier after the call keeps it from being a tail call, so entry 0 is
// this function's return address whichever method ran.
extern "C" __attribute__((noipa)) int capture_with(int (*method)(void **, int), void **frames, int size) {
    int count = method(frames, size);
    asm volatile("" ::: "memory");
    return count;
}

extern "C" __attribute__((noipa)) void capture_all(Capture *c, int size) {
    static int (*const methods[kMethodCount])(void **, int) = {backtrace, quarrow_backtrace, quarrow_fast_unwind};
    c->size = size;
    for (int m = 0; m < kMethodCount; m++)
        for (int i = 0; i < kMaxFrames + kGuardEntries; i++)
            c->frames[m][i] = kUnwritten;
    // One call site for every method: a loop the compiler cannot unroll.
    volatile int method_count = kMethodCount;
#pragma GCC unroll 1
    for (int m = 0; m < method_count; m++)
        c->count[m] = capture_with(methods[m], c->frames[m], size);
    asm volatile("" ::: "memory");
}

std::string compare_captures(const Capture &c, EnginePolicy policy) {
    std::string problems;
    if (c.count[kByBacktrace] <= 0 || c.count[kByBacktrace] > c.size)
        problems += "backtrace itself gave an impossible count\n";
    if (!same_frames(c, kByQuarrow))
        problems += "quarrow_backtrace differs from backtrace\n";
    if (c.count[kByEngine] == -1) {
        if (policy == kEngineMustUnwind)
            problems += "the engine declined a stack it must unwind\n";
    } else if (!same_frames(c, kByEngine)) {
        problems += "quarrow_fast_unwind differs from backtrace\n";
    }
    for (int m = kByQuarrow; m < kMethodCount; m++)
        for (int i = c.size; i < c.size + kGuardEntries; i++)
            if (c.frames[m][i] != kUnwritten)
                problems += "method " + std::to_string(m) + " wrote entry " + std::to_string(i) + " past the size\n";
    return problems.empty() ? problems : problems + listing(c);
}

bool passes_through(const Capture &c, const char *name) {
    Dl_info info;
    for (int i = 0; i < c.count[kByBacktrace]; i++)
        if (dladdr(c.frames[kByBacktrace][i], &info) && info.dli_fname && strstr(info.dli_fname, name))
            return true;
    return false;
}

void Tally::add(const Capture &capture, EnginePolicy policy, const std::string &where) {
    std::string problems = compare_captures(capture, policy);
    compared++;
    declined += capture.count[kByEngine] == -1;
    if (!problems.empty())
        fail(where + ": " + problems);
}

void Tally::fail(const std::string &why) {
    if (mismatched++ == 0) {
        std::lock_guard<std::mutex> hold(lock);
        first_failure = why;
    }
}
