// Linear probing, kept at most half full; nothing is removed but by clearing
// the whole cache.
#include "frame_cache.h"

#include <string.h>

#include "private_heap.h"
#include "stack_walk.h"

static inline uint32_t _home_slot(const frame_cache *cache, const void *address) {
    return (uint32_t)((uintptr_t)address * 2654435761u) & cache->mask;
}

static frame_cache_entry *_allocate_slots(uint32_t capacity) {
    frame_cache_entry *slots = (frame_cache_entry *)dlmalloc((size_t)capacity * sizeof(frame_cache_entry));
    if (slots != nullptr)
        memset(slots, 0, (size_t)capacity * sizeof(frame_cache_entry));
    return slots;
}

static void _place(frame_cache *cache, const frame_cache_entry *entry) {
    uint32_t slot = _home_slot(cache, entry->address);
    while (cache->slots[slot].address != nullptr)
        slot = (slot + 1) & cache->mask;
    cache->slots[slot] = *entry;
}

bool frame_cache_init(frame_cache *cache, uint32_t capacity) {
    cache->slots = _allocate_slots(capacity);
    cache->mask = capacity - 1;
    cache->count = 0;
    return cache->slots != nullptr;
}

const friendly_frame *frame_cache_find(const frame_cache *cache, const void *address) {
    if (cache->slots == nullptr || address == nullptr)
        return nullptr;
    for (uint32_t slot = _home_slot(cache, address); cache->slots[slot].address != nullptr;
         slot = (slot + 1) & cache->mask)
        if (cache->slots[slot].address == address)
            return &cache->slots[slot].frame;
    return nullptr;
}

bool frame_cache_add(frame_cache *cache, const void *address, const friendly_frame *frame) {
    if (cache->slots == nullptr || address == nullptr)
        return false;
    if ((cache->count + 1) * 2 > cache->mask + 1) {
        uint32_t old_capacity = cache->mask + 1;
        if (old_capacity > UINT32_MAX / 2 / sizeof(frame_cache_entry))
            return false;
        frame_cache_entry *slots = _allocate_slots(old_capacity * 2);
        if (slots == nullptr)
            return false;
        frame_cache_entry *old_slots = cache->slots;
        cache->slots = slots;
        cache->mask = old_capacity * 2 - 1;
        for (uint32_t i = 0; i < old_capacity; ++i)
            if (old_slots[i].address != nullptr)
                _place(cache, &old_slots[i]);
        dlfree(old_slots);
    }
    frame_cache_entry entry = {address, *frame};
    entry.frame.symbol = local_strdup(frame->symbol);
    if (entry.frame.symbol == nullptr)
        return false;
    _place(cache, &entry);
    cache->count++;
    return true;
}

void frame_cache_clear(frame_cache *cache) {
    if (cache->slots == nullptr)
        return;
    for (uint32_t i = 0; i <= cache->mask; ++i) {
        if (cache->slots[i].address != nullptr)
            dlfree(cache->slots[i].frame.symbol);
        cache->slots[i].address = nullptr;
    }
    cache->count = 0;
}
