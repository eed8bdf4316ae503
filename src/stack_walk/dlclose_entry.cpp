// The process's dlclose: the capture engine caches unwind steps by address,
// and an unloaded object's addresses may soon hold another object's code.
// Captures during the unload leave their work to the platform's unwinder,
// and the cache is emptied once the object is gone.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>

#include "export.h"
#include "stack_walk/stack_walk_internal.h"

typedef int (*dlclose_function)(void *);

static dlclose_function _next_dlclose;

extern "C" QUARROW_EXPORT int dlclose(void *handle) {
    dlclose_function next = __atomic_load_n(&_next_dlclose, __ATOMIC_ACQUIRE);
    if (next == nullptr) {
        // Not at start-up: dlsym may allocate, and nothing unloads before
        // the program runs.
        next = (dlclose_function)dlsym(RTLD_NEXT, "dlclose");
        if (next == nullptr)
            return -1; // no C library below us: nothing was unloaded
        __atomic_store_n(&_next_dlclose, next, __ATOMIC_RELEASE);
    }
    unwind_cache_begin_unload();
    int result = next(handle);
    int saved_errno = errno;
    unwind_cache_end_unload();
    errno = saved_errno;
    return result;
}
