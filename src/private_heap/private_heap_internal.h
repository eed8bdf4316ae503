/*
 * What the private heap's files share: the sizes, constants and records
 * (the chunk, the tree chunk, the segment record, the heap state `_gm_` and
 * the parameters), the inline chunk arithmetic and bin maps every operation
 * is built from, the locks, and the routines one file calls in another.
 * Hidden: none of it leaves the library.
 */
#ifndef QUARROW_PRIVATE_HEAP_INTERNAL_H
#define QUARROW_PRIVATE_HEAP_INTERNAL_H

#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "lock_order.h"
#include "private_heap/private_heap.h"

#ifndef QUARROW_DEBUG
#define QUARROW_DEBUG 0
#endif

#pragma GCC visibility push(hidden)

namespace heap {

typedef unsigned int bindex_t;
typedef unsigned int binmap_t;
typedef unsigned int flag_t;

#if !defined(__x86_64__) && !defined(__i386__)
#error "the private heap is built for 32-bit x86 or x86_64"
#endif

/* Every size below follows from the word: one header word per chunk,
 * blocks aligned to two words (8 bytes on i386; 16 on x86_64, as the C
 * library's own malloc gives there), a free chunk's four words as the
 * smallest chunk, and 32 small bins one alignment step apart. Comments give
 * the i386 value, then the x86_64 one. */
constexpr size_t SIZE_T_SIZE = sizeof(size_t);
constexpr unsigned SIZE_T_BITSIZE = sizeof(size_t) * 8;
constexpr size_t MAX_SIZE_T = ~(size_t)0;
constexpr size_t HALF_MAX_SIZE_T = MAX_SIZE_T / 2U;
constexpr size_t MALLOC_ALIGNMENT = 2 * SIZE_T_SIZE; /* 8, 16 */
constexpr size_t CHUNK_ALIGN_MASK = MALLOC_ALIGNMENT - 1;
constexpr size_t CHUNK_OVERHEAD = SIZE_T_SIZE;
constexpr size_t MMAP_CHUNK_OVERHEAD = 2 * SIZE_T_SIZE;
constexpr size_t MMAP_FOOT_PAD = 4 * SIZE_T_SIZE;
constexpr size_t MIN_CHUNK_SIZE = 4 * SIZE_T_SIZE;                        /* 16, 32: prev_foot, head, fd, bk */
constexpr size_t MAX_REQUEST = (size_t)(-(long long)MIN_CHUNK_SIZE) << 2; /* 0xffffffc0, 0xffffffffffffff80 */
constexpr size_t MIN_REQUEST = MIN_CHUNK_SIZE - CHUNK_OVERHEAD - 1;       /* 11, 23 */

constexpr size_t PINUSE_BIT = 1;
constexpr size_t CINUSE_BIT = 2;
constexpr size_t FLAG4_BIT = 4;
constexpr size_t INUSE_BITS = PINUSE_BIT | CINUSE_BIT;
constexpr size_t FLAG_BITS = PINUSE_BIT | CINUSE_BIT | FLAG4_BIT;
constexpr size_t FENCEPOST_HEAD = INUSE_BITS | SIZE_T_SIZE; /* 7, 11 */

constexpr unsigned NSMALLBINS = 32;
constexpr unsigned NTREEBINS = 32;
constexpr unsigned SMALLBIN_SHIFT = __builtin_ctz(MALLOC_ALIGNMENT);           /* 3, 4: bins one alignment step apart */
constexpr unsigned TREEBIN_SHIFT = SMALLBIN_SHIFT + __builtin_ctz(NSMALLBINS); /* 8, 9: where the small bins end */
constexpr size_t MIN_LARGE_SIZE = (size_t)1 << TREEBIN_SHIFT;                  /* 256, 512 */
constexpr size_t MAX_SMALL_SIZE = MIN_LARGE_SIZE - 1;
constexpr size_t MAX_SMALL_REQUEST = MAX_SMALL_SIZE - CHUNK_ALIGN_MASK - CHUNK_OVERHEAD; /* 244, 488 */

constexpr flag_t USE_MMAP_BIT = 1;
constexpr flag_t USE_LOCK_BIT = 2;
constexpr flag_t USE_NONCONTIGUOUS_BIT = 4;
constexpr flag_t DEFAULT_MFLAGS = USE_MMAP_BIT | USE_LOCK_BIT;

constexpr size_t DEFAULT_MMAP_THRESHOLD = 0x40000;
constexpr size_t DEFAULT_TRIM_THRESHOLD = 0x200000;
constexpr size_t MAX_RELEASE_CHECK_RATE = 4095;
constexpr unsigned SPINS_PER_YIELD = 63;

char *const CMFAIL = (char *)MAX_SIZE_T;

/* ---------------------------------------------------------------------------
 * Records. Their layout is fixed: callers outside may read them in a
 * debugger or declare them from the documentation.
 */
struct malloc_chunk {
    size_t prev_foot;
    size_t head;
    malloc_chunk *fd;
    malloc_chunk *bk;
};
typedef malloc_chunk *mchunkptr;
typedef malloc_chunk *sbinptr;

struct malloc_tree_chunk {
    size_t prev_foot;
    size_t head;
    malloc_tree_chunk *fd;
    malloc_tree_chunk *bk;
    malloc_tree_chunk *child[2];
    malloc_tree_chunk *parent;
    bindex_t index;
};
typedef malloc_tree_chunk *tchunkptr;
typedef malloc_tree_chunk *tbinptr;

struct malloc_segment {
    char *base;
    size_t size;
    malloc_segment *next;
    flag_t sflags;
};
typedef malloc_segment *msegmentptr;

struct malloc_state {
    binmap_t smallmap;
    binmap_t treemap;
    size_t dvsize;
    size_t topsize;
    char *least_addr;
    mchunkptr dv;
    mchunkptr top;
    size_t trim_check;
    size_t release_checks;
    size_t magic;
    mchunkptr smallbins[(NSMALLBINS + 1) * 2];
    tbinptr treebins[NTREEBINS];
    size_t footprint;
    size_t max_footprint;
    size_t footprint_limit;
    flag_t mflags;
    volatile int mutex; // the heap lock; its place in the lock order: lock_order.h
    malloc_segment seg;
    void *extp;
    size_t exts;
};

struct malloc_params {
    size_t magic;
    size_t page_size;
    size_t granularity;
    size_t mmap_threshold;
    size_t trim_threshold;
    flag_t default_mflags;
};

static_assert(sizeof(malloc_chunk) == MIN_CHUNK_SIZE, "a free chunk is the smallest chunk");
static_assert(sizeof(malloc_segment) == 4 * SIZE_T_SIZE, "segment record is four words: 16 bytes, 32 on x86_64");
static_assert(sizeof(malloc_tree_chunk) == 8 * SIZE_T_SIZE, "tree chunk is eight words: 32 bytes, 64 on x86_64");

constexpr size_t SEGMENT_RECORD_CHUNK =
    (sizeof(malloc_segment) + CHUNK_OVERHEAD + CHUNK_ALIGN_MASK) & ~CHUNK_ALIGN_MASK; /* 24, 48 */
constexpr size_t TOP_FOOT_SIZE = SEGMENT_RECORD_CHUNK + MIN_CHUNK_SIZE;               /* 40, 80 */
constexpr size_t SYS_ALLOC_PADDING = TOP_FOOT_SIZE + MALLOC_ALIGNMENT;                /* 48, 96 */

/* ---------------------------------------------------------------------------
 * The parameters, the one heap and the global lock (private_heap.cpp).
 */
extern malloc_params mparams;
extern malloc_state _gm_;
extern volatile int malloc_global_mutex;

/* ---- chunk arithmetic --------------------------------------------------- */

inline void *chunk2mem(const void *p) { return (char *)p + 2 * SIZE_T_SIZE; }
inline mchunkptr mem2chunk(const void *mem) { return (mchunkptr)((char *)mem - 2 * SIZE_T_SIZE); }
inline size_t align_offset(const void *a) {
    return ((size_t)a & CHUNK_ALIGN_MASK) == 0 ? 0
                                               : (MALLOC_ALIGNMENT - ((size_t)a & CHUNK_ALIGN_MASK)) & CHUNK_ALIGN_MASK;
}
inline mchunkptr align_as_chunk(char *a) { return (mchunkptr)(a + align_offset(chunk2mem(a))); }
inline size_t pad_request(size_t req) { return (req + CHUNK_OVERHEAD + CHUNK_ALIGN_MASK) & ~CHUNK_ALIGN_MASK; }
inline size_t request2size(size_t req) { return req < MIN_REQUEST ? MIN_CHUNK_SIZE : pad_request(req); }

inline size_t chunksize(const malloc_chunk *p) { return p->head & ~FLAG_BITS; }
inline size_t chunksize(const malloc_tree_chunk *p) { return p->head & ~FLAG_BITS; }
inline bool cinuse(const malloc_chunk *p) { return (p->head & CINUSE_BIT) != 0; }
inline bool pinuse(const malloc_chunk *p) { return (p->head & PINUSE_BIT) != 0; }
inline bool is_inuse(const malloc_chunk *p) { return (p->head & INUSE_BITS) != PINUSE_BIT; }
inline bool is_mmapped(const malloc_chunk *p) { return (p->head & INUSE_BITS) == 0; }
inline mchunkptr chunk_plus_offset(const void *p, size_t s) { return (mchunkptr)((char *)p + s); }
inline mchunkptr chunk_minus_offset(const void *p, size_t s) { return (mchunkptr)((char *)p - s); }
inline mchunkptr next_chunk(const malloc_chunk *p) { return chunk_plus_offset(p, chunksize(p)); }
inline size_t overhead_for(const malloc_chunk *p) { return is_mmapped(p) ? MMAP_CHUNK_OVERHEAD : CHUNK_OVERHEAD; }

inline void clear_pinuse(mchunkptr p) { p->head &= ~PINUSE_BIT; }
inline void set_size_and_pinuse_of_free_chunk(mchunkptr p, size_t s) {
    p->head = s | PINUSE_BIT;
    chunk_plus_offset(p, s)->prev_foot = s;
}
inline void set_free_with_pinuse(mchunkptr p, size_t s, mchunkptr n) {
    clear_pinuse(n);
    set_size_and_pinuse_of_free_chunk(p, s);
}
inline void set_inuse(mchunkptr p, size_t s) {
    p->head = (p->head & PINUSE_BIT) | s | CINUSE_BIT;
    chunk_plus_offset(p, s)->head |= PINUSE_BIT;
}
inline void set_inuse_and_pinuse(mchunkptr p, size_t s) {
    p->head = s | PINUSE_BIT | CINUSE_BIT;
    chunk_plus_offset(p, s)->head |= PINUSE_BIT;
}
inline void set_size_and_pinuse_of_inuse_chunk(mchunkptr p, size_t s) { p->head = s | PINUSE_BIT | CINUSE_BIT; }

/* ---- bins and bitmaps --------------------------------------------------- */

inline bool is_small(size_t s) { return (s >> SMALLBIN_SHIFT) < NSMALLBINS; }
inline bindex_t small_index(size_t s) { return (bindex_t)(s >> SMALLBIN_SHIFT); }
inline size_t small_index2size(bindex_t i) { return (size_t)i << SMALLBIN_SHIFT; }
inline sbinptr smallbin_at(malloc_state *m, bindex_t i) { return (sbinptr)(char *)&m->smallbins[i << 1]; }
inline tbinptr *treebin_at(malloc_state *m, bindex_t i) { return &m->treebins[i]; }

/* Two bins per doubling: 16 doublings from MIN_LARGE_SIZE, then the last
 * bin for everything larger, whatever the word size. */
inline bindex_t compute_tree_index(size_t s) {
    size_t x = s >> TREEBIN_SHIFT;
    if (x == 0)
        return 0;
    if (x > 0xFFFF)
        return NTREEBINS - 1;
    unsigned k = 31U - (unsigned)__builtin_clz((unsigned)x);
    return (bindex_t)((k << 1) + ((s >> (k + (TREEBIN_SHIFT - 1))) & 1));
}
/* Shifts the size bits below a bin's range bits to the top of the word,
 * where the trie reads its key from, most significant first. */
inline unsigned leftshift_for_tree_index(bindex_t i) {
    return i == NTREEBINS - 1 ? 0 : ((SIZE_T_BITSIZE - 1) - ((i >> 1) + TREEBIN_SHIFT - 2));
}
/* The trie branch a key takes at its top bit. */
inline unsigned tree_key_bit(size_t key) { return (unsigned)(key >> (SIZE_T_BITSIZE - 1)) & 1U; }
inline size_t minsize_for_tree_index(bindex_t i) {
    return ((size_t)1 << ((i >> 1) + TREEBIN_SHIFT)) | ((size_t)(i & 1) << ((i >> 1) + TREEBIN_SHIFT - 1));
}
inline binmap_t idx2bit(bindex_t i) { return (binmap_t)1 << i; }
inline binmap_t least_bit(binmap_t x) { return x & (0U - x); }
inline binmap_t left_bits(binmap_t x) { return (x << 1) | (0U - (x << 1)); }
inline bindex_t bit2idx(binmap_t x) { return (bindex_t)__builtin_ctz(x); }
inline tchunkptr leftmost_child(tchunkptr t) { return t->child[0] != nullptr ? t->child[0] : t->child[1]; }

inline void mark_smallmap(malloc_state *m, bindex_t i) { m->smallmap |= idx2bit(i); }
inline void clear_smallmap(malloc_state *m, bindex_t i) { m->smallmap &= ~idx2bit(i); }
inline bool smallmap_is_marked(malloc_state *m, bindex_t i) { return (m->smallmap & idx2bit(i)) != 0; }
inline void mark_treemap(malloc_state *m, bindex_t i) { m->treemap |= idx2bit(i); }
inline void clear_treemap(malloc_state *m, bindex_t i) { m->treemap &= ~idx2bit(i); }
inline bool treemap_is_marked(malloc_state *m, bindex_t i) { return (m->treemap & idx2bit(i)) != 0; }

/* The run-time checks: cheap address tests that stop a corrupted link from
 * steering a write outside the heap. */
inline bool ok_address(malloc_state *m, const void *a) { return (const char *)a >= m->least_addr; }
inline bool ok_next(const void *p, const void *n) { return p < n; }
inline bool ok_inuse(const malloc_chunk *p) { return is_inuse(p); }
inline bool ok_pinuse(const malloc_chunk *p) { return pinuse(p); }

inline bool is_initialized(malloc_state *m) { return m->top != nullptr; }
inline bool use_lock(malloc_state *m) { return (m->mflags & USE_LOCK_BIT) != 0; }
inline bool use_noncontiguous(malloc_state *m) { return (m->mflags & USE_NONCONTIGUOUS_BIT) != 0; }
inline bool is_mmapped_segment(msegmentptr s) { return (s->sflags & USE_MMAP_BIT) != 0; }
inline bool segment_holds(msegmentptr s, const void *a) {
    return (const char *)a >= s->base && (const char *)a < s->base + s->size;
}
inline bool should_trim(malloc_state *m, size_t s) { return s > m->trim_check; }

inline size_t page_align(size_t s) { return (s + (mparams.page_size - 1)) & ~(mparams.page_size - 1); }
inline size_t granularity_align(size_t s) { return (s + (mparams.granularity - 1)) & ~(mparams.granularity - 1); }
inline bool is_page_aligned(const void *a) { return ((size_t)a & (mparams.page_size - 1)) == 0; }

/* ---- debug assertions --------------------------------------------------- */

[[noreturn]] void _assertion_failed(const char *what, int line);
#if QUARROW_DEBUG >= 1
#define HEAP_ASSERT(x) ((x) ? (void)0 : _assertion_failed(#x, __LINE__))
#else
#define HEAP_ASSERT(x) ((void)0)
#endif

/* ==== params ==== */
int spin_acquire_lock(volatile int *sl);
inline void acquire_lock(volatile int *sl) {
    if (__atomic_exchange_n(sl, 1, __ATOMIC_ACQUIRE) != 0)
        spin_acquire_lock(sl);
}
// A release store is enough to publish what the lock guarded; a full fence
// would cost every heap call a serialising instruction.
inline void release_lock(volatile int *sl) { __atomic_store_n(sl, 0, __ATOMIC_RELEASE); }
// The two locks as the library's lock order (lock_order.h) knows them.
inline void heap_lock(malloc_state *m) {
    if (use_lock(m)) {
        lock_taking(LOCK_HEAP);
        acquire_lock(&m->mutex);
    }
}
inline void heap_unlock(malloc_state *m) {
    if (use_lock(m)) {
        release_lock(&m->mutex);
        lock_released(LOCK_HEAP);
    }
}
inline void global_lock() {
    lock_taking(LOCK_GLOBAL);
    acquire_lock(&malloc_global_mutex);
}
inline void global_unlock() {
    release_lock(&malloc_global_mutex);
    lock_released(LOCK_GLOBAL);
}
int init_mparams();
inline void ensure_initialization() {
    if (__atomic_load_n(&mparams.magic, __ATOMIC_ACQUIRE) == 0)
        init_mparams();
}
int change_mparam(int param, int value);

/* ==== registry ==== */

/* ---------------------------------------------------------------------------
 * Registry of the heap's own direct mappings, keyed by mapping base.
 *
 * It is what lets a free tell our mapped blocks from anybody else's: a
 * header alone cannot, and unmapping a block we do not own would pull memory
 * from under its real owner. Open addressing with linear probing, kept in its
 * own anonymous mapping; used only under the heap lock.
 */
struct mapping_registry {
    uintptr_t *slots; /* 0 = empty */
    size_t capacity;  /* power of two */
    size_t count;
};
extern mapping_registry _mappings;
bool _registry_insert(uintptr_t base);
bool _registry_contains(uintptr_t base);
void _registry_remove(uintptr_t base);

/* Integer arithmetic: for a chunk that is not a mapping prev_foot is any
 * value, and pointer arithmetic that leaves the object is undefined. */
inline uintptr_t _mapping_base(mchunkptr p) { return (uintptr_t)p - p->prev_foot; }

/* ==== bins ==== */
msegmentptr segment_holding(malloc_state *m, const void *addr);
bool has_segment_link(malloc_state *m, msegmentptr ss);
bool _owns_chunk(malloc_state *m, mchunkptr p);

/* ---------------------------------------------------------------------------
 * Bin operations.
 */
void reset_on_error(malloc_state *m);

inline void insert_small_chunk(malloc_state *m, mchunkptr p, size_t s) {
    bindex_t i = small_index(s);
    mchunkptr b = smallbin_at(m, i);
    mchunkptr f = b;
    HEAP_ASSERT(s >= MIN_CHUNK_SIZE);
    if (!smallmap_is_marked(m, i))
        mark_smallmap(m, i);
    else if (ok_address(m, b->fd))
        f = b->fd;
    else
        reset_on_error(m);
    b->fd = p;
    f->bk = p;
    p->fd = f;
    p->bk = b;
}

inline void unlink_small_chunk(malloc_state *m, mchunkptr p, size_t s) {
    mchunkptr f = p->fd;
    mchunkptr b = p->bk;
    bindex_t i = small_index(s);
    if (f == smallbin_at(m, i) || (ok_address(m, f) && f->bk == p)) {
        if (b == f) {
            clear_smallmap(m, i);
        } else if (b == smallbin_at(m, i) || (ok_address(m, b) && b->fd == p)) {
            f->bk = b;
            b->fd = f;
        } else {
            reset_on_error(m);
        }
    } else {
        reset_on_error(m);
    }
}

inline void unlink_first_small_chunk(malloc_state *m, mchunkptr b, mchunkptr p, bindex_t i) {
    mchunkptr f = p->fd;
    if (b == f) {
        clear_smallmap(m, i);
    } else if (ok_address(m, f) && f->bk == p) {
        f->bk = b;
        b->fd = f;
    } else {
        reset_on_error(m);
    }
}

/* The old designated victim goes back into its bin; p of size s replaces it. */
inline void replace_dv(malloc_state *m, mchunkptr p, size_t s) {
    size_t dvs = m->dvsize;
    if (dvs != 0)
        insert_small_chunk(m, m->dv, dvs);
    m->dvsize = s;
    m->dv = p;
}
void insert_large_chunk(malloc_state *m, tchunkptr x, size_t s);
void unlink_large_chunk(malloc_state *m, tchunkptr x);

inline void insert_chunk(malloc_state *m, mchunkptr p, size_t s) {
    if (is_small(s))
        insert_small_chunk(m, p, s);
    else
        insert_large_chunk(m, (tchunkptr)p, s);
}

inline void unlink_chunk(malloc_state *m, mchunkptr p, size_t s) {
    if (is_small(s))
        unlink_small_chunk(m, p, s);
    else
        unlink_large_chunk(m, (tchunkptr)p);
}
void init_bins(malloc_state *m);
void reset_on_error(malloc_state *m);

/* ==== system ==== */
void init_top(malloc_state *m, mchunkptr p, size_t psize);

inline void *call_mmap(size_t s) {
    void *p = mmap(nullptr, s, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? CMFAIL : p;
}

inline void note_footprint_growth(malloc_state *m, size_t s) {
    if ((m->footprint += s) > m->max_footprint)
        m->max_footprint = m->footprint;
}
void *mmap_alloc(malloc_state *m, size_t nb);
void _unmap_chunk(malloc_state *m, mchunkptr p);
mchunkptr mmap_resize(malloc_state *m, mchunkptr oldp, size_t nb, int can_move);
void *prepend_alloc(malloc_state *m, char *newbase, char *oldbase, size_t nb);
void add_segment(malloc_state *m, char *tbase, size_t tsize, flag_t mmapped);

/* One sbrk call, under the global lock held by the caller. */
inline char *call_sbrk(intptr_t increment) { return (char *)sbrk(increment); }
void *sys_alloc(malloc_state *m, size_t nb, bool allow_mmap);
size_t release_unused_segments(malloc_state *m);
int sys_trim(malloc_state *m, size_t pad);
void dispose_chunk(malloc_state *m, mchunkptr p, size_t psize);

/* ==== thread_cache ==== */

/* dlmalloc's and dlfree's steps, the heap lock held by the caller; p is ours
 * (private_heap.cpp). */
void *malloc_locked(malloc_state *m, size_t bytes);
void free_locked(malloc_state *m, mchunkptr p);

/* Makes the segment list readable without the lock, for the caches' test of
 * ownership; called under the heap lock after every change of segments. */
void publish_segments(malloc_state *m);
/* Returns the calling thread's cache, with the heap lock held, and has every
 * other thread return its own at its next request. */
void thread_caches_flush_locked(malloc_state *m);
#if QUARROW_TEST_SEAMS
bool _injected_failure();
#endif

/* ==== check ==== */

/* ---------------------------------------------------------------------------
 * The whole-heap walker, for tests and debugging: every segment chunk by
 * chunk, every bin, the designated victim and the top.
 */
int _check_heap(malloc_state *m);

/* With QUARROW_DEBUG=2 every 4096th call walks the whole heap under the lock,
 * so a broken structure stops the process close to where it broke. */
#if QUARROW_DEBUG >= 2
extern unsigned _calls_since_walk;
inline void _debug_walk(malloc_state *m) {
    if (++_calls_since_walk < 4096)
        return;
    _calls_since_walk = 0;
    if (_check_heap(m) != 0)
        _assertion_failed("the whole-heap walk found faults", __LINE__);
}
#else
inline void _debug_walk(malloc_state *) {}
#endif

} // namespace heap

#pragma GCC visibility pop

#endif
