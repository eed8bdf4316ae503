/*
 * The private heap: the library's own general-purpose allocator.
 *
 * Every record the library keeps comes from here, and while the allocation
 * hooks are installed every heap request of the host is served here too.
 * It needs no set-up call, is safe from any thread (two spin locks inside),
 * and never calls the platform's malloc family. Memory comes from sbrk
 * (contiguous first), then mmap; requests from 256 KiB get a mapping of
 * their own.
 *
 * Blocks the heap did not hand out (for example blocks glibc gave the host
 * before the hooks went in) are recognised by address: freeing one does
 * nothing, and resizing one copies it into a new block and leaves it alone.
 */
#ifndef QUARROW_PRIVATE_HEAP_H
#define QUARROW_PRIVATE_HEAP_H

#include <malloc.h> /* struct mallinfo */
#include <stddef.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* dlmallopt parameters. */
#define M_TRIM_THRESHOLD_PARAM (-1)
#define M_GRANULARITY_PARAM (-2)
#define M_MMAP_THRESHOLD_PARAM (-3)

QUARROW_EXPORT void *dlmalloc(size_t bytes);
QUARROW_EXPORT void dlfree(void *mem);
QUARROW_EXPORT void *dlcalloc(size_t n_elements, size_t elem_size);
QUARROW_EXPORT void *dlrealloc(void *old, size_t bytes);
QUARROW_EXPORT void *dlrealloc_in_place(void *old, size_t bytes);
/*
 * dlrealloc that calls mark(context) once it is sure to succeed, at the one
 * point where the new block is held and the old one not yet released (or
 * when it resized in place), so that a caller can order what it records
 * of the two against other threads. Never called when it fails.
 */
QUARROW_INTERNAL void *dlrealloc_marked(void *old, size_t bytes, void (*mark)(void *), void *context);
QUARROW_EXPORT void *dlmemalign(size_t alignment, size_t bytes);
QUARROW_EXPORT int dlposix_memalign(void **out, size_t alignment, size_t bytes);
QUARROW_EXPORT void *dlvalloc(size_t bytes);
QUARROW_EXPORT void *dlpvalloc(size_t bytes);
QUARROW_EXPORT void **dlindependent_calloc(size_t n_elements, size_t elem_size, void *chunks[]);
QUARROW_EXPORT void **dlindependent_comalloc(size_t n_elements, size_t sizes[], void *chunks[]);
QUARROW_EXPORT size_t dlbulk_free(void *array[], size_t n_elements);
QUARROW_EXPORT int dlmalloc_trim(size_t pad);
QUARROW_EXPORT size_t dlmalloc_footprint(void);
QUARROW_EXPORT size_t dlmalloc_max_footprint(void);
QUARROW_EXPORT size_t dlmalloc_footprint_limit(void);
QUARROW_EXPORT size_t dlmalloc_set_footprint_limit(size_t bytes);
QUARROW_EXPORT struct mallinfo dlmallinfo(void);
QUARROW_EXPORT void dlmalloc_stats(void);
QUARROW_EXPORT int dlmallopt(int param, int value);
QUARROW_EXPORT size_t dlmalloc_usable_size(const void *mem);

/* Number of corruption resets since the library was loaded. */
QUARROW_EXPORT extern int malloc_corruption_error_count;

/*
 * Internal to the library (hidden): whether mem is a block this heap handed
 * out, decided by address alone (inside one of its segments, or one of its
 * own direct mappings). The hook layer uses it to route foreign blocks.
 */
QUARROW_INTERNAL int private_heap_owns(const void *mem);

/*
 * Internal: walks every segment and bin and checks the heap's invariants.
 * Returns 0 when consistent, else the number of faults found, each described
 * on standard error. Holds the heap lock while it walks.
 */
QUARROW_INTERNAL int private_heap_check(void);

/*
 * Internal: fork handlers. prepare takes both heap locks so no other thread
 * holds them at the fork; after_fork releases them, in the parent and in the
 * child alike.
 */
QUARROW_INTERNAL void private_heap_prepare_fork(void);
QUARROW_INTERNAL void private_heap_after_fork(void);

/*
 * Internal: per-thread caches in front of the heap, for the hooks only
 * (thread_cache.cpp says how they work and what bounds them).
 * thread_cache_configure creates their thread key (0, or the error of
 * pthread_key_create; until it succeeds every request goes to the heap).
 * thread_cache_malloc, thread_cache_free and thread_cache_realloc serve as
 * dlmalloc, dlfree and dlrealloc; thread_cache_free leaves errno alone.
 * thread_cache_after_fork_in_child returns the forking thread's cache;
 * thread_cache_bytes is what the calling thread's cache holds, by chunk size.
 */
QUARROW_INTERNAL int thread_cache_configure(void);
QUARROW_INTERNAL void *thread_cache_malloc(size_t bytes);
QUARROW_INTERNAL void thread_cache_free(void *mem);
QUARROW_INTERNAL void *thread_cache_realloc(void *old, size_t bytes);
/* thread_cache_realloc calling mark(context) as dlrealloc_marked does. */
QUARROW_INTERNAL void *thread_cache_realloc_marked(void *old, size_t bytes, void (*mark)(void *), void *context);
QUARROW_INTERNAL void thread_cache_after_fork_in_child(void);
QUARROW_INTERNAL size_t thread_cache_bytes(void);
/*
 * The recorded mark of a block the hooks handed out (thread_cache.cpp):
 * mark_recorded sets it once the block's allocation event is written;
 * take_recorded_mark removes it and says whether it was there, false for
 * any block that is not ours.
 */
QUARROW_INTERNAL void thread_cache_mark_recorded(void *mem);
QUARROW_INTERNAL bool thread_cache_take_recorded_mark(void *mem);

#if QUARROW_TEST_SEAMS
/*
 * Test builds only: after `successes` more dlmalloc requests (dlcalloc and
 * the string and record copies of the library included) every request fails
 * with ENOMEM until this is called again with -1.
 */
QUARROW_INTERNAL void private_heap_fail_after(int successes);
#endif

#ifdef __cplusplus
}
#endif

#endif
