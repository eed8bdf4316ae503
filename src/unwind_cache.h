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

/*
 * The table itself, here so that the lookup inlines into the walk: it runs
 * once per frame of every capture.
 */
constexpr unsigned kUnwindCacheBits = 14;
constexpr uint32_t kUnwindCacheSlots = 1u << kUnwindCacheBits;
constexpr uint32_t kUnwindCacheMask = kUnwindCacheSlots - 1;
constexpr unsigned kUnwindCacheProbes = 8;

// Key values that are never return addresses.
constexpr uint32_t kUnwindCacheEmpty = 0;
constexpr uint32_t kUnwindCacheBeingWritten = 1;

// Packed step: bit 0 outermost, 1 CFA from ebp, 2 CFA dereferenced, 3-4 ebp
// rule, 5 ebp base is ebp, 6-13 ebp offset (signed), 14-31 CFA offset (signed).
struct unwind_cache_slot {
    uint32_t key;
    uint32_t packed_step;
};

extern QUARROW_INTERNAL unwind_cache_slot _unwind_cache_slots[kUnwindCacheSlots];

inline uint32_t unwind_cache_first_slot(uintptr_t return_address) {
    return (uint32_t)(return_address * 2654435761u) >> (32 - kUnwindCacheBits);
}

inline void unwind_cache_unpack(uint32_t packed, unwind_step *step) {
    step->outermost = packed & 1;
    step->cfa_register = (packed >> 1 & 1) ? UNWIND_EBP : UNWIND_ESP;
    step->cfa_deref = packed >> 2 & 1;
    step->ebp_rule = packed >> 3 & 3;
    step->ebp_register = (packed >> 5 & 1) ? UNWIND_EBP : UNWIND_ESP;
    step->ebp_offset = (int32_t)(int8_t)(packed >> 6 & 0xff);
    step->cfa_offset = (int32_t)packed >> 14;
}

/*
 * The cached step for a return address, or false when it is not cached. The
 * key is read again after the step: a slot emptied and reused meanwhile
 * reads as a miss.
 */
inline bool unwind_cache_lookup(uintptr_t return_address, unwind_step *step) {
    uint32_t slot = unwind_cache_first_slot(return_address);
    for (unsigned probe = 0; probe < kUnwindCacheProbes; ++probe, slot = (slot + 1) & kUnwindCacheMask) {
        uint32_t key = __atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE);
        if (key == kUnwindCacheEmpty)
            return false;
        if (key != return_address)
            continue;
        uint32_t packed = __atomic_load_n(&_unwind_cache_slots[slot].packed_step, __ATOMIC_ACQUIRE);
        if (__atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE) != return_address)
            return false;
        unwind_cache_unpack(packed, step);
        return true;
    }
    return false;
}

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
