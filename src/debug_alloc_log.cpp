// The debug allocation log: heap calls that also log one line per call site.
#include "debug_alloc_log.h"

#include <pthread.h>
#include <string.h>

#include "lock_order.h"
#include "private_heap/private_heap.h"
#include "string_util.h"

// Null at load and never set by the shipped library: every line is skipped.
static FILE *_log_file = nullptr;
// One line at a time; never held across a heap call of its own, though the
// log's stdio may allocate. Its place in the lock order: lock_order.h.
static pthread_mutex_t _file_lock = PTHREAD_MUTEX_INITIALIZER;

static void _take_file_lock() {
    lock_taking(LOCK_DEBUG_LOG);
    pthread_mutex_lock(&_file_lock);
}
static void _release_file_lock() {
    pthread_mutex_unlock(&_file_lock);
    lock_released(LOCK_DEBUG_LOG);
}

static void _print_allocation(size_t size, void *mem, const char *file, int line) {
    _take_file_lock();
    if (_log_file != nullptr)
        fprintf(_log_file, "MALLOC|%lu|%s|%d|%p\n", (unsigned long)size, file, line, mem);
    _release_file_lock();
}

static void _print_free(void *mem, const char *file, int line) {
    _take_file_lock();
    if (_log_file != nullptr)
        fprintf(_log_file, "FREE|%p|%s|%d\n", mem, file, line);
    _release_file_lock();
}

extern "C" {

void *pf_debug_malloc(size_t size, const char *file, int line) {
    void *mem = dlmalloc(size);
    if (mem != nullptr)
        _print_allocation(size, mem, file, line);
    return mem;
}

void pf_debug_free(void *mem, const char *file, int line) {
    dlfree(mem);
    _print_free(mem, file, line);
}

void *pf_debug_calloc(size_t count, size_t size, const char *file, int line) {
    void *mem = dlcalloc(count, size);
    if (mem != nullptr) // the heap refused an overflowing product
        _print_allocation(count * size, mem, file, line);
    return mem;
}

void *pf_debug_realloc(void *mem, size_t size, const char *file, int line) {
    void *moved = dlrealloc(mem, size);
    if (moved != nullptr) {
        _print_free(mem, file, line);
        _print_allocation(size, moved, file, line);
    }
    return moved;
}

void *pf_debug_memalign(size_t alignment, size_t size, const char *file, int line) {
    void *mem = dlmemalign(alignment, size);
    if (mem != nullptr)
        _print_allocation(size, mem, file, line);
    return mem;
}

void *pf_debug_valloc(size_t size, const char *file, int line) {
    void *mem = dlvalloc(size);
    if (mem != nullptr)
        _print_allocation(size, mem, file, line);
    return mem;
}

char *pf_debug_strdup(const char *text, const char *file, int line) {
    char *copy = local_strdup(text);
    if (copy != nullptr) // a null text was copied as "", so its length is 0
        _print_allocation(strlen(copy), copy, file, line);
    return copy;
}

int configure_internal_memory_debugging(void) { return 0; }

#if QUARROW_TEST_SEAMS
void debug_alloc_log_set_stream(FILE *stream) {
    _take_file_lock();
    _log_file = stream;
    _release_file_lock();
}
#endif

} // extern "C"
