// One stack captured by backtrace, by quarrow_backtrace and by the engine
// alone, each from the same call instruction, so every entry (the innermost
// included) must agree.
#ifndef QUARROW_TESTS_UNWIND_CAPTURE_H
#define QUARROW_TESTS_UNWIND_CAPTURE_H

#include <atomic>
#include <mutex>
#include <string>

constexpr int kMaxFrames = 256;
constexpr int kGuardEntries = 8; // past the requested size; must stay untouched

enum CaptureMethod { kByBacktrace, kByQuarrow, kByEngine, kMethodCount };

struct Capture {
    int size;
    int count[kMethodCount];
    void *frames[kMethodCount][kMaxFrames + kGuardEntries];
};

// Calls method(frames, size) so that entry 0 is a return address in here.
extern "C" int capture_with(int (*method)(void **, int), void **frames, int size);

// Out of line and never cloned, so all three captures share entries 0 and 1.
extern "C" void capture_all(Capture *capture, int size);

// Whether the engine alone may decline (-1) and leave the capture to backtrace.
enum EnginePolicy { kEngineMustUnwind, kEngineMayDecline };

// Empty when the captures agree; otherwise both frame lists, symbolised.
std::string compare_captures(const Capture &capture, EnginePolicy policy);

// Whether backtrace's frames pass through an object whose path contains `name`.
bool passes_through(const Capture &capture, const char *name);

// Comparisons made by any number of threads; the first failure is kept.
struct Tally {
    std::atomic<int> compared{0}, mismatched{0}, declined{0};
    std::mutex lock;
    std::string first_failure;

    void add(const Capture &capture, EnginePolicy policy, const std::string &where);
    void fail(const std::string &why);
};

#endif
