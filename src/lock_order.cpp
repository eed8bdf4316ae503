// The lock-order checker of debug builds: a per-thread record of the locks
// held, tested at every take. The order itself is written in lock_order.h.
#include "lock_order.h"

#include <stdlib.h>
#include <string.h>

#include "messages.h"

#if QUARROW_DEBUG >= 1

// One bit per lock_id. Initial-exec: the heap lock is recorded here, and a
// dynamic TLS access could itself allocate.
static __thread unsigned _held __attribute__((tls_model("initial-exec")));

static const char *const _names[LOCK_ID_COUNT] = {"report", "caller table", "debug log", "memop",
                                                  "event",  "heap",         "global"};

static size_t _append(char *line, size_t length, size_t room, const char *text) {
    size_t size = strlen(text);
    if (size > room - length)
        size = room - length;
    memcpy(line + length, text, size);
    return length + size;
}

// Built by hand and written with one write: this may run inside the heap,
// where formatting that allocates would take the heap lock again.
[[noreturn]] static void _broken(lock_id taking, lock_id holding) {
    char line[160];
    size_t length = _append(line, 0, sizeof line, "QUARROW ERROR: lock order broken: taking the ");
    length = _append(line, length, sizeof line, _names[taking]);
    length = _append(line, length, sizeof line, " lock while holding the ");
    length = _append(line, length, sizeof line, _names[holding]);
    length = _append(line, length, sizeof line, " lock\n");
    quarrow_write_line(line, length);
    abort();
}

void lock_order_take(lock_id id) {
    unsigned same_or_later = _held & ~((1u << id) - 1);
    if (same_or_later != 0)
        _broken(id, (lock_id)(31 - __builtin_clz(same_or_later))); // the innermost one held
    _held |= 1u << id;
}

void lock_order_release(lock_id id) { _held &= ~(1u << id); }

unsigned lock_order_held(void) { return _held; }

const char *lock_order_name(lock_id id) { return (unsigned)id < LOCK_ID_COUNT ? _names[id] : "unknown"; }

#endif
