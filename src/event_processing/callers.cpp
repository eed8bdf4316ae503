// Caller records, the tables of live blocks, and the processing thread that
// turns events into both.
#include "event_processing/event_processing_internal.h"

#include <stdlib.h>
#include <sys/prctl.h>

#include "aht_avl.h"
#include "cache_line.h"
#include "error_line.h"
#include "lock_order.h"
#include "trigger.h"

enum allocation_class { HEAP = 0, JNI = 1 };
enum free_kind { FREE = 0, REALLOC = 1 };

// _caller_table, its index and the counters of every caller record are
// guarded by _caller_table_mutex; the two allocation tables belong to the
// processing thread alone.
QUARROW_OWN_LINE static aht_avl_tree *_caller_table[CALLER_TYPE_COUNT];
QUARROW_OWN_LINE static caller_index _caller_index;
QUARROW_OWN_LINE static block_table _allocation_table;
QUARROW_OWN_LINE static block_table _jni_allocation_table;

QUARROW_OWN_LINE static pthread_mutex_t _caller_table_mutex = PTHREAD_MUTEX_INITIALIZER; // order: lock_order.h

void caller_table_lock(void) {
    lock_taking(LOCK_CALLER_TABLE);
    pthread_mutex_lock(&_caller_table_mutex);
}
void caller_table_unlock(void) {
    pthread_mutex_unlock(&_caller_table_mutex);
    lock_released(LOCK_CALLER_TABLE);
}

// Equal stacks have the same count and addresses; the outermost frame is
// compared first.
static int _stack_compare_function(const void *stored, const void *probe) {
    const call_stack *a = (const call_stack *)stored, *b = (const call_stack *)probe;
    if (a->frame_count != b->frame_count)
        return a->frame_count > b->frame_count ? 1 : -1;
    for (uint32_t i = a->frame_count; i-- > 0;) {
        int order = compare_addresses(a->return_addresses[i], b->return_addresses[i]);
        if (order != 0)
            return order;
    }
    return 0;
}

// With _caller_table_mutex held: the record for (stack, type), made and
// symbolised on first sight. Null when it cannot be made (reported).
// The index answers for known stacks; the tree is searched only when the
// index has no entry, so a record the index failed to take is still found.
static caller_record *_get_caller_record(call_stack *stack, int type) {
    uint32_t hash = caller_index_hash(stack, type);
    caller_record *indexed = caller_index_find(&_caller_index, stack, type, hash);
    if (indexed != nullptr)
        return indexed;
    void *found = nullptr;
    if (aht_avl_search(_caller_table[type], stack, &found) == 0) {
        caller_record *record = (caller_record *)found;
        if (record->type != type) {
            QUARROW_ERROR_FORMAT("Unmatched caller type. Requested was %d, actual was %d", type, record->type);
            abort();
        }
        caller_index_add(&_caller_index, record, hash);
        return record;
    }
    caller_record *record = (caller_record *)dlmalloc(sizeof(caller_record));
    if (record == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        return nullptr;
    }
    memset(record, 0, sizeof *record);
    record->stack = clone_stack(stack);
    if (record->stack == nullptr) {
        dlfree(record);
        return nullptr;
    }
    record->type = type;
    record->frames = (friendly_frame *)dlmalloc(record->stack->frame_count * sizeof(friendly_frame));
    if (record->frames == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        free_stack(record->stack);
        dlfree(record);
        return nullptr;
    }
    if (symbolise_frames(record) != 0) {
        dlfree(record->frames);
        free_stack(record->stack);
        dlfree(record);
        return nullptr;
    }
    if (aht_avl_insert(_caller_table[type], record->stack, record) != 0) {
        QUARROW_ERROR_LINE("Couldn't insert caller into table");
        for (uint32_t i = 0; i < record->stack->frame_count; i++)
            dlfree(record->frames[i].symbol);
        dlfree(record->frames);
        free_stack(record->stack);
        dlfree(record);
        return nullptr;
    }
    caller_index_add(&_caller_index, record, hash); // on failure the tree still finds it
    return record;
}

static void _record_allocation(void *address, size_t size, call_stack *stack, int allocation_class) {
    block_table *table;
    int type;
    if (allocation_class == HEAP) {
        table = &_allocation_table;
        type = ALLOCATOR;
    } else if (allocation_class == JNI) {
        table = &_jni_allocation_table;
        type = JNI_ALLOCATOR;
    } else {
        QUARROW_ERROR_FORMAT("Unknown allocation class: %d", allocation_class);
        abort();
    }
    caller_record *caller = _get_caller_record(stack, type);
    if (caller != nullptr) { // of this type: the lookup aborts on any other
        caller->total_allocated += size;
        caller->number_of_allocations++;
    }
    if (caller == nullptr)
        return;
    // The record lives in the table's own slot. A block whose release was
    // never seen (a dropped event) is simply displaced by the new one.
    allocation_record allocation = {address, size, caller};
    allocation_record displaced;
    if (block_table_put(table, &allocation, &displaced) < 0)
        QUARROW_ERROR_LINE("Couldn't insert into allocation table");
}

static void _record_free(void *address, call_stack *stack, int kind, int allocation_class) {
    if (address == nullptr)
        return;
    block_table *table;
    int unmatched_free_type, unmatched_realloc_type, allocator_type;
    if (allocation_class == HEAP) {
        table = &_allocation_table;
        unmatched_free_type = UNMATCHED_FREER;
        unmatched_realloc_type = UNMATCHED_REALLOCER;
        allocator_type = ALLOCATOR;
    } else if (allocation_class == JNI) {
        table = &_jni_allocation_table;
        unmatched_free_type = UNMATCHED_JNI_FREER;
        unmatched_realloc_type = UNMATCHED_JNI_REALLOCER;
        allocator_type = JNI_ALLOCATOR;
    } else {
        QUARROW_ERROR_FORMAT("Unexpected allocation class: %d", allocation_class);
        abort();
    }
    if (kind != FREE && kind != REALLOC) {
        QUARROW_ERROR_FORMAT("Unknown type: %d", kind);
        abort();
    }
    allocation_record allocation;
    if (block_table_take(table, address, &allocation)) {
        if (allocation.caller->type != allocator_type)
            abort();
        allocation.caller->total_freed += allocation.size;
        allocation.caller->number_of_frees++;
        return;
    }
    // A trigger file held tracing back: blocks from before it are unknown.
    if (was_triggered_late())
        return;
    caller_record *caller = _get_caller_record(stack, kind == FREE ? unmatched_free_type : unmatched_realloc_type);
    if (caller != nullptr) {
        if (kind == REALLOC)
            fprintf(stderr, "Unmatched realloc processed\n");
        caller->total_allocated++; // unmatched_count
    }
}

// With the caller table lock held: each event's stack belongs to its slot.
void handle_event(const event_record *event) {
    switch (event->type) {
    case EVENT_MALLOC:
        _record_allocation(event->u.malloc_event.address, event->u.malloc_event.size, event->u.malloc_event.stack,
                           HEAP);
        break;
    case EVENT_FREE:
        _record_free(event->u.free_event.address, event->u.free_event.stack, FREE, HEAP);
        break;
    case EVENT_REALLOC:
        _record_free(event->u.realloc_event.old_address, event->u.realloc_event.stack, REALLOC, HEAP);
        _record_allocation(event->u.realloc_event.new_address, event->u.realloc_event.size,
                           event->u.realloc_event.stack, HEAP);
        break;
    case EVENT_MEMALIGN:
        _record_allocation(event->u.memalign_event.address, event->u.memalign_event.size, event->u.memalign_event.stack,
                           HEAP);
        break;
    case EVENT_JNI_ALLOC:
        _record_allocation(event->u.jni_alloc_event.address, event->u.jni_alloc_event.size,
                           event->u.jni_alloc_event.stack, JNI);
        break;
    case EVENT_JNI_FREE:
        _record_free(event->u.jni_free_event.address, event->u.jni_free_event.stack, FREE, JNI);
        break;
    default:
        QUARROW_ERROR_FORMAT("Unknown type=%d", (int)event->type);
        break;
    }
}

// The live-block lines an event will look up, fetched while earlier events
// are handled: the table is far larger than the caches in a big process.
static void _prefetch_blocks_of(const event_record *event) {
    switch (event->type) {
    case EVENT_MALLOC:
        block_table_prefetch(&_allocation_table, event->u.malloc_event.address);
        break;
    case EVENT_FREE:
        block_table_prefetch(&_allocation_table, event->u.free_event.address);
        break;
    case EVENT_MEMALIGN:
        block_table_prefetch(&_allocation_table, event->u.memalign_event.address);
        break;
    case EVENT_REALLOC:
        block_table_prefetch(&_allocation_table, event->u.realloc_event.old_address);
        block_table_prefetch(&_allocation_table, event->u.realloc_event.new_address);
        break;
    default:
        break;
    }
}

// How many events ahead of the one handled its successors' lines are
// fetched: the live-block lines of the next few, and before that the slots
// themselves, which producers wrote on other processors, so that reading an
// event to find its block line does not wait for it either.
static const uint32_t kPrefetchAhead = 8;
static const uint32_t kSlotPrefetchAhead = 2 * kPrefetchAhead;

// One lock for the whole batch: the report writer waits at most that long,
// and the events pay no lock of their own.
void handle_ready_events(uint32_t count) {
    caller_table_lock();
    for (uint32_t i = 0; i < count && i < kSlotPrefetchAhead; i++)
        event_buffer_prefetch(i);
    for (uint32_t i = 0; i < count && i < kPrefetchAhead; i++)
        _prefetch_blocks_of(event_buffer_event(i));
    for (uint32_t i = 0; i < count; i++) {
        if (i + kSlotPrefetchAhead < count)
            event_buffer_prefetch(i + kSlotPrefetchAhead);
        if (i + kPrefetchAhead < count)
            _prefetch_blocks_of(event_buffer_event(i + kPrefetchAhead));
        handle_event(event_buffer_event(i));
    }
    caller_table_unlock();
    event_buffer_release(count);
}

int callers_build_tables(void) {
    if (!block_table_init(&_allocation_table, kInitialTableSlots)) {
        QUARROW_ERROR_LINE("Couldn't allocate allocation table");
        return 1;
    }
    for (int type = 0; type < CALLER_TYPE_COUNT; type++) {
        _caller_table[type] = aht_alloc_avl_tree(_stack_compare_function, nullptr, nullptr);
        if (_caller_table[type] == nullptr) { // no thread may start with a table missing
            QUARROW_ERROR_LINE("Couldn't allocate caller table");
            return 2;
        }
    }
    if (!caller_index_init(&_caller_index, kInitialTableSlots)) {
        QUARROW_ERROR_LINE("Couldn't allocate caller table");
        return 2;
    }
    if (!symbols_build_tables())
        return 4;
    if (!block_table_init(&_jni_allocation_table, kInitialTableSlots)) {
        QUARROW_ERROR_LINE("Couldn't allocate JNI allocation table");
        return 8;
    }
    return 0;
}

void free_caller_snapshots(caller_snapshot *first) {
    while (first != nullptr) {
        caller_snapshot *next = first->next;
        dlfree(first);
        first = next;
    }
}

caller_snapshot *copy_caller_records(void) {
    caller_snapshot *first = nullptr, *last = nullptr;
    caller_table_lock();
    for (int type = 0; type < CALLER_TYPE_COUNT; type++) {
        aht_avl_node *cursor = nullptr;
        caller_record *record;
        while ((record = (caller_record *)aht_avl_tree_iterate(_caller_table[type], &cursor)) != nullptr) {
            caller_snapshot *snapshot = (caller_snapshot *)dlmalloc(sizeof(caller_snapshot));
            if (snapshot == nullptr) { // this report lists what was copied so far
                QUARROW_ERROR_LINE("Malloc Failed");
                caller_table_unlock();
                return first;
            }
            if (record->type < ALLOCATOR || record->type > UNMATCHED_JNI_REALLOCER) {
                QUARROW_ERROR_FORMAT("Unknown type: %d", record->type);
                abort();
            }
            snapshot->next = nullptr;
            snapshot->record = *record;
            if (last == nullptr)
                first = snapshot;
            else
                last->next = snapshot;
            last = snapshot;
        }
    }
    caller_table_unlock();
    return first;
}

// Unloads that bypass dlclose empty the capture engine's cache here,
// within a few milliseconds of their happening. Asking the loader takes its
// lock, far too dear for every batch; the coarse clock costs next to nothing.
static void _check_unloads_now_and_then(struct timespec *last) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec == last->tv_sec && now.tv_nsec - last->tv_nsec < 2000000L)
        return;
    *last = now;
    unwind_cache_check_unloads();
}

void *processing_thread_run(void *) {
    // The thread naps for tens of microseconds while a batch gathers; the
    // default slack of 50 would stretch each nap to several times that.
    prctl(PR_SET_TIMERSLACK, 5000UL, 0, 0, 0);
    struct timespec last_check = {0, 0};
    for (;;) {
        handle_ready_events(event_buffer_wait(kEventBatch));
        _check_unloads_now_and_then(&last_check);
    }
    return nullptr;
}
