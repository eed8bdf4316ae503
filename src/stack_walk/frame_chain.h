/*
 * The frame-pointer chain that backtrace follows once the platform's
 * unwinder stops (below code without unwind information), bounded by the
 * stack being walked. Internal to the capture engine.
 */
#ifndef QUARROW_FRAME_CHAIN_H
#define QUARROW_FRAME_CHAIN_H

#include <stdint.h>

#include "stack_walk/stack_bounds.h"

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

#endif
