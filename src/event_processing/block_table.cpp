// Linear probing, kept at most half full, with removal by shifting later
// members of a probe run back, so no tombstones build up under the steady
// allocate-free traffic that this table sees.
#include "event_processing/event_processing_internal.h"

#include "prefetch.h"

// Block addresses are aligned to two words (8 bytes, 16 with 64-bit
// addresses): the low bits carry nothing. A bit left in would halve the
// homes, since the product's low bits follow the address's.
static constexpr unsigned _alignment_shift = __builtin_ctz(2 * sizeof(size_t));
static inline uint32_t _home_of(const void *address, uint32_t mask) {
    return (uint32_t)(((uintptr_t)address >> _alignment_shift) * 2654435761u) & mask;
}

static inline bool slot_is_empty(const allocation_record &slot) { return slot.address == nullptr; }
static inline uint32_t slot_home(const allocation_record &slot, uint32_t mask) { return _home_of(slot.address, mask); }

// The slot holding `address`, or the empty slot that ends its probe run.
static uint32_t _find(const block_table *table, const void *address) {
    uint32_t slot = _home_of(address, table->mask);
    while (table->slots[slot].address != nullptr && table->slots[slot].address != address)
        slot = (slot + 1) & table->mask;
    return slot;
}

void block_table_prefetch(const block_table *table, const void *address) {
    prefetch_for_read(&table->slots[_home_of(address, table->mask)]);
}

bool block_table_init(block_table *table, uint32_t capacity) {
    table->slots = linear_table_allocate<allocation_record>(capacity);
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
        if (!linear_table_make_room(&table->slots, &table->mask, table->count))
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
        uint32_t home = _home_of(table->slots[next].address, table->mask);
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
