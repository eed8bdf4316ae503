// The allocator hooks: every heap request is served by the private heap;
// those of tracked threads are captured and posted as events.
#include "memory_operations/memory_operations_internal.h"

#include <errno.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdlib.h>

#include "cache_line.h"
#include "error_line.h"
#include "event_processing/event_processing.h"
#include "private_heap/private_heap.h"
#include "settings.h"
#include "stack_walk/stack_walk.h"
#include "trigger.h"

static const char _source_file[] = "src/memory_operations.cpp";

// Frames above the capture: capture_frames's own, the hook's and the entry
// point's, so frame 0 is the code that called malloc (or its siblings).
static const unsigned int _hook_frames = 1 + 1 + kEntryPointFrames;

// Created at configuration as an error-checking mutex and never taken: the
// order of events comes from the buffer's claims (see below), so no hook
// waits for another thread's request.
static pthread_mutex_t _memop_lock;
static pthread_mutexattr_t _memop_lock_attr;

// Set in a forked child: it has no tracker threads, so nothing it does is
// recorded; its requests are still served by the private heap.
QUARROW_OWN_LINE static volatile int _untracked_process = 0;

// A tracked request in progress on this thread. A request made from inside
// one (the platform allocating during a capture or an error message) is
// served untracked rather than captured again. Initial-exec: a dynamic TLS
// access could itself allocate.
static __thread int _inside_hook __attribute__((tls_model("initial-exec")));

// Whether to serve a request without recording it. The trace flag is one
// atomic word, no lock, so it is asked before the thread's identity: while
// tracing is held back, a request costs no thread lookup at all.
static bool _untracked() {
    return _untracked_process || _inside_hook || !trace_enabled_now() || current_thread_is_profiler();
}

// Frames are counted from the hook: the helpers that lead to the capture
// must be part of the hook's own frame, never frames of their own.
#define HOOK_FRAME __attribute__((always_inline)) inline

// The caller's stack, captured on this thread's own stack: posting copies
// it into the event's slot, so no heap call is made for it.
struct captured_stack {
    void *scratch[QUARROW_CAPTURE_SCRATCH];
    void **frames;
    uint32_t count;
};

// errno is kept as the caller left it: a capture must not change it. The
// walk starts at the program's frame when the entry point published its own
// frame for this request: one that returns to `caller` and lies above this
// hook's frame (an entry point in a signal handler that ran meanwhile left
// none). Otherwise it walks the library's frames too and skips them.
static HOOK_FRAME void _capture(captured_stack *stack, const void *caller) {
    int saved_errno = errno;
    int depth = get_stack_depth();
    const uintptr_t *frame = _entry_frame;
    if (frame == nullptr || (uintptr_t)frame <= (uintptr_t)stack || frame[1] != (uintptr_t)caller ||
        !capture_frames_from(stack->scratch, depth, frame, &stack->frames, &stack->count))
        stack->count = capture_frames(stack->scratch, depth, _hook_frames, &stack->frames);
    errno = saved_errno;
}

// Events are handled in the order their slots are claimed. A hook that
// hands a block out claims after its heap call; one that releases a block
// claims before it. So a block freed on one thread and handed out at once
// on another always has its release handled first, and the report never
// shows a block that is gone as live.
//
// A block handed out with its event written carries the heap's recorded
// mark (thread_cache.cpp). Its free will find its record, and a matched
// free's stack is never reported, so a free that takes the mark posts no
// stack and saves the capture; every other free, foreign, unknown or
// double, is captured as before.
static bool _post(const event_record *event, const captured_stack *stack) {
    return post_event(event, stack->frames, stack->count);
}

// malloc and free are served through this thread's cache, realloc knows
// cached blocks, memalign goes to the heap itself (thread_cache.cpp).
static void *_hooked_malloc(size_t size, const void *caller) {
    if (_untracked())
        return thread_cache_malloc(size);
    _inside_hook = 1;
    captured_stack stack;
    _capture(&stack, caller);
    void *block = thread_cache_malloc(size);
    if (block != nullptr) {
        event_record event = malloc_event_of(block, size);
        if (_post(&event, &stack))
            thread_cache_mark_recorded(block);
    }
    _inside_hook = 0;
    return block;
}

// A realloc both releases and hands out: its slot is claimed where the new
// block is held and the old one not yet released (thread_cache_realloc_marked).
struct realloc_claim {
    event_ticket ticket;
    bool claimed;
};

static void _claim_for_realloc(void *context) {
    realloc_claim *claim = (realloc_claim *)context;
    claim->claimed = event_claim(&claim->ticket);
}

static void *_hooked_realloc(void *old_block, size_t size, const void *caller) {
    if (_untracked())
        return thread_cache_realloc(old_block, size);
    _inside_hook = 1;
    captured_stack stack;
    _capture(&stack, caller);
    thread_cache_take_recorded_mark(old_block); // the new block gets its own
    realloc_claim claim = {{0, 0, 0, 0}, false};
    void *block = thread_cache_realloc_marked(old_block, size, _claim_for_realloc, &claim);
    if (block != nullptr && claim.claimed) {
        event_record event = realloc_event_of(old_block, block, size);
        if (event_fill(&claim.ticket, &event, stack.frames, stack.count))
            thread_cache_mark_recorded(block);
    }
    _inside_hook = 0;
    return block;
}

static void _hooked_free(void *block, const void *caller) {
    // free must leave errno alone, tracked or not; the cache keeps it on
    // its own path.
    if (_untracked()) {
        thread_cache_free(block);
        return;
    }
    int saved_errno = errno;
    _inside_hook = 1;
    captured_stack stack;
    if (thread_cache_take_recorded_mark(block)) {
        stack.frames = stack.scratch;
        stack.count = 0;
    } else {
        _capture(&stack, caller);
    }
    event_ticket ticket;
    bool claimed = event_claim(&ticket);
    thread_cache_free(block);
    if (claimed) {
        event_record event = free_event_of(block);
        event_fill(&ticket, &event, stack.frames, stack.count);
    }
    _inside_hook = 0;
    errno = saved_errno;
}

static void *_hooked_memalign(size_t alignment, size_t size, const void *caller) {
    if (_untracked())
        return dlmemalign(alignment, size);
    _inside_hook = 1;
    captured_stack stack;
    _capture(&stack, caller);
    void *block = dlmemalign(alignment, size);
    if (block != nullptr) {
        event_record event = memalign_event_of(block, size);
        if (_post(&event, &stack))
            thread_cache_mark_recorded(block);
    }
    _inside_hook = 0;
    return block;
}

static void _override_memory_functions() {
    quarrow_malloc_hook = _hooked_malloc;
    quarrow_realloc_hook = _hooked_realloc;
    quarrow_free_hook = _hooked_free;
    quarrow_memalign_hook = _hooked_memalign;
}

// Null hooks send the entry points back to the C library's allocator.
static void _reset_memory_functions() {
    quarrow_malloc_hook = nullptr;
    quarrow_realloc_hook = nullptr;
    quarrow_free_hook = nullptr;
    quarrow_memalign_hook = nullptr;
}

// Around fork every lock a heap request can wait for is taken, so the child
// never inherits one held by a thread that does not exist there.
static void _prepare_fork() {
    event_processing_prepare_fork();
    private_heap_prepare_fork();
}

static void _after_fork_in_parent() {
    private_heap_after_fork();
    event_processing_after_fork();
}

static void _after_fork_in_child() {
    _untracked_process = 1;
    private_heap_after_fork();
    thread_cache_after_fork_in_child();
    event_processing_after_fork();
}

extern "C" {

int configure_memory_operation_hooking(config_option **) {
    // The first backtrace sets itself up, loading code and allocating: done
    // here, before any hook can run into it.
    void *warm_up[1];
    backtrace(warm_up, 1);
    configure_stack_capture(current_settings()->unwinder); // reports a bad value itself

    int result = configure_triggering();
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't configure triggering: %d", result);
        return 1;
    }
    result = pthread_mutexattr_init(&_memop_lock_attr);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Error initialising lock attributes: %d", result);
        return 2;
    }
    result = pthread_mutexattr_settype(&_memop_lock_attr, PTHREAD_MUTEX_ERRORCHECK);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Error setting errorcheck attribute: %d", result);
        return 3;
    }
    result = pthread_mutex_init(&_memop_lock, &_memop_lock_attr);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Error initialising mutex: %d", result);
        return 4;
    }
    result = pthread_atfork(_prepare_fork, _after_fork_in_parent, _after_fork_in_child);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Error registering fork handlers: %d", result);
        return 5;
    }
    // Without the caches' thread key every request goes to the heap itself:
    // slower, not wrong, so the hooks go in all the same.
    result = thread_cache_configure();
    if (result != 0)
        QUARROW_ERROR_FORMAT("Couldn't create the thread cache key: %d", result);
    _override_memory_functions();
    return 0;
}

void shutdown_memory_operation_hooking(void) { _reset_memory_functions(); }

} // extern "C"
