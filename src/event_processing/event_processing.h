/*
 * Event processing: the hand-over from every allocating thread to the
 * tracker's two threads, and everything those threads keep and write.
 *
 * Producers post fixed-size events into a bounded ring buffer without a
 * lock, each event's stack copied into its slot. A full buffer drops and
 * counts the event, or, when asked for, makes the producer wait for room a
 * bounded time. Events are handled in the order their slots were claimed,
 * and a hook claims before the heap call that releases a block and after
 * the one that hands a block out. The processing thread drains the buffer
 * into per-stack caller records and tables of live blocks; the
 * output thread appends a report of every caller record to the output file
 * once every write period.
 */
#ifndef QUARROW_EVENT_PROCESSING_H
#define QUARROW_EVENT_PROCESSING_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "config.h"
#include "export.h"
#include "stack_walk/stack_walk.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum event_type {
    EVENT_MALLOC = 0,
    EVENT_FREE = 1,
    EVENT_REALLOC = 2,
    EVENT_MEMALIGN = 3,
    EVENT_JNI_ALLOC = 4,
    EVENT_JNI_FREE = 5
} event_type;

/* One ring-buffer slot: a 32-bit type and four payload words laid out per type. */
typedef struct event_record {
    uint32_t type;
    union {
        struct {
            size_t size;
            call_stack *stack;
            void *address;
        } malloc_event, jni_alloc_event;
        struct {
            void *address;
            call_stack *stack;
        } free_event, jni_free_event;
        struct {
            call_stack *stack;
            void *old_address;
            void *new_address;
            size_t size;
        } realloc_event;
        struct {
            call_stack *stack;
            void *address;
            size_t size;
        } memalign_event;
    } u;
} event_record;

typedef enum caller_type {
    ALLOCATOR = 0,
    JNI_ALLOCATOR = 1,
    UNMATCHED_FREER = 2,
    UNMATCHED_REALLOCER = 3,
    UNMATCHED_JNI_FREER = 4,
    UNMATCHED_JNI_REALLOCER = 5
} caller_type;

#define CALLER_TYPE_COUNT 6

/* A loaded object: its path (copied) and load base. */
typedef struct library_record {
    char *name;
    void *base;
} library_record;

/* One symbolised frame: the object, the nearest symbol (copied) and the distance from it. */
typedef struct friendly_frame {
    library_record *library;
    char *symbol;
    uintptr_t offset;
} friendly_frame;

/*
 * One per distinct (stack, caller type). For the unmatched types
 * total_allocated holds the count of unmatched frees or reallocs.
 */
typedef struct caller_record {
    call_stack *stack;
    friendly_frame *frames;
    int32_t type;
    uint64_t total_allocated;
    uint64_t total_freed;
    uint64_t number_of_allocations;
    uint64_t number_of_frees;
} caller_record;

/* One live block. */
typedef struct allocation_record {
    void *address;
    size_t size;
    caller_record *caller;
} allocation_record;

/* Producers for the allocation hooks: they take ownership of stack. */
QUARROW_EXPORT void malloc_occurred(void *address, size_t size, call_stack *stack);
QUARROW_EXPORT void free_occurred(void *address, call_stack *stack);
QUARROW_EXPORT void realloc_occurred(void *old_address, void *new_address, size_t size, call_stack *stack);
QUARROW_EXPORT void memalign_occurred(void *address, size_t alignment, size_t size, call_stack *stack);

/*
 * Internal, for the hooks. claim: the next slot in the buffer's order, false
 * when the event is dropped (counted); fill: the claimed slot's event, its
 * stack given as `count` frames (copied; the event's stack word is
 * ignored). post: both at once. A claim must be filled soon: the processing
 * thread waits for it. fill and post return whether the event was written:
 * false when it was dropped or its slot given up, both counted.
 */
typedef struct event_ticket {
    uint32_t position;      /* in claim order */
    uint32_t index;         /* its slot */
    uint32_t pending;       /* events claimed and not yet taken, this one included */
    int32_t consumer_state; /* the processing thread's, as the claim saw it */
} event_ticket;
QUARROW_INTERNAL bool event_claim(event_ticket *ticket);
QUARROW_INTERNAL bool event_fill(const event_ticket *ticket, const event_record *event, void *const *frames,
                                 uint32_t count);
QUARROW_INTERNAL bool post_event(const event_record *event, void *const *frames, uint32_t count);
QUARROW_INTERNAL event_record malloc_event_of(void *address, size_t size);
QUARROW_INTERNAL event_record free_event_of(void *address);
QUARROW_INTERNAL event_record realloc_event_of(void *old_address, void *new_address, size_t size);
QUARROW_INTERNAL event_record memalign_event_of(void *address, size_t size);

/* Producers for an outside party; they capture the stack themselves and do nothing until configured. */
QUARROW_EXPORT void jni_alloc_occurred(void *address, size_t size);
QUARROW_EXPORT void jni_free_occurred(void *address);

/* 1 on the processing and output threads, else 0. */
QUARROW_EXPORT int16_t current_thread_is_profiler(void);
QUARROW_EXPORT int get_stack_depth(void);

/*
 * Sets up the buffer, period, depth, output file, tables and both threads
 * from the options (taking out those it reads). 0, or the failed step:
 * 1 buffer, 2 period, 4 depth, 8 output file, 16 tables, 32 threads.
 */
QUARROW_EXPORT int configure_event_processing(config_option **options, void *thread_argument);
/* Does nothing: the threads run until the process ends. */
QUARROW_EXPORT void shutdown_event_processing(void);
QUARROW_EXPORT int get_write_thread_sleep_time(void);
QUARROW_EXPORT char *get_output_file_name(void);

/*
 * Internal: fork handlers. prepare takes the caller-table and event locks so
 * that no other thread holds them at the fork; after_fork releases them, in
 * the parent and in the child alike.
 */
QUARROW_INTERNAL void event_processing_prepare_fork(void);
QUARROW_INTERNAL void event_processing_after_fork(void);

/*
 * Internal: the report at exit. Waits at most wait_milliseconds for the
 * processing thread to handle every posted event, then appends one report
 * and keeps periodic reports from starting again. 1 when written; 0 when not
 * configured, or in a forked child, which must not write its parent's report.
 */
QUARROW_INTERNAL int event_processing_write_final_report(unsigned int wait_milliseconds);

#if QUARROW_TEST_SEAMS
/*
 * Test builds only. prepare: the buffer and the tables from the options and
 * a stack depth of 7, without threads or output file (0, the buffer's own
 * result 1 or 2, or 16 for the tables). drain: handles every pending event on the
 * calling thread and returns how many. write_report: one report to stream,
 * as the output thread writes it.
 */
QUARROW_INTERNAL int event_processing_test_prepare(config_option **options);
QUARROW_INTERNAL int event_processing_test_drain(void);
QUARROW_INTERNAL void event_processing_test_write_report(FILE *stream);
/* Test builds only: handles one event as the processing thread would. */
QUARROW_INTERNAL void event_processing_test_process(event_record *event);
#endif

#ifdef __cplusplus
}
#endif

#endif
