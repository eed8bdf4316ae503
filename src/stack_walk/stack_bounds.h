/*
 * The bounds of the stack a capture runs on. A frame-pointer chain through
 * code that keeps no frame pointers (compiled Java code, say) holds whatever
 * the register held, so every read of a walk must be checked against the
 * memory of the stack it walks. Internal to the capture engine.
 */
#ifndef QUARROW_STACK_BOUNDS_H
#define QUARROW_STACK_BOUNDS_H

#include <stdint.h>

#include "export.h"

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

#endif
