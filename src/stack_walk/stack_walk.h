/*
 * Stack capture: the call stack of a heap request as a count and an array
 * of return addresses, copied and released on the private heap. Also the
 * string copy that the rest of the library uses in place of strdup.
 */
#ifndef QUARROW_STACK_WALK_H
#define QUARROW_STACK_WALK_H

#include <stdint.h>

#include "export.h"

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
 * The deepest stack walk_stack keeps. Its scratch array lives on the
 * allocating thread's own stack, so a larger depth is cut to this.
 */
#define QUARROW_MAX_STACK_DEPTH 1024

/*
 * Captures at most `depth` (at least 1) return addresses, dropping the
 * `skip` innermost ones: with a skip of 1, frame 0 is the return address in
 * walk_stack's caller. Null when memory ran out (reported on standard error).
 */
QUARROW_EXPORT call_stack *walk_stack(int depth, unsigned int skip);

/* A deep copy, or null when memory ran out (reported). */
QUARROW_EXPORT call_stack *clone_stack(call_stack *stack);

/* Releases the array and the record; stack must not be null. */
QUARROW_EXPORT void free_stack(call_stack *stack);

/* A private-heap copy of text; null text copies as "". Null when memory ran out. */
QUARROW_EXPORT char *local_strdup(const char *text);

#ifdef __cplusplus
}
#endif

#endif
