/*
 * The library's settings from the environment: every variable it reads is
 * read here, once, at start-up, into one record, and judged here, with the
 * messages and outcomes each setting has always had. Start-up reads them
 * before any other step; the steps then ask the record.
 *
 *   "PROFILER_WRITE_PERIOD_SECONDS"  seconds between reports (wins over the option)
 *   "PROFILER_STACK_DEPTH"           frames kept per stack (wins over the option)
 *   "PROFILER_UNWINDER"              the capture method: fast, backtrace or check
 *   "PROFILER_TRIGGER_FILE"          tracing held back while this file exists
 *   "PROFILER_REPORT_AT_EXIT"        1: one last report at normal exit
 *   "QUARROW_REPORT_DIR"             the launcher's report folder
 *   "QUARROW_FULL_BUFFER"            drop (the default) or wait: what a producer
 *                                    does when the event buffer is full
 */
#ifndef QUARROW_SETTINGS_H
#define QUARROW_SETTINGS_H

#include <stdint.h>

#include "config.h"
#include "export.h"

#pragma GCC visibility push(hidden)

/* Each value as the environment gave it at start-up; null when unset. */
struct quarrow_settings {
    const char *write_period_seconds;
    const char *stack_depth;
    const char *unwinder;
    const char *trigger_file;
    const char *report_at_exit;
    const char *report_dir;
    const char *full_buffer;
};

/* Reads every variable; start-up calls it first (tests again after setenv). */
void read_settings(void);
const quarrow_settings *current_settings(void);

/* The leading number of an option's text, as atoi reads it where long is
 * 32 bits wide: saturated to the int range, 0 when there is none. A 64-bit
 * atoi would keep only the low 32 bits of an out-of-range value. */
int option_int(const char *text);

/*
 * The write period from the option "write_period_seconds" (taken out of the
 * list) or, winning over it, the environment: 60 without either. 0, or 1
 * after an error line when it is not a positive number.
 */
int judge_write_period(config_option **options, int32_t *seconds);

/* The stack depth likewise, 5 without either: 0, or 1 after an error line when it is below 1. */
int judge_stack_depth(config_option **options, int32_t *depth);

/* Whether a report at exit is wanted; any value but 0 or 1 is named in an error line and ignored. */
bool judge_report_at_exit(void);

/*
 * Whether a producer that finds the event buffer full waits for room (a
 * bounded wait) instead of dropping the event. Any value but "drop" or
 * "wait" is named in an error line, and events are dropped as by default.
 */
bool judge_wait_for_room(void);

/* The report folder, or null without one (unset or empty). */
const char *report_folder(void);

#pragma GCC visibility pop

#endif
