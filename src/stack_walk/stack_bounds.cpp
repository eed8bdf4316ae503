// Stack bounds per thread, learnt from the process's mappings. Asking the
// threads library instead would allocate (its attribute query does, and for
// the main thread it reads the mappings through stdio), and a capture runs
// inside the allocation hooks.
#include "stack_walk/stack_walk_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "error_line.h"

static const char _source_file[] = "src/stack_bounds.cpp";

namespace {

// A thread normally needs one slot; the others serve a grown main stack, a
// signal stack or coroutine stacks that a thread switches between.
constexpr unsigned kRegionSlots = 4;

__thread stack_region _known[kRegionSlots] __attribute__((tls_model("initial-exec")));
__thread unsigned _next_slot __attribute__((tls_model("initial-exec")));

// Set once the mappings could not be read: every later capture would fail
// the same way, so it is reported once and not tried again.
int _mappings_unreadable;

// One line of the mappings at a time, as its bytes arrive: only the range
// and the read permission matter, so lines of any length parse in a small
// buffer.
struct mapping_scanner {
    enum { START, END, PERMISSIONS, REST } field = START;
    uintptr_t start = 0, end = 0;
    unsigned digits = 0;
    bool readable = false, malformed = false;

    static int hex_value(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    }

    bool add_digit(uintptr_t *value, char c) {
        int digit = hex_value(c);
        if (digit < 0 || ++digits > 2 * sizeof(uintptr_t))
            return false;
        *value = *value << 4 | (uintptr_t)digit;
        return true;
    }

    // Feeds one byte; true at the end of a line, whose fields are then set.
    bool feed(char c) {
        if (c == '\n') {
            malformed |= field != REST;
            return true;
        }
        switch (field) {
        case START:
            if (c == '-' && digits > 0) {
                field = END;
                digits = 0;
            } else if (!add_digit(&start, c)) {
                malformed = true;
                field = REST;
            }
            break;
        case END:
            if (c == ' ' && digits > 0) {
                field = PERMISSIONS;
            } else if (!add_digit(&end, c)) {
                malformed = true;
                field = REST;
            }
            break;
        case PERMISSIONS:
            readable = c == 'r';
            field = REST;
            break;
        case REST:
            break;
        }
        return false;
    }

    void next_line() { *this = mapping_scanner(); }
};

enum mapping_lookup { MAPPING_FOUND, MAPPING_NOT_FOUND, MAPPINGS_UNREADABLE };

// Plain system calls: no allocation, and none of them is a cancellation point.
mapping_lookup _read_mapping_of(uintptr_t address, stack_region *region) {
    int fd = (int)syscall(SYS_openat, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return MAPPINGS_UNREADABLE;
    char buffer[512];
    mapping_scanner line;
    bool found = false, done = false;
    while (!done) {
        long got = syscall(SYS_read, fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        for (long i = 0; i < got && !done; ++i) {
            if (!line.feed(buffer[i]))
                continue;
            if (!line.malformed && line.start <= address && address < line.end) {
                found = line.readable;
                region->low = line.start;
                region->high = line.end;
                done = true;
            } else if (!line.malformed && line.start > address) {
                done = true; // the lines are in address order
            }
            line.next_line();
        }
    }
    syscall(SYS_close, fd);
    return found ? MAPPING_FOUND : MAPPING_NOT_FOUND;
}

} // namespace

__thread stack_region _current_stack_region __attribute__((tls_model("initial-exec")));

bool find_stack_region_slowly(uintptr_t address, stack_region *region) {
    for (unsigned i = 0; i < kRegionSlots; ++i) {
        if (stack_region_holds(_known[i], address, 1)) {
            *region = _current_stack_region = _known[i];
            return true;
        }
    }
    if (__atomic_load_n(&_mappings_unreadable, __ATOMIC_RELAXED))
        return false;
    int saved_errno = errno;
    stack_region found;
    mapping_lookup lookup = _read_mapping_of(address, &found);
    errno = saved_errno;
    if (lookup == MAPPINGS_UNREADABLE && __atomic_exchange_n(&_mappings_unreadable, 1, __ATOMIC_RELAXED) == 0)
        QUARROW_ERROR_LINE(
            "Couldn't read /proc/self/maps to bound stack walks; stacks keep their innermost frame only");
    if (lookup != MAPPING_FOUND)
        return false;
    // A main stack that grew keeps its top: its slot is replaced, not added.
    unsigned slot = _next_slot;
    for (unsigned i = 0; i < kRegionSlots; ++i)
        if (_known[i].high == found.high)
            slot = i;
    if (slot == _next_slot)
        _next_slot = (_next_slot + 1) % kRegionSlots;
    _known[slot] = found;
    *region = _current_stack_region = found;
    return true;
}
