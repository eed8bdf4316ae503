// The producers: each request becomes one event in the ring, its stack
// copied into the event's slot, so posting makes no heap call.
#include "event_processing/event_processing_internal.h"

#include "stack_walk/stack_walk.h"

bool post_event(const event_record *event, void *const *frames, uint32_t count) {
    event_ticket ticket;
    return event_claim(&ticket) && event_fill(&ticket, event, frames, count);
}

namespace {

// The exported producers take over a stack made on the heap: its frames go
// into the slot and the stack is released, posted or dropped.
void post_owned(const event_record *event, call_stack *stack) {
    post_event(event, stack->return_addresses, stack->frame_count);
    free_stack(stack);
}

} // namespace

event_record malloc_event_of(void *address, size_t size) {
    event_record event{};
    event.type = EVENT_MALLOC;
    event.u.malloc_event.size = size;
    event.u.malloc_event.address = address;
    return event;
}

event_record free_event_of(void *address) {
    event_record event{};
    event.type = EVENT_FREE;
    event.u.free_event.address = address;
    return event;
}

event_record realloc_event_of(void *old_address, void *new_address, size_t size) {
    event_record event{};
    event.type = EVENT_REALLOC;
    event.u.realloc_event.old_address = old_address;
    event.u.realloc_event.new_address = new_address;
    event.u.realloc_event.size = size;
    return event;
}

event_record memalign_event_of(void *address, size_t size) {
    event_record event{};
    event.type = EVENT_MEMALIGN;
    event.u.memalign_event.address = address;
    event.u.memalign_event.size = size;
    return event;
}

extern "C" {

void malloc_occurred(void *address, size_t size, call_stack *stack) {
    event_record event = malloc_event_of(address, size);
    post_owned(&event, stack);
}

void free_occurred(void *address, call_stack *stack) {
    event_record event = free_event_of(address);
    post_owned(&event, stack);
}

void realloc_occurred(void *old_address, void *new_address, size_t size, call_stack *stack) {
    event_record event = realloc_event_of(old_address, new_address, size);
    post_owned(&event, stack);
}

void memalign_occurred(void *address, size_t alignment, size_t size, call_stack *stack) {
    (void)alignment; // a memalign is recorded like a malloc of its size
    event_record event = memalign_event_of(address, size);
    post_owned(&event, stack);
}

// Frames above the capture for an outside party: capture_frames's own, this
// producer's and the caller's call into it.
static const unsigned int _jni_producer_frames = 3;

__attribute__((noinline)) void jni_alloc_occurred(void *address, size_t size) {
    if (!_setup.configured)
        return;
    void *scratch[QUARROW_CAPTURE_SCRATCH];
    void **frames;
    uint32_t count = capture_frames(scratch, _setup.stack_depth, _jni_producer_frames, &frames);
    event_record event = malloc_event_of(address, size);
    event.type = EVENT_JNI_ALLOC;
    post_event(&event, frames, count);
}

__attribute__((noinline)) void jni_free_occurred(void *address) {
    if (!_setup.configured)
        return;
    void *scratch[QUARROW_CAPTURE_SCRATCH];
    void **frames;
    uint32_t count = capture_frames(scratch, _setup.stack_depth, _jni_producer_frames, &frames);
    event_record event = free_event_of(address);
    event.type = EVENT_JNI_FREE;
    post_event(&event, frames, count);
}

int16_t current_thread_is_profiler(void) {
    pthread_t self = pthread_self();
    return pthread_equal(self, _setup.processing_thread) || pthread_equal(self, _setup.output_thread) ? 1 : 0;
}

int get_stack_depth(void) { return _setup.stack_depth; }

} // extern "C"
