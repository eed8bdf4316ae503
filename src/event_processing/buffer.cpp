// The event ring buffer: slots claimed by producers without a lock, filled
// in place, and taken by the processing thread strictly in claim order.
//
// A producer claims a position with one compare-and-swap on the tail,
// after checking against the head that the ring has room. It may fill the
// slot later: a free claims before its heap call and fills after it, so a
// block freed here and handed out at once on another thread always has its
// release ahead of the new allocation, which claims only after its own heap
// call. The processing thread waits for the slot at the head to be filled
// before it goes on, so claim order is processing order.
//
// Each slot carries a sequence word naming the position it serves and its
// state: free for that position, being written, or ready. A slot whose producer never fills it
// (its thread was killed inside a hook) is given up after a second, counted
// as discarded and taken back with a compare-and-swap that the late
// producer's own compare-and-swap then loses: it can never write into a slot
// that has moved on to another position.
//
// The slow paths keep _event_mutex: the processing thread's waits for work
// and the producers' waits for room. Producers take it only to wake the
// processing thread or to wait; a busy process wakes it once per batch.
#include "event_processing/event_processing_internal.h"

#include <errno.h>
#include <sched.h>
#include <stdlib.h>

#include "error_line.h"
#include "lock_order.h"

static_assert(sizeof(event_record) == 5 * 4, "an event is a 32-bit type and four 32-bit words");

namespace {

enum slot_state : uint32_t { SLOT_FREE = 0, SLOT_WRITING = 1, SLOT_READY = 2 };

struct event_slot {
    uint32_t sequence;
    event_record event;
    call_stack stack; // the event's stack; its addresses are this slot's frames
};

// Positions count claims modulo _position_limit, a multiple of the slot
// count of at least two laps, so position % _buffer_size is the slot and a
// slot's next position is told from its present one.
// Each slot is followed by room for _frame_capacity frames, so that an
// event and its stack share a cache line or two, written by one producer
// and read by the processing thread in order.
unsigned char *_ring = nullptr;
size_t _slot_stride = 0;
uint32_t _frame_capacity = 0;
int32_t _buffer_size = 0;
int32_t _requested_size = 16000; // by the option, until the slots for it exist
uint32_t _position_limit = 0;

// Each on its own cache line: producers meet on the tail, the processing
// thread alone moves the head.
alignas(64) uint32_t _tail = 0;
alignas(64) uint32_t _head = 0;
uint32_t _head_index = 0; // the head's slot, kept by the processing thread: no division per event
alignas(64) uint32_t _maximum_pending_events = 0;
uint32_t _discarded_events = 0;
alignas(64) int _consumer_state = 0; // a consumer_state
int32_t _producers_waiting = 0;
bool _wait_for_room = false;

// _event_mutex guards the waits: the processing thread's on _event_condition,
// the producers' on _room_condition. Its place in the lock order:
// lock_order.h.
pthread_mutex_t _event_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t _event_condition = PTHREAD_COND_INITIALIZER;
pthread_cond_t _room_condition = PTHREAD_COND_INITIALIZER;

// A dozing processing thread wakes by itself within _doze_milliseconds, so
// a lone event is handled within that time; producers wake it earlier once
// _wake_threshold events are pending, long before the ring can fill. Only a
// doze that brought nothing turns into a sleep that the next event ends.
enum consumer_state { CONSUMER_RUNNING, CONSUMER_DOZING, CONSUMER_SLEEPING };
const long _doze_milliseconds = 10;
uint32_t _wake_threshold = 1;  // an eighth of the ring, at least 1
uint32_t _yield_threshold = 1; // three quarters of the ring
// How long the processing thread looks for more work before it dozes.
const long _spin_microseconds = 50;

// With "QUARROW_FULL_BUFFER=wait" a producer that finds the ring full waits
// for room, at most _room_wait_milliseconds per event, then drops and counts
// it as in the default mode. The bound rules out a deadlock: a producer may
// hold a lock the processing thread needs (the loader's, while the
// symboliser runs dladdr).
const long _room_wait_milliseconds = 100;

// A claimed slot not filled within this long is given up (see above). A
// claim spans at most one heap call, so only a dead thread comes near it.
const long _abandon_milliseconds = 1000;
bool _abandon_reported = false;

// The monotonic clock `microseconds` from now.
struct timespec deadline_after_microseconds(long microseconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += microseconds / 1000000;
    until.tv_nsec += (microseconds % 1000000) * 1000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}

struct timespec deadline_after(long milliseconds) {
    return deadline_after_microseconds(milliseconds * 1000);
}

bool passed(const struct timespec *deadline) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline->tv_sec || (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec);
}

inline uint32_t load_acquire(const uint32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }

inline uint32_t slot_index(uint32_t position) { return position % (uint32_t)_buffer_size; }
inline event_slot *slot_of(uint32_t index) { return (event_slot *)(_ring + (size_t)index * _slot_stride); }
inline void **frames_of(event_slot *slot) { return (void **)(slot + 1); }
inline uint32_t next_position(uint32_t position, uint32_t steps) {
    uint32_t next = position + steps; // both below 2^30: no overflow
    return next >= _position_limit ? next - _position_limit : next;
}
inline uint32_t distance(uint32_t from, uint32_t to) { return to >= from ? to - from : to + _position_limit - from; }

// The lap of the position and the state: zero, a free slot of the first
// lap, is what fresh zeroed slots hold.
inline uint32_t sequence_of(uint32_t position, uint32_t index, slot_state state) {
    return ((position - index) << 2) | state;
}
inline uint32_t next_index(uint32_t index, uint32_t steps) {
    uint32_t next = index + steps;
    return next >= (uint32_t)_buffer_size ? next - (uint32_t)_buffer_size : next;
}
// The sequence that frees a slot for its next lap.
inline uint32_t next_lap(uint32_t position, uint32_t index) {
    return sequence_of(next_position(position, (uint32_t)_buffer_size), index, SLOT_FREE);
}

inline uint32_t pending_at(uint32_t tail) { return distance(load_acquire(&_head), tail); }

void note_pending(uint32_t pending) {
    uint32_t seen = __atomic_load_n(&_maximum_pending_events, __ATOMIC_RELAXED);
    while (pending > seen && !__atomic_compare_exchange_n(&_maximum_pending_events, &seen, pending, true,
                                                          __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

// One position claimed, if the ring has room for it.
bool try_claim(uint32_t *position) {
    uint32_t tail = __atomic_load_n(&_tail, __ATOMIC_RELAXED);
    for (;;) {
        // The head is read after the tail: a full ring seen here was full at
        // that moment, since the head only moves on.
        uint32_t pending = pending_at(tail);
        if (pending >= (uint32_t)_buffer_size)
            return false;
        if (__atomic_compare_exchange_n(&_tail, &tail, next_position(tail, 1), true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_RELAXED)) {
            note_pending(pending + 1);
            *position = tail;
            return true;
        }
    }
}

// With _event_mutex held: waits for room until the deadline.
void wait_for_room_until(const struct timespec *deadline) {
    __atomic_add_fetch(&_producers_waiting, 1, __ATOMIC_SEQ_CST);
    while (pending_at(__atomic_load_n(&_tail, __ATOMIC_SEQ_CST)) >= (uint32_t)_buffer_size) {
        if (pthread_cond_clockwait(&_room_condition, &_event_mutex, CLOCK_MONOTONIC, deadline) == ETIMEDOUT)
            break;
    }
    __atomic_sub_fetch(&_producers_waiting, 1, __ATOMIC_SEQ_CST);
}

void wake_consumer(uint32_t pending) {
    event_buffer_lock();
    int state = __atomic_load_n(&_consumer_state, __ATOMIC_RELAXED);
    if (state == CONSUMER_SLEEPING || (state == CONSUMER_DOZING && pending >= _wake_threshold))
        pthread_cond_signal(&_event_condition);
    event_buffer_unlock();
}

} // namespace

void event_buffer_lock(void) {
    lock_taking(LOCK_EVENT);
    pthread_mutex_lock(&_event_mutex);
}
void event_buffer_unlock(void) {
    pthread_mutex_unlock(&_event_mutex);
    lock_released(LOCK_EVENT);
}

bool event_claim(uint32_t *position) {
    if (_ring == nullptr)
        return false;
    if (try_claim(position))
        return true;
    if (__atomic_load_n(&_wait_for_room, __ATOMIC_RELAXED)) {
        // The deadline is taken only here: the common case reads no clock.
        struct timespec deadline = deadline_after(_room_wait_milliseconds);
        do {
            event_buffer_lock();
            wait_for_room_until(&deadline);
            event_buffer_unlock();
            if (try_claim(position))
                return true;
        } while (!passed(&deadline));
    }
    __atomic_add_fetch(&_discarded_events, 1, __ATOMIC_RELAXED);
    return false;
}

void event_fill(uint32_t position, const event_record *event, void *const *frames, uint32_t count) {
    uint32_t index = slot_index(position);
    event_slot *slot = slot_of(index);
    uint32_t expected = sequence_of(position, index, SLOT_FREE);
    // Lost only when the slot was given up on this claim: already counted.
    if (!__atomic_compare_exchange_n(&slot->sequence, &expected, sequence_of(position, index, SLOT_WRITING), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return;
    if (count > _frame_capacity) // only a stack handed in from outside can be deeper; keep its innermost frames
        count = _frame_capacity;
    void **kept = frames_of(slot);
    if (count > 0) // an empty stack may come with no array at all
        memcpy(kept, frames, count * sizeof(void *));
    slot->event = *event;
    slot->stack.frame_count = count;
    slot->stack.return_addresses = kept;
    if (call_stack **word = event_stack_word(&slot->event))
        *word = &slot->stack;
    // Sequentially consistent: the state is read only after the slot is
    // published, against the processing thread's store of its state and
    // its check of the slot (lest a wake-up be lost).
    __atomic_store_n(&slot->sequence, sequence_of(position, index, SLOT_READY), __ATOMIC_SEQ_CST);
    // A dozing thread is woken only once enough has gathered; the test
    // comes before the lock, so no event pays for the lock alone.
    int state = __atomic_load_n(&_consumer_state, __ATOMIC_SEQ_CST);
    uint32_t pending = pending_at(__atomic_load_n(&_tail, __ATOMIC_RELAXED));
    if (state == CONSUMER_SLEEPING || (state == CONSUMER_DOZING && pending >= _wake_threshold))
        wake_consumer(pending);
    // A ring three quarters full means the processing thread is short of
    // processor time: this thread lets it run, if it waits for one. Only
    // after the fill, so the processing thread never waits on this slot.
    if (pending >= _yield_threshold)
        sched_yield();
}

namespace {

bool ready(uint32_t position, uint32_t index) {
    return load_acquire(&slot_of(index)->sequence) == sequence_of(position, index, SLOT_READY);
}

// The number of ready slots from the head, at most `room`.
// The number of ready slots from the head, at most `room`, knowing that the
// first `known` are ready.
uint32_t ready_run_from(uint32_t known, uint32_t room) {
    uint32_t run = known;
    for (uint32_t position = next_position(_head, known), index = next_index(_head_index, known);
         run < room && ready(position, index); position = next_position(position, 1), index = next_index(index, 1))
        run++;
    return run;
}

uint32_t ready_run(uint32_t room) { return ready_run_from(0, room); }

// The slot at the head claimed long ago and never filled: taken back, so
// processing goes on. False when its producer got there first.
bool give_up_head() {
    uint32_t head = _head;
    uint32_t expected = sequence_of(head, _head_index, SLOT_FREE);
    if (!__atomic_compare_exchange_n(&slot_of(_head_index)->sequence, &expected, next_lap(head, _head_index), false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
        return false;
    __atomic_add_fetch(&_discarded_events, 1, __ATOMIC_RELAXED);
    _head_index = next_index(_head_index, 1);
    __atomic_store_n(&_head, next_position(head, 1), __ATOMIC_SEQ_CST);
    if (!_abandon_reported) {
        _abandon_reported = true;
        QUARROW_ERROR_FORMAT("An event claimed by a thread was not filled within %ld ms; counted as discarded.",
                             _abandon_milliseconds);
    }
    return true;
}

// With _event_mutex held: one doze or sleep, unless a slot turns ready as
// the state is published. True when a doze ran out with the ring empty.
bool doze_or_sleep(bool sleep) {
    __atomic_store_n(&_consumer_state, sleep ? CONSUMER_SLEEPING : CONSUMER_DOZING, __ATOMIC_SEQ_CST);
    bool timed_out = false;
    if (!ready(_head, _head_index)) {
        if (sleep) {
            pthread_cond_wait(&_event_condition, &_event_mutex);
        } else {
            struct timespec until = deadline_after(_doze_milliseconds);
            timed_out = pthread_cond_clockwait(&_event_condition, &_event_mutex, CLOCK_MONOTONIC, &until) == ETIMEDOUT;
        }
    }
    __atomic_store_n(&_consumer_state, CONSUMER_RUNNING, __ATOMIC_RELAXED);
    return timed_out && __atomic_load_n(&_tail, __ATOMIC_ACQUIRE) == _head;
}

} // namespace

// Between two looks at the ring the processing thread yields: every look
// reads lines that producers are writing, and a look without a pause would
// pull each line away from its writer once per event; a yield also gives
// the processor to a producer that wants it, where threads outnumber cores.
void pause_between_looks() { sched_yield(); }

// Looks with nothing new before a short run is taken as it is.
const int _looks_for_a_batch = 4;

uint32_t event_buffer_wait(uint32_t room) {
    // Events that are ready are taken in batches: a short run waits a few
    // looks for the batch's last slot. That slot's line is one no producer
    // is writing yet, so looking at it costs them nothing, where looking at
    // the end of the run would take the line its producer is filling.
    uint32_t run = ready_run(room);
    if (run > 0 && run < room) {
        uint32_t last = next_position(_head, room - 1), last_index = next_index(_head_index, room - 1);
        for (int look = 0; look < _looks_for_a_batch && !ready(last, last_index); look++)
            pause_between_looks();
        run = ready_run_from(run, room);
    }
    if (run > 0)
        return run;
    // A busy process posts again within microseconds, and a slot claimed but
    // not yet filled is a heap call in progress: looking for a short while
    // sees most of them through. Each doze would otherwise cost a producer a
    // wake-up call.
    struct timespec spin_until = deadline_after_microseconds(_spin_microseconds);
    for (uint32_t spin = 1;; spin++) {
        pause_between_looks();
        run = ready_run(room);
        if (run > 0)
            return run;
        if (spin % 16 == 0 && passed(&spin_until))
            break;
    }
    bool idle = false;
    struct timespec give_up = deadline_after(_abandon_milliseconds);
    for (;;) {
        run = ready_run(room);
        if (run > 0)
            return run;
        if (__atomic_load_n(&_tail, __ATOMIC_ACQUIRE) == _head) {
            give_up = deadline_after(_abandon_milliseconds);
        } else if (passed(&give_up)) {
            give_up_head();
            give_up = deadline_after(_abandon_milliseconds);
            continue;
        } else {
            idle = false; // a claim is in flight: doze, never sleep
        }
        event_buffer_lock();
        idle = doze_or_sleep(idle);
        event_buffer_unlock();
    }
}

uint32_t event_buffer_ready(uint32_t room) { return _ring == nullptr ? 0 : ready_run(room); }

event_record *event_buffer_event(uint32_t offset) { return &slot_of(next_index(_head_index, offset))->event; }

void event_buffer_release(uint32_t count) {
    uint32_t position = _head, index = _head_index;
    for (uint32_t i = 0; i < count; i++, position = next_position(position, 1), index = next_index(index, 1))
        __atomic_store_n(&slot_of(index)->sequence, next_lap(position, index), __ATOMIC_RELEASE);
    _head_index = index;
    // Against a waiting producer's count and check of the head (wait_for_room_until).
    __atomic_store_n(&_head, position, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&_producers_waiting, __ATOMIC_SEQ_CST) > 0) {
        event_buffer_lock();
        pthread_cond_broadcast(&_room_condition);
        event_buffer_unlock();
    }
}

void event_buffer_wait_when_full(bool wait) { __atomic_store_n(&_wait_for_room, wait, __ATOMIC_RELAXED); }

int event_buffer_configure(config_option **options) {
    // Set only once it is judged usable: a refused size leaves the ring as it was.
    int32_t size = 16000;
    config_option *option = find_option(options, "buffers");
    if (option != nullptr) {
        size = atoi(option->value);
        if (size <= 0) {
            QUARROW_ERROR_FORMAT("Unusable buffer size supplied. Must be > 0. You supplied %s which was parsed as %d",
                                 option->value, size);
            free_config_option(&option);
            return 1;
        }
        // The byte size must be representable: never allocate a short buffer.
        if ((size_t)size > (size_t)-1 / sizeof(event_slot) || size > (1 << 28)) {
            QUARROW_ERROR_FORMAT("Unusable buffer size supplied. %s events of %u bytes exceed the address space.",
                                 option->value, (unsigned)sizeof(event_slot));
            free_config_option(&option);
            return 1;
        }
        free_config_option(&option);
    }
    _requested_size = size;
    return 0;
}

int event_buffer_allocate(int32_t depth) {
    uint32_t capacity = depth < 1 ? 1 : depth > QUARROW_MAX_STACK_DEPTH ? QUARROW_MAX_STACK_DEPTH : (uint32_t)depth;
    size_t stride = (sizeof(event_slot) + capacity * sizeof(void *) + 15) & ~(size_t)15;
    if ((size_t)_requested_size > (size_t)-1 / stride) {
        QUARROW_ERROR_FORMAT("Could not allocate buffer of %d elements", _requested_size);
        return 2;
    }
    // Zeroed slots are free for their first position.
    unsigned char *ring = (unsigned char *)dlcalloc((size_t)_requested_size, stride);
    if (ring == nullptr) {
        QUARROW_ERROR_FORMAT("Could not allocate buffer of %d elements", _requested_size);
        return 2;
    }
    dlfree(_ring);
    _ring = ring;
    _buffer_size = _requested_size;
    _slot_stride = stride;
    _frame_capacity = capacity;
    _position_limit = (uint32_t)_buffer_size * ((1u << 30) / (uint32_t)_requested_size);
    _head = _tail = _head_index = 0;
    // Late enough that a busy process pays one wake-up per thousands of
    // events, early enough that the ring never fills while the thread dozes.
    _wake_threshold = (uint32_t)_buffer_size / 8;
    if (_wake_threshold < 1)
        _wake_threshold = 1;
    _yield_threshold = (uint32_t)_buffer_size - (uint32_t)_buffer_size / 4;
    if (_yield_threshold < 2)
        _yield_threshold = 2; // never for the tiniest rings, where every event would yield
    return 0;
}

bool event_buffer_drained(void) {
    return _ring == nullptr || __atomic_load_n(&_tail, __ATOMIC_ACQUIRE) == load_acquire(&_head);
}

void event_buffer_take_counters(uint32_t *maximum_pending, uint32_t *discarded) {
    *maximum_pending = __atomic_exchange_n(&_maximum_pending_events, 0, __ATOMIC_RELAXED);
    *discarded = __atomic_exchange_n(&_discarded_events, 0, __ATOMIC_RELAXED);
}

#if QUARROW_TEST_SEAMS
void event_buffer_reset(void) {
    _head = _tail = _head_index = 0;
    _maximum_pending_events = _discarded_events = 0;
    _wait_for_room = false;
    if (_ring != nullptr)
        memset(_ring, 0, (size_t)_buffer_size * _slot_stride);
}

int32_t event_buffer_waiting_producers(void) { return __atomic_load_n(&_producers_waiting, __ATOMIC_SEQ_CST); }
#endif
