// Linear probing over (hash, record) pairs, kept at most half full. Records
// are never removed. Equal hashes are told apart by comparing the stacks.
#include "caller_index.h"

#include <string.h>

#include "private_heap.h"

static caller_index_slot *_allocate_slots(uint32_t capacity) {
    caller_index_slot *slots = (caller_index_slot *)dlmalloc((size_t)capacity * sizeof(caller_index_slot));
    if (slots != nullptr)
        memset(slots, 0, (size_t)capacity * sizeof(caller_index_slot));
    return slots;
}

static void _place(caller_index *index, uint32_t hash, caller_record *record) {
    uint32_t slot = hash & index->mask;
    while (index->slots[slot].record != nullptr)
        slot = (slot + 1) & index->mask;
    index->slots[slot].hash = hash;
    index->slots[slot].record = record;
}

static bool _same_stack(const call_stack *a, const call_stack *b) {
    return a->frame_count == b->frame_count && (a->frame_count == 0 || memcmp(a->return_addresses, b->return_addresses,
                                                                              a->frame_count * sizeof(void *)) == 0);
}

bool caller_index_init(caller_index *index, uint32_t capacity) {
    index->slots = _allocate_slots(capacity);
    index->mask = capacity - 1;
    index->count = 0;
    return index->slots != nullptr;
}

uint32_t caller_index_hash(const call_stack *stack, int type) {
    // FNV-1a over the type, the count and the addresses, then mixed so the
    // low bits that pick the slot depend on all of it.
    uint32_t hash = 2166136261u;
    hash = (hash ^ (uint32_t)type) * 16777619u;
    hash = (hash ^ stack->frame_count) * 16777619u;
    for (uint32_t i = 0; i < stack->frame_count; ++i)
        hash = (hash ^ (uint32_t)(uintptr_t)stack->return_addresses[i]) * 16777619u;
    hash ^= hash >> 15;
    hash *= 2246822519u;
    hash ^= hash >> 13;
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
    if ((index->count + 1) * 2 > index->mask + 1) {
        uint32_t old_capacity = index->mask + 1;
        if (old_capacity > UINT32_MAX / 2 / sizeof(caller_index_slot))
            return false;
        caller_index_slot *slots = _allocate_slots(old_capacity * 2);
        if (slots == nullptr)
            return false;
        caller_index_slot *old_slots = index->slots;
        index->slots = slots;
        index->mask = old_capacity * 2 - 1;
        for (uint32_t i = 0; i < old_capacity; ++i)
            if (old_slots[i].record != nullptr)
                _place(index, old_slots[i].hash, old_slots[i].record);
        dlfree(old_slots);
    }
    _place(index, hash, record);
    index->count++;
    return true;
}
