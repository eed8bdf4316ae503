/*
 * The allocator hooks: once configured, every heap request of the process is
 * served by the private heap, and each request made on a tracked thread is
 * recorded with its caller's stack and posted as an event.
 */
#ifndef QUARROW_MEMORY_OPERATIONS_H
#define QUARROW_MEMORY_OPERATIONS_H

#include "config.h"
#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Configures the trigger-file gate and installs the hooks; the options are
 * not read. 0, or the failed step: 1 triggering, 2 lock attributes, 3 the
 * error-checking type, 4 the mutex, 5 the fork handlers.
 */
QUARROW_EXPORT int configure_memory_operation_hooking(config_option **options);

/* Puts back the hook values that were there before the configuration. */
QUARROW_EXPORT void shutdown_memory_operation_hooking(void);

#ifdef __cplusplus
}
#endif

#endif
