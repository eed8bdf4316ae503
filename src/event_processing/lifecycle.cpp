// Fork handling and the opt-in report at exit.
#include "event_processing/event_processing_internal.h"

#include <unistd.h>

#include "error_line.h"

extern "C" {

void event_processing_prepare_fork(void) {
    // In the library's lock order (lock_order.h); the heap's locks, taken
    // after these by the caller, are innermost.
    caller_table_lock();
    event_buffer_lock();
}

void event_processing_after_fork(void) {
    event_buffer_unlock();
    caller_table_unlock();
}

int event_processing_write_final_report(unsigned int wait_milliseconds) {
    if (!_setup.configured || getpid() != _setup.tracking_pid)
        return 0;
    unsigned int waited = 0;
    while (!event_buffer_drained() && waited < wait_milliseconds) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
        waited++;
    }
    if (!event_buffer_drained())
        QUARROW_ERROR_FORMAT("The report at exit misses events still unhandled after %u ms.", waited);
    // Kept locked: no periodic report may start while the process ends.
    report_lock();
    write_report();
    return 1;
}

} // extern "C"
