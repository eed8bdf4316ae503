/*
 * What event processing's files share. Nothing here leaves the library.
 *
 * buffer.cpp     the ring buffer, its lock and the producers
 * callers.cpp    caller records, the live-block tables and the processing thread
 * symbols.cpp    return addresses to object, symbol and offset
 * report.cpp     the report writer and the output thread
 * configure.cpp  start-up: options, output file, tables, threads
 * lifecycle.cpp  fork handlers and the report at exit
 * block_table.cpp, caller_index.cpp, frame_cache.cpp  the open-addressed tables
 */
#ifndef QUARROW_EVENT_PROCESSING_INTERNAL_H
#define QUARROW_EVENT_PROCESSING_INTERNAL_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>

#include "event_processing/event_processing.h"
#include "private_heap/private_heap.h"
#include "string_util.h"

#pragma GCC visibility push(hidden)

// Error lines of every file here name the subsystem's file, as they always
// have; readers of the error output match on it.
static const char _source_file[] = "src/event_processing.cpp";

/* ---------------------------------------------------------------------------
 * Start-up results, owned by configure.cpp.
 */
struct event_processing_setup {
    volatile int16_t configured; // written once, after both threads run; producers read it unlocked
    int32_t stack_depth;
    int32_t write_period_seconds;
    FILE *output_file;           // written by the output thread alone once it runs
    pthread_t processing_thread; // both 0 until started: no thread has that identifier
    pthread_t output_thread;
    pid_t tracking_pid; // a forked child has none of the threads and writes no report
};
extern event_processing_setup _setup;

// Slots each hash table starts with; they double as they fill.
constexpr uint32_t kInitialTableSlots = 1024;

inline int compare_addresses(const void *a, const void *b) {
    uintptr_t x = (uintptr_t)a, y = (uintptr_t)b;
    return x > y ? 1 : x < y ? -1 : 0;
}

/* Where an event of a known type keeps its stack; null for any other type. */
inline call_stack **event_stack_word(event_record *event) {
    switch (event->type) {
    case EVENT_MALLOC:
    case EVENT_JNI_ALLOC:
        return &event->u.malloc_event.stack;
    case EVENT_FREE:
    case EVENT_JNI_FREE:
        return &event->u.free_event.stack;
    case EVENT_REALLOC:
        return &event->u.realloc_event.stack;
    case EVENT_MEMALIGN:
        return &event->u.memalign_event.stack;
    default:
        return nullptr;
    }
}

/* ---------------------------------------------------------------------------
 * The ring buffer (buffer.cpp), guarded by the event lock.
 */
// Events the processing thread takes at once, and the batch a gather waits
// for (at most a few tens of microseconds). Long enough that the slot lines
// fetched ahead of each event cover most of a batch: a batch's first events
// have none fetched.
constexpr int32_t kEventBatch = 256;

/* Sizes the buffer from the "buffers" option: 0, or 1 for a bad size (reported). */
int event_buffer_configure(config_option **options);
/* The slots, each with room for a stack of `depth` frames, empty: 0, or 2 out of memory (reported). */
int event_buffer_allocate(int32_t depth);
/* Whether a producer that finds the buffer full waits for room (bounded) or drops. */
void event_buffer_wait_when_full(bool wait);
/*
 * The processing thread's side. wait: blocks until the event at the head is
 * ready and returns how many ready ones follow from there, at most `room`;
 * ready: the same without waiting (0 when none). event(i): the i-th of
 * them, in place; only ready ones may be fetched ahead, as a producer may
 * still be writing the rest. release: gives the first `count` slots back.
 */
uint32_t event_buffer_wait(uint32_t room);
uint32_t event_buffer_ready(uint32_t room);
event_record *event_buffer_event(uint32_t index);
/* A hint: fetches the lines of the index-th ready event ahead of its handling. */
void event_buffer_prefetch(uint32_t index);
void event_buffer_release(uint32_t count);
/* Whether every posted event has been taken and handled. */
bool event_buffer_drained(void);
/* The report's two buffer counters since the last report, reset to 0. */
void event_buffer_take_counters(uint32_t *maximum_pending, uint32_t *discarded);
void event_buffer_lock(void);
void event_buffer_unlock(void);
#if QUARROW_TEST_SEAMS
void event_buffer_reset(void);
int32_t event_buffer_waiting_producers(void);
/* position % size as a claim computes it, for positions below 2^30. */
uint32_t event_buffer_slot_index(uint32_t position, uint32_t size);
/* position / size as a claim's note computes it. */
uint32_t event_buffer_slot_lap(uint32_t position, uint32_t size);
#endif

/* ---------------------------------------------------------------------------
 * Caller records and live blocks (callers.cpp). The caller tables, their
 * index and every record's counters are guarded by the caller table lock;
 * the live-block tables belong to the processing thread alone.
 */
/* Every table, empty; 0 or the failed step (1, 2, 4, 8) with its error line written. */
int callers_build_tables(void);
/* Handles one event with the caller table lock held; its stack is left alone. */
void handle_event(const event_record *event);
/* Handles the `count` ready events at the head and gives their slots back. */
void handle_ready_events(uint32_t count);
void *processing_thread_run(void *);
void caller_table_lock(void);
void caller_table_unlock(void);

/* The writer's copy of one caller record; stack and frames are shared,
 * since a record never changes them once it is in its table. */
struct caller_snapshot {
    caller_snapshot *next;
    caller_record record;
};
/* Every caller record, by type and then in stack order, copied in one
 * critical section; on running out of memory, what was copied so far. */
caller_snapshot *copy_caller_records(void);
void free_caller_snapshots(caller_snapshot *first);

/* ---------------------------------------------------------------------------
 * Symbolisation (symbols.cpp), with the caller table lock held.
 */
/* The frame cache and the library table; false (reported) without the latter. */
bool symbols_build_tables(void);
/* Fills record->frames for record->stack; 1 on failure, every symbol released. */
int symbolise_frames(caller_record *record);

/* ---------------------------------------------------------------------------
 * The report writer (report.cpp).
 */
/* "%c" in UTC into a 50-byte buffer; a form that does not fit gives "". */
void format_report_time(time_t when, char text[50]);
/* Appends one report to the output file; the caller holds the report lock. */
void write_report(void);
void *output_thread_run(void *);
void report_lock(void);
void report_unlock(void);

/* ---------------------------------------------------------------------------
 * Open-addressed tables: a power-of-two array of slots on the private heap,
 * linear probing from each slot's home, and doubling once the table would be
 * more than half full. A table's slot type supplies
 * `slot_is_empty(const Slot &)` and `slot_home(const Slot &, mask)`, declared
 * before these templates are used.
 */
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

/* ---------------------------------------------------------------------------
 * The live blocks of one allocation class: allocation records kept in an
 * open-addressed table keyed by block address, on the private heap. One
 * record is looked up, stored or taken out per event, so this costs a hash
 * and a probe or two where a balanced tree cost a descent and rebalancing.
 * Used by the processing thread alone; no lock.
 */
typedef struct block_table {
    allocation_record *slots; // a null address marks an empty slot
    uint32_t mask;            // capacity - 1, the capacity a power of two
    uint32_t count;
} block_table;

/* An empty table of `capacity` (a power of two) slots; false when out of memory. */
bool block_table_init(block_table *table, uint32_t capacity);

/*
 * Stores a record (its address not null) under its address. Returns 1 when
 * it replaced a record for the same address, copied to *displaced; 0 when the
 * address was new; -1 when the table could not grow (nothing changed).
 */
int block_table_put(block_table *table, const allocation_record *record, allocation_record *displaced);

/* Removes the record for `address` into *record; false when there is none. */
bool block_table_take(block_table *table, const void *address, allocation_record *record);
/* A hint: the line where a look-up of `address` starts, fetched ahead of it. */
void block_table_prefetch(const block_table *table, const void *address);

/* ---------------------------------------------------------------------------
 * A hash index in front of the caller tables: (stack, caller type) to caller
 * record, so that the record of a known stack is found with one hash of the
 * stack instead of a tree descent that compares whole stacks at each level.
 * The trees stay the records' home and give the report its order. Used
 * with the caller table lock held.
 */
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
bool caller_index_init(caller_index *index, uint32_t capacity);

uint32_t caller_index_hash(const call_stack *stack, int type);

/* The record of this stack and type, or null when the index has none. */
caller_record *caller_index_find(const caller_index *index, const call_stack *stack, int type, uint32_t hash);

/* Adds a record under the hash of its stack and type; false when it could not grow. */
bool caller_index_add(caller_index *index, caller_record *record, uint32_t hash);

/* ---------------------------------------------------------------------------
 * Symbolised frames by return address, so that a return address shared by
 * many stacks is looked up in the loader's symbol tables once rather than
 * once per stack. Each entry owns a copy of its symbol. Used by the
 * processing thread with the caller table lock held; emptied when objects
 * are unloaded, as an address may then belong to other code.
 */
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
bool frame_cache_init(frame_cache *cache, uint32_t capacity);

/* The frame kept for a return address, or null. */
const friendly_frame *frame_cache_find(const frame_cache *cache, const void *address);

/* Keeps a copy of `frame` (its symbol copied) for a return address; false when out of memory. */
bool frame_cache_add(frame_cache *cache, const void *address, const friendly_frame *frame);

/* Forgets every frame, releasing the symbol copies. */
void frame_cache_clear(frame_cache *cache);

#pragma GCC visibility pop

#endif
