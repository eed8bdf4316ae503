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
// Each slot carries a sequence word naming the position it last served and
// its state: being written, ready, or given up. Only producers write it in
// the common case: the processing thread frees slots by moving the head, so
// a producer's next lap finds the line as the processing thread left it,
// read but not written. Each claim also notes its thread in the slot. A
// slot whose producer never fills it is given up after a second, once its
// thread is gone (killed inside a hook) or the ring is full, so that waiting
// longer would lose other threads' events; a live thread that is only slow
// (descheduled, suspended by a debugger) keeps its slot. A given-up slot is
// counted as discarded and marked with a compare-and-swap that the late
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
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "cache_line.h"
#include "error_line.h"
#include "lock_order.h"
#include "prefetch.h"
#include "settings.h"

static_assert(sizeof(event_record) == 5 * sizeof(void *),
              "an event is a 32-bit type (padded to a word) and four words");

namespace {

enum slot_state : uint32_t { SLOT_WRITING = 1, SLOT_READY = 2, SLOT_GIVEN_UP = 3 };

struct event_slot {
    uint32_t sequence;
    uint32_t claim_note; // the last claim's thread and lap (note_of)
    event_record event;
    call_stack stack; // the event's stack; its addresses are this slot's frames
};
// With 32-bit addresses a slot and the default seven frames fill one line.
static_assert(sizeof(void *) != 4 || sizeof(event_slot) + 7 * sizeof(void *) <= 64, "a slot of depth 7 is one line");

// Positions count claims modulo _position_limit, a multiple of the slot
// count of at least two laps, so position % _buffer_size is the slot and a
// slot's next position is told from its present one.
// Each slot is followed by room for _frame_capacity frames, so that an
// event and its stack share a cache line or two, written by one producer
// and read by the processing thread in order.
// Slots start on cache lines and span whole lines, so that no two slots
// share one: a producer filling a slot never meets the processing thread
// reading its neighbour.
constexpr size_t _line = QUARROW_CACHE_LINE;
int32_t _requested_size = 16000; // by the option, until the slots for it exist
// How far ahead of its claim a producer fetches the slot it may fill next.
const uint32_t _prefetch_distance = 8;

// The ring's shape, set when it is made and then only read, by every claim:
// on a line of its own, which no write of another thread takes away.
struct alignas(_line) ring_shape {
    unsigned char *ring;
    size_t slot_stride;
    uint32_t frame_capacity;
    int32_t size;
    uint32_t position_limit;
    uint32_t size_reciprocal; // 2^32 / size, rounded down: a claim divides without a divide
    uint32_t wake_threshold;  // an eighth of the ring, at least 1
    uint32_t yield_threshold; // three quarters of the ring
    bool prefetch_ahead;      // whether the ring is large enough to fetch slots ahead of claims
    bool wait_for_room;
};
ring_shape _shape = {nullptr, 0, 0, 0, 0, 0, 1, 1, false, false};

// Each written by its own party, on its own line: producers meet on the
// tail, the processing thread alone moves the head and says whether it
// naps, producers count what they drop and whether they wait for room.
struct alignas(_line) claim_line {
    uint32_t tail;
};
struct alignas(_line) take_line {
    uint32_t head;
    uint32_t head_index; // the head's slot: no division per event
};
struct alignas(_line) counter_line {
    uint32_t maximum_pending_events;
    uint32_t discarded_events;
};
struct alignas(_line) consumer_line {
    int state; // a consumer_state
};
struct alignas(_line) waiting_line {
    int32_t producers;
};
claim_line _claims = {0};
take_line _taken = {0, 0};
counter_line _counters = {0, 0};
consumer_line _consumer = {0};
waiting_line _waiting = {0};

// _event_mutex guards the waits: the processing thread's on _event_condition,
// the producers' on _room_condition. Its place in the lock order:
// lock_order.h.
QUARROW_OWN_LINE pthread_mutex_t _event_mutex = PTHREAD_MUTEX_INITIALIZER;
QUARROW_OWN_LINE pthread_cond_t _event_condition = PTHREAD_COND_INITIALIZER;
QUARROW_OWN_LINE pthread_cond_t _room_condition = PTHREAD_COND_INITIALIZER;

// A dozing processing thread wakes by itself within _doze_milliseconds, so
// a lone event is handled within that time; producers wake it earlier once
// the wake threshold of events are pending, long before the ring can fill. Only a
// doze that brought nothing turns into a sleep that the next event ends.
enum consumer_state { CONSUMER_RUNNING, CONSUMER_DOZING, CONSUMER_SLEEPING };
const long _doze_milliseconds = 10;

// With "QUARROW_FULL_BUFFER=wait" a producer that finds the ring full waits
// for room, at most _room_wait_milliseconds per event, then drops and counts
// it as in the default mode. The bound rules out a deadlock: a producer may
// hold a lock the processing thread needs (the loader's, while the
// symboliser runs dladdr).
const long _room_wait_milliseconds = 100;

// A claimed slot not filled within this long is given up if it is lost
// (see above). A claim spans at most one heap call, so only a dead, stopped
// or starved thread comes near it.
const long _abandon_milliseconds = 1000;
bool _abandon_reported = false;

// The kernel's identifier of the calling thread, asked for once. A forked
// child's thread keeps its parent's, but makes no claims: the child is not
// tracked.
__thread pid_t _thread_id __attribute__((tls_model("initial-exec")));
inline pid_t this_thread_id() {
    if (__builtin_expect(_thread_id == 0, 0))
        _thread_id = gettid();
    return _thread_id;
}

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

// position % the slot count: the estimate from the reciprocal is at most one
// too small for positions below 2^30, so one subtraction corrects it.
inline uint32_t reciprocal_of(uint32_t size) { return (uint32_t)(((uint64_t)1 << 32) / size - (size == 1)); }
inline uint32_t remainder_by(uint32_t position, uint32_t size, uint32_t reciprocal) {
    uint32_t quotient = (uint32_t)(((uint64_t)position * reciprocal) >> 32);
    uint32_t index = position - quotient * size;
    return index >= size ? index - size : index;
}
inline uint32_t slot_index(uint32_t position) {
    return remainder_by(position, (uint32_t)_shape.size, _shape.size_reciprocal);
}
inline event_slot *slot_of(uint32_t index) { return (event_slot *)(_shape.ring + (size_t)index * _shape.slot_stride); }
inline void **frames_of(event_slot *slot) { return (void **)(slot + 1); }
// Every line of a slot: with 64-bit addresses a slot of the default depth
// spans two, and the second, its frames, was missed as often as the first.
inline void fetch_slot_lines(const event_slot *slot, bool for_write) {
    const unsigned char *line = (const unsigned char *)slot, *end = line + _shape.slot_stride;
    for (; line < end; line += _line) {
        if (for_write)
            prefetch_for_write(line);
        else
            prefetch_for_read(line);
    }
}
inline uint32_t next_position(uint32_t position, uint32_t steps) {
    uint32_t next = position + steps; // both below 2^30: no overflow
    return next >= _shape.position_limit ? next - _shape.position_limit : next;
}
inline uint32_t distance(uint32_t from, uint32_t to) {
    return to >= from ? to - from : to + _shape.position_limit - from;
}

// The lap of the position and the state. The lap is position - index, a
// multiple of the slot count below 2^30.
inline uint32_t sequence_of(uint32_t position, uint32_t index, slot_state state) {
    return ((position - index) << 2) | state;
}
inline uint32_t next_index(uint32_t index, uint32_t steps) {
    uint32_t next = index + steps;
    return next >= (uint32_t)_shape.size ? next - (uint32_t)_shape.size : next;
}
// The slot's previous position, one lap back.
inline uint32_t previous_lap(uint32_t position) {
    uint32_t size = (uint32_t)_shape.size;
    return position >= size ? position - size : position + _shape.position_limit - size;
}
// A claim's note: its thread in the high 22 bits (thread identifiers stay
// below 2^22) and its lap's low 10, so a note left by the slot's previous
// lap is never taken for the present claim's. The lap is the position over
// the slot count: position - index is an exact multiple of it, so rounding
// the product with the reciprocal, short by less than a quarter, gives it.
inline uint32_t lap_of(uint32_t position, uint32_t index, uint32_t reciprocal) {
    return (uint32_t)(((uint64_t)(position - index) * reciprocal + (1u << 31)) >> 32);
}
inline uint32_t note_of(pid_t thread, uint32_t position, uint32_t index) {
    return ((uint32_t)thread << 10) | (lap_of(position, index, _shape.size_reciprocal) & 1023u);
}
inline pid_t noted_thread(uint32_t note) { return (pid_t)(note >> 10); }

// Whether a slot's sequence leaves it free for the position: its previous
// position was taken or given up. The position limit is at least four laps,
// so no later lap can look like the previous one.
inline bool free_for(uint32_t sequence, uint32_t position, uint32_t index) {
    uint32_t previous = previous_lap(position);
    return sequence == sequence_of(previous, index, SLOT_READY) ||
           sequence == sequence_of(previous, index, SLOT_GIVEN_UP);
}

inline uint32_t pending_at(uint32_t tail) { return distance(load_acquire(&_taken.head), tail); }

void note_pending(uint32_t pending) {
    uint32_t seen = __atomic_load_n(&_counters.maximum_pending_events, __ATOMIC_RELAXED);
    while (pending > seen && !__atomic_compare_exchange_n(&_counters.maximum_pending_events, &seen, pending, true,
                                                          __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

// One position claimed, if the ring has room for it. The ticket also keeps
// what the fill needs to know of the processing thread, read here right
// after the claim, so the fill reads no shared line but its slot's.
bool try_claim(event_ticket *ticket) {
    // Asked for owned: a plain read would fetch the line shared from the
    // last claimant's processor, and the compare-and-swap then fetch it again.
    prefetch_for_write(&_claims.tail);
    uint32_t tail = __atomic_load_n(&_claims.tail, __ATOMIC_RELAXED);
    for (;;) {
        // The head is read after the tail: a full ring seen here was full at
        // that moment, since the head only moves on.
        uint32_t pending = pending_at(tail);
        if (pending >= (uint32_t)_shape.size)
            return false;
        if (__atomic_compare_exchange_n(&_claims.tail, &tail, next_position(tail, 1), true, __ATOMIC_SEQ_CST,
                                        __ATOMIC_RELAXED)) {
            // After the claim in the single order of sequentially consistent
            // operations: a processing thread that publishes its doze or
            // sleep after this load sees the claim (nap_or_sleep).
            ticket->consumer_state = __atomic_load_n(&_consumer.state, __ATOMIC_SEQ_CST);
            ticket->position = tail;
            ticket->index = slot_index(tail);
            __atomic_store_n(&slot_of(ticket->index)->claim_note, note_of(this_thread_id(), tail, ticket->index),
                             __ATOMIC_RELAXED);
            ticket->pending = pending + 1;
            note_pending(pending + 1);
            // The slot this thread is likely to fill next, so its fill does not wait for its lines.
            if (_shape.prefetch_ahead)
                fetch_slot_lines(slot_of(next_index(ticket->index, _prefetch_distance)), true);
            return true;
        }
    }
}

// With _event_mutex held: waits for room until the deadline.
void wait_for_room_until(const struct timespec *deadline) {
    __atomic_add_fetch(&_waiting.producers, 1, __ATOMIC_SEQ_CST);
    while (pending_at(__atomic_load_n(&_claims.tail, __ATOMIC_SEQ_CST)) >= (uint32_t)_shape.size) {
        if (pthread_cond_clockwait(&_room_condition, &_event_mutex, CLOCK_MONOTONIC, deadline) == ETIMEDOUT)
            break;
    }
    __atomic_sub_fetch(&_waiting.producers, 1, __ATOMIC_SEQ_CST);
}

void wake_consumer(uint32_t pending) {
    event_buffer_lock();
    int state = __atomic_load_n(&_consumer.state, __ATOMIC_RELAXED);
    if (state == CONSUMER_SLEEPING || (state == CONSUMER_DOZING && pending >= _shape.wake_threshold))
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

bool event_claim(event_ticket *ticket) {
    if (_shape.ring == nullptr)
        return false;
    if (try_claim(ticket))
        return true;
    if (__atomic_load_n(&_shape.wait_for_room, __ATOMIC_RELAXED)) {
        // The deadline is taken only here: the common case reads no clock.
        struct timespec deadline = deadline_after(_room_wait_milliseconds);
        do {
            event_buffer_lock();
            wait_for_room_until(&deadline);
            event_buffer_unlock();
            if (try_claim(ticket))
                return true;
        } while (!passed(&deadline));
    }
    __atomic_add_fetch(&_counters.discarded_events, 1, __ATOMIC_RELAXED);
    return false;
}

bool event_fill(const event_ticket *ticket, const event_record *event, void *const *frames, uint32_t count) {
    uint32_t position = ticket->position, index = ticket->index;
    event_slot *slot = slot_of(index);
    // Lost only when the slot was given up on this claim: already counted.
    uint32_t expected = __atomic_load_n(&slot->sequence, __ATOMIC_RELAXED);
    if (!free_for(expected, position, index) ||
        !__atomic_compare_exchange_n(&slot->sequence, &expected, sequence_of(position, index, SLOT_WRITING), false,
                                     __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return false;
    if (count > _shape.frame_capacity) // only a stack handed in from outside can be deeper; keep its innermost frames
        count = _shape.frame_capacity;
    void **kept = frames_of(slot);
    for (uint32_t i = 0; i < count; i++) // a handful of words: no call to memcpy
        kept[i] = frames[i];
    slot->event = *event;
    slot->stack.frame_count = count;
    slot->stack.return_addresses = kept;
    if (call_stack **word = event_stack_word(&slot->event))
        *word = &slot->stack;
    __atomic_store_n(&slot->sequence, sequence_of(position, index, SLOT_READY), __ATOMIC_RELEASE);
    // A dozing thread is woken only once enough has gathered; the test
    // comes before the lock, so no event pays for the lock alone. The
    // state was read at the claim: one that dozed or slept after that saw
    // the claim and stays within a doze of it (nap_or_sleep).
    int state = ticket->consumer_state;
    uint32_t pending = ticket->pending;
    if (state == CONSUMER_SLEEPING || (state == CONSUMER_DOZING && pending >= _shape.wake_threshold))
        wake_consumer(pending);
    // A ring three quarters full means the processing thread is short of
    // processor time: this thread lets it run, if it waits for one. Only
    // after the fill, so the processing thread never waits on this slot.
    if (pending >= _shape.yield_threshold)
        sched_yield();
    return true;
}

namespace {

bool ready(uint32_t position, uint32_t index) {
    return load_acquire(&slot_of(index)->sequence) == sequence_of(position, index, SLOT_READY);
}

// The number of ready slots from the head, at most `room`, knowing that the
// first `known` are ready. Only claimed slots are looked at: the slot at the
// tail is the one a producer is about to fill, and a look would take its
// line away from it.
uint32_t ready_run_from(uint32_t known, uint32_t room) {
    uint32_t claimed = distance(_taken.head, load_acquire(&_claims.tail));
    if (room > claimed)
        room = claimed;
    uint32_t run = known;
    for (uint32_t position = next_position(_taken.head, known), index = next_index(_taken.head_index, known);
         run < room && ready(position, index); position = next_position(position, 1), index = next_index(index, 1))
        run++;
    return run;
}

uint32_t ready_run(uint32_t room) { return ready_run_from(0, room); }

// Whether the claim at the head, unfilled past the deadline, can no longer
// be waited for: its thread has ended, or the ring is full and every other
// event would be dropped or held up behind it. A claim whose thread has not
// yet noted itself counts as live.
bool head_claim_lost() {
    uint32_t note = __atomic_load_n(&slot_of(_taken.head_index)->claim_note, __ATOMIC_RELAXED);
    pid_t claimant = noted_thread(note);
    if (note == note_of(claimant, _taken.head, _taken.head_index) && claimant > 0 &&
        syscall(SYS_tgkill, getpid(), claimant, 0) != 0 && errno == ESRCH)
        return true;
    return pending_at(__atomic_load_n(&_claims.tail, __ATOMIC_ACQUIRE)) >= (uint32_t)_shape.size;
}

// The slot at the head claimed long ago and never filled: taken back, so
// processing goes on. False when its producer got there first.
bool give_up_head() {
    uint32_t head = _taken.head;
    uint32_t *sequence = &slot_of(_taken.head_index)->sequence;
    uint32_t expected = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
    if (!free_for(expected, head, _taken.head_index) ||
        !__atomic_compare_exchange_n(sequence, &expected, sequence_of(head, _taken.head_index, SLOT_GIVEN_UP), false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
        return false;
    __atomic_add_fetch(&_counters.discarded_events, 1, __ATOMIC_RELAXED);
    _taken.head_index = next_index(_taken.head_index, 1);
    __atomic_store_n(&_taken.head, next_position(head, 1), __ATOMIC_SEQ_CST);
    if (!_abandon_reported) {
        _abandon_reported = true;
        QUARROW_ERROR_FORMAT("An event claimed by a thread was not filled within %ld ms; counted as discarded.",
                             _abandon_milliseconds);
    }
    return true;
}

// With _event_mutex held: one nap of `microseconds`, or a sleep, unless
// the slot at `until` (a position, its index `until_index`) turns ready as
// the state is published. True when the nap ran out with the ring empty.
// A producer reads the state right after its claim: one that read it
// before this store made a claim that the load of the tail below sees, so
// this thread naps instead of sleeping and looks again within a nap.
bool nap_or_sleep(bool sleep, long microseconds, uint32_t until, uint32_t until_index) {
    __atomic_store_n(&_consumer.state, sleep ? CONSUMER_SLEEPING : CONSUMER_DOZING, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&_claims.tail, __ATOMIC_SEQ_CST) != _taken.head)
        sleep = false;
    bool timed_out = false;
    if (!ready(until, until_index)) {
        if (sleep) {
            pthread_cond_wait(&_event_condition, &_event_mutex);
        } else {
            struct timespec deadline = deadline_after_microseconds(microseconds);
            timed_out =
                pthread_cond_clockwait(&_event_condition, &_event_mutex, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT;
        }
    }
    __atomic_store_n(&_consumer.state, CONSUMER_RUNNING, __ATOMIC_RELAXED);
    return timed_out && __atomic_load_n(&_claims.tail, __ATOMIC_ACQUIRE) == _taken.head;
}

} // namespace

// While a batch gathers, the processing thread looks only at the batch's
// last slot, a line no producer is writing yet, so its looks cost them
// nothing. Between looks it sleeps for a few microseconds, which also gives
// the processor to a producer that wants it. It used to yield instead: on a
// processor of its own a yield returns at once, and that thread, looking
// and yielding flat out, slowed a tracked thread on the other processor by
// about a tenth (the two may share a core of the host); spinning with pause
// between looks was slower still. A sleep this short keeps the processor
// awake where idle polls first, as it does on KVM guests; a halted virtual
// processor can take longer to wake than the ring takes to fill. After
// _gather_microseconds it takes what is ready. Only a ring that stays
// empty sends it to nap: the first naps are short, later ones double while
// nothing comes, up to the doze; a doze that found the ring empty becomes a
// sleep.
const long _gather_microseconds = 50;
const long _look_interval_nanoseconds = 3000;
const long _first_nap_microseconds = 50;

uint32_t event_buffer_wait(uint32_t room) {
    if (room > (uint32_t)_shape.size) // a batch never wraps onto itself: its last slot is in the ring
        room = (uint32_t)_shape.size;
    uint32_t run = ready_run(room);
    if (run == room)
        return run;
    uint32_t last = next_position(_taken.head, room - 1), last_index = next_index(_taken.head_index, room - 1);
    struct timespec gather_until = deadline_after_microseconds(_gather_microseconds);
    while (!ready(last, last_index) && !passed(&gather_until)) {
        struct timespec look_interval = {0, _look_interval_nanoseconds};
        nanosleep(&look_interval, nullptr);
    }
    run = ready_run_from(run, room);
    if (run > 0)
        return run;
    long nap = _first_nap_microseconds;
    bool idle = false;
    struct timespec give_up = deadline_after(_abandon_milliseconds);
    for (;;) {
        event_buffer_lock();
        bool empty = nap_or_sleep(idle, nap, _taken.head, _taken.head_index);
        event_buffer_unlock();
        run = ready_run(room);
        if (run > 0)
            return run;
        idle = false;
        if (__atomic_load_n(&_claims.tail, __ATOMIC_ACQUIRE) == _taken.head) {
            give_up = deadline_after(_abandon_milliseconds);
            idle = empty && nap >= _doze_milliseconds * 1000;
            nap = nap * 2 < _doze_milliseconds * 1000 ? nap * 2 : _doze_milliseconds * 1000;
        } else if (passed(&give_up)) { // a claim at the head, unfilled for long
            if (head_claim_lost()) {
                give_up_head();
                give_up = deadline_after(_abandon_milliseconds);
                nap = _first_nap_microseconds;
            } else { // its thread lives: look now and then; its fill or a full wake-up threshold ends the nap
                nap = nap * 2 < _doze_milliseconds * 1000 ? nap * 2 : _doze_milliseconds * 1000;
            }
        }
    }
}

uint32_t event_buffer_ready(uint32_t room) { return _shape.ring == nullptr ? 0 : ready_run(room); }

event_record *event_buffer_event(uint32_t offset) { return &slot_of(next_index(_taken.head_index, offset))->event; }

void event_buffer_prefetch(uint32_t offset) { fetch_slot_lines(slot_of(next_index(_taken.head_index, offset)), false); }

// The slots are not written: a claim's room check against the head is what
// frees them (free_for).
void event_buffer_release(uint32_t count) {
    _taken.head_index = next_index(_taken.head_index, count);
    // Against a waiting producer's count and check of the head (wait_for_room_until).
    __atomic_store_n(&_taken.head, next_position(_taken.head, count), __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&_waiting.producers, __ATOMIC_SEQ_CST) > 0) {
        event_buffer_lock();
        pthread_cond_broadcast(&_room_condition);
        event_buffer_unlock();
    }
}

void event_buffer_wait_when_full(bool wait) { __atomic_store_n(&_shape.wait_for_room, wait, __ATOMIC_RELAXED); }

int event_buffer_configure(config_option **options) {
    // Set only once it is judged usable: a refused size leaves the ring as it was.
    int32_t size = 16000;
    config_option *option = find_option(options, "buffers");
    if (option != nullptr) {
        size = option_int(option->value);
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

namespace {

// Every slot free for its first position: as if the lap before had been taken.
void mark_slots_free() {
    for (uint32_t index = 0; index < (uint32_t)_shape.size; index++) {
        slot_of(index)->sequence = sequence_of(previous_lap(index), index, SLOT_READY);
        slot_of(index)->claim_note = 0; // no thread: never taken for a claimant's
    }
}

} // namespace

int event_buffer_allocate(int32_t depth) {
    uint32_t capacity = depth < 1 ? 1 : depth > QUARROW_MAX_STACK_DEPTH ? QUARROW_MAX_STACK_DEPTH : (uint32_t)depth;
    size_t stride = (sizeof(event_slot) + capacity * sizeof(void *) + _line - 1) & ~(_line - 1);
    if ((size_t)_requested_size > (size_t)-1 / stride) {
        QUARROW_ERROR_FORMAT("Could not allocate buffer of %d elements", _requested_size);
        return 2;
    }
    unsigned char *ring = (unsigned char *)dlmemalign(_line, (size_t)_requested_size * stride);
    if (ring == nullptr) {
        QUARROW_ERROR_FORMAT("Could not allocate buffer of %d elements", _requested_size);
        return 2;
    }
    memset(ring, 0, (size_t)_requested_size * stride);
    dlfree(_shape.ring);
    _shape.ring = ring;
    _shape.size = _requested_size;
    _shape.slot_stride = stride;
    _shape.frame_capacity = capacity;
    // At least four laps (the size is at most 2^28), so free_for never
    // mistakes a later lap for the previous one.
    _shape.position_limit = (uint32_t)_shape.size * ((1u << 30) / (uint32_t)_requested_size);
    _shape.size_reciprocal = reciprocal_of((uint32_t)_shape.size);
    // In a tiny ring the slot ahead may still be waiting to be taken.
    _shape.prefetch_ahead = _shape.size > 2 * (int32_t)_prefetch_distance;
    prefetch_configure();
    _taken.head = _claims.tail = _taken.head_index = 0;
    mark_slots_free();
    // Late enough that a busy process pays one wake-up per thousands of
    // events, early enough that the ring never fills while the thread dozes.
    _shape.wake_threshold = (uint32_t)_shape.size / 8;
    if (_shape.wake_threshold < 1)
        _shape.wake_threshold = 1;
    _shape.yield_threshold = (uint32_t)_shape.size - (uint32_t)_shape.size / 4;
    if (_shape.yield_threshold < 2)
        _shape.yield_threshold = 2; // never for the tiniest rings, where every event would yield
    return 0;
}

bool event_buffer_drained(void) {
    return _shape.ring == nullptr || __atomic_load_n(&_claims.tail, __ATOMIC_ACQUIRE) == load_acquire(&_taken.head);
}

void event_buffer_take_counters(uint32_t *maximum_pending, uint32_t *discarded) {
    *maximum_pending = __atomic_exchange_n(&_counters.maximum_pending_events, 0, __ATOMIC_RELAXED);
    *discarded = __atomic_exchange_n(&_counters.discarded_events, 0, __ATOMIC_RELAXED);
}

#if QUARROW_TEST_SEAMS
void event_buffer_reset(void) {
    _taken.head = _claims.tail = _taken.head_index = 0;
    _counters.maximum_pending_events = _counters.discarded_events = 0;
    _shape.wait_for_room = false;
    _abandon_reported = false;
    if (_shape.ring != nullptr) {
        memset(_shape.ring, 0, (size_t)_shape.size * _shape.slot_stride);
        mark_slots_free();
    }
}

uint32_t event_buffer_slot_index(uint32_t position, uint32_t size) {
    return remainder_by(position, size, reciprocal_of(size));
}

uint32_t event_buffer_slot_lap(uint32_t position, uint32_t size) {
    uint32_t reciprocal = reciprocal_of(size);
    return lap_of(position, remainder_by(position, size, reciprocal), reciprocal);
}

int32_t event_buffer_waiting_producers(void) { return __atomic_load_n(&_waiting.producers, __ATOMIC_SEQ_CST); }
#endif
