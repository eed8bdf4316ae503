/*
 * The debug allocation log: private-heap calls that also write one line per
 * allocation ("MALLOC|size|file|line|address") or free
 * ("FREE|address|file|line") naming the caller's source position.
 *
 * Lines go to a log stream that no operation of the shipped library sets,
 * so by default the functions behave exactly like the heap calls they wrap.
 */
#ifndef QUARROW_DEBUG_ALLOC_LOG_H
#define QUARROW_DEBUG_ALLOC_LOG_H

#include <stddef.h>
#include <stdio.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

QUARROW_EXPORT void *pf_debug_malloc(size_t size, const char *file, int line);
QUARROW_EXPORT void pf_debug_free(void *mem, const char *file, int line);
QUARROW_EXPORT void *pf_debug_calloc(size_t count, size_t size, const char *file, int line);
QUARROW_EXPORT void *pf_debug_realloc(void *mem, size_t size, const char *file, int line);
QUARROW_EXPORT void *pf_debug_memalign(size_t alignment, size_t size, const char *file, int line);
QUARROW_EXPORT void *pf_debug_valloc(size_t size, const char *file, int line);
QUARROW_EXPORT char *pf_debug_strdup(const char *text, const char *file, int line);

/* Leaves the log as it is (no stream) and returns 0. */
QUARROW_EXPORT int configure_internal_memory_debugging(void);

#if QUARROW_TEST_SEAMS
/* Test builds only: the stream the lines go to (null: none). */
QUARROW_INTERNAL void debug_alloc_log_set_stream(FILE *stream);
#endif

#ifdef __cplusplus
}
#endif

#endif
