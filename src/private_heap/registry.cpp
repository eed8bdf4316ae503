/*
 * The registry of the private heap's own direct mappings.
 */
#include "private_heap/private_heap_internal.h"

namespace heap {

constexpr size_t REGISTRY_INITIAL_CAPACITY = 1024;

inline size_t _registry_slot(uintptr_t base, size_t capacity) {
    return (size_t)(((base >> 12) * 2654435761U) & (capacity - 1));
}

mapping_registry _mappings;

static void _registry_put(uintptr_t *slots, size_t capacity, uintptr_t base) {
    size_t i = _registry_slot(base, capacity);
    while (slots[i] != 0)
        i = (i + 1) & (capacity - 1);
    slots[i] = base;
}

/* Returns false when the table could not grow; the caller must then not
 * hand out the mapping. */
bool _registry_insert(uintptr_t base) {
    mapping_registry &r = _mappings;
    if ((r.count + 1) * 2 > r.capacity) {
        size_t capacity = r.capacity == 0 ? REGISTRY_INITIAL_CAPACITY : r.capacity * 2;
        size_t bytes = capacity * sizeof(uintptr_t);
        void *fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            return false;
        uintptr_t *slots = (uintptr_t *)fresh;
        for (size_t i = 0; i < r.capacity; ++i)
            if (r.slots[i] != 0)
                _registry_put(slots, capacity, r.slots[i]);
        if (r.slots != nullptr)
            munmap(r.slots, r.capacity * sizeof(uintptr_t));
        r.slots = slots;
        r.capacity = capacity;
    }
    _registry_put(r.slots, r.capacity, base);
    ++r.count;
    return true;
}

bool _registry_contains(uintptr_t base) {
    mapping_registry &r = _mappings;
    if (r.count == 0 || base == 0)
        return false;
    for (size_t i = _registry_slot(base, r.capacity);; i = (i + 1) & (r.capacity - 1)) {
        if (r.slots[i] == base)
            return true;
        if (r.slots[i] == 0)
            return false;
    }
}

/* Backward-shift deletion keeps every probe chain unbroken without tombstones. */
void _registry_remove(uintptr_t base) {
    mapping_registry &r = _mappings;
    if (r.count == 0)
        return;
    size_t mask = r.capacity - 1;
    size_t i = _registry_slot(base, r.capacity);
    while (r.slots[i] != base) {
        if (r.slots[i] == 0)
            return;
        i = (i + 1) & mask;
    }
    size_t hole = i;
    for (size_t j = (hole + 1) & mask; r.slots[j] != 0; j = (j + 1) & mask) {
        size_t home = _registry_slot(r.slots[j], r.capacity);
        /* move j into the hole unless its home lies cyclically in (hole, j] */
        bool stays = (hole <= j) ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            r.slots[hole] = r.slots[j];
            hole = j;
        }
    }
    r.slots[hole] = 0;
    --r.count;
}
} // namespace heap
