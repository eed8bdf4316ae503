// Start-up: the built-in options, then event processing, then the hooks.
#include "initialise.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config.h"
#include "error_line.h"
#include "event_processing/event_processing.h"
#include "memory_operations/memory_operations.h"
#include "messages.h"
#include "settings.h"

static const char _source_file[] = "src/initialise.cpp";

// The output file's folder and its slash come first: both empty without the
// launcher's report folder.
static const char _built_in_options[] = "write_period_seconds=600,output=%s%snative_memory_%u.log,stack_depth=7";

// How long a report at exit waits for the processing thread to catch up.
static const unsigned int _exit_report_wait_milliseconds = 5000;

static void _write_report_at_exit() { event_processing_write_final_report(_exit_report_wait_milliseconds); }

static void _arrange_report_at_exit() {
    if (!judge_report_at_exit())
        return;
    if (atexit(_write_report_at_exit) != 0)
        QUARROW_ERROR_LINE("Couldn't arrange the report at exit");
}

// The built-in options, with the output file in the report folder when the
// launcher named one. Returns 0, or -1 when the folder cannot be named in an
// option (the parser ends a value at a comma, and a brace changes that).
static int _format_options(char *text, size_t size) {
    const char *dir = report_folder();
    bool in_dir = dir != nullptr;
    if (in_dir && strpbrk(dir, ",{}") != nullptr)
        return -1;
    int length = snprintf(text, size, _built_in_options, in_dir ? dir : "", in_dir ? "/" : "", (unsigned int)getpid());
    return length > 0 && (size_t)length < size ? 0 : -1;
}

// The start-up sequence; 0, or the exit code of the stage that failed, after
// its error lines.
static int _start() {
    // The longest result without a report folder, with a ten-digit process
    // id, is 74 characters.
    char options_text[PATH_MAX + 100];
    if (_format_options(options_text, sizeof options_text) != 0) {
        QUARROW_ERROR_FORMAT("QUARROW_REPORT_DIR cannot name the report folder (a comma or brace, or too long): %s",
                             report_folder());
        return 1;
    }

    config_option *options = nullptr;
    int result = parse_config_string(options_text, &options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't parse input string. Err = %d", result);
        return 1;
    }
    result = configure_event_processing(&options, nullptr);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure event processing. Err = %d", result);
        return 2;
    }
    result = configure_memory_operation_hooking(&options);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure memory operations. Err = %d", result);
        return 3;
    }
    _arrange_report_at_exit();
    quarrow_line("Linux Quarrow Version 1.0 Configured. Output file = %s, write out period = %d seconds\n",
                 get_output_file_name(), get_write_thread_sleep_time());
    return 0;
}

extern "C" void initQuarrow(void) {
    read_settings();
    int stage = _start();
    if (stage != 0)
        exit(stage);
}

extern "C" int quarrow_start_child(void) {
    read_settings();
    const char *dir = report_folder();
    // Without the folder there is no place for a line that would not
    // disturb the program: it runs untracked and says nothing.
    if (dir == nullptr || messages_use_side_file(dir) != 0) {
        messages_release_errors();
        return -1;
    }
    int stage = _start();
    const char *first_error = messages_release_errors();
    if (stage == 0 && first_error[0] != '\0') // a start that went on despite it, as with a bad PROFILER_REPORT_AT_EXIT
        quarrow_line("%s\n", first_error);
    if (stage != 0) {
        char program[PATH_MAX];
        ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
        program[length > 0 ? length : 0] = '\0';
        const char *cause = first_error[0] != '\0' ? first_error + strlen("QUARROW ERROR: ") : "start-up failed";
        // The cause keeps the file and line of the site that reported it.
        quarrow_line("QUARROW ERROR: PID %d (%s) runs untracked, start-up stage %d failed: %s\n", (int)getpid(),
                     program, stage, cause);
    }
    return stage;
}
