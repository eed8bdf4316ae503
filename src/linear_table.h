/*
 * What the library's open-addressed tables share: a power-of-two array of
 * slots on the private heap, linear probing from each slot's home, and
 * doubling once the table would be more than half full. A table's slot type
 * supplies `slot_is_empty(const Slot &)` and `slot_home(const Slot &, mask)`,
 * declared before these templates are used. Internal.
 */
#ifndef QUARROW_LINEAR_TABLE_H
#define QUARROW_LINEAR_TABLE_H

#include <stdint.h>
#include <string.h>

#include "private_heap.h"

/* A zeroed array of `capacity` slots (zero being empty), or null. */
template <typename Slot> Slot *linear_table_allocate(uint32_t capacity) {
    Slot *slots = (Slot *)dlmalloc((size_t)capacity * sizeof(Slot));
    if (slots != nullptr)
        memset(slots, 0, (size_t)capacity * sizeof(Slot));
    return slots;
}

/* Puts `slot` in the first empty slot from its home; there must be one. */
template <typename Slot> void linear_table_place(Slot *slots, uint32_t mask, const Slot &slot) {
    uint32_t i = slot_home(slot, mask);
    while (!slot_is_empty(slots[i]))
        i = (i + 1) & mask;
    slots[i] = slot;
}

/*
 * Doubles the array if one more slot would fill it past half, moving every
 * slot to its place in the new one. False when it cannot grow; then nothing
 * has changed.
 */
template <typename Slot> bool linear_table_make_room(Slot **slots, uint32_t *mask, uint32_t count) {
    uint32_t capacity = *mask + 1;
    if ((count + 1) * 2 <= capacity)
        return true;
    if (capacity > UINT32_MAX / 2 / sizeof(Slot))
        return false;
    Slot *grown = linear_table_allocate<Slot>(capacity * 2);
    if (grown == nullptr)
        return false;
    for (uint32_t i = 0; i < capacity; ++i)
        if (!slot_is_empty((*slots)[i]))
            linear_table_place(grown, capacity * 2 - 1, (*slots)[i]);
    dlfree(*slots);
    *slots = grown;
    *mask = capacity * 2 - 1;
    return true;
}

#endif
