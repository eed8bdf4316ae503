// Bringing event processing up: buffer, period, depth, output file, tables
// and the two threads, each step from its option and environment variable.
#include "event_processing/event_processing_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "error_line.h"
#include "library_thread.h"

event_processing_setup _setup;

static char _default_file_name[] = "native_memory.log";
static char *_file_name = nullptr;

static int _parse_write_period(config_option **options) {
    config_option *option = find_option(options, "write_period_seconds");
    const char *text = nullptr;
    if (option != nullptr) {
        text = option->value;
        _setup.write_period_seconds = atoi(text);
    } else {
        _setup.write_period_seconds = 60;
    }
    const char *from_environment = getenv("PROFILER_WRITE_PERIOD_SECONDS");
    if (from_environment != nullptr) {
        text = from_environment;
        _setup.write_period_seconds = atoi(text);
        quarrow_line("Read profiler write thread period from PROFILER_WRITE_PERIOD_SECONDS environment variable\n");
    }
    int result = 0;
    if (_setup.write_period_seconds <= 0) {
        QUARROW_ERROR_FORMAT("Unusable write thread sleep time supplied. Must be > 0. You supplied %s which was parsed "
                             "as %d",
                             text != nullptr ? text : "", _setup.write_period_seconds);
        result = 1;
    }
    free_config_option(&option); // after the message, which may quote its value
    return result;
}

static int _configure_stack_depth(config_option **options) {
    config_option *option = find_option(options, "stack_depth");
    if (option != nullptr) {
        _setup.stack_depth = atoi(option->value);
        free_config_option(&option);
    } else {
        _setup.stack_depth = 5;
    }
    const char *from_environment = getenv("PROFILER_STACK_DEPTH");
    if (from_environment != nullptr)
        _setup.stack_depth = atoi(from_environment);
    if (_setup.stack_depth >= 1) {
        quarrow_line("Profiler stack depth=%d\n", _setup.stack_depth);
        return 0;
    }
    QUARROW_ERROR_FORMAT("Supplied stack depth option parsed as %d. Stack depth must be at least 1", _setup.stack_depth);
    return 1;
}

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
    result = _parse_write_period(options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't parse write period. Err = %d", result);
        return 2;
    }
    result = _configure_stack_depth(options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure stack depth. Err = %d", result);
        return 4;
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
