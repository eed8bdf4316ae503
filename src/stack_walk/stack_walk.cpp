// Stack capture: walk_stack and the stack records on the private heap.
#include "stack_walk/stack_walk.h"

#include <execinfo.h>
#include <string.h>

#include "stack_walk/stack_walk_internal.h"
#include "error_line.h"
#include "private_heap/private_heap.h"

static const char _source_file[] = "src/stack_walk.cpp";

extern "C" {

// Inlined into both captures below, so that entry 0 of the backtrace is a
// return address inside each, and the caller's skip drops the right frames.
static __attribute__((always_inline)) inline uint32_t _capture(void **scratch, int depth, unsigned int skip,
                                                               void ***frames) {
    // The scratch array is on the allocating thread's stack, which may be
    // small; it never holds more than QUARROW_MAX_STACK_DEPTH entries. A
    // larger request keeps the frames that fit, outermost ones dropped.
    // One spare entry for the check mode's own frame.
    void **captured = scratch;
    unsigned int count = 0;
    if (depth > 0) { // depth + skip entries, as many as fit
        unsigned int wanted =
            (unsigned int)depth < QUARROW_MAX_STACK_DEPTH ? (unsigned int)depth : QUARROW_MAX_STACK_DEPTH;
        wanted = skip < QUARROW_MAX_STACK_DEPTH - wanted ? wanted + skip : QUARROW_MAX_STACK_DEPTH;
        int got;
        int mode = __atomic_load_n(&_stack_capture_mode, __ATOMIC_RELAXED);
        if (__builtin_expect(mode == QUARROW_UNWINDER_CHECK, 0)) {
            // Entry 0 is then inside the comparing capture: drop it, so that
            // entry 0 is a return address in this function as always.
            got = capture_and_compare(scratch, (int)wanted + 1) - 1;
            captured = scratch + 1;
        } else if (__builtin_expect(mode == QUARROW_UNWINDER_BACKTRACE, 0)) {
            // The i386 backtrace alone would follow a garbage frame-pointer
            // link out of the stack and fault; a bounded walk first tells how
            // far it may go. Elsewhere backtrace follows no such link.
            if (kBacktraceFollowsFrameChain) {
                got = bounded_backtrace(scratch, (int)wanted);
                got = backtrace(scratch, bounded_backtrace_was_cut() ? got : (int)wanted);
            } else {
                got = backtrace(scratch, (int)wanted);
            }
        } else {
            got = quarrow_backtrace(scratch, (int)wanted);
        }
        count = got > 0 ? (unsigned int)got : 0;
    }
    if (count <= skip) {
        *frames = captured;
        return 0;
    }
    *frames = captured + skip;
    return count - skip;
}

// noinline, both: entry 0 must be inside the capture itself.
__attribute__((noinline)) uint32_t capture_frames(void **scratch, int depth, unsigned int skip, void ***frames) {
    return _capture(scratch, depth, skip, frames);
}

bool capture_frames_from(void **scratch, int depth, const uintptr_t *frame, void ***frames, uint32_t *count) {
    if (__atomic_load_n(&_stack_capture_mode, __ATOMIC_RELAXED) != QUARROW_UNWINDER_FAST)
        return false;
    int wanted = depth < (int)QUARROW_MAX_STACK_DEPTH ? depth : (int)QUARROW_MAX_STACK_DEPTH;
    // The saved frame pointer is the caller's: the frame's owner set its own
    // from its stack pointer.
    int got = wanted > 0 ? _quarrow_unwind_from(scratch, wanted, frame + 1, frame[0]) : 0;
    if (got < 0)
        return false;
    *frames = scratch;
    *count = (uint32_t)got;
    return true;
}

__attribute__((noinline)) call_stack *walk_stack(int depth, unsigned int skip) {
    void *scratch[QUARROW_CAPTURE_SCRATCH];
    void **frames;
    uint32_t kept = _capture(scratch, depth, skip, &frames);
    call_stack *stack = (call_stack *)dlmalloc(sizeof(call_stack));
    if (stack == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed (out of native memory)");
        return nullptr;
    }
    if (kept == 0) {
        stack->frame_count = 0;
        stack->return_addresses = nullptr;
        return stack;
    }
    void **addresses = (void **)dlmalloc(kept * sizeof(void *));
    if (addresses == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed (out of native memory)");
        dlfree(stack);
        return nullptr;
    }
    memcpy(addresses, frames, kept * sizeof(void *));
    stack->frame_count = kept;
    stack->return_addresses = addresses;
    return stack;
}

call_stack *clone_stack(call_stack *source) {
    call_stack *copy = (call_stack *)dlmalloc(sizeof(call_stack));
    if (copy == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        return nullptr;
    }
    copy->frame_count = source->frame_count;
    size_t bytes = (size_t)source->frame_count * sizeof(void *);
    copy->return_addresses = (void **)dlmalloc(bytes); // zero bytes still gives a block
    if (copy->return_addresses == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        dlfree(copy);
        return nullptr;
    }
    if (bytes != 0)
        memcpy(copy->return_addresses, source->return_addresses, bytes);
    return copy;
}

void free_stack(call_stack *stack) {
    dlfree(stack->return_addresses); // null for an empty captured stack
    dlfree(stack);
}

} // extern "C"
