/*
 * The unwind step of each return address seen, kept in a fixed table that
 * captures read without a lock, and forgotten whenever objects are unloaded.
 * Internal to the capture engine.
 */
#ifndef QUARROW_UNWIND_CACHE_H
#define QUARROW_UNWIND_CACHE_H

#include <stdint.h>

#include "export.h"
#include "unwind_rules.h"

/*
 * The loader's state as the cache knows it. A capture takes one before it
 * starts and checks it afterwards: frames read while objects were being
 * unloaded are not trusted.
 */
struct unwind_epoch {
    uint32_t generation;
    bool stable; // no unload in progress
};

QUARROW_INTERNAL unwind_epoch unwind_cache_epoch(void);
QUARROW_INTERNAL bool unwind_cache_unchanged_since(unwind_epoch epoch);

/* The cached step for a return address, or false when it is not cached. */
QUARROW_INTERNAL bool unwind_cache_lookup(uintptr_t return_address, unwind_step *step);

/* Keeps a step found in `epoch`; dropped if objects were unloaded since. */
QUARROW_INTERNAL void unwind_cache_insert(uintptr_t return_address, const unwind_step *step, unwind_epoch epoch);

/*
 * Bracket around anything that unmaps code: while open, captures leave their
 * work to the platform's unwinder; closing it forgets every cached step.
 */
QUARROW_INTERNAL void unwind_cache_begin_unload(void);
QUARROW_INTERNAL void unwind_cache_end_unload(void);

/*
 * Catches unloads that bypass dlclose (the C library unloading its own
 * modules): compares the loader's unload count with the last one seen and
 * forgets every cached step if it moved. Called from the processing thread.
 */
QUARROW_INTERNAL void unwind_cache_check_unloads(void);

#endif
