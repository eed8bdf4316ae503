// Test builds only: event processing driven on the calling thread, without
// its threads or output file.
#include "event_processing/event_processing_internal.h"

#if QUARROW_TEST_SEAMS
extern "C" int event_processing_test_prepare(config_option **options) {
    event_buffer_reset();
    int result = event_buffer_configure(options);
    if (result != 0)
        return result;
    if (callers_build_tables() != 0)
        return 16;
    _setup.stack_depth = 7;
    _setup.configured = 1;
    return 0;
}

extern "C" int event_processing_test_drain(void) {
    int handled = 0;
    event_record event;
    while (event_buffer_take_pending(&event)) {
        process_event(&event);
        event_buffer_note_handled();
        handled++;
    }
    return handled;
}

extern "C" void event_processing_test_process(event_record *event) { process_event(event); }

extern "C" void event_processing_test_write_report(FILE *stream) {
    FILE *saved = _setup.output_file;
    _setup.output_file = stream;
    write_report();
    _setup.output_file = saved;
}
#endif
