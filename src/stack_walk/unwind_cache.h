/*
 * The unwind step of each return address seen, kept in a fixed table that
 * captures read without a lock, and forgotten whenever objects are unloaded.
 * Internal to the capture engine.
 */
#ifndef QUARROW_UNWIND_CACHE_H
#define QUARROW_UNWIND_CACHE_H

#include <stdint.h>

#include "export.h"
#include "stack_walk/unwind_rules.h"

/*
 * The loader's state as the cache knows it. A capture takes one before it
 * starts and checks it afterwards: frames read while objects were being
 * unloaded are not trusted.
 */
struct unwind_epoch {
    uint32_t generation;
    bool stable; // no unload in progress
};

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

// A slot: a return address and its packed step (see PACKED_ below).
struct unwind_cache_slot {
    uint32_t key;
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
        uint32_t key = __atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE);
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
constexpr uint32_t PACKED_CFA_FROM_EBP = 1u << 1;
constexpr uint32_t PACKED_CFA_DEREF = 1u << 2;
constexpr unsigned PACKED_EBP_RULE_SHIFT = 3; // two bits of ebp_rule_kind
constexpr uint32_t PACKED_EBP_BASE_IS_EBP = 1u << 5;
constexpr unsigned PACKED_EBP_OFFSET_SHIFT = 6;  // eight bits, signed
constexpr unsigned PACKED_CFA_OFFSET_SHIFT = 14; // eighteen bits, signed

/* Keeps a packed step found in `epoch`; dropped if objects were unloaded since. */
QUARROW_INTERNAL void unwind_cache_insert(uintptr_t return_address, uint32_t packed_step, unwind_epoch epoch);

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
