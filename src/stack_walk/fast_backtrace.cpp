// The capture engine: walks the caller's frames with the cached unwind steps
// of their return addresses, and hands any capture it cannot finish exactly
// to the platform's backtrace. Also the choice of method and the check mode.
#include "stack_walk/stack_walk_internal.h"

#include <execinfo.h>
#include <stdlib.h>
#include <string.h>

#include "cache_line.h"
#include "error_line.h"
#include "stack_walk/stack_walk.h"

static const char _source_file[] = "src/fast_backtrace.cpp";

// Where no object's tables cover a return address, the platform's unwinder
// stops unless an entry was registered at run time for it, or its code is a
// signal return, which it recognises by the code itself. Either way the
// engine cannot tell without the platform, so it declines.
static bool _platform_unwinds_further(uintptr_t return_address) {
    platform_find_fde_function find_fde = platform_find_fde();
    if (find_fde == nullptr)
        return true; // unknown: leave it to the platform
    void *bases[3];
    if (find_fde((void *)(return_address - 1), bases) != nullptr)
        return true;
    const uint8_t *code = (const uint8_t *)return_address;
#if defined(__x86_64__)
    // mov $15, %rax; syscall. The first byte alone (a REX prefix) is too
    // common in compiled Java code to decline on; the platform reads the rest
    // only after it, and so does this.
    static const uint8_t kSignalReturn[9] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
    return code[0] == kSignalReturn[0] && memcmp(code + 1, kSignalReturn + 1, sizeof kSignalReturn - 1) == 0;
#elif defined(__i386__)
    // Either signal return starts with pop %eax or with mov $n, %eax.
    return code[0] == 0x58 || code[0] == 0xb8;
#else
#error "stack capture supports i386 and x86_64 only"
#endif
}

// The steps this thread used last, by return address: a direct-mapped
// handful in front of the shared table, whose lines the program's own
// memory traffic keeps pushing out of the caches, while a thread's captures
// keep meeting the same few call sites. Tagged with the generation they
// were read in, so an unload empties them. A walk that interrupts another on
// the same thread (a signal handler's) leaves them alone, so no entry is
// ever written by two walks at once. Small: it lives in the static TLS.
constexpr unsigned kNearStepBits = 4;
struct near_steps {
    uint32_t generation;
    bool in_use;
    uintptr_t key[1u << kNearStepBits];
    uint32_t packed[1u << kNearStepBits];
};
static __thread near_steps _near __attribute__((tls_model("initial-exec")));

static inline unsigned _near_slot(uintptr_t return_address) {
    return (uint32_t)(return_address * 2654435761u) >> (32 - kNearStepBits);
}

// The cached step of `ip`, from this thread's own entries or the shared table.
static inline bool _cached_step(uintptr_t ip, bool near, uint32_t *packed) {
    if (!near)
        return unwind_cache_lookup(ip, packed);
    unsigned slot = _near_slot(ip);
    if (_near.key[slot] == ip) {
        *packed = _near.packed[slot];
        return true;
    }
    if (!unwind_cache_lookup(ip, packed))
        return false;
    _near.key[slot] = ip;
    _near.packed[slot] = *packed;
    return true;
}

// This thread's entries for one walk, if no walk of it holds them already.
struct near_claim {
    bool held;
    near_claim() : held(!_near.in_use) {
        _near.in_use = true;
        __atomic_signal_fence(__ATOMIC_SEQ_CST); // before any entry is touched, as a handler sees it
    }
    ~near_claim() {
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        if (held)
            _near.in_use = false;
    }
};

// The walk proper, from the state at the entry of the two stubs below:
// `entry_sp` points at the return address into their caller, and `fp` is
// the caller's frame pointer. Every read lies inside the stack the caller
// runs on; where a step would leave it, the walk ends with the frames found
// so far. Returns the frame count, or -1 where the platform's unwinder must
// do the whole capture instead.
// used: only the stubs' assembly calls it, which link-time optimisation cannot see.
extern "C" QUARROW_INTERNAL __attribute__((used)) int _quarrow_unwind_from(void **array, int size,
                                                                           const uintptr_t *entry_sp, uintptr_t fp) {
    if (size <= 0)
        return 0;
    // Hand-over: an unload is under way, so cached steps may be stale.
    unwind_epoch epoch = unwind_cache_epoch();
    if (!epoch.stable)
        return -1;
    uintptr_t ip = entry_sp[0];
    uintptr_t sp = (uintptr_t)(entry_sp + 1);
    uintptr_t bp = fp;
    int count = 0;
    array[count++] = (void *)ip;
    stack_region stack;
    if (!find_stack_region(sp, &stack))
        return count; // nothing above the caller's own frame can be read safely
    // A word at `a` lies inside the stack when a - low <= last_word: one
    // comparison per read.
    const uintptr_t low = stack.low, last_word = stack.high - sizeof(uintptr_t) - stack.low;
    near_claim claim;
    bool near = claim.held;
    if (near && _near.generation != epoch.generation) {
        memset(_near.key, 0, sizeof _near.key); // no return address is 0
        _near.generation = epoch.generation;
    }
    while (count < size) {
        uint32_t packed;
        if (!_cached_step(ip, near, &packed)) {
            unwind_step step;
            unwind_lookup found = find_unwind_step(ip, &step);
            if (found == UNWIND_NO_ENTRY && !_platform_unwinds_further(ip)) {
                bool cut = false;
                if (kBacktraceFollowsFrameChain)
                    count = follow_frame_chain(array, count, size, bp, sp, stack, &cut);
                break;
            }
            // Hand-over: rules this engine does not follow (signal frames,
            // entries registered at run time, expressions). The platform's
            // unwinder reads them exactly; its chain is bounded as here.
            if (found != UNWIND_FOUND || !unwind_step_pack(&step, &packed))
                return -1;
            unwind_cache_insert(ip, packed, epoch);
        }
        if (packed & PACKED_OUTERMOST)
            break; // its return address is undefined: the last frame
        uintptr_t cfa =
            ((packed & PACKED_CFA_FROM_FP) ? bp : sp) + (uintptr_t)((int32_t)packed >> PACKED_CFA_OFFSET_SHIFT);
        if (packed & PACKED_CFA_DEREF) {
            if (cfa - low > last_word)
                break;
            cfa = *(const uintptr_t *)cfa;
        }
        // The caller's return address is the word below the CFA.
        if (cfa - sizeof(uintptr_t) - low > last_word)
            break;
        uint32_t fp_rule = packed >> PACKED_FP_RULE_SHIFT & 3;
        if (fp_rule != FP_SAME) {
            uintptr_t base = fp_rule == FP_AT_CFA ? cfa : (packed & PACKED_FP_BASE_IS_FP) ? bp : sp;
            uintptr_t saved_at = base + (uintptr_t)(int32_t)(int8_t)(packed >> PACKED_FP_OFFSET_SHIFT);
            if (saved_at - low > last_word)
                break;
            bp = *(const uintptr_t *)saved_at;
        }
        uintptr_t caller_ip = *(const uintptr_t *)(cfa - sizeof(uintptr_t));
        // A step that makes no progress (the same return address at the same
        // CFA) ends x86_64's backtrace without the repeated frame.
        if (kBacktraceStopsOnRepeatedFrame && caller_ip == ip && cfa == sp)
            break;
        ip = caller_ip;
        sp = cfa;
        if (ip == 0)
            break; // the platform drops a trailing null return address
        array[count++] = (void *)ip;
    }
    // Hand-over: frames read across an unload may have used steps of unmapped code.
    return unwind_cache_unchanged_since(epoch) ? count : -1;
}

// Both stubs pass their own entry state to the walk, so that entry 0 is the
// return address into their caller, exactly as backtrace's is. On -1,
// quarrow_backtrace leaves its caller's frame as it found it and jumps to
// the bounded platform unwinder, which then sees the same caller.
#if defined(__x86_64__)
// The arguments stay in their registers for the walk; they are kept across
// it for the jump, and the stack is 16-byte aligned at the call.
#define QUARROW_UNWIND_STUB(name, on_fallback)                                                                         \
    ".globl " #name "\n"                                                                                               \
    ".type " #name ", @function\n" #name ":\n"                                                                         \
    ".cfi_startproc\n"                                                                                                 \
    "  movq %rsp, %rdx\n"                                                                                              \
    "  movq %rbp, %rcx\n"                                                                                              \
    "  pushq %rdi\n"                                                                                                   \
    "  .cfi_adjust_cfa_offset 8\n"                                                                                     \
    "  pushq %rsi\n"                                                                                                   \
    "  .cfi_adjust_cfa_offset 8\n"                                                                                     \
    "  subq $8, %rsp\n"                                                                                                \
    "  .cfi_adjust_cfa_offset 8\n"                                                                                     \
    "  call _quarrow_unwind_from\n"                                                                                    \
    "  addq $8, %rsp\n"                                                                                                \
    "  .cfi_adjust_cfa_offset -8\n"                                                                                    \
    "  popq %rsi\n"                                                                                                    \
    "  .cfi_adjust_cfa_offset -8\n"                                                                                    \
    "  popq %rdi\n"                                                                                                    \
    "  .cfi_adjust_cfa_offset -8\n" on_fallback ".cfi_endproc\n"                                                       \
    ".size " #name ", .-" #name "\n"
#elif defined(__i386__)
#define QUARROW_UNWIND_STUB(name, on_fallback)                                                                         \
    ".globl " #name "\n"                                                                                               \
    ".type " #name ", @function\n" #name ":\n"                                                                         \
    ".cfi_startproc\n"                                                                                                 \
    "  movl %esp, %eax\n"                                                                                              \
    "  subl $12, %esp\n"                                                                                               \
    "  .cfi_adjust_cfa_offset 12\n"                                                                                    \
    "  pushl %ebp\n"                                                                                                   \
    "  .cfi_adjust_cfa_offset 4\n"                                                                                     \
    "  pushl %eax\n"                                                                                                   \
    "  .cfi_adjust_cfa_offset 4\n"                                                                                     \
    "  pushl 8(%eax)\n"                                                                                                \
    "  .cfi_adjust_cfa_offset 4\n"                                                                                     \
    "  pushl 4(%eax)\n"                                                                                                \
    "  .cfi_adjust_cfa_offset 4\n"                                                                                     \
    "  call _quarrow_unwind_from\n"                                                                                    \
    "  addl $28, %esp\n"                                                                                               \
    "  .cfi_adjust_cfa_offset -28\n" on_fallback ".cfi_endproc\n"                                                      \
    ".size " #name ", .-" #name "\n"
#else
#error "stack capture supports i386 and x86_64 only"
#endif

asm(".text\n"
    ".p2align 4\n" QUARROW_UNWIND_STUB(
        quarrow_backtrace,
        "  testl %eax, %eax\n"
        "  js 1f\n"
        "  ret\n"
        "1:\n"
        "  jmp bounded_backtrace\n") ".p2align 4\n" QUARROW_UNWIND_STUB(quarrow_fast_unwind, "  ret\n"));

namespace {

quarrow_unwinder_counts _counts;

// Mismatches described on standard error; the rest are only counted.
constexpr uint32_t kMismatchesDescribed = 8;

// The first frame at which two captures part, and both frames there.
struct first_difference {
    int count, platform_count, at;
    void *frame, *platform_frame;
};

first_difference _difference(void **frames, int count, void **platform, int platform_count) {
    int first = 0;
    while (first < count && first < platform_count && frames[first] == platform[first])
        ++first;
    return {count, platform_count, first, first < count ? frames[first] : nullptr,
            first < platform_count ? platform[first] : nullptr};
}

void _describe_mismatch(const char *method, const first_difference &d) {
    quarrow_line(
        "QUARROW UNWINDER MISMATCH: %s%d frames against backtrace's %d; first difference at frame %d: %p against "
        "%p\n",
        method, d.count, d.platform_count, d.at, d.frame, d.platform_frame);
}

void _describe_change(const first_difference &d) {
    quarrow_line("QUARROW UNWINDER STACK CHANGED: %d frames against backtrace's %d; first difference at frame %d: %p "
                 "against %p; walked again, every method agreed\n",
                 d.count, d.platform_count, d.at, d.frame, d.platform_frame);
}

bool _same_frames(void **frames, int count, void **platform, int platform_count) {
    return count == platform_count && memcmp(frames, platform, (size_t)(count > 0 ? count : 0) * sizeof(void *)) == 0;
}

void _print_check_counts() {
    quarrow_unwinder_counts counts;
    quarrow_get_unwinder_counts(&counts);
    quarrow_line("QUARROW UNWINDER CHECK: %u captures compared, %u mismatches, %u left to backtrace\n",
                 (unsigned)counts.captures, (unsigned)counts.mismatches, (unsigned)counts.left_to_backtrace);
    quarrow_line("QUARROW UNWINDER CHECK: %u captures cut where backtrace would have left the thread's stack\n",
                 (unsigned)counts.cut_at_stack_edge);
    quarrow_line("QUARROW UNWINDER CHECK: %u captures differed once and agreed when walked again (their stack "
                 "changed between the walks)\n",
                 (unsigned)counts.changed_between_walks);
}

} // namespace

QUARROW_OWN_LINE QUARROW_INTERNAL int _stack_capture_mode = QUARROW_UNWINDER_FAST;

#if QUARROW_TEST_SEAMS
void (*unwinder_check_between_walks)(void) = nullptr;
#endif

// A walk reads the stack as it is at that moment. Another thread may
// rewrite a frame of this one meanwhile (a VM patches the return address
// of a compiled frame it deoptimises while this thread runs native code),
// and then the methods disagree with none of them at fault. So a capture
// that differs is walked once more by every method: only a difference that
// stays is a mismatch; one that goes away is counted apart.
int capture_and_compare(void **array, int size) {
    void *fast[QUARROW_MAX_STACK_DEPTH + 1];
    void *bounded[QUARROW_MAX_STACK_DEPTH + 1];
    if (size > QUARROW_MAX_STACK_DEPTH + 1)
        size = QUARROW_MAX_STACK_DEPTH + 1;
    // The engine alone, so that captures it leaves to the platform are
    // counted; then the bounded platform walk, which also tells how far
    // backtrace may go without leaving the stack; then backtrace that far.
    int (*const methods[3])(void **, int) = {quarrow_fast_unwind, bounded_backtrace, backtrace};
    void **const buffers[3] = {fast, bounded, array};
    int counts[3] = {0, 0, 0};
    bool engine_declined = false, engine_differs = false, bounded_differs = false;
    bool walked_again = false;
    first_difference first_seen = {0, 0, 0, nullptr, nullptr}, last_seen = first_seen;
    for (int walk = 0; walk < 2; ++walk) {
        int limits[3] = {size, size, size};
        // One call instruction serves every method of a walk, so all see the same caller.
        for (int pass = 0; pass < 3; ++pass) {
            asm volatile("" : "+r"(pass)); // keeps the loop from being unrolled
            counts[pass] = methods[pass](buffers[pass], limits[pass]);
            // Set for backtrace once the bounded walk has run.
            limits[2] = bounded_backtrace_was_cut() ? counts[1] : size;
#if QUARROW_TEST_SEAMS
            if (pass == 0 && unwinder_check_between_walks != nullptr)
                unwinder_check_between_walks();
#endif
        }
        engine_declined = counts[0] < 0;
        engine_differs = !engine_declined && !_same_frames(fast, counts[0], array, counts[2]);
        bounded_differs = !_same_frames(bounded, counts[1], array, counts[2]);
        if (!engine_differs && !bounded_differs)
            break;
        last_seen = engine_differs ? _difference(fast, counts[0], array, counts[2])
                                   : _difference(bounded, counts[1], array, counts[2]);
        walked_again = walk == 0;
        if (walk == 0)
            first_seen = last_seen;
    }
    bool cut = bounded_backtrace_was_cut();
    __atomic_add_fetch(&_counts.captures, 1, __ATOMIC_RELAXED);
    if (engine_declined)
        __atomic_add_fetch(&_counts.left_to_backtrace, 1, __ATOMIC_RELAXED);
    if (engine_differs || bounded_differs) {
        uint32_t seen = __atomic_add_fetch(&_counts.mismatches, 1, __ATOMIC_RELAXED);
        if (seen <= kMismatchesDescribed)
            _describe_mismatch(engine_differs ? "" : "the bounded platform walk gave ", last_seen);
    } else {
        if (walked_again) {
            uint32_t seen = __atomic_add_fetch(&_counts.changed_between_walks, 1, __ATOMIC_RELAXED);
            if (seen <= kMismatchesDescribed)
                _describe_change(first_seen);
        }
        if (cut)
            __atomic_add_fetch(&_counts.cut_at_stack_edge, 1, __ATOMIC_RELAXED);
    }
    return counts[2];
}

extern "C" {

int configure_stack_capture(const char *setting) {
    int mode = QUARROW_UNWINDER_BACKTRACE;
    int result = 0;
    if (setting == nullptr || setting[0] == '\0' || strcmp(setting, "fast") == 0) {
        mode = QUARROW_UNWINDER_FAST;
    } else if (strcmp(setting, "check") == 0) {
        mode = QUARROW_UNWINDER_CHECK;
    } else if (strcmp(setting, "backtrace") != 0) {
        QUARROW_ERROR_FORMAT("Unknown PROFILER_UNWINDER value \"%s\" (fast, backtrace or check); using backtrace.",
                             setting);
        result = -1;
    }
    // Once per process, however often the mode is chosen again.
    static bool counts_printed_at_exit = false;
    if (mode == QUARROW_UNWINDER_CHECK && !counts_printed_at_exit && atexit(_print_check_counts) == 0)
        counts_printed_at_exit = true;
    if (mode == QUARROW_UNWINDER_CHECK && !counts_printed_at_exit) {
        QUARROW_ERROR_LINE("Couldn't register the unwinder check report; using backtrace");
        mode = QUARROW_UNWINDER_BACKTRACE;
        result = -1;
    }
    find_platform_unwinder();
    __atomic_store_n(&_stack_capture_mode, mode, __ATOMIC_RELEASE);
    return result;
}

int quarrow_unwinder_mode(void) { return __atomic_load_n(&_stack_capture_mode, __ATOMIC_RELAXED); }

void quarrow_get_unwinder_counts(quarrow_unwinder_counts *counts) {
    counts->captures = __atomic_load_n(&_counts.captures, __ATOMIC_RELAXED);
    counts->mismatches = __atomic_load_n(&_counts.mismatches, __ATOMIC_RELAXED);
    counts->left_to_backtrace = __atomic_load_n(&_counts.left_to_backtrace, __ATOMIC_RELAXED);
    counts->cut_at_stack_edge = __atomic_load_n(&_counts.cut_at_stack_edge, __ATOMIC_RELAXED);
    counts->changed_between_walks = __atomic_load_n(&_counts.changed_between_walks, __ATOMIC_RELAXED);
}

} // extern "C"
