/*
 * The private heap's spin locks and its one-time parameter set-up.
 */
#include "private_heap/private_heap_internal.h"

#include <time.h>

namespace heap {

/* ---------------------------------------------------------------------------
 * Locks: spin on a word, pausing between reads; yield every 64th failed
 * attempt. The heap's critical sections are short, so the holder is nearly
 * always done within a few pauses: yielding at once would turn a wait of a
 * few hundred cycles into a system call. The pause also keeps the spinning
 * core from flooding the holder's with reads of the lock's line.
 */
int spin_acquire_lock(volatile int *sl) {
    unsigned spins = 0;
    for (;;) {
        if (*sl == 0 && __atomic_exchange_n(sl, 1, __ATOMIC_ACQUIRE) == 0)
            return 0;
        if ((++spins & SPINS_PER_YIELD) == 0)
            sched_yield();
        else
            __builtin_ia32_pause();
    }
}

/* ---------------------------------------------------------------------------
 * Parameter set-up: once per process, under the global lock.
 */
int init_mparams() {
    global_lock();
    if (mparams.magic == 0) {
        size_t psize = (size_t)sysconf(_SC_PAGESIZE);
        if ((psize & (psize - 1)) != 0 || psize == 0)
            abort();
        mparams.page_size = psize;
        mparams.granularity = psize;
        mparams.mmap_threshold = DEFAULT_MMAP_THRESHOLD;
        mparams.trim_threshold = DEFAULT_TRIM_THRESHOLD;
        mparams.default_mflags = DEFAULT_MFLAGS;
        _gm_.mflags = mparams.default_mflags;
        _gm_.mutex = 0;
        size_t magic = (size_t)time(nullptr) ^ (size_t)0x55555555U;
        magic |= (size_t)8U;
        magic &= ~(size_t)7U;
        /* magic last: readers that see it non-zero skip the lock */
        __atomic_store_n(&mparams.magic, magic, __ATOMIC_RELEASE);
    }
    global_unlock();
    return 1;
}

int change_mparam(int param, int value) {
    ensure_initialization();
    size_t val = (value == -1) ? MAX_SIZE_T : (size_t)value;
    switch (param) {
    case M_TRIM_THRESHOLD_PARAM:
        mparams.trim_threshold = val;
        return 1;
    case M_GRANULARITY_PARAM:
        if (val >= mparams.page_size && (val & (val - 1)) == 0) {
            mparams.granularity = val;
            return 1;
        }
        return 0;
    case M_MMAP_THRESHOLD_PARAM:
        mparams.mmap_threshold = val;
        return 1;
    default:
        return 0;
    }
}
} // namespace heap
