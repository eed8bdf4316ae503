// The capture engine: walks the caller's frames with the cached unwind steps
// of their return addresses, and hands any capture it cannot finish exactly
// to the platform's backtrace. Also the choice of method and the check mode.
#include "fast_backtrace.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <stdlib.h>
#include <string.h>

#include "error_line.h"
#include "stack_capture.h"
#include "stack_walk.h"
#include "unwind_cache.h"
#include "unwind_rules.h"

static const char _source_file[] = "src/fast_backtrace.cpp";

// The platform's own lookup of unwind entries, which also knows entries
// registered at run time; found in the unwinder library at start-up.
typedef const void *(*find_fde_function)(void *address, void *bases);
static find_fde_function _platform_find_fde;

extern "C" void *__libc_stack_end;

// Where no object's tables cover a return address, the platform's unwinder
// stops unless an entry was registered at run time for it, or its code is a
// signal return (recognised by its first instruction, which here would start
// with pop %eax or mov $n, %eax). Either way the engine cannot tell without
// the platform, so it declines.
static bool _platform_unwinds_further(uintptr_t return_address) {
    if (_platform_find_fde == nullptr)
        return true; // unknown: leave it to the platform
    void *bases[3];
    if (_platform_find_fde((void *)(return_address - 1), bases) != nullptr)
        return true;
    uint8_t first_byte = *(const uint8_t *)return_address;
    return first_byte == 0x58 || first_byte == 0xb8;
}

// After its unwinder stops, the platform's backtrace follows the ebp chain
// for as long as each link lies between the stopping frame's stack pointer
// and the top of the main stack and is word-aligned. So does this.
static int _follow_frame_pointers(void **array, int count, int size, uintptr_t bp, uintptr_t sp) {
    uintptr_t stack_end = (uintptr_t)__libc_stack_end;
    while (count < size && bp >= sp && bp <= stack_end && (bp & 3) == 0) {
        array[count++] = ((void *const *)bp)[1];
        bp = *(const uintptr_t *)bp;
    }
    return count;
}

// The walk proper, from the state at the entry of the two stubs below:
// `entry_sp` points at the return address into their caller, and `ebp` is
// the caller's. Returns the frame count, or -1 where the platform's unwinder
// must do the whole capture instead.
extern "C" QUARROW_INTERNAL int _quarrow_unwind_from(void **array, int size, const uintptr_t *entry_sp, uintptr_t ebp) {
    if (size <= 0)
        return 0;
    unwind_epoch epoch = unwind_cache_epoch();
    if (!epoch.stable)
        return -1;
    uintptr_t ip = entry_sp[0];
    uintptr_t sp = (uintptr_t)(entry_sp + 1);
    uintptr_t bp = ebp;
    int count = 0;
    array[count++] = (void *)ip;
    while (count < size) {
        uint32_t packed;
        if (!unwind_cache_lookup(ip, &packed)) {
            unwind_step step;
            unwind_lookup found = find_unwind_step(ip, &step);
            if (found == UNWIND_NO_ENTRY && !_platform_unwinds_further(ip)) {
                count = _follow_frame_pointers(array, count, size, bp, sp);
                break;
            }
            if (found != UNWIND_FOUND || !unwind_step_pack(&step, &packed))
                return -1;
            unwind_cache_insert(ip, packed, epoch);
        }
        if (packed & PACKED_OUTERMOST)
            break; // its return address is undefined: the last frame
        uintptr_t cfa =
            ((packed & PACKED_CFA_FROM_EBP) ? bp : sp) + (uintptr_t)((int32_t)packed >> PACKED_CFA_OFFSET_SHIFT);
        if (packed & PACKED_CFA_DEREF)
            cfa = *(const uintptr_t *)cfa;
        uint32_t ebp_rule = packed >> PACKED_EBP_RULE_SHIFT & 3;
        if (ebp_rule != EBP_SAME) {
            uintptr_t base = ebp_rule == EBP_AT_CFA ? cfa : (packed & PACKED_EBP_BASE_IS_EBP) ? bp : sp;
            bp = *(const uintptr_t *)(base + (uintptr_t)(int32_t)(int8_t)(packed >> PACKED_EBP_OFFSET_SHIFT));
        }
        ip = *(const uintptr_t *)(cfa - 4);
        sp = cfa;
        if (ip == 0)
            break; // the platform drops a trailing null return address
        array[count++] = (void *)ip;
    }
    // Frames read across an unload may have used steps of unmapped code.
    return unwind_cache_unchanged_since(epoch) ? count : -1;
}

// Both stubs pass their own entry state to the walk, so that entry 0 is the
// return address into their caller, exactly as backtrace's is. On -1,
// quarrow_backtrace leaves its caller's frame as it found it and jumps to
// backtrace, which then sees the same caller.
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

asm(".text\n"
    ".p2align 4\n" QUARROW_UNWIND_STUB(
        quarrow_backtrace,
        "  testl %eax, %eax\n"
        "  js 1f\n"
        "  ret\n"
        "1:\n"
        "  call 2f\n"
        "  .cfi_adjust_cfa_offset 4\n"
        "2:\n"
        "  popl %ecx\n"
        "  .cfi_adjust_cfa_offset -4\n"
        "  addl $_GLOBAL_OFFSET_TABLE_+[.-2b], %ecx\n"
        "  jmp *backtrace@GOT(%ecx)\n") ".p2align 4\n" QUARROW_UNWIND_STUB(quarrow_fast_unwind, "  ret\n"));

namespace {

quarrow_unwinder_counts _counts;

// Mismatches described on standard error; the rest are only counted.
constexpr uint32_t kMismatchesDescribed = 8;

void _describe_mismatch(void **fast, int fast_count, void **platform, int platform_count) {
    int first = 0;
    while (first < fast_count && first < platform_count && fast[first] == platform[first])
        ++first;
    fprintf(stderr,
            "QUARROW UNWINDER MISMATCH: %d frames against backtrace's %d; first difference at frame %d: %p against "
            "%p\n",
            fast_count, platform_count, first, first < fast_count ? fast[first] : nullptr,
            first < platform_count ? platform[first] : nullptr);
}

void _print_check_counts() {
    quarrow_unwinder_counts counts;
    quarrow_get_unwinder_counts(&counts);
    fprintf(stderr, "QUARROW UNWINDER CHECK: %u captures compared, %u mismatches, %u left to backtrace\n",
            (unsigned)counts.captures, (unsigned)counts.mismatches, (unsigned)counts.left_to_backtrace);
}

} // namespace

QUARROW_INTERNAL int _stack_capture_mode = QUARROW_UNWINDER_FAST;

int capture_and_compare(void **array, int size) {
    void *fast[QUARROW_MAX_STACK_DEPTH + 1];
    if (size > QUARROW_MAX_STACK_DEPTH + 1)
        size = QUARROW_MAX_STACK_DEPTH + 1;
    // The engine alone, so that captures it leaves to backtrace are counted;
    // those give backtrace's own frames by construction.
    int (*const methods[2])(void **, int) = {quarrow_fast_unwind, backtrace};
    void **const buffers[2] = {fast, array};
    int counts[2];
    // One call instruction serves both methods, so both see the same caller.
    for (int pass = 0; pass < 2; ++pass) {
        asm volatile("" : "+r"(pass)); // keeps the loop from being unrolled
        counts[pass] = methods[pass](buffers[pass], size);
    }
    __atomic_add_fetch(&_counts.captures, 1, __ATOMIC_RELAXED);
    if (counts[0] < 0) {
        __atomic_add_fetch(&_counts.left_to_backtrace, 1, __ATOMIC_RELAXED);
    } else if (counts[0] != counts[1] ||
               memcmp(fast, array, (size_t)(counts[1] > 0 ? counts[1] : 0) * sizeof(void *)) != 0) {
        uint32_t seen = __atomic_add_fetch(&_counts.mismatches, 1, __ATOMIC_RELAXED);
        if (seen <= kMismatchesDescribed)
            _describe_mismatch(fast, counts[0], array, counts[1]);
    }
    return counts[1];
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
    // backtrace has loaded the unwinder library by now (start-up warms it up).
    if (_platform_find_fde == nullptr) {
        void *unwinder = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD);
        if (unwinder != nullptr)
            _platform_find_fde = (find_fde_function)dlsym(unwinder, "_Unwind_Find_FDE");
    }
    __atomic_store_n(&_stack_capture_mode, mode, __ATOMIC_RELEASE);
    return result;
}

int quarrow_unwinder_mode(void) { return __atomic_load_n(&_stack_capture_mode, __ATOMIC_RELAXED); }

void quarrow_get_unwinder_counts(quarrow_unwinder_counts *counts) {
    counts->captures = __atomic_load_n(&_counts.captures, __ATOMIC_RELAXED);
    counts->mismatches = __atomic_load_n(&_counts.mismatches, __ATOMIC_RELAXED);
    counts->left_to_backtrace = __atomic_load_n(&_counts.left_to_backtrace, __ATOMIC_RELAXED);
}

} // extern "C"
