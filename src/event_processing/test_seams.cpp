// Test builds only: event processing driven on the calling thread, without
// its threads or output file.
#include "event_processing/event_processing_internal.h"

#if QUARROW_TEST_SEAMS
extern "C" int event_processing_test_prepare(config_option **options) {
    event_buffer_reset();
    int result = event_buffer_configure(options);
    if (result == 0)
        result = event_buffer_allocate(16); // room for the tests' own longer stacks
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
    for (uint32_t ready; (ready = event_buffer_ready(kEventBatch)) > 0; handled += (int)ready)
        handle_ready_events(ready);
    return handled;
}

// The event's stack is the caller's, on the heap: released here as the
// producers release the stacks handed to them.
extern "C" void event_processing_test_process(event_record *event) {
    caller_table_lock();
    handle_event(event);
    caller_table_unlock();
    if (call_stack **word = event_stack_word(event))
        free_stack(*word);
}

extern "C" void event_processing_test_write_report(FILE *stream) {
    FILE *saved = _setup.output_file;
    _setup.output_file = stream;
    write_report();
    _setup.output_file = saved;
}
#endif
