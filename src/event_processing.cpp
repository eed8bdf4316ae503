// Event processing: ring buffer and producers, frame symbolisation, caller
// records and the processing thread, the report writer, and configuration.
// One translation unit, so that everything but the exported names stays
// file-local; each piece holds one concern.
#include "event_processing.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "aht_avl.h"
#include "block_table.h"
#include "caller_index.h"
#include "error_line.h"
#include "frame_cache.h"
#include "library_thread.h"
#include "private_heap.h"
#include "trigger.h"
#include "unwind_cache.h"

static const char _source_file[] = "src/event_processing.cpp";

static_assert(sizeof(event_record) == 5 * 4, "an event is a 32-bit type and four 32-bit words");

#include "event_processing_buffer.inc"
#include "event_processing_symbols.inc"
#include "event_processing_callers.inc"
#include "event_processing_report.inc"
#include "event_processing_configure.inc"
#include "event_processing_lifecycle.inc"

#if QUARROW_TEST_SEAMS
extern "C" int event_processing_test_prepare(config_option **options) {
    _buffer_write_pointer = _buffer_read_pointer = _pending_events = _maximum_pending_events = 0;
    _discarded_events = 0;
    int result = _configure_buffer(options);
    if (result != 0)
        return result;
    if (_build_tables() != 0)
        return 16;
    _stack_depth = 7;
    _configured = 1;
    return 0;
}

extern "C" int event_processing_test_drain(void) {
    int handled = 0;
    for (;;) {
        _take_event_lock();
        if (_pending_events == 0) {
            _release_event_lock();
            return handled;
        }
        _release_event_lock();
        event_record event;
        _take_events(&event, 1);
        _process_event(&event);
        _note_event_handled();
        handled++;
    }
}

extern "C" void event_processing_test_process(event_record *event) { _process_event(event); }

extern "C" void event_processing_test_write_report(FILE *stream) {
    FILE *saved = _output_file;
    _output_file = stream;
    _write_output();
    _output_file = saved;
}
#endif
