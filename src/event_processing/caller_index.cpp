// Linear probing over (hash, record) pairs, kept at most half full. Records
// are never removed. Equal hashes are told apart by comparing the stacks.
#include "event_processing/event_processing_internal.h"

#include <string.h>

static inline bool slot_is_empty(const caller_index_slot &slot) { return slot.record == nullptr; }
static inline uint32_t slot_home(const caller_index_slot &slot, uint32_t mask) { return slot.hash & mask; }

// A handful of words: a loop beats a call to memcmp.
static bool _same_stack(const call_stack *a, const call_stack *b) {
    if (a->frame_count != b->frame_count)
        return false;
    for (uint32_t i = 0; i < a->frame_count; i++)
        if (a->return_addresses[i] != b->return_addresses[i])
            return false;
    return true;
}

bool caller_index_init(caller_index *index, uint32_t capacity) {
    index->slots = linear_table_allocate<caller_index_slot>(capacity);
    index->mask = capacity - 1;
    index->count = 0;
    return index->slots != nullptr;
}

uint32_t caller_index_hash(const call_stack *stack, int type) {
    // A rotate and add per address keeps the loop free of a multiply chain
    // (this runs for every allocation event); the final mix makes the low
    // bits that pick the slot depend on all of it. Equal hashes are told
    // apart by comparing the stacks.
    uint32_t hash = 0x9e3779b9u ^ (uint32_t)type ^ (stack->frame_count << 8);
    for (uint32_t i = 0; i < stack->frame_count; ++i)
        hash = ((hash << 7) | (hash >> 25)) + (uint32_t)(uintptr_t)stack->return_addresses[i];
    hash ^= hash >> 16;
    hash *= 0x85ebca6bu;
    hash ^= hash >> 13;
    hash *= 0xc2b2ae35u;
    hash ^= hash >> 16;
    return hash;
}

caller_record *caller_index_find(const caller_index *index, const call_stack *stack, int type, uint32_t hash) {
    for (uint32_t slot = hash & index->mask; index->slots[slot].record != nullptr; slot = (slot + 1) & index->mask) {
        caller_record *record = index->slots[slot].record;
        if (index->slots[slot].hash == hash && record->type == type && _same_stack(record->stack, stack))
            return record;
    }
    return nullptr;
}

bool caller_index_add(caller_index *index, caller_record *record, uint32_t hash) {
    if (!linear_table_make_room(&index->slots, &index->mask, index->count))
        return false;
    linear_table_place(index->slots, index->mask, caller_index_slot{hash, record});
    index->count++;
    return true;
}
