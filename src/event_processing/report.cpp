// The report writer: once every write period, one report of every caller
// record appended to the output file.
#include "event_processing/event_processing_internal.h"

#include <stdlib.h>
#include <unistd.h>

#include "cache_line.h"
#include "error_line.h"
#include "lock_order.h"

// One report at a time: the report at exit may meet a periodic one. Its
// place in the lock order: lock_order.h.
QUARROW_OWN_LINE static pthread_mutex_t _report_mutex = PTHREAD_MUTEX_INITIALIZER;

void report_lock(void) {
    lock_taking(LOCK_REPORT);
    pthread_mutex_lock(&_report_mutex);
}
void report_unlock(void) {
    pthread_mutex_unlock(&_report_mutex);
    lock_released(LOCK_REPORT);
}

void format_report_time(time_t when, char text[50]) {
    struct tm broken_down;
    text[0] = '\0';
    if (gmtime_r(&when, &broken_down) == nullptr || strftime(text, 50, "%c", &broken_down) == 0)
        text[0] = '\0';
}

// Sleeps a whole period; a sleep cut short by a signal is resumed. The
// deadline is kept in 64 bits: now plus a period of up to INT_MAX seconds
// does not fit this platform's 32-bit time_t.
static void _sleep_output_thread() {
    int64_t target = (int64_t)time(nullptr) + _setup.write_period_seconds;
    int64_t remaining = _setup.write_period_seconds;
    while (remaining > 0) {
        sleep((unsigned)remaining);
        remaining = target - (int64_t)time(nullptr);
    }
}

static void _write_block(FILE *out, const caller_record *record) {
    for (uint32_t i = 0; i < record->stack->frame_count; i++) {
        const friendly_frame *frame = &record->frames[i];
        fprintf(out, "STACK_%d:%s(%p):%s+%p (%p)\n", (int)i, frame->library->name, frame->library->base, frame->symbol,
                (void *)(uintptr_t)frame->offset, record->stack->return_addresses[i]);
    }
    switch (record->type) {
    case ALLOCATOR:
    case JNI_ALLOCATOR:
        fputs(record->type == ALLOCATOR ? "TYPE:ALLOCATOR\n" : "TYPE:JNI_ALLOCATOR\n", out);
        fprintf(out, "TOTAL_ALLOCATED:%llu\n", (unsigned long long)record->total_allocated);
        fprintf(out, "NUMBER_OF_ALLOCATIONS:%llu\n", (unsigned long long)record->number_of_allocations);
        fprintf(out, "TOTAL_FREED:%llu\n", (unsigned long long)record->total_freed);
        fprintf(out, "NUMBER_OF_FREES:%llu\n", (unsigned long long)record->number_of_frees);
        break;
    case UNMATCHED_FREER:
    case UNMATCHED_JNI_FREER:
        fputs(record->type == UNMATCHED_FREER ? "TYPE:UNMATCHED_FREER\n" : "TYPE:UNMATCHED_JNI_FREER\n", out);
        fprintf(out, "UNMATCHED_FREES:%llu\n", (unsigned long long)record->total_allocated);
        break;
    case UNMATCHED_REALLOCER:
    case UNMATCHED_JNI_REALLOCER:
        fputs(record->type == UNMATCHED_REALLOCER ? "TYPE:UNMATCHED_REALLOCER\n" : "TYPE:UNMATCHED_JNI_REALLOCER\n",
              out);
        fprintf(out, "UNMATCHED_REALLOCSS:%llu\n", (unsigned long long)record->total_allocated);
        break;
    default:
        QUARROW_ERROR_FORMAT("Unknown type: %d", record->type);
        abort();
    }
}

void write_report(void) {
    time_t now = time(nullptr);
    uint32_t maximum_pending, discarded;
    event_buffer_take_counters(&maximum_pending, &discarded);

    char when[50];
    format_report_time(now, when);
    fprintf(_setup.output_file, "TIMESTAMP:%s\n", when);
    fprintf(_setup.output_file, "MAX_PENDING:%u\n", maximum_pending);
    fprintf(_setup.output_file, "DISCARDED_EVENTS:%u\n", discarded);
    caller_snapshot *list = copy_caller_records();
    for (const caller_snapshot *snapshot = list; snapshot != nullptr; snapshot = snapshot->next)
        _write_block(_setup.output_file, &snapshot->record);
    fputs("END\n", _setup.output_file);
    free_caller_snapshots(list);
    fflush(_setup.output_file);
}

void *output_thread_run(void *) {
    for (;;) {
        _sleep_output_thread();
        report_lock();
        write_report();
        report_unlock();
    }
    return nullptr;
}
