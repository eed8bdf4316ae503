/*
 * Stack capture: the call stack of a heap request as a count and an array
 * of return addresses, copied and released on the private heap, and the
 * capture engine behind it: the frames the platform's backtrace gives, read
 * from each loaded object's unwind tables, with the unwind step of every
 * return address cached in a table that readers use without a lock.
 */
#ifndef QUARROW_STACK_WALK_H
#define QUARROW_STACK_WALK_H

#include <stdint.h>

#include "export.h"
#include "quarrow_limits.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * One captured stack, innermost frame first. The record and its array are
 * two private-heap blocks owned together; an empty stack made by walk_stack
 * has a count of 0 and a null array.
 */
typedef struct call_stack {
    uint32_t frame_count;
    void **return_addresses;
} call_stack;

/*
 * Captures at most `depth` (at least 1) return addresses, dropping the
 * `skip` innermost ones: with a skip of 1, frame 0 is the return address in
 * walk_stack's caller. Null when memory ran out (reported on standard error).
 */
QUARROW_EXPORT call_stack *walk_stack(int depth, unsigned int skip);

/* Entries a capture_frames scratch array must have. */
#define QUARROW_CAPTURE_SCRATCH (QUARROW_MAX_STACK_DEPTH + 1)

/*
 * walk_stack without the heap: captures into `scratch` (of
 * QUARROW_CAPTURE_SCRATCH entries) and points *frames at the first kept
 * one. Returns how many were kept, at most `depth`. With a skip of 1, frame
 * 0 is the return address in capture_frames's caller. Never allocates.
 */
QUARROW_INTERNAL uint32_t capture_frames(void **scratch, int depth, unsigned int skip, void ***frames);

/*
 * capture_frames started at a known frame instead of its own: `frame` is a
 * frame-pointer frame of the calling thread (its saved frame pointer, then
 * the return address into the code to capture from), and frame 0 is that return
 * address. The walk from there is the one that would pass through the
 * frames below it, without reading them. False, with nothing captured,
 * where only the whole walk will do (check and backtrace modes, rules the
 * engine leaves to the platform): the caller then uses capture_frames.
 */
QUARROW_INTERNAL bool capture_frames_from(void **scratch, int depth, const uintptr_t *frame, void ***frames,
                                          uint32_t *count);

/* A deep copy, or null when memory ran out (reported). */
QUARROW_EXPORT call_stack *clone_stack(call_stack *stack);

/* Releases the array and the record; stack must not be null. */
QUARROW_EXPORT void free_stack(call_stack *stack);

/*
 * A drop-in for backtrace: the same return addresses, in the same order,
 * stopping where backtrace stops, entry 0 being the return address in the
 * caller. Whatever the engine does not handle (signal frames, unwind rules
 * it does not know, entries registered at run time) is handed to the
 * platform's unwinder for the whole capture. Every read of the engine stays
 * inside the calling thread's stack, and so does the frame-pointer chain
 * that the i386 backtrace follows below code without unwind information:
 * where backtrace would leave the stack (below compiled Java code, say), the
 * capture ends there with the frames found so far. Takes no lock and never
 * allocates.
 */
QUARROW_EXPORT int quarrow_backtrace(void **array, int size);

/*
 * The engine alone: as quarrow_backtrace, but -1 where it would hand the
 * capture to backtrace. For tests and benchmarks that must know the engine
 * itself produced the frames.
 */
QUARROW_EXPORT int quarrow_fast_unwind(void **array, int size);

/* How walk_stack captures, chosen by "PROFILER_UNWINDER". */
enum quarrow_unwinder {
    QUARROW_UNWINDER_FAST = 0,      /* unset, "" or "fast" */
    QUARROW_UNWINDER_BACKTRACE = 1, /* "backtrace": the platform's backtrace, kept inside the stack */
    QUARROW_UNWINDER_CHECK = 2      /* "check": both, every capture compared */
};

/*
 * Chooses the capture method from the setting's text (null means unset).
 * Returns 0, or -1 for an unknown text, which is reported and leaves
 * backtrace in use. Called once at start-up, before the hooks go in; "check"
 * also prints the comparison counts on standard error at exit.
 */
QUARROW_EXPORT int configure_stack_capture(const char *setting);

/* The method in use. */
QUARROW_EXPORT int quarrow_unwinder_mode(void);

/* Counts kept in check mode only (the fast path counts nothing). */
typedef struct quarrow_unwinder_counts {
    uint32_t captures;              /* captures compared */
    uint32_t mismatches;            /* captures whose frames differed */
    uint32_t left_to_backtrace;     /* captures the engine declined (signal frames, code outside objects...) */
    uint32_t cut_at_stack_edge;     /* captures where backtrace would have followed a link out of the stack */
    uint32_t changed_between_walks; /* captures that differed once and agreed when every method walked again */
} quarrow_unwinder_counts;

QUARROW_EXPORT void quarrow_get_unwinder_counts(quarrow_unwinder_counts *counts);

/*
 * For the symboliser (not exported). The loader's state as the capture
 * engine knows it: work done while objects were being unloaded, or in an
 * earlier generation, may name code that is gone. check_unloads catches
 * unloads that bypass dlclose (the C library unloading its own modules): it
 * compares the loader's unload count with the last one seen and forgets
 * every cached step if it moved. Called from the processing thread.
 */
#ifdef __cplusplus
struct unwind_epoch {
    uint32_t generation;
    bool stable; // no unload in progress
};
QUARROW_INTERNAL unwind_epoch loader_epoch(void);
#endif
QUARROW_INTERNAL void unwind_cache_check_unloads(void);

#ifdef __cplusplus
}
#endif

#endif
