// Start-up: the built-in options, then event processing, then the hooks.
#include "initialise.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config.h"
#include "error_line.h"
#include "event_processing.h"
#include "memory_operations.h"

static const char _source_file[] = "src/initialise.cpp";

static const char _built_in_options[] = "write_period_seconds=600,output=native_memory_%u.log,stack_depth=7";

// How long a report at exit waits for the processing thread to catch up.
static const unsigned int _exit_report_wait_milliseconds = 5000;

static void _write_report_at_exit() { event_processing_write_final_report(_exit_report_wait_milliseconds); }

// "PROFILER_REPORT_AT_EXIT=1" asks for one last report at normal exit; any
// other value than 0 or 1 is named and ignored.
static void _arrange_report_at_exit() {
    const char *wanted = getenv("PROFILER_REPORT_AT_EXIT");
    if (wanted == nullptr || strcmp(wanted, "0") == 0)
        return;
    if (strcmp(wanted, "1") != 0) {
        QUARROW_ERROR_FORMAT("PROFILER_REPORT_AT_EXIT must be 0 or 1, not \"%s\"; no report at exit.", wanted);
        return;
    }
    if (atexit(_write_report_at_exit) != 0)
        QUARROW_ERROR_LINE("Couldn't arrange the report at exit");
}

extern "C" void initQuarrow(void) {
    // The longest result, with a ten-digit process id, is 74 characters.
    char options_text[100];
    snprintf(options_text, sizeof options_text, _built_in_options, (unsigned int)getpid());

    config_option *options = nullptr;
    int result = parse_config_string(options_text, &options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't parse input string. Err = %d", result);
        exit(1);
    }
    result = configure_event_processing(&options, nullptr);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure event processing. Err = %d", result);
        exit(2);
    }
    result = configure_memory_operation_hooking(&options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure memory operations. Err = %d", result);
        exit(3);
    }
    _arrange_report_at_exit();
    fprintf(stderr, "Linux Quarrow Version 1.0 Configured. Output file = %s, write out period = %d seconds\n",
            get_output_file_name(), get_write_thread_sleep_time());
}
