/*
 * The platform's unwinder driven exactly as the C library's backtrace drives
 * it, with the frame-pointer chain that follows kept inside the stack. It
 * takes every capture the engine cannot finish, and tells the backtrace mode
 * how far the C library's own backtrace may safely go. Internal.
 */
#ifndef QUARROW_BOUNDED_BACKTRACE_H
#define QUARROW_BOUNDED_BACKTRACE_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * backtrace's frames wherever backtrace stays inside the stack; where it
 * would follow a frame-pointer link out of it, the frames up to there.
 * Entry 0 is the return address into the caller. Never allocates once the
 * platform's unwinder is found (start-up does that).
 */
QUARROW_INTERNAL int bounded_backtrace(void **array, int size);

/* Whether this thread's last bounded_backtrace was cut where backtrace would have left the stack. */
QUARROW_INTERNAL bool bounded_backtrace_was_cut(void);

/* Finds the platform's unwinder (loading it through backtrace); start-up calls it before the hooks go in. */
QUARROW_INTERNAL void find_platform_unwinder(void);

/*
 * The platform's own lookup of unwind entries, which also knows entries
 * registered at run time; null until find_platform_unwinder found it.
 */
typedef const void *(*platform_find_fde_function)(void *address, void *bases);
QUARROW_INTERNAL platform_find_fde_function platform_find_fde(void);

#ifdef __cplusplus
}
#endif

#endif
