// Linear probing, kept at most half full, with removal by shifting later
// members of a probe run back, so no tombstones build up under the steady
// allocate-free traffic that this table sees.
#include "block_table.h"

#include <string.h>

#include "private_heap.h"

static inline uint32_t _home_slot(const block_table *table, const void *address) {
    // Block addresses are 8-byte aligned: the low bits carry nothing.
    return (uint32_t)(((uintptr_t)address >> 3) * 2654435761u) & table->mask;
}

static allocation_record *_allocate_slots(uint32_t capacity) {
    allocation_record *slots = (allocation_record *)dlmalloc((size_t)capacity * sizeof(allocation_record));
    if (slots != nullptr)
        memset(slots, 0, (size_t)capacity * sizeof(allocation_record));
    return slots;
}

static void _place(block_table *table, const allocation_record *record) {
    uint32_t slot = _home_slot(table, record->address);
    while (table->slots[slot].address != nullptr)
        slot = (slot + 1) & table->mask;
    table->slots[slot] = *record;
}

static bool _grow(block_table *table) {
    uint32_t old_capacity = table->mask + 1;
    if (old_capacity > UINT32_MAX / 2 / sizeof(allocation_record))
        return false;
    allocation_record *slots = _allocate_slots(old_capacity * 2);
    if (slots == nullptr)
        return false;
    allocation_record *old_slots = table->slots;
    table->slots = slots;
    table->mask = old_capacity * 2 - 1;
    for (uint32_t i = 0; i < old_capacity; ++i)
        if (old_slots[i].address != nullptr)
            _place(table, &old_slots[i]);
    dlfree(old_slots);
    return true;
}

// The slot holding `address`, or the empty slot that ends its probe run.
static uint32_t _find(const block_table *table, const void *address) {
    uint32_t slot = _home_slot(table, address);
    while (table->slots[slot].address != nullptr && table->slots[slot].address != address)
        slot = (slot + 1) & table->mask;
    return slot;
}

bool block_table_init(block_table *table, uint32_t capacity) {
    table->slots = _allocate_slots(capacity);
    table->mask = capacity - 1;
    table->count = 0;
    return table->slots != nullptr;
}

int block_table_put(block_table *table, const allocation_record *record, allocation_record *displaced) {
    uint32_t slot = _find(table, record->address);
    if (table->slots[slot].address != nullptr) {
        *displaced = table->slots[slot];
        table->slots[slot] = *record;
        return 1;
    }
    if ((table->count + 1) * 2 > table->mask + 1) {
        if (!_grow(table))
            return -1;
        slot = _find(table, record->address);
    }
    table->slots[slot] = *record;
    table->count++;
    return 0;
}

bool block_table_take(block_table *table, const void *address, allocation_record *record) {
    if (address == nullptr)
        return false;
    uint32_t hole = _find(table, address);
    if (table->slots[hole].address == nullptr)
        return false;
    *record = table->slots[hole];
    // Pull back each later member of the run whose home is not between the
    // hole and itself, so every member stays reachable from its home.
    for (uint32_t next = (hole + 1) & table->mask; table->slots[next].address != nullptr;
         next = (next + 1) & table->mask) {
        uint32_t home = _home_slot(table, table->slots[next].address);
        bool home_in_between = ((next - home) & table->mask) < ((next - hole) & table->mask);
        if (!home_in_between) {
            table->slots[hole] = table->slots[next];
            hole = next;
        }
    }
    table->slots[hole].address = nullptr;
    table->count--;
    return true;
}
