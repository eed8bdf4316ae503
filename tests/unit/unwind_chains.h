// Stacks shaped like the optimised code the engine meets in tracked programs:
// deep chains of mixed frames, inlined library templates, and callbacks
// reached through libc and libstdc++. The code is built with -O2 and no
// frame pointer.
#ifndef QUARROW_TESTS_UNWIND_CHAINS_H
#define QUARROW_TESTS_UNWIND_CHAINS_H

#include <stdint.h>

#include <vector>

#include "unwind_capture.h"

struct ChainRun {
    Capture *capture;
    int size;
    int realigned_level = -1;           // this level gets a stack-realigning frame
    volatile int *spin_until = nullptr; // spin at the bottom instead of capturing
};

// Calls down `levels` frames of varied shapes, then captures (or spins).
int run_chain(int levels, ChainRun *run);

// A chain entry for call_without_unwind_info: six levels, then a capture.
int chain_entry(void *run);

// Calls fn(arg) from a frame that has a frame pointer but no unwind
// information, so the platform's unwinder stops there.
extern "C" int call_without_unwind_info(int (*fn)(void *), void *arg);

// Calls fn(arg) from a frame without unwind information in which the frame
// pointer register holds `planted` instead of a frame pointer.
extern "C" int call_with_planted_frame_pointer(int (*fn)(void *), void *arg, uintptr_t planted);

#if defined(__x86_64__)
// Calls fn(arg) from a frame whose unwind rules find the caller through the
// frame pointer (CFA = rbp + 16) while rbp holds `planted`.
extern "C" int call_with_planted_frame_rules(int (*fn)(void *), void *arg, uintptr_t planted);
// Its return address from fn.
extern "C" const char planted_frame_rules_return[];

// 32 bytes of code that no unwind information covers: return addresses
// every unwinder stops at, and can read.
extern "C" const char code_without_unwind_info[];
#endif

// The sizes that captures made from inside library callbacks cycle through.
constexpr int kCallbackSizes[] = {1, 2, 7, kMaxFrames};

// Sorts `elements` integers, capturing in every `every`th comparison; returns
// whether the result is sorted.
bool std_sort_capturing(std::vector<Capture> &out, int elements, int every);
bool qsort_capturing(std::vector<Capture> &out, int elements, int every);

// Captures from a stream buffer's overflow() and xsputn() called by
// libstdc++'s ostream, and from a std::call_once callable.
void capture_in_libstdcxx_callbacks(std::vector<Capture> &out);

#endif
