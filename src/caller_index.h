/*
 * A hash index in front of the caller tables: (stack, caller type) to caller
 * record, so that the record of a known stack is found with one hash of the
 * stack instead of a tree descent that compares whole stacks at each level.
 * The trees stay the records' home and give the report its order. Used
 * with the caller table lock held.
 */
#ifndef QUARROW_CALLER_INDEX_H
#define QUARROW_CALLER_INDEX_H

#include <stdint.h>

#include "event_processing.h"
#include "export.h"

typedef struct caller_index_slot {
    uint32_t hash;
    caller_record *record; // null marks an empty slot
} caller_index_slot;

typedef struct caller_index {
    caller_index_slot *slots;
    uint32_t mask; // capacity - 1, the capacity a power of two
    uint32_t count;
} caller_index;

/* An empty index of `capacity` (a power of two) slots; false when out of memory. */
QUARROW_INTERNAL bool caller_index_init(caller_index *index, uint32_t capacity);

QUARROW_INTERNAL uint32_t caller_index_hash(const call_stack *stack, int type);

/* The record of this stack and type, or null when the index has none. */
QUARROW_INTERNAL caller_record *caller_index_find(const caller_index *index, const call_stack *stack, int type,
                                                  uint32_t hash);

/* Adds a record under the hash of its stack and type; false when it could not grow. */
QUARROW_INTERNAL bool caller_index_add(caller_index *index, caller_record *record, uint32_t hash);

#endif
