// The event ring buffer, its lock and the producers that fill it, and the
// processing thread's side of it: waiting for events and taking them.
#include "event_processing/event_processing_internal.h"

#include <errno.h>
#include <stdlib.h>

#include "error_line.h"
#include "lock_order.h"

static_assert(sizeof(event_record) == 5 * 4, "an event is a 32-bit type and four 32-bit words");

// Its place in the lock order: lock_order.h. A wait on the condition keeps
// it recorded as held, as the waiter holds it again before going on.
static pthread_mutex_t _event_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t _event_condition = PTHREAD_COND_INITIALIZER;

// Guarded by _event_mutex. Every slot can be in use at once: full is told
// from empty by _pending_events, not by a sacrificed slot.
static event_record *_buffer = nullptr;
static int32_t _buffer_size = 0;
static int32_t _buffer_write_index = 0;
static int32_t _buffer_read_index = 0;
static int32_t _pending_events = 0;
static int32_t _maximum_pending_events = 0;
static uint32_t _discarded_events = 0;

// Events taken out of the buffer (under _event_mutex) and events fully
// handled (by the processing thread alone): equal when it is idle.
static uint32_t _events_taken = 0;
static uint32_t _events_handled = 0;

// How the processing thread waits for work, guarded by _event_mutex.
// Waking it costs a system call on each side, so a producer wakes it only
// when it sleeps outright, or dozes and a batch has gathered; a dozing
// thread wakes by itself within _doze_milliseconds. Every event is handled
// within that time, and a busy process pays one wake-up per batch rather
// than one per event.
enum consumer_state { CONSUMER_RUNNING, CONSUMER_DOZING, CONSUMER_SLEEPING };
static consumer_state _consumer_state = CONSUMER_RUNNING;
static int32_t _wake_threshold = 1; // the batch, or a quarter of a smaller buffer
static const long _doze_milliseconds = 10;

// With "QUARROW_FULL_BUFFER=wait" a producer that finds the buffer full
// waits for room, at most _room_wait_milliseconds per event, then drops and
// counts it as in the default mode. The bound is what rules out a deadlock:
// a producer may hold a lock the processing thread needs (the loader's,
// while the symboliser runs dladdr). Guarded by _event_mutex.
static pthread_cond_t _room_condition = PTHREAD_COND_INITIALIZER;
static bool _wait_for_room = false;
static int32_t _producers_waiting = 0;
static const long _room_wait_milliseconds = 100;

// The monotonic clock `milliseconds` from now.
static struct timespec _deadline_after(long milliseconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}

void event_buffer_lock(void) {
    lock_taking(LOCK_EVENT);
    pthread_mutex_lock(&_event_mutex);
}
void event_buffer_unlock(void) {
    pthread_mutex_unlock(&_event_mutex);
    lock_released(LOCK_EVENT);
}

static bool _buffer_full() { return _pending_events == _buffer_size; }

// With _event_mutex held and the buffer full: waits for room until the
// deadline; whether there is room now.
static bool _wait_for_room_until(const struct timespec *deadline) {
    while (_buffer_full()) {
        _producers_waiting++;
        int result = pthread_cond_clockwait(&_room_condition, &_event_mutex, CLOCK_MONOTONIC, deadline);
        _producers_waiting--;
        if (result == ETIMEDOUT)
            return !_buffer_full();
    }
    return true;
}

// With _event_mutex held: the slot to fill, or -1 when the event is dropped.
static int32_t _get_write_slot() {
    if (_buffer_full()) {
        // The deadline is taken only here: the common case reads no clock.
        struct timespec deadline;
        if (_wait_for_room)
            deadline = _deadline_after(_room_wait_milliseconds);
        if (!_wait_for_room || !_wait_for_room_until(&deadline)) {
            _discarded_events++;
            return -1;
        }
    }
    int32_t slot = _buffer_write_index;
    _buffer_write_index = (_buffer_write_index + 1) % _buffer_size;
    _pending_events++;
    if (_pending_events > _maximum_pending_events)
        _maximum_pending_events = _pending_events;
    // The consumer wakes only once it can take the mutex, by then the slot is full.
    if (_consumer_state == CONSUMER_SLEEPING ||
        (_consumer_state == CONSUMER_DOZING && _pending_events >= _wake_threshold))
        pthread_cond_signal(&_event_condition);
    return slot;
}

// Copies one event into the buffer; a dropped event releases its stack.
static void _post_event(const event_record *event, call_stack *stack) {
    event_buffer_lock();
    int32_t slot = _get_write_slot();
    if (slot >= 0)
        _buffer[slot] = *event;
    event_buffer_unlock();
    if (slot < 0)
        free_stack(stack);
}

void event_buffer_wait_when_full(bool wait) {
    event_buffer_lock();
    _wait_for_room = wait;
    event_buffer_unlock();
}

int event_buffer_configure(config_option **options) {
    config_option *option = find_option(options, "buffers");
    if (option == nullptr) {
        _buffer_size = 16000;
    } else {
        _buffer_size = atoi(option->value);
        if (_buffer_size <= 0) {
            QUARROW_ERROR_FORMAT("Unusable buffer size supplied. Must be > 0. You supplied %s which was parsed as %d",
                                 option->value, _buffer_size);
            free_config_option(&option);
            return 1;
        }
        // The byte size must be representable: never allocate a short buffer.
        if ((size_t)_buffer_size > (size_t)-1 / sizeof(event_record)) {
            QUARROW_ERROR_FORMAT("Unusable buffer size supplied. %s events of %u bytes exceed the address space.",
                                 option->value, (unsigned)sizeof(event_record));
            free_config_option(&option);
            return 1;
        }
        free_config_option(&option);
    }
    _buffer = (event_record *)dlmalloc((size_t)_buffer_size * sizeof(event_record));
    if (_buffer == nullptr) {
        QUARROW_ERROR_FORMAT("Could not allocate buffer of %d elements", _buffer_size);
        return 2;
    }
    _wake_threshold = _buffer_size / 4 < kEventBatch ? _buffer_size / 4 : kEventBatch;
    if (_wake_threshold < 1)
        _wake_threshold = 1;
    return 0;
}

// With _event_mutex held: waits until an event is pending. It dozes first;
// only a doze that brought nothing turns into a sleep that the next event
// ends at once.
static void _wait_for_events() {
    bool idle = false;
    while (_pending_events == 0) {
        if (idle) {
            _consumer_state = CONSUMER_SLEEPING;
            pthread_cond_wait(&_event_condition, &_event_mutex);
        } else {
            struct timespec until = _deadline_after(_doze_milliseconds);
            _consumer_state = CONSUMER_DOZING;
            idle = pthread_cond_clockwait(&_event_condition, &_event_mutex, CLOCK_MONOTONIC, &until) == ETIMEDOUT;
        }
        _consumer_state = CONSUMER_RUNNING;
    }
}

// With _event_mutex held: moves up to `room` pending events out.
static int32_t _take_locked(event_record *events, int32_t room) {
    int32_t taken = 0;
    while (taken < room && _pending_events > 0) {
        events[taken++] = _buffer[_buffer_read_index];
        _buffer_read_index = (_buffer_read_index + 1) % _buffer_size;
        _pending_events--;
    }
    _events_taken += (uint32_t)taken;
    if (taken > 0 && _producers_waiting > 0)
        pthread_cond_broadcast(&_room_condition);
    return taken;
}

// The mutex is never held while an event is handled.
int32_t event_buffer_take(event_record *events, int32_t room) {
    event_buffer_lock();
    _wait_for_events();
    int32_t taken = _take_locked(events, room);
    event_buffer_unlock();
    return taken;
}

bool event_buffer_take_pending(event_record *event) {
    event_buffer_lock();
    int32_t taken = _take_locked(event, 1);
    event_buffer_unlock();
    return taken == 1;
}

void event_buffer_note_handled(void) { __atomic_store_n(&_events_handled, _events_handled + 1, __ATOMIC_RELEASE); }

bool event_buffer_drained(void) {
    event_buffer_lock();
    bool empty = _pending_events == 0;
    uint32_t taken = _events_taken;
    event_buffer_unlock();
    return empty && __atomic_load_n(&_events_handled, __ATOMIC_ACQUIRE) == taken;
}

void event_buffer_take_counters(uint32_t *maximum_pending, uint32_t *discarded) {
    event_buffer_lock();
    *maximum_pending = (uint32_t)_maximum_pending_events;
    *discarded = _discarded_events;
    _maximum_pending_events = 0;
    _discarded_events = 0;
    event_buffer_unlock();
}

#if QUARROW_TEST_SEAMS
void event_buffer_reset(void) {
    _buffer_write_index = _buffer_read_index = _pending_events = _maximum_pending_events = 0;
    _discarded_events = 0;
    _wait_for_room = false;
}

int32_t event_buffer_waiting_producers(void) {
    event_buffer_lock();
    int32_t waiting = _producers_waiting;
    event_buffer_unlock();
    return waiting;
}
#endif

extern "C" {

void malloc_occurred(void *address, size_t size, call_stack *stack) {
    event_record event;
    event.type = EVENT_MALLOC;
    event.u.malloc_event.size = size;
    event.u.malloc_event.stack = stack;
    event.u.malloc_event.address = address;
    _post_event(&event, stack);
}

void free_occurred(void *address, call_stack *stack) {
    event_record event;
    event.type = EVENT_FREE;
    event.u.free_event.address = address;
    event.u.free_event.stack = stack;
    _post_event(&event, stack);
}

void realloc_occurred(void *old_address, void *new_address, size_t size, call_stack *stack) {
    event_record event;
    event.type = EVENT_REALLOC;
    event.u.realloc_event.stack = stack;
    event.u.realloc_event.old_address = old_address;
    event.u.realloc_event.new_address = new_address;
    event.u.realloc_event.size = size;
    _post_event(&event, stack);
}

void memalign_occurred(void *address, size_t alignment, size_t size, call_stack *stack) {
    (void)alignment; // a memalign is recorded like a malloc of its size
    event_record event;
    event.type = EVENT_MEMALIGN;
    event.u.memalign_event.stack = stack;
    event.u.memalign_event.address = address;
    event.u.memalign_event.size = size;
    _post_event(&event, stack);
}

// Frames above the capture for an outside party: walk_stack's own, this
// producer's and the caller's call into it.
static const unsigned int _jni_producer_frames = 3;

void jni_alloc_occurred(void *address, size_t size) {
    if (!_setup.configured)
        return;
    call_stack *stack = walk_stack(_setup.stack_depth, _jni_producer_frames);
    if (stack == nullptr)
        return;
    event_record event;
    event.type = EVENT_JNI_ALLOC;
    event.u.jni_alloc_event.size = size;
    event.u.jni_alloc_event.stack = stack;
    event.u.jni_alloc_event.address = address;
    _post_event(&event, stack);
}

void jni_free_occurred(void *address) {
    if (!_setup.configured)
        return;
    call_stack *stack = walk_stack(_setup.stack_depth, _jni_producer_frames);
    if (stack == nullptr)
        return;
    event_record event;
    event.type = EVENT_JNI_FREE;
    event.u.jni_free_event.address = address;
    event.u.jni_free_event.stack = stack;
    _post_event(&event, stack);
}

int16_t current_thread_is_profiler(void) {
    pthread_t self = pthread_self();
    return pthread_equal(self, _setup.processing_thread) || pthread_equal(self, _setup.output_thread) ? 1 : 0;
}

int get_stack_depth(void) { return _setup.stack_depth; }

} // extern "C"
