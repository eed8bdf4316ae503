/*
 * The allocator hooks: once configured, every heap request of the process is
 * served by the private heap, and each request made on a tracked thread is
 * recorded with its caller's stack and posted as an event.
 *
 * The hooks are reached through the process's allocation entry points and
 * the four hook pointers behind them. The platform's C library no longer
 * offers allocation hooks, so the library defines malloc and its siblings
 * itself and dispatches each call through one of these pointers, with the
 * hook signatures and routing that the C library used to have: calloc goes
 * through the malloc hook and zeroes the block; valloc, pvalloc,
 * posix_memalign and aligned_alloc go through the memalign hook. While a
 * pointer is null the call goes on to the C library's own allocator.
 */
#ifndef QUARROW_MEMORY_OPERATIONS_H
#define QUARROW_MEMORY_OPERATIONS_H

#include <stddef.h>

#include "config.h"
#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void *(*quarrow_malloc_hook_fn)(size_t size, const void *caller);
typedef void *(*quarrow_realloc_hook_fn)(void *block, size_t size, const void *caller);
typedef void (*quarrow_free_hook_fn)(void *block, const void *caller);
typedef void *(*quarrow_memalign_hook_fn)(size_t alignment, size_t size, const void *caller);

QUARROW_EXPORT extern quarrow_malloc_hook_fn volatile quarrow_malloc_hook;
QUARROW_EXPORT extern quarrow_realloc_hook_fn volatile quarrow_realloc_hook;
QUARROW_EXPORT extern quarrow_free_hook_fn volatile quarrow_free_hook;
QUARROW_EXPORT extern quarrow_memalign_hook_fn volatile quarrow_memalign_hook;

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
