// Bringing event processing up: buffer, period, depth, output file, tables
// and the two threads, each step from its option and its setting.
#include "event_processing/event_processing_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "cache_line.h"
#include "error_line.h"
#include "library_thread.h"
#include "settings.h"

QUARROW_OWN_LINE event_processing_setup _setup;

static char _default_file_name[] = "native_memory.log";
static char *_file_name = nullptr;

static int _configure_output_file(config_option **options) {
    time_t now = time(nullptr);
    config_option *option = find_option(options, "output");
    if (option != nullptr) {
        _file_name = local_strdup(option->value);
        if (_file_name == nullptr || _file_name[0] == '\0') {
            // Without a copy, the option's own text still names what was asked for.
            QUARROW_ERROR_FORMAT("Invalid file name: %s. File name must have at least one character",
                                 _file_name != nullptr ? _file_name : option->value);
            dlfree(_file_name);
            _file_name = nullptr;
            free_config_option(&option);
            return 1;
        }
    } else {
        _file_name = _default_file_name;
    }
    _setup.output_file = fopen(_file_name, "a");
    if (_setup.output_file == nullptr) {
        int error = errno;
        QUARROW_ERROR_FORMAT("Couldn't open file %s. Errno=%d:%s", _file_name, error, strerror(error));
        free_config_option(&option);
        return 2;
    }
    free_config_option(&option);
    char when[50];
    format_report_time(now, when);
    fprintf(_setup.output_file, "Started log at %s, write period = %d seconds, stack depth = %d\n", when,
            _setup.write_period_seconds, _setup.stack_depth);
    fflush(_setup.output_file);
    return 0;
}

static int _start_threads(void *thread_argument) {
    int result = start_library_thread(&_setup.processing_thread, processing_thread_run, thread_argument);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't start event processing thread: %d", result);
        return 1;
    }
    result = start_library_thread(&_setup.output_thread, output_thread_run, thread_argument);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't start output writing thread: %d", result);
        return 2;
    }
    return 0;
}

extern "C" {

int configure_event_processing(config_option **options, void *thread_argument) {
    int result = event_buffer_configure(options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure event buffer. Err = %d", result);
        return 1;
    }
    event_buffer_wait_when_full(judge_wait_for_room());
    result = judge_write_period(options, &_setup.write_period_seconds);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't parse write period. Err = %d", result);
        return 2;
    }
    result = judge_stack_depth(options, &_setup.stack_depth);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure stack depth. Err = %d", result);
        return 4;
    }
    // The slots hold their stacks, so they wait for the depth.
    result = event_buffer_allocate(_setup.stack_depth);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure event buffer. Err = %d", result);
        return 1;
    }
    result = _configure_output_file(options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure output file. Err = %d", result);
        return 8;
    }
    result = callers_build_tables();
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't build tables. Err = %d", result);
        return 16;
    }
    result = _start_threads(thread_argument);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't start threads. Err = %d", result);
        return 32;
    }
    _setup.tracking_pid = getpid();
    _setup.configured = 1;
    return 0;
}

void shutdown_event_processing(void) {}

int get_write_thread_sleep_time(void) { return _setup.write_period_seconds; }

char *get_output_file_name(void) { return _file_name; }

} // extern "C"
