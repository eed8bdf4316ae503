// Linear probing, kept at most half full; nothing is removed but by clearing
// the whole cache.
#include "event_processing/event_processing_internal.h"

#include "stack_walk/stack_walk.h"

static inline uint32_t _home_of(const void *address, uint32_t mask) {
    return (uint32_t)((uintptr_t)address * 2654435761u) & mask;
}

static inline bool slot_is_empty(const frame_cache_entry &slot) { return slot.address == nullptr; }
static inline uint32_t slot_home(const frame_cache_entry &slot, uint32_t mask) { return _home_of(slot.address, mask); }

bool frame_cache_init(frame_cache *cache, uint32_t capacity) {
    cache->slots = linear_table_allocate<frame_cache_entry>(capacity);
    cache->mask = capacity - 1;
    cache->count = 0;
    return cache->slots != nullptr;
}

const friendly_frame *frame_cache_find(const frame_cache *cache, const void *address) {
    if (cache->slots == nullptr || address == nullptr)
        return nullptr;
    for (uint32_t slot = _home_of(address, cache->mask); cache->slots[slot].address != nullptr;
         slot = (slot + 1) & cache->mask)
        if (cache->slots[slot].address == address)
            return &cache->slots[slot].frame;
    return nullptr;
}

bool frame_cache_add(frame_cache *cache, const void *address, const friendly_frame *frame) {
    if (cache->slots == nullptr || address == nullptr)
        return false;
    if (!linear_table_make_room(&cache->slots, &cache->mask, cache->count))
        return false;
    frame_cache_entry entry = {address, *frame};
    entry.frame.symbol = local_strdup(frame->symbol);
    if (entry.frame.symbol == nullptr)
        return false;
    linear_table_place(cache->slots, cache->mask, entry);
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
