/*
 * Symbolised frames by return address, so that a return address shared by
 * many stacks is looked up in the loader's symbol tables once rather than
 * once per stack. Each entry owns a copy of its symbol. Used by the
 * processing thread with the caller table lock held; emptied when objects
 * are unloaded, as an address may then belong to other code.
 */
#ifndef QUARROW_FRAME_CACHE_H
#define QUARROW_FRAME_CACHE_H

#include <stdint.h>

#include "event_processing.h"
#include "export.h"

typedef struct frame_cache_entry {
    const void *address; // null marks an empty slot
    friendly_frame frame;
} frame_cache_entry;

typedef struct frame_cache {
    frame_cache_entry *slots;
    uint32_t mask; // capacity - 1, the capacity a power of two
    uint32_t count;
} frame_cache;

/* An empty cache of `capacity` (a power of two) slots; false when out of memory. */
QUARROW_INTERNAL bool frame_cache_init(frame_cache *cache, uint32_t capacity);

/* The frame kept for a return address, or null. */
QUARROW_INTERNAL const friendly_frame *frame_cache_find(const frame_cache *cache, const void *address);

/* Keeps a copy of `frame` (its symbol copied) for a return address; false when out of memory. */
QUARROW_INTERNAL bool frame_cache_add(frame_cache *cache, const void *address, const friendly_frame *frame);

/* Forgets every frame, releasing the symbol copies. */
QUARROW_INTERNAL void frame_cache_clear(frame_cache *cache);

#endif
