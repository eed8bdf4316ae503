// The platform's unwinder with bounded frame-pointer links. The C library's
// backtrace on i386 runs the unwinder, then follows the ebp chain bounded
// only by the main thread's stack end: on any other thread a garbage ebp
// left by compiled Java code passes that check and the read faults. This
// follows the same steps, and the chain only inside the stack. On x86_64 the
// C library's backtrace is the generic one: it stops where the unwinder
// stops, so there is no chain to bound, and this is that backtrace, which
// also ends a walk that repeats a frame.
#include "stack_walk/stack_walk_internal.h"

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <execinfo.h>
#include <stdint.h>
#include <unwind.h>

namespace {

typedef _Unwind_Reason_Code (*unwind_backtrace_function)(_Unwind_Trace_Fn, void *);
typedef _Unwind_Word (*unwind_get_function)(struct _Unwind_Context *);
typedef _Unwind_Word (*unwind_get_register_function)(struct _Unwind_Context *, int);

struct platform_unwinder {
    unwind_backtrace_function backtrace;
    unwind_get_function get_ip;
    unwind_get_function get_cfa;
    unwind_get_register_function get_register;
    platform_find_fde_function find_fde;
};

platform_unwinder _unwinder;
bool _unwinder_looked_up;

__thread bool _last_was_cut __attribute__((tls_model("initial-exec")));

struct trace_state {
    void **array;
    int count; // -1 until the first frame, which is this file's own
    int size;
    uintptr_t last_fp;
    uintptr_t last_cfa;
};

#if defined(__i386__)
_Unwind_Reason_Code _record_frame(struct _Unwind_Context *context, void *argument) {
    trace_state *state = (trace_state *)argument;
    if (state->count != -1)
        state->array[state->count] = (void *)_unwinder.get_ip(context);
    if (++state->count == state->size)
        return _URC_END_OF_STACK;
    state->last_fp = _unwinder.get_register(context, UNWIND_FP);
    state->last_cfa = _unwinder.get_cfa(context);
    return _URC_NO_REASON;
}
#elif defined(__x86_64__)
// A frame with the return address and the CFA of the one before it makes no
// progress: the walk ends there, without it.
_Unwind_Reason_Code _record_frame(struct _Unwind_Context *context, void *argument) {
    trace_state *state = (trace_state *)argument;
    if (state->count != -1) {
        void *ip = (void *)_unwinder.get_ip(context);
        uintptr_t cfa = _unwinder.get_cfa(context);
        state->array[state->count] = ip;
        if (state->count > 0 && state->array[state->count - 1] == ip && cfa == state->last_cfa)
            return _URC_END_OF_STACK;
        state->last_cfa = cfa;
    }
    if (++state->count == state->size)
        return _URC_END_OF_STACK;
    return _URC_NO_REASON;
}
#else
#error "stack capture supports i386 and x86_64 only"
#endif

} // namespace

extern "C" {

void find_platform_unwinder(void) {
    if (__atomic_load_n(&_unwinder_looked_up, __ATOMIC_ACQUIRE))
        return;
    // The C library loads the unwinder on its first backtrace.
    void *warm_up[1];
    backtrace(warm_up, 1);
    void *library = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (library != nullptr) {
        platform_unwinder found;
        found.backtrace = (unwind_backtrace_function)dlsym(library, "_Unwind_Backtrace");
        found.get_ip = (unwind_get_function)dlsym(library, "_Unwind_GetIP");
        found.get_cfa = (unwind_get_function)dlsym(library, "_Unwind_GetCFA");
        found.get_register = (unwind_get_register_function)dlsym(library, "_Unwind_GetGR");
        found.find_fde = (platform_find_fde_function)dlsym(library, "_Unwind_Find_FDE");
        if (found.backtrace && found.get_ip && found.get_cfa && found.get_register && found.find_fde)
            _unwinder = found;
    }
    __atomic_store_n(&_unwinder_looked_up, true, __ATOMIC_RELEASE);
}

// Not inlined: its own frame is the first one the unwinder reports, and is
// dropped, as backtrace drops its own.
// used: the capture stub jumps here from assembly.
__attribute__((noinline, used)) int bounded_backtrace(void **array, int size) {
    _last_was_cut = false;
    if (!__atomic_load_n(&_unwinder_looked_up, __ATOMIC_ACQUIRE))
        find_platform_unwinder(); // only outside the hooks: start-up looks it up first
    if (size <= 0 || _unwinder.backtrace == nullptr)
        return 0; // backtrace gives nothing without the unwinder either
    trace_state state = {array, -1, size, 0, 0};
    _unwinder.backtrace(_record_frame, &state);
    if (state.count < 0)
        return 0;
    if (state.count > 1 && array[state.count - 1] == nullptr)
        return state.count - 1; // the outermost frame's undefined return address
    if (kBacktraceFollowsFrameChain && state.count < size) {
        stack_region stack = {0, 0}; // none known: every link is out of bounds
        find_stack_region(state.last_cfa, &stack);
        state.count =
            follow_frame_chain(array, state.count, size, state.last_fp, state.last_cfa, stack, &_last_was_cut);
    }
    return state.count;
}

bool bounded_backtrace_was_cut(void) { return _last_was_cut; }

platform_find_fde_function platform_find_fde(void) {
    return __atomic_load_n(&_unwinder_looked_up, __ATOMIC_ACQUIRE) ? _unwinder.find_fde : nullptr;
}

} // extern "C"
