/*
 * The trigger-file gate: when "PROFILER_TRIGGER_FILE" names an existing
 * file, tracing starts held back and a polling thread switches it on for
 * good once the file is gone. The hooks ask is_trace_enabled on every
 * tracked request; the processing thread asks was_triggered_late before it
 * charges a free of an unknown block.
 */
#ifndef QUARROW_TRIGGER_H
#define QUARROW_TRIGGER_H

#include <stdint.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* 0 ready; 1 the named file does not exist; 2 the polling thread could not start. */
QUARROW_EXPORT int configure_triggering(void);

/* Whether the hooks record requests now (1) or tracing is held back (0). */
QUARROW_EXPORT int16_t is_trace_enabled(void);

/* 1 once a trigger file has held tracing back at start-up; never cleared. */
QUARROW_EXPORT int16_t was_triggered_late(void);

#ifdef __cplusplus
}

/* The flag behind is_trace_enabled, for the hooks to read inline: a call
 * per request costs more than the load. */
QUARROW_INTERNAL extern int16_t quarrow_trace_enabled;
inline bool trace_enabled_now() { return __atomic_load_n(&quarrow_trace_enabled, __ATOMIC_ACQUIRE) != 0; }

extern "C" {
#endif

#if QUARROW_TEST_SEAMS
/* Test builds only: seconds between two looks at the trigger file (default 10). */
QUARROW_INTERNAL void trigger_set_poll_interval(unsigned int seconds);
#endif

#ifdef __cplusplus
}
#endif

#endif
