/*
 * The stack-capture engine: the frames the platform's backtrace gives, read
 * from each loaded object's unwind tables, with the unwind step of every
 * return address cached in a table that readers use without a lock.
 */
#ifndef QUARROW_FAST_BACKTRACE_H
#define QUARROW_FAST_BACKTRACE_H

#include <stdint.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A drop-in for backtrace: the same return addresses, in the same order,
 * stopping where backtrace stops, entry 0 being the return address in the
 * caller. Whatever the engine does not handle (signal frames, unwind rules
 * it does not know, entries registered at run time) is handed to the
 * platform's unwinder for the whole capture. Every read stays inside the
 * calling thread's stack: where backtrace would follow a frame-pointer link
 * out of it (below compiled Java code, say), the capture ends there with the
 * frames found so far. Takes no lock and never allocates.
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
    uint32_t captures;          /* captures compared */
    uint32_t mismatches;        /* captures whose frames differed */
    uint32_t left_to_backtrace; /* captures the engine declined (signal frames, code outside objects...) */
    uint32_t cut_at_stack_edge; /* captures where backtrace would have followed a link out of the stack */
} quarrow_unwinder_counts;

QUARROW_EXPORT void quarrow_get_unwinder_counts(quarrow_unwinder_counts *counts);

#ifdef __cplusplus
}
#endif

#endif
