/*
 * What the stack-capture files share.
 *
 * stack_walk.cpp         walk_stack and the stack records
 * fast_backtrace.cpp     the engine: cached unwind steps, the method chosen
 *                        at start-up, check mode
 * unwind_rules.cpp       unwind steps read from an object's unwind tables
 * unwind_cache.cpp       the lock-free table of steps by return address
 * stack_bounds.cpp       each thread's stack region
 * bounded_backtrace.cpp  the platform's unwinder, kept inside the stack
 * dlclose_entry.cpp      the dlclose that empties the cache around unloads
 */
#ifndef QUARROW_STACK_WALK_INTERNAL_H
#define QUARROW_STACK_WALK_INTERNAL_H

#include <stdint.h>

#include "export.h"
#include "stack_walk/stack_walk.h"

/* ---------------------------------------------------------------------------
 * What walk_stack needs from the capture engine: the method chosen at
 * start-up, and the check mode's comparing capture.
 */
/* One of quarrow_unwinder's values. */
extern QUARROW_INTERNAL int _stack_capture_mode;

/*
 * Check mode: captures with both methods from one call site inside itself,
 * walks once more where they differ, counts (and describes the first few)
 * differences that stay and those that went away, and returns backtrace's
 * frames. Entry 0 is therefore a return address inside this function.
 */
QUARROW_INTERNAL __attribute__((noinline)) int capture_and_compare(void **array, int size);

#if QUARROW_TEST_SEAMS
/* Test builds only: called in check mode after each walk of the engine, before the platform's walks. */
extern QUARROW_INTERNAL void (*unwinder_check_between_walks)(void);
#endif

/*
 * The engine's walk from a return address at `entry_sp[0]`, with `fp` the
 * frame pointer of the code it returns to: the frame count, or -1 where the
 * platform's unwinder must do the whole capture instead.
 */
extern "C" QUARROW_INTERNAL int _quarrow_unwind_from(void **array, int size, const uintptr_t *entry_sp, uintptr_t fp);

/*
 * How the C library's backtrace goes on once the platform's unwinder stops,
 * which the engine must copy frame for frame. Its i386 version then follows
 * the frame-pointer chain; the generic one, used on x86_64, stops there, and
 * instead ends a walk that repeats a frame (same return address, same CFA).
 */
#if defined(__x86_64__)
constexpr bool kBacktraceFollowsFrameChain = false;
constexpr bool kBacktraceStopsOnRepeatedFrame = true;
#elif defined(__i386__)
constexpr bool kBacktraceFollowsFrameChain = true;
constexpr bool kBacktraceStopsOnRepeatedFrame = false;
#else
#error "stack capture supports i386 and x86_64 only"
#endif

/* ---------------------------------------------------------------------------
 * One unwind step of x86 code: how to find the caller's frame from a return
 * address, read from the owning object's call-frame information.
 *
 */
// Where the caller's frame pointer is: kept, saved at CFA + offset, or saved
// at a register's value + offset (the realigned-stack prologue's expression).
enum fp_rule_kind : uint8_t { FP_SAME = 0, FP_AT_CFA = 1, FP_AT_REGISTER = 2 };

// DWARF numbers of the two registers a step may start from; the return
// address column comes from each CIE (16 on x86_64, 8 on i386).
#if defined(__x86_64__)
enum { UNWIND_FP = 6, UNWIND_SP = 7 }; // rbp, rsp
#elif defined(__i386__)
enum { UNWIND_SP = 4, UNWIND_FP = 5 }; // esp, ebp
#else
#error "stack capture supports i386 and x86_64 only"
#endif

/*
 * At a return address: CFA = register + offset, dereferenced when cfa_deref
 * is set; the caller's return address is the word below the CFA, its stack
 * pointer is the CFA. `outermost`: the return address is undefined here, so
 * this frame is the last one.
 */
struct unwind_step {
    uint8_t cfa_register; // UNWIND_SP or UNWIND_FP
    uint8_t cfa_deref;
    uint8_t fp_rule;     // fp_rule_kind
    uint8_t fp_register; // base for FP_AT_REGISTER
    uint8_t outermost;
    int32_t cfa_offset;
    int32_t fp_offset;
};

enum unwind_lookup {
    UNWIND_FOUND,       // the step is filled in
    UNWIND_NO_ENTRY,    // no object holds the address, or no entry covers it
    UNWIND_UNSUPPORTED, // a rule or table form this engine does not follow
};

/*
 * The step for a frame whose code returns to `return_address`, from the
 * unwind tables of the object that holds it. UNWIND_NO_ENTRY is where the
 * platform's unwinder stops too (code generated at run time, say);
 * UNWIND_UNSUPPORTED covers signal frames, unknown opcodes and registers
 * other than the stack and frame pointers, which the caller leaves to the
 * platform.
 */
QUARROW_INTERNAL unwind_lookup find_unwind_step(uintptr_t return_address, unwind_step *step);

/* ---------------------------------------------------------------------------
 * The unwind step of each return address seen, kept in a fixed table that
 * captures read without a lock, and forgotten whenever objects are unloaded.
 *
 */

/*
 * The table itself, here so that the lookup inlines into the walk: it runs
 * once per frame of every capture.
 */
constexpr unsigned kUnwindCacheBits = 14;
constexpr uint32_t kUnwindCacheSlots = 1u << kUnwindCacheBits;
constexpr uint32_t kUnwindCacheMask = kUnwindCacheSlots - 1;
constexpr unsigned kUnwindCacheProbes = 8;

// Key values that are never return addresses.
constexpr uintptr_t kUnwindCacheEmpty = 0;
constexpr uintptr_t kUnwindCacheBeingWritten = 1;

// A slot: a return address and its packed step (see PACKED_ below).
struct unwind_cache_slot {
    uintptr_t key;
    uint32_t packed_step;
};

extern QUARROW_INTERNAL unwind_cache_slot _unwind_cache_slots[kUnwindCacheSlots];
extern QUARROW_INTERNAL uint32_t _unwind_cache_generation;
extern QUARROW_INTERNAL uint32_t _unwind_cache_unloads_in_progress;

inline unwind_epoch unwind_cache_epoch(void) {
    unwind_epoch epoch;
    epoch.stable = __atomic_load_n(&_unwind_cache_unloads_in_progress, __ATOMIC_SEQ_CST) == 0;
    epoch.generation = __atomic_load_n(&_unwind_cache_generation, __ATOMIC_SEQ_CST);
    return epoch;
}

inline bool unwind_cache_unchanged_since(unwind_epoch epoch) {
    return epoch.stable && __atomic_load_n(&_unwind_cache_unloads_in_progress, __ATOMIC_SEQ_CST) == 0 &&
           __atomic_load_n(&_unwind_cache_generation, __ATOMIC_SEQ_CST) == epoch.generation;
}

inline uint32_t unwind_cache_first_slot(uintptr_t return_address) {
    return (uint32_t)(return_address * 2654435761u) >> (32 - kUnwindCacheBits);
}

/*
 * The cached packed step for a return address, or false when it is not
 * cached. The key is read again after the step: a slot emptied and reused
 * meanwhile reads as a miss.
 */
inline bool unwind_cache_lookup(uintptr_t return_address, uint32_t *packed_step) {
    uint32_t slot = unwind_cache_first_slot(return_address);
    for (unsigned probe = 0; probe < kUnwindCacheProbes; ++probe, slot = (slot + 1) & kUnwindCacheMask) {
        uintptr_t key = __atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE);
        if (key == kUnwindCacheEmpty)
            return false;
        if (key != return_address)
            continue;
        uint32_t packed = __atomic_load_n(&_unwind_cache_slots[slot].packed_step, __ATOMIC_ACQUIRE);
        if (__atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE) != return_address)
            return false;
        *packed_step = packed;
        return true;
    }
    return false;
}

/*
 * A step in the cache's 32-bit form, read directly by the walk. False when
 * an offset does not fit (frames of 128 KiB or more): the platform unwinds those.
 */
QUARROW_INTERNAL bool unwind_step_pack(const unwind_step *step, uint32_t *packed);

constexpr uint32_t PACKED_OUTERMOST = 1u << 0;
constexpr uint32_t PACKED_CFA_FROM_FP = 1u << 1;
constexpr uint32_t PACKED_CFA_DEREF = 1u << 2;
constexpr unsigned PACKED_FP_RULE_SHIFT = 3; // two bits of fp_rule_kind
constexpr uint32_t PACKED_FP_BASE_IS_FP = 1u << 5;
constexpr unsigned PACKED_FP_OFFSET_SHIFT = 6;   // eight bits, signed
constexpr unsigned PACKED_CFA_OFFSET_SHIFT = 14; // eighteen bits, signed

/* Keeps a packed step found in `epoch`; dropped if objects were unloaded since. */
QUARROW_INTERNAL void unwind_cache_insert(uintptr_t return_address, uint32_t packed_step, unwind_epoch epoch);

/*
 * Bracket around anything that unmaps code: while open, captures leave their
 * work to the platform's unwinder; closing it forgets every cached step.
 */
QUARROW_INTERNAL void unwind_cache_begin_unload(void);
QUARROW_INTERNAL void unwind_cache_end_unload(void);

/* ---------------------------------------------------------------------------
 * The bounds of the stack a capture runs on. A frame-pointer chain through
 * code that keeps no frame pointers (compiled Java code, say) holds whatever
 * the register held, so every read of a walk must be checked against the
 * memory of the stack it walks.
 */
/* One readable mapping that holds a stack: [low, high). */
struct stack_region {
    uintptr_t low;
    uintptr_t high;
};

/* find_stack_region past its inline check: the thread's other slots, then the mappings. */
QUARROW_INTERNAL bool find_stack_region_slowly(uintptr_t address, stack_region *region);

/* Whether [address, address + bytes) lies inside the region. */
inline bool stack_region_holds(const stack_region &region, uintptr_t address, uintptr_t bytes) {
    return address >= region.low && address < region.high && region.high - address >= bytes;
}

// The slot the thread's captures last found their stack in, checked inline
// first: captures run on every tracked request.
extern __thread stack_region _current_stack_region __attribute__((tls_model("initial-exec"), visibility("hidden")));

/*
 * The region that holds `address` (a stack pointer of the calling thread),
 * false when none can be found. Learnt once per thread and kept in
 * thread-local slots that are read without a lock; a miss (the first
 * capture of a thread, a grown main stack, a coroutine's stack) reads the
 * process's mappings with plain system calls, so it never allocates.
 */
inline bool find_stack_region(uintptr_t address, stack_region *region) {
    if (__builtin_expect(stack_region_holds(_current_stack_region, address, 1), 1)) {
        *region = _current_stack_region;
        return true;
    }
    return find_stack_region_slowly(address, region);
}

/* ---------------------------------------------------------------------------
 * The frame-pointer chain that the i386 backtrace follows once the
 * platform's unwinder stops (below code without unwind information), bounded
 * by the stack being walked. Used only where kBacktraceFollowsFrameChain.
 */
extern "C" void *__libc_stack_end;

/*
 * Appends the return addresses of the chain from `bp` while there is room.
 * backtrace's own rule is kept: a link must lie between the stopping frame's
 * stack pointer `sp` and the top of the main stack and be word-aligned; that
 * rule lets a garbage link on any other thread through. So each link must
 * also lie inside `stack` with room for its two words, above the previous
 * one. `*left_stack` is set where backtrace would have gone on regardless.
 */
inline int follow_frame_chain(void **array, int count, int size, uintptr_t bp, uintptr_t sp, const stack_region &stack,
                              bool *left_stack) {
    const uintptr_t stack_end = (uintptr_t)__libc_stack_end;
    uintptr_t floor = sp;
    while (count < size && bp >= sp && bp <= stack_end && (bp & 3) == 0) {
        if (bp < floor || !stack_region_holds(stack, bp, 2 * sizeof(uintptr_t))) {
            *left_stack = true;
            break;
        }
        array[count++] = ((void *const *)bp)[1];
        floor = bp + 2 * sizeof(uintptr_t); // the caller's link lies above this one
        bp = *(const uintptr_t *)bp;
    }
    return count;
}

/* ---------------------------------------------------------------------------
 * The platform's unwinder driven exactly as the C library's backtrace drives
 * it, with the frame-pointer chain that follows (i386 only) kept inside the
 * stack. It takes every capture the engine cannot finish, and tells the
 * backtrace mode how far the C library's own backtrace may safely go.
 */
extern "C" {

/*
 * backtrace's frames wherever backtrace stays inside the stack; where it
 * would follow a frame-pointer link out of it, the frames up to there.
 * Entry 0 is the return address into the caller. Never allocates once the
 * platform's unwinder is found (start-up does that).
 */
QUARROW_INTERNAL int bounded_backtrace(void **array, int size);

/*
 * Whether this thread's last bounded_backtrace was cut where backtrace would
 * have left the stack; never on x86_64, whose backtrace follows no chain.
 */
QUARROW_INTERNAL bool bounded_backtrace_was_cut(void);

/* Finds the platform's unwinder (loading it through backtrace); start-up calls it before the hooks go in. */
QUARROW_INTERNAL void find_platform_unwinder(void);

/*
 * The platform's own lookup of unwind entries, which also knows entries
 * registered at run time; null until find_platform_unwinder found it.
 */
typedef const void *(*platform_find_fde_function)(void *address, void *bases);
QUARROW_INTERNAL platform_find_fde_function platform_find_fde(void);

} // extern "C"

#endif
