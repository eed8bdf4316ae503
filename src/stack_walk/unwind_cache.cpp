// A fixed open-addressed table of (return address, packed unwind step).
// Readers take no lock: a slot's key is published with a release store after
// its step, and read back after the step to catch a slot that was reused.
// Unloading an object bumps a generation; captures that straddle one are
// redone by the platform's unwinder, and inserts that straddle one are undone.
#include "stack_walk/stack_walk_internal.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <link.h>

#include "cache_line.h"

namespace {

unsigned long long _unloads_seen; // by unwind_cache_check_unloads

constexpr int32_t kFpOffsetLimit = 1 << 7;
constexpr int32_t kCfaOffsetLimit = 1 << 17;

// A slot being written is left to its writer, which sees the new generation
// and takes its step back out; clearing it here would let a second writer
// claim the slot while the first still writes its step into it.
void forget_everything() {
    for (uint32_t i = 0; i < kUnwindCacheSlots; ++i) {
        uintptr_t key = __atomic_load_n(&_unwind_cache_slots[i].key, __ATOMIC_RELAXED);
        if (key != kUnwindCacheEmpty && key != kUnwindCacheBeingWritten)
            __atomic_compare_exchange_n(&_unwind_cache_slots[i].key, &key, kUnwindCacheEmpty, false, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED);
    }
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

int _read_unloads(struct dl_phdr_info *info, size_t, void *result) {
    *(unsigned long long *)result = info->dlpi_subs;
    return 1; // one object tells the count
}

} // namespace

unwind_cache_slot _unwind_cache_slots[kUnwindCacheSlots];
QUARROW_OWN_LINE uint32_t _unwind_cache_generation;
uint32_t _unwind_cache_unloads_in_progress;

bool unwind_step_pack(const unwind_step *step, uint32_t *packed) {
    if (step->fp_offset < -kFpOffsetLimit || step->fp_offset >= kFpOffsetLimit || step->cfa_offset < -kCfaOffsetLimit ||
        step->cfa_offset >= kCfaOffsetLimit)
        return false;
    *packed = (step->outermost ? PACKED_OUTERMOST : 0u) | (step->cfa_register == UNWIND_FP ? PACKED_CFA_FROM_FP : 0u) |
              (step->cfa_deref ? PACKED_CFA_DEREF : 0u) | (uint32_t)step->fp_rule << PACKED_FP_RULE_SHIFT |
              (step->fp_register == UNWIND_FP ? PACKED_FP_BASE_IS_FP : 0u) |
              ((uint32_t)step->fp_offset & 0xff) << PACKED_FP_OFFSET_SHIFT |
              (uint32_t)step->cfa_offset << PACKED_CFA_OFFSET_SHIFT;
    return true;
}

void unwind_cache_insert(uintptr_t return_address, uint32_t packed, unwind_epoch epoch) {
    if (return_address <= kUnwindCacheBeingWritten || !epoch.stable)
        return;
    uint32_t slot = unwind_cache_first_slot(return_address);
    for (unsigned probe = 0; probe < kUnwindCacheProbes; ++probe, slot = (slot + 1) & kUnwindCacheMask) {
        uintptr_t key = __atomic_load_n(&_unwind_cache_slots[slot].key, __ATOMIC_ACQUIRE);
        if (key == return_address)
            return; // another thread was first
        if (key != kUnwindCacheEmpty)
            continue;
        if (!__atomic_compare_exchange_n(&_unwind_cache_slots[slot].key, &key, kUnwindCacheBeingWritten, false,
                                         __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            continue;
        __atomic_store_n(&_unwind_cache_slots[slot].packed_step, packed, __ATOMIC_RELAXED);
        __atomic_store_n(&_unwind_cache_slots[slot].key, return_address, __ATOMIC_SEQ_CST);
        // An unload that began meanwhile may have cleared the table before
        // this store: take the step back out, as it may describe unmapped code.
        if (!unwind_cache_unchanged_since(epoch)) {
            uintptr_t expected = return_address;
            __atomic_compare_exchange_n(&_unwind_cache_slots[slot].key, &expected, kUnwindCacheEmpty, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_RELAXED);
        }
        return;
    }
}

void unwind_cache_begin_unload(void) {
    __atomic_add_fetch(&_unwind_cache_unloads_in_progress, 1, __ATOMIC_SEQ_CST);
    __atomic_add_fetch(&_unwind_cache_generation, 1, __ATOMIC_SEQ_CST);
}

void unwind_cache_end_unload(void) {
    forget_everything();
    __atomic_add_fetch(&_unwind_cache_generation, 1, __ATOMIC_SEQ_CST);
    __atomic_sub_fetch(&_unwind_cache_unloads_in_progress, 1, __ATOMIC_SEQ_CST);
}

void unwind_cache_check_unloads(void) {
    unsigned long long unloads = 0;
    dl_iterate_phdr(_read_unloads, &unloads);
    if (unloads == _unloads_seen)
        return;
    unwind_cache_begin_unload();
    _unloads_seen = unloads;
    unwind_cache_end_unload();
}

unwind_epoch loader_epoch(void) { return unwind_cache_epoch(); }
