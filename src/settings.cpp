// The environment, read once and judged in one place.
#include "settings.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "error_line.h"
#include "messages.h"

static quarrow_settings _settings;

void read_settings(void) {
    _settings.write_period_seconds = getenv("PROFILER_WRITE_PERIOD_SECONDS");
    _settings.stack_depth = getenv("PROFILER_STACK_DEPTH");
    _settings.unwinder = getenv("PROFILER_UNWINDER");
    _settings.trigger_file = getenv("PROFILER_TRIGGER_FILE");
    _settings.report_at_exit = getenv("PROFILER_REPORT_AT_EXIT");
    _settings.report_dir = getenv("QUARROW_REPORT_DIR");
    _settings.full_buffer = getenv("QUARROW_FULL_BUFFER");
}

const quarrow_settings *current_settings(void) { return &_settings; }

int option_int(const char *text) {
    long value = strtol(text, nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : (int)value;
}

// The period's and the depth's lines name event processing, which judged
// them before settings had a file of their own; readers match on them.
int judge_write_period(config_option **options, int32_t *seconds) {
    static const char _source_file[] = "src/event_processing.cpp";
    config_option *option = find_option(options, "write_period_seconds");
    const char *text = nullptr;
    if (option != nullptr) {
        text = option->value;
        *seconds = option_int(text);
    } else {
        *seconds = 60;
    }
    if (_settings.write_period_seconds != nullptr) {
        text = _settings.write_period_seconds;
        *seconds = option_int(text);
        quarrow_line("Read profiler write thread period from PROFILER_WRITE_PERIOD_SECONDS environment variable\n");
    }
    int result = 0;
    if (*seconds <= 0) {
        QUARROW_ERROR_FORMAT("Unusable write thread sleep time supplied. Must be > 0. You supplied %s which was parsed "
                             "as %d",
                             text != nullptr ? text : "", *seconds);
        result = 1;
    }
    free_config_option(&option); // after the message, which may quote its value
    return result;
}

int judge_stack_depth(config_option **options, int32_t *depth) {
    static const char _source_file[] = "src/event_processing.cpp";
    config_option *option = find_option(options, "stack_depth");
    if (option != nullptr) {
        *depth = option_int(option->value);
        free_config_option(&option);
    } else {
        *depth = 5;
    }
    if (_settings.stack_depth != nullptr)
        *depth = option_int(_settings.stack_depth);
    if (*depth >= 1) {
        quarrow_line("Profiler stack depth=%d\n", *depth);
        return 0;
    }
    QUARROW_ERROR_FORMAT("Supplied stack depth option parsed as %d. Stack depth must be at least 1", *depth);
    return 1;
}

bool judge_report_at_exit(void) {
    static const char _source_file[] = "src/initialise.cpp";
    const char *wanted = _settings.report_at_exit;
    if (wanted == nullptr || strcmp(wanted, "0") == 0)
        return false;
    if (strcmp(wanted, "1") != 0) {
        QUARROW_ERROR_FORMAT("PROFILER_REPORT_AT_EXIT must be 0 or 1, not \"%s\"; no report at exit.", wanted);
        return false;
    }
    return true;
}

bool judge_wait_for_room(void) {
    static const char _source_file[] = "src/settings.cpp";
    const char *mode = _settings.full_buffer;
    if (mode == nullptr || strcmp(mode, "drop") == 0)
        return false;
    if (strcmp(mode, "wait") == 0)
        return true;
    QUARROW_ERROR_FORMAT("QUARROW_FULL_BUFFER must be drop or wait, not \"%s\"; events are dropped when the buffer is "
                         "full.",
                         mode);
    return false;
}

const char *report_folder(void) {
    const char *dir = _settings.report_dir;
    return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}
