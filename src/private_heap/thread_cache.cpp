/*
 * Per-thread caches in front of the private heap, for the hooks only.
 *
 * Every heap request of the host passes through the hooks, and the heap has
 * one lock for all threads. A thread keeps small blocks it freed and hands
 * them out again without the lock; the lock is taken once per batch when a
 * class runs dry or fills up. The dl functions never look at a cache: a
 * direct call behaves as if no cache existed.
 *
 * Classes: one per chunk size from the smallest chunk to 512 bytes, one
 * alignment step apart (on i386 63 classes from 16 bytes in steps of 8,
 * requests up to 508 bytes; on x86_64 31 from 32 in steps of 16, requests up
 * to 504), then four per doubling up to 8 KiB and one of 10 KiB (17 classes,
 * 640 to 10240 bytes, multiples of 128 and so chunk sizes in both builds).
 * The same byte ranges in both builds: every chunk size the heap makes up
 * to 512 has a class of its own either way. Above 512 bytes a cached
 * malloc rounds its chunk up to the size of its class, at most a quarter
 * more, so every block of a class serves every request of it; blocks of
 * other sizes there (from realloc, memalign or the dl functions) are not
 * cached. Without those classes a thread that works with a few KiB at a
 * time took the heap lock for each of them, and two such threads spent most
 * of their time waiting for each other. A cached block keeps its chunk
 * whole, so usable size, in-place realloc and the heap walker see an
 * ordinary chunk in use; a block from a memalign is cached by its chunk size
 * like any other, and only malloc requests are served from a cache.
 *
 * Bounds: at most 128 blocks per class and 512 KiB of chunks per thread,
 * counted by chunk size. Each miss and each return takes the heap lock and
 * moves the heap's lines between processors, which on a virtual machine
 * whose host places them far apart costs about a microsecond. At 32 blocks
 * and 256 KiB, hook_bench's mixed sizes on 2 threads (held back, x86_64)
 * still took the lock about 54,000 times per million steps of a thread and
 * ran at 60 ns a step with the processors near each other, 128 far apart,
 * against 52 on one thread; at these bounds, 55 near. 256 KiB was itself
 * about what the C library's own per-thread caches hold at worst (7 blocks
 * in each of 64 classes up to about 1 KiB: 228 KiB on i386, 235 KiB on
 * x86_64), and half of it missed on one malloc in eight. A VM with a
 * hundred busy threads holds back at most 50 MiB, and an idle thread holds
 * only what it freed itself. A free that would pass either bound first
 * returns half of its class (or, for the byte bound, half of each class from
 * the largest down to three quarters of the bound) to the heap under one
 * lock.
 * An exact class that is empty first borrows a cached block of the nearest
 * class at most a quarter larger (the rounded classes round up as far),
 * which keeps its own chunk and size. On hook_bench's mixed sizes (2
 * threads, held back) that cut the misses from 73,000 to 29,000 per million
 * steps of a thread, and the blocks sent back from 70,000 to 25,000: each of
 * those takes the lock and writes the heap's lines that both threads share.
 * A miss of an exact class then takes up to 4 blocks of it under one lock,
 * while the cache holds less than half its byte bound; a miss of a rounded
 * class takes one, as its blocks are few and large.
 *
 * Ours and not yet cached: a block enters a cache only if its chunk lies
 * wholly inside one of the heap's segments, as published under the heap
 * lock in a table read without it (a miss, a torn read or a segment beyond
 * the table's room sends the block to dlfree, which decides under the lock);
 * its header must say in use, not mapped on its own, no stray flag, and a
 * cacheable size. Foreign blocks lie outside every segment and never enter.
 * A cached block's second word holds a per-process key, planted by an atomic
 * compare-and-swap; a free that finds the key leaves the block alone, so a
 * double free, even two racing ones, plants no block twice. Heap headers are
 * written outside the lock only for the recorded mark (below): the heap
 * itself updates the in-use bit of a neighbour's header under it. The key is
 * odd, so no heap pointer stored in a freed chunk can equal it, and it is
 * wiped whenever a block leaves a cache; a live block whose program data
 * holds the key there is left alone on free (a leak of one block, about 1
 * in 2^32 on i386; the key is twice as wide on x86_64).
 *
 * Returning: a thread's cache goes back to the heap from its pthread key
 * destructor, which runs on return, pthread_exit and cancellation alike;
 * after it the thread uses the heap directly. dlmalloc_trim returns the
 * calling thread's cache and moves a global epoch on; any other thread
 * returns its own at its next hooked request. In a forked child the forking
 * thread's cache is returned; the caches of threads that do not exist there
 * stay out of the heap as blocks in use (the heap stays sound; at most the
 * byte bound per such thread is lost to the child).
 *
 * A realloc through the hooks of a block of a cached size keeps it when it
 * still fits and is no more than twice the new size; otherwise, when the
 * new size is one the caches serve, the block moves through the cache (a
 * cached malloc, a copy, a cached free), so a thread that grows its small
 * blocks takes no lock. Other sizes go to dlrealloc.
 *
 * A realloc through the hooks of a block that sits in a cache (a use after
 * free) copies it into a new block and leaves it where it is, as the heap
 * does with blocks it does not own: resizing it would hand the heap a chunk
 * the cache still holds. Returned blocks are checked
 * against the segments again under the lock: a heap reset after corruption
 * forgets them rather than taking them back.
 *
 * The recorded mark: the hooks set the spare flag bit of a block's header
 * once its allocation event is written, and take it off when the block is
 * freed or resized, so such a free is known to match its record and needs
 * no stack. Only the block's holder changes the bit, with atomic
 * operations; the heap's own update of the neighbouring in-use bit, a plain
 * write under the lock, can undo a change of the mark but never loses its
 * own. An undone mark costs a capture; an undone removal leaves a stray
 * flag, which keeps the block out of every cache, and the heap rewrites the
 * header when it takes the block. Mapped blocks, outside the segments, are
 * never marked.
 *
 * Start of a thread: its cache record comes from dlmalloc, and
 * pthread_setspecific may allocate (keys from 32 on). Meanwhile the thread
 * is marked as making its cache, and its requests go to the heap directly,
 * so no hook recursion reaches a half-made cache.
 */
#include "private_heap/private_heap_internal.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#include "cache_line.h"

namespace heap {

namespace {

constexpr unsigned EXACT_SHIFT = 9;
constexpr size_t MAX_EXACT_CHUNK = 1u << EXACT_SHIFT; // classes of one chunk size each up to here
constexpr unsigned NEXACT = (MAX_EXACT_CHUNK - MIN_CHUNK_SIZE) / MALLOC_ALIGNMENT + 1;
constexpr unsigned NROUNDED = 17;          // four per doubling from 512 to 8192, then 10240
constexpr size_t MAX_CACHED_CHUNK = 10240; // the last rounded class
constexpr unsigned NCLASSES = NEXACT + NROUNDED;
constexpr unsigned REFILL = 4; // blocks a miss of an exact class takes at most
constexpr unsigned MAX_PER_CLASS = 128;
constexpr size_t MAX_CACHED_BYTES = 512 * 1024;

struct cached_block {
    cached_block *next;
    size_t key; // the cache key while cached
};

struct QUARROW_OWN_LINE thread_cache {
    cached_block *head[NCLASSES];
    unsigned char count[NCLASSES];
    size_t bytes;
    unsigned epoch;
};
static_assert(sizeof(thread_cache) % QUARROW_CACHE_LINE == 0, "a cache fills whole lines");
static_assert(MAX_PER_CLASS <= (unsigned char)~0u, "a class's count fits its byte");

enum cache_state { NO_CACHE, MAKING, READY, CLOSED };

// Initial-exec: a dynamic TLS access could itself allocate.
__thread thread_cache *_cache __attribute__((tls_model("initial-exec")));
__thread int _state __attribute__((tls_model("initial-exec")));

pthread_key_t _key;
int _key_made;                      // set once the key exists; caches only then
QUARROW_OWN_LINE size_t _block_key; // odd: never a pointer the heap stores in a chunk
unsigned _flush_epoch;              // moved on by every trim

// The class whose chunk size is the smallest one of at least `chunk`
// (MIN_CHUNK_SIZE <= chunk <= MAX_CACHED_CHUNK), and a class's chunk size.
inline unsigned class_of(size_t chunk) {
    if (chunk <= MAX_EXACT_CHUNK)
        return (unsigned)((chunk - MIN_CHUNK_SIZE) / MALLOC_ALIGNMENT);
    // Shifts, not divisions: this runs on every free of such a block.
    unsigned doubling = 31 - (unsigned)__builtin_clz((unsigned)((chunk - 1) >> EXACT_SHIFT));
    return NEXACT + doubling * 4 +
           (unsigned)((chunk - 1 - (MAX_EXACT_CHUNK << doubling)) >> (EXACT_SHIFT - 2 + doubling));
}
inline size_t chunk_of(unsigned c) {
    if (c < NEXACT)
        return MIN_CHUNK_SIZE + (size_t)c * MALLOC_ALIGNMENT;
    unsigned doubling = (c - NEXACT) / 4;
    return (MAX_EXACT_CHUNK << doubling) + (((c - NEXACT) % 4 + 1) << (EXACT_SHIFT - 2 + doubling));
}

// The head of the nearest non-empty exact class above *c whose chunks are
// at most a quarter larger, *c set to it; null when there is none. Classes
// one alignment step apart run dry one at a time, seldom with their
// neighbours, and the heap also hands out a whole chunk of the next bin
// rather than cut it.
cached_block *_nearby_block(thread_cache *tc, unsigned *c) {
    size_t limit = chunk_of(*c) + chunk_of(*c) / 4;
    for (unsigned k = *c + 1; k < NEXACT && chunk_of(k) <= limit; ++k)
        if (tc->head[k] != nullptr) {
            *c = k;
            return tc->head[k];
        }
    return nullptr;
}

// Hands every block of class c beyond `keep` back to the heap; lock held.
void _return_class_locked(malloc_state *m, thread_cache *tc, unsigned c, unsigned keep) {
    while (tc->count[c] > keep) {
        cached_block *b = tc->head[c];
        tc->head[c] = b->next;
        --tc->count[c];
        tc->bytes -= chunk_of(c);
        // The key must not outlive the caching: memory the heap merges
        // keeps whatever it held, and would come back looking cached.
        b->key = 0;
        mchunkptr p = mem2chunk(b);
        // A reset after corruption may have forgotten the segment.
        if (_owns_chunk(m, p))
            free_locked(m, p);
    }
}

void _return_all(thread_cache *tc) {
    if (tc->bytes == 0)
        return;
    heap_lock(&_gm_);
    for (unsigned c = 0; c < NCLASSES; ++c)
        _return_class_locked(&_gm_, tc, c, 0);
    _debug_walk(&_gm_);
    heap_unlock(&_gm_);
}

void _destroy_cache(void *) {
    thread_cache *tc = _cache;
    _state = CLOSED;
    _cache = nullptr;
    if (tc == nullptr)
        return;
    _return_all(tc);
    dlfree(tc);
}

thread_cache *_own_cache_errno_changing();

// Makes the calling thread's cache, or catches up with a trim; null to go
// direct. Kept out of line: the common case is one test in _own_cache.
// errno stays as it was: a free through the cache must not change it.
__attribute__((noinline)) thread_cache *_own_cache_slow() {
    int saved_errno = errno;
    thread_cache *tc = _own_cache_errno_changing();
    errno = saved_errno;
    return tc;
}

thread_cache *_own_cache_errno_changing() {
    if (_state == READY) {
        thread_cache *tc = _cache;
        _return_all(tc);
        tc->epoch = __atomic_load_n(&_flush_epoch, __ATOMIC_RELAXED);
        return tc;
    }
    if (_state != NO_CACHE || !__atomic_load_n(&_key_made, __ATOMIC_ACQUIRE))
        return nullptr;
    _state = MAKING;
    // A line of its own: another thread's cache written next to it would
    // bounce the line between the cores on every request of either.
    thread_cache *tc = (thread_cache *)dlmemalign(QUARROW_CACHE_LINE, sizeof(thread_cache));
    if (tc == nullptr) {
        _state = NO_CACHE; // try again later
        return nullptr;
    }
    memset(tc, 0, sizeof *tc);
    tc->epoch = __atomic_load_n(&_flush_epoch, __ATOMIC_RELAXED);
    if (pthread_setspecific(_key, tc) != 0) {
        dlfree(tc);
        _state = CLOSED; // without a destructor the cache would be lost
        return nullptr;
    }
    _cache = tc;
    _state = READY;
    return tc;
}

// The calling thread's cache, made on first use; null to go direct.
inline thread_cache *_own_cache() {
    thread_cache *tc = _cache;
    if (__builtin_expect(tc != nullptr && tc->epoch == __atomic_load_n(&_flush_epoch, __ATOMIC_RELAXED), 1))
        return tc;
    return _own_cache_slow();
}

// The segments as last published under the heap lock, for lock-free reads.
constexpr unsigned MAX_PUBLISHED = 16;
struct segment_table {
    unsigned seq; // odd while being written
    unsigned count;
    char *base[MAX_PUBLISHED];
    char *end[MAX_PUBLISHED];
};
QUARROW_OWN_LINE segment_table _segments;

// The end of the published segment that holds p; null when none does or
// the table is being written.
const char *_segment_end(const char *p) {
    unsigned seq = __atomic_load_n(&_segments.seq, __ATOMIC_ACQUIRE);
    if (seq & 1)
        return nullptr;
    const char *found = nullptr;
    unsigned n = __atomic_load_n(&_segments.count, __ATOMIC_RELAXED);
    for (unsigned i = 0; i < n && i < MAX_PUBLISHED; ++i) {
        const char *base = __atomic_load_n(&_segments.base[i], __ATOMIC_RELAXED);
        const char *end = __atomic_load_n(&_segments.end[i], __ATOMIC_RELAXED);
        if (p >= base && p < end) {
            found = end;
            break;
        }
    }
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return __atomic_load_n(&_segments.seq, __ATOMIC_RELAXED) == seq ? found : nullptr;
}

} // namespace

void publish_segments(malloc_state *m) {
    unsigned seq = _segments.seq;
    __atomic_store_n(&_segments.seq, seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    unsigned n = 0;
    for (msegmentptr sp = &m->seg; sp != nullptr && n < MAX_PUBLISHED; sp = sp->next) {
        if (sp->base == nullptr || sp->size == 0)
            continue;
        __atomic_store_n(&_segments.base[n], sp->base, __ATOMIC_RELAXED);
        __atomic_store_n(&_segments.end[n], sp->base + sp->size, __ATOMIC_RELAXED);
        ++n;
    }
    __atomic_store_n(&_segments.count, n, __ATOMIC_RELAXED);
    __atomic_store_n(&_segments.seq, seq + 2, __ATOMIC_RELEASE);
}

void thread_caches_flush_locked(malloc_state *m) {
    __atomic_add_fetch(&_flush_epoch, 1, __ATOMIC_RELAXED);
    if (_state != READY)
        return;
    for (unsigned c = 0; c < NCLASSES; ++c)
        _return_class_locked(m, _cache, c, 0);
    _cache->epoch = _flush_epoch;
}

} // namespace heap

using namespace heap;

extern "C" {

int thread_cache_configure(void) {
    if (__atomic_load_n(&_key_made, __ATOMIC_ACQUIRE))
        return 0;
    int result = pthread_key_create(&_key, _destroy_cache);
    if (result != 0)
        return result;
    size_t key = (size_t)time(nullptr) * 2654435761u ^ (size_t)&_key;
    _block_key = key | 1;
    __atomic_store_n(&_key_made, 1, __ATOMIC_RELEASE);
    return 0;
}

void *thread_cache_malloc(size_t bytes) {
    if (bytes > MAX_CACHED_CHUNK - CHUNK_OVERHEAD)
        return dlmalloc(bytes);
    thread_cache *tc = _own_cache();
    if (tc == nullptr)
        return dlmalloc(bytes);
    unsigned c = class_of(request2size(bytes));
    if (c >= NEXACT)
        bytes = chunk_of(c) - CHUNK_OVERHEAD; // the whole class size, cached or not
    cached_block *b = tc->head[c];
    if (__builtin_expect(b == nullptr, 0) && c < NEXACT)
        b = _nearby_block(tc, &c);
    if (__builtin_expect(b != nullptr, 1)) {
        tc->head[c] = b->next;
        --tc->count[c];
        tc->bytes -= chunk_of(c);
        b->next = nullptr;
        b->key = 0;
        return b;
    }
#if QUARROW_TEST_SEAMS
    if (_injected_failure())
        return nullptr;
#endif
    // A miss takes the block and, while the cache is under half its byte
    // bound, up to 3 more of the class under the same lock. Bigger batches
    // were tried: on a mixed-size load the extras sat unused until the byte
    // bound threw them back, and the lock was taken more often, not less.
    heap_lock(&_gm_);
    void *first = malloc_locked(&_gm_, bytes);
    size_t nb = chunk_of(c);
    unsigned refill = c < NEXACT ? REFILL : 1;
    for (unsigned i = 1; first != nullptr && i < refill && tc->bytes + nb <= MAX_CACHED_BYTES / 2; ++i) {
        cached_block *extra = (cached_block *)malloc_locked(&_gm_, bytes);
        if (extra == nullptr)
            break;
        size_t size = chunksize(mem2chunk(extra));
        unsigned k = class_of(size);
        if (size > MAX_EXACT_CHUNK || tc->count[k] >= MAX_PER_CLASS) {
            free_locked(&_gm_, mem2chunk(extra));
            break;
        }
        extra->next = tc->head[k];
        extra->key = _block_key;
        tc->head[k] = extra;
        ++tc->count[k];
        tc->bytes += size;
    }
    _debug_walk(&_gm_);
    heap_unlock(&_gm_);
    return first;
}

} // extern "C"

namespace {

// The chunk size of mem when it may be cached: an aligned block of ours, in
// use and of a cached size; else 0. The header word is read only once the
// chunk's start is known to be in a segment, its whole extent is checked
// next.
size_t _cacheable_size(void *mem) {
    if (((size_t)mem & CHUNK_ALIGN_MASK) != 0)
        return 0;
    mchunkptr p = mem2chunk(mem);
    const char *end = _segment_end((const char *)p);
    if (end == nullptr || (size_t)(end - (const char *)p) < MIN_CHUNK_SIZE)
        return 0;
    size_t head = p->head;
    size_t size = head & ~FLAG_BITS;
    if ((head & (CINUSE_BIT | FLAG4_BIT)) != CINUSE_BIT || size < MIN_CHUNK_SIZE || size > MAX_CACHED_CHUNK ||
        size + SIZE_T_SIZE > (size_t)(end - (const char *)p))
        return 0;
    // Above the exact classes only a class's own size serves its requests.
    if (size > MAX_EXACT_CHUNK && chunk_of(class_of(size)) != size)
        return 0;
    return size;
}

} // namespace

extern "C" {

void thread_cache_mark_recorded(void *mem) {
    mchunkptr p = mem2chunk(mem);
    if (!is_mmapped(p))
        __atomic_fetch_or(&p->head, FLAG4_BIT, __ATOMIC_RELAXED);
}

// Only a header that reads as a marked chunk in use, inside a segment and
// followed by its neighbour's header, is written: a foreign or wild
// pointer's word is left as it is, as far as it can be told.
bool thread_cache_take_recorded_mark(void *mem) {
    if (mem == nullptr || ((size_t)mem & CHUNK_ALIGN_MASK) != 0)
        return false;
    mchunkptr p = mem2chunk(mem);
    const char *end = _segment_end((const char *)p);
    if (end == nullptr || (size_t)(end - (const char *)p) < MIN_CHUNK_SIZE)
        return false;
    size_t head = __atomic_load_n(&p->head, __ATOMIC_RELAXED);
    size_t size = head & ~FLAG_BITS;
    if ((head & (CINUSE_BIT | FLAG4_BIT)) != (CINUSE_BIT | FLAG4_BIT) || size < MIN_CHUNK_SIZE ||
        size + 2 * SIZE_T_SIZE > (size_t)(end - (const char *)p) || !pinuse(chunk_plus_offset(p, size)))
        return false;
    return (__atomic_fetch_and(&p->head, ~FLAG4_BIT, __ATOMIC_RELAXED) & FLAG4_BIT) != 0;
}

// The heap may give memory back to the system on a free, and a failed
// system call there must not show in the caller's errno.
__attribute__((noinline)) void _free_keeping_errno(void *mem) {
    int saved_errno = errno;
    dlfree(mem);
    errno = saved_errno;
}

void thread_cache_free(void *mem) {
    if (mem == nullptr)
        return;
    thread_cache *tc = _own_cache();
    size_t size = tc != nullptr ? _cacheable_size(mem) : 0;
    if (size == 0) {
        _free_keeping_errno(mem);
        return;
    }
    cached_block *b = (cached_block *)mem;
    size_t seen = __atomic_load_n(&b->key, __ATOMIC_RELAXED);
    if (seen == _block_key ||
        !__atomic_compare_exchange_n(&b->key, &seen, _block_key, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED))
        return; // cached already: a double free is left alone
    unsigned c = class_of(size);
    if (c >= NEXACT && tc->bytes + size > MAX_CACHED_BYTES) {
        // A large block that does not fit goes back alone: a flush for
        // it would empty the small classes that serve most requests.
        b->key = 0;
        _free_keeping_errno(mem);
        return;
    }
    if (tc->count[c] >= MAX_PER_CLASS || tc->bytes + size > MAX_CACHED_BYTES) {
        // Blocks go back under one lock: half of this class when it is
        // full, else half of each class from the largest down until the
        // cache holds at most three quarters of its bound. The few large
        // blocks give the most bytes back, and the small classes, which
        // serve most requests, stay warm. Down to half the bound, each flush
        // held the lock for dozens of blocks while another thread spun for
        // it, and the classes it emptied missed soon after.
        int saved_errno = errno;
        heap_lock(&_gm_);
        if (tc->count[c] >= MAX_PER_CLASS)
            _return_class_locked(&_gm_, tc, c, MAX_PER_CLASS / 2);
        else
            for (unsigned k = NCLASSES; k-- > 0 && tc->bytes > MAX_CACHED_BYTES / 4 * 3;)
                _return_class_locked(&_gm_, tc, k, tc->count[k] / 2);
        _debug_walk(&_gm_);
        heap_unlock(&_gm_);
        errno = saved_errno;
    }
    b->next = tc->head[c];
    tc->head[c] = b;
    ++tc->count[c];
    tc->bytes += size;
}

// `mark` as for dlrealloc_marked: called once success is sure, where the new
// block is held and the old one not yet released.
void *thread_cache_realloc_marked(void *old, size_t bytes, void (*mark)(void *), void *context) {
    // A block still in a cache (a realloc after its free) must not be resized
    // or freed by the heap behind the cache's back: like a block that is not
    // ours, it is copied and left alone.
    if (old == nullptr) {
        void *mem = thread_cache_malloc(bytes);
        if (mem != nullptr && mark != nullptr)
            mark(context);
        return mem;
    }
    size_t size = __atomic_load_n(&_key_made, __ATOMIC_ACQUIRE) ? _cacheable_size(old) : 0;
    if (size == 0)
        return dlrealloc_marked(old, bytes, mark, context);
    if (bytes >= MAX_REQUEST) {
        errno = ENOMEM;
        return nullptr;
    }
    bool cached = ((cached_block *)old)->key == _block_key;
    size_t nb = request2size(bytes);
    // A block of a cached size that still fits, and not by more than twice,
    // stays where it is: the heap would take its lock only to cut it.
    if (!cached && nb <= size && nb > size / 2) {
        if (mark != nullptr)
            mark(context);
        return old;
    }
    // A new size the cache serves moves the block through the cache, without
    // the lock; any other new size is the heap's to grow in place or move.
    if (!cached && nb > MAX_CACHED_CHUNK)
        return dlrealloc_marked(old, bytes, mark, context);
    void *mem = cached ? dlmalloc(bytes) : thread_cache_malloc(bytes);
    if (mem == nullptr)
        return nullptr;
    memcpy(mem, old, bytes < size - CHUNK_OVERHEAD ? bytes : size - CHUNK_OVERHEAD);
    if (mark != nullptr)
        mark(context);
    if (!cached)
        thread_cache_free(old);
    return mem;
}

void *thread_cache_realloc(void *old, size_t bytes) {
    return thread_cache_realloc_marked(old, bytes, nullptr, nullptr);
}

void thread_cache_after_fork_in_child(void) {
    if (_state == READY)
        _return_all(_cache);
}

size_t thread_cache_bytes(void) { return _state == READY ? _cache->bytes : 0; }

} // extern "C"
