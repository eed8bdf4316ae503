/*
 * The private heap: a boundary-tag allocator with binned free lists.
 *
 * Memory is a sequence of chunks inside segments obtained with sbrk (or mmap
 * when the break cannot grow); each chunk carries one header word. Free
 * chunks below 256 bytes live in 32 exact-size small bins, larger ones in 32
 * bitwise tries keyed on their size. The remainder of the last small split is
 * kept aside as the designated victim, so runs of small requests are cut from
 * one place. Requests whose chunk is 256 KiB or more get a mapping of their
 * own, freed at once.
 *
 * Everything runs under one spin lock (`_gm_.mutex`); `sbrk` is also guarded
 * by `malloc_global_mutex` because other code of the process may move the
 * break. The heap calls no other code of the library: its locks are
 * innermost.
 *
 * Ownership is decided by address: a block is ours only when it lies inside
 * one of our segments or is one of our registered direct mappings. Blocks the
 * platform allocator handed out before the hooks went in are therefore never
 * merged into a bin or unmapped here.
 */
#include "private_heap.h"

#include <errno.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#ifndef QUARROW_DEBUG
#define QUARROW_DEBUG 0
#endif

/* ---------------------------------------------------------------------------
 * Size rules and constants (32-bit words throughout).
 */
namespace {

typedef unsigned int bindex_t;
typedef unsigned int binmap_t;
typedef unsigned int flag_t;

constexpr size_t SIZE_T_SIZE = sizeof(size_t);
constexpr size_t MAX_SIZE_T = ~(size_t)0;
constexpr size_t HALF_MAX_SIZE_T = MAX_SIZE_T / 2U;
constexpr size_t MALLOC_ALIGNMENT = 8;
constexpr size_t CHUNK_ALIGN_MASK = MALLOC_ALIGNMENT - 1;
constexpr size_t CHUNK_OVERHEAD = SIZE_T_SIZE;
constexpr size_t MMAP_CHUNK_OVERHEAD = 2 * SIZE_T_SIZE;
constexpr size_t MMAP_FOOT_PAD = 4 * SIZE_T_SIZE;
constexpr size_t MIN_CHUNK_SIZE = 16;
constexpr size_t MAX_REQUEST = (size_t)(-(long long)MIN_CHUNK_SIZE) << 2; /* 0xffffffc0 */
constexpr size_t MIN_REQUEST = MIN_CHUNK_SIZE - CHUNK_OVERHEAD - 1;       /* 11 */

constexpr size_t PINUSE_BIT = 1;
constexpr size_t CINUSE_BIT = 2;
constexpr size_t FLAG4_BIT = 4;
constexpr size_t INUSE_BITS = PINUSE_BIT | CINUSE_BIT;
constexpr size_t FLAG_BITS = PINUSE_BIT | CINUSE_BIT | FLAG4_BIT;
constexpr size_t FENCEPOST_HEAD = INUSE_BITS | SIZE_T_SIZE; /* 7 */

constexpr unsigned NSMALLBINS = 32;
constexpr unsigned NTREEBINS = 32;
constexpr unsigned SMALLBIN_SHIFT = 3;
constexpr unsigned TREEBIN_SHIFT = 8;
constexpr size_t MIN_LARGE_SIZE = (size_t)1 << TREEBIN_SHIFT;
constexpr size_t MAX_SMALL_SIZE = MIN_LARGE_SIZE - 1;
constexpr size_t MAX_SMALL_REQUEST = MAX_SMALL_SIZE - CHUNK_ALIGN_MASK - CHUNK_OVERHEAD; /* 244 */

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
    volatile int mutex;
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

static_assert(sizeof(void *) == 4, "the private heap is built for 32-bit x86");
static_assert(sizeof(malloc_segment) == 16, "segment record is four words");
static_assert(sizeof(malloc_tree_chunk) == 32, "tree chunk is eight words");

constexpr size_t SEGMENT_RECORD_CHUNK = (sizeof(malloc_segment) + CHUNK_OVERHEAD + CHUNK_ALIGN_MASK) & ~CHUNK_ALIGN_MASK; /* 24 */
constexpr size_t TOP_FOOT_SIZE = SEGMENT_RECORD_CHUNK + MIN_CHUNK_SIZE;                                                  /* 40 */
constexpr size_t SYS_ALLOC_PADDING = TOP_FOOT_SIZE + MALLOC_ALIGNMENT;                                                   /* 48 */

} // namespace

/* ---------------------------------------------------------------------------
 * Global state: the parameters, the one heap and the two locks.
 */
static malloc_params mparams;
static malloc_state _gm_;
static volatile int malloc_global_mutex;
int malloc_corruption_error_count;

namespace {

/* ---- chunk arithmetic --------------------------------------------------- */

inline void *chunk2mem(const void *p) { return (char *)p + 2 * SIZE_T_SIZE; }
inline mchunkptr mem2chunk(const void *mem) { return (mchunkptr)((char *)mem - 2 * SIZE_T_SIZE); }
inline size_t align_offset(const void *a) {
    return ((size_t)a & CHUNK_ALIGN_MASK) == 0 ? 0 : (MALLOC_ALIGNMENT - ((size_t)a & CHUNK_ALIGN_MASK)) & CHUNK_ALIGN_MASK;
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

inline bindex_t compute_tree_index(size_t s) {
    size_t x = s >> TREEBIN_SHIFT;
    if (x == 0)
        return 0;
    if (x > 0xFFFF)
        return NTREEBINS - 1;
    unsigned k = 31U - (unsigned)__builtin_clz(x);
    return (bindex_t)((k << 1) + ((s >> (k + (TREEBIN_SHIFT - 1))) & 1));
}
inline unsigned leftshift_for_tree_index(bindex_t i) {
    return i == NTREEBINS - 1 ? 0 : (31U - ((i >> 1) + TREEBIN_SHIFT - 2));
}
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

[[noreturn, maybe_unused]] void _assertion_failed(const char *what, int line) {
    fprintf(stderr, "QUARROW ERROR: private heap invariant broken: %s, File: %s, Line: %d\n", what, __FILE__, line);
    abort();
}
#if QUARROW_DEBUG >= 1
#define HEAP_ASSERT(x) ((x) ? (void)0 : _assertion_failed(#x, __LINE__))
#else
#define HEAP_ASSERT(x) ((void)0)
#endif

/* ---------------------------------------------------------------------------
 * Locks: spin on a word; yield every 64th failed attempt.
 */
int spin_acquire_lock(volatile int *sl) {
    unsigned spins = 0;
    while (*sl != 0 || __atomic_exchange_n(sl, 1, __ATOMIC_ACQUIRE) != 0) {
        if ((++spins & SPINS_PER_YIELD) == 0)
            sched_yield();
    }
    return 0;
}
inline void acquire_lock(volatile int *sl) {
    if (__atomic_exchange_n(sl, 1, __ATOMIC_ACQUIRE) != 0)
        spin_acquire_lock(sl);
}
inline void release_lock(volatile int *sl) {
    __sync_synchronize();
    *sl = 0;
}
inline void heap_lock(malloc_state *m) {
    if (use_lock(m))
        acquire_lock(&m->mutex);
}
inline void heap_unlock(malloc_state *m) {
    if (use_lock(m))
        release_lock(&m->mutex);
}

/* ---------------------------------------------------------------------------
 * Parameter set-up: once per process, under the global lock.
 */
int init_mparams() {
    acquire_lock(&malloc_global_mutex);
    if (mparams.magic == 0) {
        size_t psize = (size_t)sysconf(_SC_PAGESIZE);
        if ((psize & (psize - 1)) != 0 || psize == 0)
            abort();
        mparams.page_size = psize;
        mparams.granularity = psize;
        mparams.mmap_threshold = DEFAULT_MMAP_THRESHOLD;
        mparams.trim_threshold = DEFAULT_TRIM_THRESHOLD;
        mparams.default_mflags = DEFAULT_MFLAGS;
        _gm_.mflags = mparams.default_mflags;
        _gm_.mutex = 0;
        size_t magic = (size_t)time(nullptr) ^ (size_t)0x55555555U;
        magic |= (size_t)8U;
        magic &= ~(size_t)7U;
        /* magic last: readers that see it non-zero skip the lock */
        __atomic_store_n(&mparams.magic, magic, __ATOMIC_RELEASE);
    }
    release_lock(&malloc_global_mutex);
    return 1;
}
inline void ensure_initialization() {
    if (__atomic_load_n(&mparams.magic, __ATOMIC_ACQUIRE) == 0)
        init_mparams();
}

int change_mparam(int param, int value) {
    ensure_initialization();
    size_t val = (value == -1) ? MAX_SIZE_T : (size_t)value;
    switch (param) {
    case M_TRIM_THRESHOLD_PARAM:
        mparams.trim_threshold = val;
        return 1;
    case M_GRANULARITY_PARAM:
        if (val >= mparams.page_size && (val & (val - 1)) == 0) {
            mparams.granularity = val;
            return 1;
        }
        return 0;
    case M_MMAP_THRESHOLD_PARAM:
        mparams.mmap_threshold = val;
        return 1;
    default:
        return 0;
    }
}

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
mapping_registry _mappings;

constexpr size_t REGISTRY_INITIAL_CAPACITY = 1024;

inline size_t _registry_slot(uintptr_t base, size_t capacity) {
    return (size_t)(((base >> 12) * 2654435761U) & (capacity - 1));
}

void _registry_put(uintptr_t *slots, size_t capacity, uintptr_t base) {
    size_t i = _registry_slot(base, capacity);
    while (slots[i] != 0)
        i = (i + 1) & (capacity - 1);
    slots[i] = base;
}

/* Returns false when the table could not grow; the caller must then not
 * hand out the mapping. */
bool _registry_insert(uintptr_t base) {
    mapping_registry &r = _mappings;
    if ((r.count + 1) * 2 > r.capacity) {
        size_t capacity = r.capacity == 0 ? REGISTRY_INITIAL_CAPACITY : r.capacity * 2;
        size_t bytes = capacity * sizeof(uintptr_t);
        void *fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            return false;
        uintptr_t *slots = (uintptr_t *)fresh;
        for (size_t i = 0; i < r.capacity; ++i)
            if (r.slots[i] != 0)
                _registry_put(slots, capacity, r.slots[i]);
        if (r.slots != nullptr)
            munmap(r.slots, r.capacity * sizeof(uintptr_t));
        r.slots = slots;
        r.capacity = capacity;
    }
    _registry_put(r.slots, r.capacity, base);
    ++r.count;
    return true;
}

bool _registry_contains(uintptr_t base) {
    mapping_registry &r = _mappings;
    if (r.count == 0 || base == 0)
        return false;
    for (size_t i = _registry_slot(base, r.capacity);; i = (i + 1) & (r.capacity - 1)) {
        if (r.slots[i] == base)
            return true;
        if (r.slots[i] == 0)
            return false;
    }
}

/* Backward-shift deletion keeps every probe chain unbroken without tombstones. */
void _registry_remove(uintptr_t base) {
    mapping_registry &r = _mappings;
    if (r.count == 0)
        return;
    size_t mask = r.capacity - 1;
    size_t i = _registry_slot(base, r.capacity);
    while (r.slots[i] != base) {
        if (r.slots[i] == 0)
            return;
        i = (i + 1) & mask;
    }
    size_t hole = i;
    for (size_t j = (hole + 1) & mask; r.slots[j] != 0; j = (j + 1) & mask) {
        size_t home = _registry_slot(r.slots[j], r.capacity);
        /* move j into the hole unless its home lies cyclically in (hole, j] */
        bool stays = (hole <= j) ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!stays) {
            r.slots[hole] = r.slots[j];
            hole = j;
        }
    }
    r.slots[hole] = 0;
    --r.count;
}

inline uintptr_t _mapping_base(mchunkptr p) { return (uintptr_t)((char *)p - p->prev_foot); }

/* ---------------------------------------------------------------------------
 * Segments.
 */
msegmentptr segment_holding(malloc_state *m, const void *addr) {
    for (msegmentptr sp = &m->seg; sp != nullptr; sp = sp->next)
        if (segment_holds(sp, addr))
            return sp;
    return nullptr;
}

bool has_segment_link(malloc_state *m, msegmentptr ss) {
    for (msegmentptr sp = &m->seg; sp != nullptr; sp = sp->next)
        if ((char *)sp >= ss->base && (char *)sp < ss->base + ss->size)
            return true;
    return false;
}

/* Whether p is a chunk this heap handed out, by address: inside a segment,
 * or the chunk of one of our registered mappings. Reads only p's two header
 * words, which exist for any block that some allocator handed out. */
bool _owns_chunk(malloc_state *m, mchunkptr p) {
    if (!ok_address(m, p))
        return false;
    if (is_mmapped(p))
        return _registry_contains(_mapping_base(p));
    if (segment_holds(&m->seg, p))
        return true;
    return segment_holding(m, p) != nullptr;
}

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

void insert_large_chunk(malloc_state *m, tchunkptr x, size_t s) {
    bindex_t i = compute_tree_index(s);
    tbinptr *h = treebin_at(m, i);
    x->index = i;
    x->child[0] = x->child[1] = nullptr;
    if (!treemap_is_marked(m, i)) {
        mark_treemap(m, i);
        *h = x;
        x->parent = (tchunkptr)h;
        x->fd = x->bk = x;
        return;
    }
    tchunkptr t = *h;
    size_t k = s << leftshift_for_tree_index(i);
    for (;;) {
        if (chunksize(t) != s) {
            tchunkptr *c = &t->child[(k >> 31) & 1];
            k <<= 1;
            if (*c != nullptr) {
                t = *c;
            } else if (ok_address(m, c)) {
                *c = x;
                x->parent = t;
                x->fd = x->bk = x;
                return;
            } else {
                reset_on_error(m);
                return;
            }
        } else {
            tchunkptr f = t->fd;
            if (ok_address(m, t) && ok_address(m, f)) {
                t->fd = f->bk = x;
                x->fd = f;
                x->bk = t;
                x->parent = nullptr; /* not a tree node: hangs on t's list */
                return;
            }
            reset_on_error(m);
            return;
        }
    }
}

void unlink_large_chunk(malloc_state *m, tchunkptr x) {
    tchunkptr xp = x->parent;
    tchunkptr r;
    if (x->bk != x) {
        tchunkptr f = x->fd;
        r = x->bk;
        if (ok_address(m, f) && f->bk == x && r->fd == x) {
            f->bk = r;
            r->fd = f;
        } else {
            reset_on_error(m);
        }
    } else {
        tchunkptr *rp;
        if (((r = *(rp = &x->child[1])) != nullptr) || ((r = *(rp = &x->child[0])) != nullptr)) {
            tchunkptr *cp;
            while ((*(cp = &r->child[1]) != nullptr) || (*(cp = &r->child[0]) != nullptr))
                r = *(rp = cp);
            if (ok_address(m, rp))
                *rp = nullptr;
            else
                reset_on_error(m);
        }
    }
    if (xp == nullptr)
        return;
    tbinptr *h = treebin_at(m, x->index);
    if (x == *h) {
        if ((*h = r) == nullptr)
            clear_treemap(m, x->index);
    } else if (ok_address(m, xp)) {
        if (xp->child[0] == x)
            xp->child[0] = r;
        else
            xp->child[1] = r;
    } else {
        reset_on_error(m);
    }
    if (r != nullptr) {
        if (ok_address(m, r)) {
            tchunkptr c0, c1;
            r->parent = xp;
            if ((c0 = x->child[0]) != nullptr) {
                if (ok_address(m, c0)) {
                    r->child[0] = c0;
                    c0->parent = r;
                } else {
                    reset_on_error(m);
                }
            }
            if ((c1 = x->child[1]) != nullptr) {
                if (ok_address(m, c1)) {
                    r->child[1] = c1;
                    c1->parent = r;
                } else {
                    reset_on_error(m);
                }
            }
        } else {
            reset_on_error(m);
        }
    }
}

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

void init_bins(malloc_state *m) {
    for (bindex_t i = 0; i < NSMALLBINS; ++i) {
        sbinptr bin = smallbin_at(m, i);
        bin->fd = bin->bk = bin;
    }
}

/* Forget all memory: the heap starts over from fresh system memory. What it
 * held stays counted in the footprint; nothing is returned. */
void reset_on_error(malloc_state *m) {
    ++malloc_corruption_error_count;
    m->smallmap = m->treemap = 0;
    m->dvsize = m->topsize = 0;
    m->seg.base = nullptr;
    m->seg.size = 0;
    m->seg.next = nullptr;
    m->top = m->dv = nullptr;
    for (bindex_t i = 0; i < NTREEBINS; ++i)
        *treebin_at(m, i) = nullptr;
    init_bins(m);
}

/* ---------------------------------------------------------------------------
 * The top chunk and direct mappings.
 */
void init_top(malloc_state *m, mchunkptr p, size_t psize) {
    size_t offset = align_offset(chunk2mem(p));
    p = chunk_plus_offset(p, offset);
    psize -= offset;
    m->top = p;
    m->topsize = psize;
    p->head = psize | PINUSE_BIT;
    /* room for a segment record and fence posts when the next segment comes */
    chunk_plus_offset(p, psize)->head = TOP_FOOT_SIZE;
    m->trim_check = mparams.trim_threshold;
}

inline void *call_mmap(size_t s) {
    void *p = mmap(nullptr, s, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? CMFAIL : p;
}

inline void note_footprint_growth(malloc_state *m, size_t s) {
    if ((m->footprint += s) > m->max_footprint)
        m->max_footprint = m->footprint;
}

void *mmap_alloc(malloc_state *m, size_t nb) {
    size_t mmsize = page_align(nb + 6 * SIZE_T_SIZE + CHUNK_ALIGN_MASK);
    if (m->footprint_limit != 0) {
        size_t fp = m->footprint + mmsize;
        if (fp <= m->footprint || fp > m->footprint_limit)
            return nullptr;
    }
    if (mmsize <= nb)
        return nullptr;
    char *mm = (char *)call_mmap(mmsize);
    if (mm == CMFAIL)
        return nullptr;
    if (!_registry_insert((uintptr_t)mm)) {
        munmap(mm, mmsize);
        return nullptr;
    }
    size_t offset = align_offset(chunk2mem(mm));
    size_t psize = mmsize - offset - MMAP_FOOT_PAD;
    mchunkptr p = (mchunkptr)(mm + offset);
    p->prev_foot = offset;
    p->head = psize;
    chunk_plus_offset(p, psize)->head = FENCEPOST_HEAD;
    chunk_plus_offset(p, psize + SIZE_T_SIZE)->head = 0;
    if (m->least_addr == nullptr || mm < m->least_addr)
        m->least_addr = mm;
    note_footprint_growth(m, mmsize);
    HEAP_ASSERT(is_mmapped(p) && chunksize(p) >= nb);
    return chunk2mem(p);
}

/* Unmaps one of our own mapped chunks; p's prev_foot holds its offset. */
void _unmap_chunk(malloc_state *m, mchunkptr p) {
    size_t offset = p->prev_foot;
    size_t mapsize = chunksize(p) + offset + MMAP_FOOT_PAD;
    char *base = (char *)p - offset;
    if (munmap(base, mapsize) == 0) {
        m->footprint -= mapsize;
        _registry_remove((uintptr_t)base);
    }
}

mchunkptr mmap_resize(malloc_state *m, mchunkptr oldp, size_t nb, int can_move) {
    size_t oldsize = chunksize(oldp);
    if (is_small(nb)) /* never shrink a mapping to a small chunk */
        return nullptr;
    if (oldsize >= nb + SIZE_T_SIZE && (oldsize - nb) <= (mparams.granularity << 1))
        return oldp;
    size_t offset = oldp->prev_foot;
    size_t oldmmsize = oldsize + offset + MMAP_FOOT_PAD;
    /* the offset counts too: an aligned block can start far into its mapping,
     * and leaving it out would give a chunk smaller than nb */
    size_t newmmsize = page_align(nb + offset + 6 * SIZE_T_SIZE + CHUNK_ALIGN_MASK);
    if (newmmsize <= nb + offset)
        return nullptr;
    char *oldbase = (char *)oldp - offset;
    void *moved = mremap(oldbase, oldmmsize, newmmsize, can_move ? MREMAP_MAYMOVE : 0);
    if (moved == MAP_FAILED)
        return nullptr;
    char *cp = (char *)moved;
    if (cp != oldbase) {
        /* the count is unchanged, so re-inserting never needs to grow */
        _registry_remove((uintptr_t)oldbase);
        _registry_insert((uintptr_t)cp);
    }
    mchunkptr newp = (mchunkptr)(cp + offset);
    size_t psize = newmmsize - offset - MMAP_FOOT_PAD;
    newp->head = psize;
    chunk_plus_offset(newp, psize)->head = FENCEPOST_HEAD;
    chunk_plus_offset(newp, psize + SIZE_T_SIZE)->head = 0;
    if (cp < m->least_addr)
        m->least_addr = cp;
    m->footprint += newmmsize - oldmmsize;
    if (m->footprint > m->max_footprint)
        m->max_footprint = m->footprint;
    return newp;
}

/* ---------------------------------------------------------------------------
 * Growing: new memory either extends the top segment, is prepended to the
 * segment that starts right after it, or becomes a segment of its own.
 */
void *prepend_alloc(malloc_state *m, char *newbase, char *oldbase, size_t nb) {
    mchunkptr p = align_as_chunk(newbase);
    mchunkptr oldfirst = align_as_chunk(oldbase);
    size_t psize = (size_t)((char *)oldfirst - (char *)p);
    mchunkptr q = chunk_plus_offset(p, nb);
    size_t qsize = psize - nb;
    set_size_and_pinuse_of_inuse_chunk(p, nb);
    if (oldfirst == m->top) {
        size_t tsize = m->topsize += qsize;
        m->top = q;
        q->head = tsize | PINUSE_BIT;
    } else if (oldfirst == m->dv) {
        size_t dsize = m->dvsize += qsize;
        m->dv = q;
        set_size_and_pinuse_of_free_chunk(q, dsize);
    } else {
        if (!is_inuse(oldfirst)) {
            size_t nsize = chunksize(oldfirst);
            unlink_chunk(m, oldfirst, nsize);
            oldfirst = chunk_plus_offset(oldfirst, nsize);
            qsize += nsize;
        }
        set_free_with_pinuse(q, qsize, oldfirst);
        insert_chunk(m, q, qsize);
    }
    return chunk2mem(p);
}

void add_segment(malloc_state *m, char *tbase, size_t tsize, flag_t mmapped) {
    char *old_top = (char *)m->top;
    msegmentptr oldsp = segment_holding(m, old_top);
    char *old_end = oldsp->base + oldsp->size;
    char *rawsp = old_end - (SEGMENT_RECORD_CHUNK + 4 * SIZE_T_SIZE + CHUNK_ALIGN_MASK);
    char *asp = rawsp + align_offset(chunk2mem(rawsp));
    char *csp = (asp < old_top + MIN_CHUNK_SIZE) ? old_top : asp;
    mchunkptr sp = (mchunkptr)csp;
    msegmentptr ss = (msegmentptr)chunk2mem(sp);
    mchunkptr p = chunk_plus_offset(sp, SEGMENT_RECORD_CHUNK);

    init_top(m, (mchunkptr)tbase, tsize - TOP_FOOT_SIZE);

    /* the old head record moves into an in-use chunk at the old segment's end */
    set_size_and_pinuse_of_inuse_chunk(sp, SEGMENT_RECORD_CHUNK);
    *ss = m->seg;
    m->seg.base = tbase;
    m->seg.size = tsize;
    m->seg.sflags = mmapped;
    m->seg.next = ss;

    /* fence posts to the old segment's end stop every walk there */
    for (;;) {
        mchunkptr nextp = chunk_plus_offset(p, SIZE_T_SIZE);
        p->head = FENCEPOST_HEAD;
        if ((char *)&nextp->head < old_end)
            p = nextp;
        else
            break;
    }

    if (csp != old_top) {
        mchunkptr q = (mchunkptr)old_top;
        size_t psize = (size_t)(csp - old_top);
        mchunkptr tn = chunk_plus_offset(q, psize);
        set_free_with_pinuse(q, psize, tn);
        insert_chunk(m, q, psize);
    }
}

/* One sbrk call, under the global lock held by the caller. */
inline char *call_sbrk(intptr_t increment) { return (char *)sbrk(increment); }

void *sys_alloc(malloc_state *m, size_t nb) {
    char *tbase = CMFAIL;
    size_t tsize = 0;
    flag_t mmap_flag = 0;

    ensure_initialization();

    if ((m->mflags & USE_MMAP_BIT) != 0 && nb >= mparams.mmap_threshold && m->topsize != 0) {
        void *mem = mmap_alloc(m, nb);
        if (mem != nullptr)
            return mem;
    }

    size_t asize = granularity_align(nb + SYS_ALLOC_PADDING);
    if (asize <= nb)
        return nullptr; /* wraps: no errno */
    if (m->footprint_limit != 0) {
        size_t fp = m->footprint + asize;
        if (fp <= m->footprint || fp > m->footprint_limit)
            return nullptr;
    }

    if (!use_noncontiguous(m)) {
        char *br = CMFAIL;
        size_t ssize = asize;
        msegmentptr ss = (m->top == nullptr) ? nullptr : segment_holding(m, m->top);
        acquire_lock(&malloc_global_mutex);
        if (ss == nullptr) {
            char *base = call_sbrk(0);
            if (base != CMFAIL) {
                if (!is_page_aligned(base))
                    ssize += page_align((size_t)base) - (size_t)base;
                size_t fp = m->footprint + ssize;
                if (ssize > nb && ssize < HALF_MAX_SIZE_T &&
                    (m->footprint_limit == 0 || (fp > m->footprint && fp <= m->footprint_limit)) &&
                    (br = call_sbrk((intptr_t)ssize)) == base) {
                    tbase = base;
                    tsize = ssize;
                }
            }
        } else {
            ssize = granularity_align(nb - m->topsize + SYS_ALLOC_PADDING);
            if (ssize < HALF_MAX_SIZE_T && (br = call_sbrk((intptr_t)ssize)) == ss->base + ss->size) {
                tbase = br;
                tsize = ssize;
            }
        }
        if (tbase == CMFAIL) {
            if (br != CMFAIL) {
                /* the break was elsewhere: make what we got big enough */
                if (ssize < HALF_MAX_SIZE_T && ssize < nb + SYS_ALLOC_PADDING) {
                    size_t esize = granularity_align(nb + SYS_ALLOC_PADDING - ssize);
                    if (esize < HALF_MAX_SIZE_T) {
                        char *end = call_sbrk((intptr_t)esize);
                        if (end != CMFAIL) {
                            ssize += esize;
                        } else {
                            (void)call_sbrk(-(intptr_t)ssize);
                            br = CMFAIL;
                        }
                    }
                }
            }
            if (br != CMFAIL) {
                tbase = br;
                tsize = ssize;
            } else {
                m->mflags |= USE_NONCONTIGUOUS_BIT; /* never tried again */
            }
        }
        release_lock(&malloc_global_mutex);
    }

    if (tbase == CMFAIL) {
        char *mp = (char *)call_mmap(asize);
        if (mp != CMFAIL) {
            tbase = mp;
            tsize = asize;
            mmap_flag = USE_MMAP_BIT;
        }
    }

    if (tbase == CMFAIL && asize < HALF_MAX_SIZE_T) {
        acquire_lock(&malloc_global_mutex);
        char *br = call_sbrk((intptr_t)asize);
        char *end = call_sbrk(0);
        release_lock(&malloc_global_mutex);
        if (br != CMFAIL && end != CMFAIL && br < end) {
            size_t ssize = (size_t)(end - br);
            if (ssize > nb + TOP_FOOT_SIZE) {
                tbase = br;
                tsize = ssize;
            }
        }
    }

    if (tbase != CMFAIL) {
        note_footprint_growth(m, tsize);
        if (!is_initialized(m)) {
            if (m->least_addr == nullptr || tbase < m->least_addr)
                m->least_addr = tbase;
            m->seg.base = tbase;
            m->seg.size = tsize;
            m->seg.sflags = mmap_flag;
            m->magic = mparams.magic;
            m->release_checks = MAX_RELEASE_CHECK_RATE;
            init_bins(m);
            init_top(m, (mchunkptr)tbase, tsize - TOP_FOOT_SIZE);
        } else {
            msegmentptr sp = &m->seg;
            while (sp != nullptr && tbase != sp->base + sp->size)
                sp = sp->next;
            if (sp != nullptr && (sp->sflags & USE_MMAP_BIT) == mmap_flag && segment_holds(sp, m->top)) {
                sp->size += tsize;
                init_top(m, m->top, m->topsize + tsize);
            } else {
                if (tbase < m->least_addr)
                    m->least_addr = tbase;
                sp = &m->seg;
                while (sp != nullptr && sp->base != tbase + tsize)
                    sp = sp->next;
                if (sp != nullptr && (sp->sflags & USE_MMAP_BIT) == mmap_flag) {
                    char *oldbase = sp->base;
                    sp->base = tbase;
                    sp->size += tsize;
                    return prepend_alloc(m, tbase, oldbase, nb);
                }
                add_segment(m, tbase, tsize, mmap_flag);
            }
        }

        if (nb < m->topsize) {
            size_t rsize = m->topsize -= nb;
            mchunkptr p = m->top;
            mchunkptr r = m->top = chunk_plus_offset(p, nb);
            r->head = rsize | PINUSE_BIT;
            set_size_and_pinuse_of_inuse_chunk(p, nb);
            return chunk2mem(p);
        }
    }

    errno = ENOMEM;
    return nullptr;
}

/* ---------------------------------------------------------------------------
 * Giving memory back.
 */
size_t release_unused_segments(malloc_state *m) {
    size_t released = 0;
    size_t nsegs = 0;
    msegmentptr pred = &m->seg;
    msegmentptr sp = pred->next;
    while (sp != nullptr) {
        char *base = sp->base;
        size_t size = sp->size;
        msegmentptr next = sp->next;
        ++nsegs;
        if (is_mmapped_segment(sp)) {
            mchunkptr p = align_as_chunk(base);
            size_t psize = chunksize(p);
            if (!is_inuse(p) && p != m->top && (char *)p + psize >= base + size - TOP_FOOT_SIZE) {
                tchunkptr tp = (tchunkptr)p;
                if (p == m->dv) {
                    m->dv = nullptr;
                    m->dvsize = 0;
                } else {
                    unlink_large_chunk(m, tp);
                }
                if (munmap(base, size) == 0) {
                    released += size;
                    m->footprint -= size;
                    sp = pred; /* the record lived inside what was unmapped */
                    sp->next = next;
                } else {
                    insert_large_chunk(m, tp, psize);
                }
            }
        }
        pred = sp;
        sp = next;
    }
    m->release_checks = nsegs > MAX_RELEASE_CHECK_RATE ? nsegs : MAX_RELEASE_CHECK_RATE;
    return released;
}

int sys_trim(malloc_state *m, size_t pad) {
    size_t released = 0;
    ensure_initialization();
    if (pad < MAX_REQUEST && is_initialized(m)) {
        pad += TOP_FOOT_SIZE;
        if (m->topsize > pad) {
            size_t unit = mparams.granularity;
            size_t extra = ((m->topsize - pad + (unit - 1)) / unit - 1) * unit;
            msegmentptr sp = segment_holding(m, m->top);
            if (sp != nullptr && is_mmapped_segment(sp)) {
                if (sp->size >= extra && !has_segment_link(m, sp)) {
                    size_t newsize = sp->size - extra;
                    if (mremap(sp->base, sp->size, newsize, 0) != MAP_FAILED || munmap(sp->base + newsize, extra) == 0)
                        released = extra;
                }
            } else if (sp != nullptr) {
                if (extra >= HALF_MAX_SIZE_T)
                    extra = HALF_MAX_SIZE_T + 1 - unit;
                acquire_lock(&malloc_global_mutex);
                char *old_br = call_sbrk(0);
                /* only while nobody else has moved the break past our end */
                if (old_br == sp->base + sp->size) {
                    char *rel_br = call_sbrk(-(intptr_t)extra);
                    char *new_br = call_sbrk(0);
                    if (rel_br != CMFAIL && new_br < old_br)
                        released = (size_t)(old_br - new_br);
                }
                release_lock(&malloc_global_mutex);
            }
            if (released != 0) {
                sp->size -= released;
                m->footprint -= released;
                init_top(m, m->top, m->topsize - released);
            }
        }
        released += release_unused_segments(m);
        /* frees stop trying to trim until the top is set up anew */
        if (released == 0 && m->topsize > m->trim_check)
            m->trim_check = MAX_SIZE_T;
    }
    return released != 0 ? 1 : 0;
}

/* Returns a chunk that is not in any bin to the free structures: merges it
 * with free neighbours, or unmaps it when it is a mapping of its own. */
void dispose_chunk(malloc_state *m, mchunkptr p, size_t psize) {
    mchunkptr next = chunk_plus_offset(p, psize);
    if (!pinuse(p)) {
        size_t prevsize = p->prev_foot;
        if (is_mmapped(p)) {
            _unmap_chunk(m, p);
            return;
        }
        mchunkptr prev = chunk_minus_offset(p, prevsize);
        psize += prevsize;
        p = prev;
        if (ok_address(m, prev)) {
            if (p != m->dv) {
                unlink_chunk(m, p, prevsize);
            } else if ((next->head & INUSE_BITS) == INUSE_BITS) {
                m->dvsize = psize;
                set_free_with_pinuse(p, psize, next);
                return;
            }
        } else {
            reset_on_error(m);
            return;
        }
    }
    if (!ok_address(m, next)) {
        reset_on_error(m);
        return;
    }
    if (!cinuse(next)) {
        if (next == m->top) {
            size_t tsize = m->topsize += psize;
            m->top = p;
            p->head = tsize | PINUSE_BIT;
            if (p == m->dv) {
                m->dv = nullptr;
                m->dvsize = 0;
            }
            return;
        }
        if (next == m->dv) {
            size_t dsize = m->dvsize += psize;
            m->dv = p;
            set_size_and_pinuse_of_free_chunk(p, dsize);
            return;
        }
        size_t nsize = chunksize(next);
        psize += nsize;
        unlink_chunk(m, next, nsize);
        set_size_and_pinuse_of_free_chunk(p, psize);
        if (p == m->dv) {
            m->dvsize = psize;
            return;
        }
    } else {
        set_free_with_pinuse(p, psize, next);
    }
    insert_chunk(m, p, psize);
}

/* ---------------------------------------------------------------------------
 * Allocation.
 */

/* Smallest chunk of the lowest non-empty tree bin, for a small request. */
void *tmalloc_small(malloc_state *m, size_t nb) {
    bindex_t i = bit2idx(least_bit(m->treemap));
    tchunkptr v, t;
    v = t = *treebin_at(m, i);
    size_t rsize = chunksize(t) - nb;
    while ((t = leftmost_child(t)) != nullptr) {
        size_t trem = chunksize(t) - nb;
        if (trem < rsize) {
            rsize = trem;
            v = t;
        }
    }
    if (ok_address(m, v)) {
        mchunkptr r = chunk_plus_offset(v, nb);
        if (ok_next(v, r)) {
            unlink_large_chunk(m, v);
            if (rsize < MIN_CHUNK_SIZE) {
                set_inuse_and_pinuse((mchunkptr)v, rsize + nb);
            } else {
                set_size_and_pinuse_of_inuse_chunk((mchunkptr)v, nb);
                set_size_and_pinuse_of_free_chunk(r, rsize);
                replace_dv(m, r, rsize);
            }
            return chunk2mem(v);
        }
    }
    reset_on_error(m);
    return nullptr;
}

/* Best fit among the tree bins for a large request. */
void *tmalloc_large(malloc_state *m, size_t nb) {
    tchunkptr v = nullptr;
    size_t rsize = 0U - nb; /* unsigned: any fit is smaller */
    tchunkptr t;
    bindex_t idx = compute_tree_index(nb);
    if ((t = *treebin_at(m, idx)) != nullptr) {
        size_t sizebits = nb << leftshift_for_tree_index(idx);
        tchunkptr rst = nullptr; /* deepest untaken right subtree */
        for (;;) {
            size_t trem = chunksize(t) - nb;
            if (trem < rsize) {
                v = t;
                if ((rsize = trem) == 0)
                    break;
            }
            tchunkptr rt = t->child[1];
            t = t->child[(sizebits >> 31) & 1];
            if (rt != nullptr && rt != t)
                rst = rt;
            if (t == nullptr) {
                t = rst;
                break;
            }
            sizebits <<= 1;
        }
    }
    if (t == nullptr && v == nullptr) {
        binmap_t leftbits = left_bits(idx2bit(idx)) & m->treemap;
        if (leftbits != 0)
            t = *treebin_at(m, bit2idx(least_bit(leftbits)));
    }
    while (t != nullptr) {
        size_t trem = chunksize(t) - nb;
        if (trem < rsize) {
            rsize = trem;
            v = t;
        }
        t = leftmost_child(t);
    }
    /* the designated victim wins when it fits as well or better */
    if (v != nullptr && rsize < (size_t)(m->dvsize - nb)) {
        if (ok_address(m, v)) {
            mchunkptr r = chunk_plus_offset(v, nb);
            if (ok_next(v, r)) {
                unlink_large_chunk(m, v);
                if (rsize < MIN_CHUNK_SIZE) {
                    set_inuse_and_pinuse((mchunkptr)v, rsize + nb);
                } else {
                    set_size_and_pinuse_of_inuse_chunk((mchunkptr)v, nb);
                    set_size_and_pinuse_of_free_chunk(r, rsize);
                    insert_chunk(m, r, rsize);
                }
                return chunk2mem(v);
            }
        }
        reset_on_error(m);
    }
    return nullptr;
}

/* The allocation steps, with the heap lock held. allow_mmap is false for the
 * independent allocators, whose aggregate must never be a mapping. */
void *_malloc_locked(malloc_state *m, size_t bytes, bool allow_mmap) {
    size_t nb;
    void *mem;
    if (bytes <= MAX_SMALL_REQUEST) {
        nb = bytes < MIN_REQUEST ? MIN_CHUNK_SIZE : pad_request(bytes);
        bindex_t idx = small_index(nb);
        binmap_t smallbits = m->smallmap >> idx;

        if ((smallbits & 0x3U) != 0) { /* exact or next-larger bin: use whole */
            idx += ~smallbits & 1;
            mchunkptr b = smallbin_at(m, idx);
            mchunkptr p = b->fd;
            HEAP_ASSERT(chunksize(p) == small_index2size(idx));
            unlink_first_small_chunk(m, b, p, idx);
            set_inuse_and_pinuse(p, small_index2size(idx));
            return chunk2mem(p);
        }
        if (nb > m->dvsize) {
            if (smallbits != 0) { /* a larger small bin: split, rest becomes dv */
                binmap_t leftbits = (smallbits << idx) & left_bits(idx2bit(idx));
                bindex_t i = bit2idx(least_bit(leftbits));
                mchunkptr b = smallbin_at(m, i);
                mchunkptr p = b->fd;
                HEAP_ASSERT(chunksize(p) == small_index2size(i));
                unlink_first_small_chunk(m, b, p, i);
                size_t rsize = small_index2size(i) - nb;
                set_size_and_pinuse_of_inuse_chunk(p, nb);
                mchunkptr r = chunk_plus_offset(p, nb);
                set_size_and_pinuse_of_free_chunk(r, rsize);
                replace_dv(m, r, rsize);
                return chunk2mem(p);
            }
            if (m->treemap != 0 && (mem = tmalloc_small(m, nb)) != nullptr)
                return mem;
        }
    } else if (bytes >= MAX_REQUEST) {
        nb = MAX_SIZE_T; /* can only fail */
    } else {
        nb = pad_request(bytes);
        if (m->treemap != 0 && (mem = tmalloc_large(m, nb)) != nullptr)
            return mem;
    }

    if (nb <= m->dvsize) {
        size_t rsize = m->dvsize - nb;
        mchunkptr p = m->dv;
        if (rsize >= MIN_CHUNK_SIZE) {
            mchunkptr r = m->dv = chunk_plus_offset(p, nb);
            m->dvsize = rsize;
            set_size_and_pinuse_of_free_chunk(r, rsize);
            set_size_and_pinuse_of_inuse_chunk(p, nb);
        } else {
            size_t dvs = m->dvsize;
            m->dvsize = 0;
            m->dv = nullptr;
            set_inuse_and_pinuse(p, dvs);
        }
        return chunk2mem(p);
    }
    if (nb < m->topsize) {
        size_t rsize = m->topsize -= nb;
        mchunkptr p = m->top;
        mchunkptr r = m->top = chunk_plus_offset(p, nb);
        r->head = rsize | PINUSE_BIT;
        set_size_and_pinuse_of_inuse_chunk(p, nb);
        return chunk2mem(p);
    }
    if (allow_mmap)
        return sys_alloc(m, nb);
    flag_t saved = m->mflags;
    m->mflags &= ~USE_MMAP_BIT;
    mem = sys_alloc(m, nb);
    m->mflags = (m->mflags & ~USE_MMAP_BIT) | (saved & USE_MMAP_BIT);
    return mem;
}

/* The free steps, with the heap lock held; p is known to be ours. */
void _free_locked(malloc_state *m, mchunkptr p) {
    if (!ok_address(m, p) || !ok_inuse(p))
        return; /* misuse: ignored */
    size_t psize = chunksize(p);
    mchunkptr next = chunk_plus_offset(p, psize);
    if (!pinuse(p)) {
        size_t prevsize = p->prev_foot;
        if (is_mmapped(p)) {
            _unmap_chunk(m, p);
            return;
        }
        mchunkptr prev = chunk_minus_offset(p, prevsize);
        psize += prevsize;
        p = prev;
        if (!ok_address(m, prev))
            return;
        if (p != m->dv) {
            unlink_chunk(m, p, prevsize);
        } else if ((next->head & INUSE_BITS) == INUSE_BITS) {
            m->dvsize = psize;
            set_free_with_pinuse(p, psize, next);
            return;
        }
    }
    if (!ok_next(p, next) || !ok_pinuse(next))
        return;
    if (!cinuse(next)) {
        if (next == m->top) {
            size_t tsize = m->topsize += psize;
            m->top = p;
            p->head = tsize | PINUSE_BIT;
            if (p == m->dv) {
                m->dv = nullptr;
                m->dvsize = 0;
            }
            if (should_trim(m, tsize))
                sys_trim(m, 0);
            return;
        }
        if (next == m->dv) {
            size_t dsize = m->dvsize += psize;
            m->dv = p;
            set_size_and_pinuse_of_free_chunk(p, dsize);
            return;
        }
        size_t nsize = chunksize(next);
        psize += nsize;
        unlink_chunk(m, next, nsize);
        set_size_and_pinuse_of_free_chunk(p, psize);
        if (p == m->dv) {
            m->dvsize = psize;
            return;
        }
    } else {
        set_free_with_pinuse(p, psize, next);
    }
    if (is_small(psize)) {
        insert_small_chunk(m, p, psize);
    } else {
        insert_large_chunk(m, (tchunkptr)p, psize);
        if (--m->release_checks == 0)
            release_unused_segments(m);
    }
}

/* Resizes p to chunk size nb without copying, or returns null. */
mchunkptr try_realloc_chunk(malloc_state *m, mchunkptr p, size_t nb, int can_move) {
    /* ownership first: next is only computed from a header we wrote */
    if (!_owns_chunk(m, p) || !ok_inuse(p))
        return nullptr;
    size_t oldsize = chunksize(p);
    mchunkptr next = chunk_plus_offset(p, oldsize);
    if (!ok_next(p, next) || !ok_pinuse(next))
        return nullptr;
    if (is_mmapped(p))
        return mmap_resize(m, p, nb, can_move);
    if (oldsize >= nb) {
        size_t rsize = oldsize - nb;
        if (rsize >= MIN_CHUNK_SIZE) {
            mchunkptr r = chunk_plus_offset(p, nb);
            set_inuse(p, nb);
            set_inuse(r, rsize);
            dispose_chunk(m, r, rsize);
        }
        return p;
    }
    if (next == m->top) {
        if (oldsize + m->topsize > nb) {
            size_t newtopsize = oldsize + m->topsize - nb;
            mchunkptr newtop = chunk_plus_offset(p, nb);
            set_inuse(p, nb);
            newtop->head = newtopsize | PINUSE_BIT;
            m->top = newtop;
            m->topsize = newtopsize;
            return p;
        }
        return nullptr;
    }
    if (next == m->dv) {
        size_t dvs = m->dvsize;
        if (oldsize + dvs >= nb) {
            size_t dsize = oldsize + dvs - nb;
            if (dsize >= MIN_CHUNK_SIZE) {
                mchunkptr r = chunk_plus_offset(p, nb);
                mchunkptr n = chunk_plus_offset(r, dsize);
                set_inuse(p, nb);
                set_size_and_pinuse_of_free_chunk(r, dsize);
                clear_pinuse(n);
                m->dvsize = dsize;
                m->dv = r;
            } else {
                set_inuse(p, oldsize + dvs);
                m->dvsize = 0;
                m->dv = nullptr;
            }
            return p;
        }
        return nullptr;
    }
    if (!cinuse(next)) {
        size_t nextsize = chunksize(next);
        if (oldsize + nextsize >= nb) {
            size_t rsize = oldsize + nextsize - nb;
            unlink_chunk(m, next, nextsize);
            if (rsize < MIN_CHUNK_SIZE) {
                set_inuse(p, oldsize + nextsize);
            } else {
                mchunkptr r = chunk_plus_offset(p, nb);
                set_inuse(p, nb);
                set_inuse(r, rsize);
                dispose_chunk(m, r, rsize);
            }
            return p;
        }
    }
    return nullptr;
}

/* How many bytes of a block that failed the in-place resize may be copied.
 * For our own chunks it is the usable size. For a foreign block it is read
 * from its header word with the smaller overhead guess where the block may
 * end at its mapping's end, so the copy never reads past it. */
size_t _copyable_size(malloc_state *m, mchunkptr p) {
    size_t head = p->head;
    size_t size = head & ~FLAG_BITS;
    size_t overhead = CHUNK_OVERHEAD;
    if ((head & INUSE_BITS) == 0)
        overhead = MMAP_CHUNK_OVERHEAD;
    else if (!_owns_chunk(m, p) && (head & CINUSE_BIT) != 0)
        overhead = MMAP_CHUNK_OVERHEAD; /* the platform's mapped-block flag */
    return size > overhead ? size - overhead : 0;
}

void *internal_memalign(malloc_state *m, size_t alignment, size_t bytes) {
    if (alignment < MIN_CHUNK_SIZE)
        alignment = MIN_CHUNK_SIZE;
    if ((alignment & (alignment - 1)) != 0) {
        if (alignment > HALF_MAX_SIZE_T + 1) { /* no power of two above it */
            errno = ENOMEM;
            return nullptr;
        }
        size_t a = MALLOC_ALIGNMENT << 1;
        while (a < alignment)
            a <<= 1;
        alignment = a;
    }
    if (bytes >= MAX_REQUEST - alignment) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t nb = request2size(bytes);
    size_t req = nb + alignment + MIN_CHUNK_SIZE - CHUNK_OVERHEAD;
    void *mem = dlmalloc(req);
    if (mem == nullptr)
        return nullptr;
    mchunkptr p = mem2chunk(mem);
    heap_lock(m);
    if (((size_t)mem & (alignment - 1)) != 0) {
        /* first aligned spot that leaves a leading chunk of at least 16 */
        char *br = (char *)mem2chunk((void *)(((size_t)mem + alignment - 1) & (0U - alignment)));
        char *pos = ((size_t)(br - (char *)p) >= MIN_CHUNK_SIZE) ? br : br + alignment;
        mchunkptr newp = (mchunkptr)pos;
        size_t leadsize = (size_t)(pos - (char *)p);
        size_t newsize = chunksize(p) - leadsize;
        if (is_mmapped(p)) {
            newp->prev_foot = p->prev_foot + leadsize;
            newp->head = newsize;
        } else {
            set_inuse(newp, newsize);
            set_inuse(p, leadsize);
            dispose_chunk(m, p, leadsize);
        }
        p = newp;
    }
    if (!is_mmapped(p)) {
        size_t size = chunksize(p);
        if (size > nb + MIN_CHUNK_SIZE) {
            size_t remainder_size = size - nb;
            mchunkptr remainder = chunk_plus_offset(p, nb);
            set_inuse(p, nb);
            set_inuse(remainder, remainder_size);
            dispose_chunk(m, remainder, remainder_size);
        }
    }
    HEAP_ASSERT(((size_t)chunk2mem(p) & (alignment - 1)) == 0);
    heap_unlock(m);
    return chunk2mem(p);
}

/* The independent allocators: one aggregate block cut into chunks that can
 * each be freed alone. opts bit 0: all elements of sizes[0]; bit 1: clear. */
void **ialloc(malloc_state *m, size_t n_elements, size_t *sizes, int opts, void *chunks[]) {
    ensure_initialization();
    void **marray;
    size_t array_size;
    if (chunks != nullptr) {
        if (n_elements == 0)
            return chunks;
        marray = chunks;
        array_size = 0;
    } else {
        if (n_elements == 0)
            return (void **)dlmalloc(0);
        marray = nullptr;
        if (n_elements >= MAX_REQUEST / sizeof(void *))
            return nullptr;
        array_size = request2size(n_elements * sizeof(void *));
    }

    /* every sum is checked: a wrapped total would be cut into overlapping chunks */
    size_t element_size = 0;
    size_t contents_size = 0;
    if (opts & 1) {
        if (sizes[0] >= MAX_REQUEST)
            return nullptr;
        element_size = request2size(sizes[0]);
        if (element_size != 0 && n_elements > MAX_REQUEST / element_size)
            return nullptr;
        contents_size = n_elements * element_size;
    } else {
        for (size_t i = 0; i != n_elements; ++i) {
            if (sizes[i] >= MAX_REQUEST)
                return nullptr;
            size_t s = request2size(sizes[i]);
            if (contents_size + s < contents_size || contents_size + s >= MAX_REQUEST)
                return nullptr;
            contents_size += s;
        }
    }
    size_t size = contents_size + array_size;
    if (size < contents_size || size >= MAX_REQUEST)
        return nullptr;

    heap_lock(m);
    void *mem = _malloc_locked(m, size - CHUNK_OVERHEAD, false);
    if (mem == nullptr) {
        heap_unlock(m);
        return nullptr;
    }
    mchunkptr p = mem2chunk(mem);
    HEAP_ASSERT(!is_mmapped(p));
    size_t remainder_size = chunksize(p);
    if (opts & 2)
        memset(mem, 0, remainder_size - SIZE_T_SIZE - array_size);
    if (marray == nullptr) {
        mchunkptr array_chunk = chunk_plus_offset(p, contents_size);
        size_t array_chunk_size = remainder_size - contents_size;
        marray = (void **)chunk2mem(array_chunk);
        set_size_and_pinuse_of_inuse_chunk(array_chunk, array_chunk_size);
        remainder_size = contents_size;
    }
    for (size_t i = 0;; ++i) {
        marray[i] = chunk2mem(p);
        if (i != n_elements - 1) {
            size_t s = element_size != 0 ? element_size : request2size(sizes[i]);
            remainder_size -= s;
            set_size_and_pinuse_of_inuse_chunk(p, s);
            p = chunk_plus_offset(p, s);
        } else {
            set_size_and_pinuse_of_inuse_chunk(p, remainder_size);
            break;
        }
    }
    heap_unlock(m);
    return marray;
}

size_t internal_bulk_free(malloc_state *m, void *array[], size_t nelem) {
    heap_lock(m);
    void **fence = &array[nelem];
    for (void **a = array; a != fence; ++a) {
        void *mem = *a;
        if (mem == nullptr)
            continue;
        mchunkptr p = mem2chunk(mem);
        *a = nullptr;
        if (!_owns_chunk(m, p))
            continue; /* not ours: left alone, as dlfree does */
        if (!ok_inuse(p)) {
            reset_on_error(m);
            break;
        }
        size_t psize = chunksize(p);
        void **b = a + 1;
        mchunkptr next = next_chunk(p);
        /* merge with the next entry only when it is the live chunk right after */
        if (b != fence && *b == chunk2mem(next) && !is_mmapped(p) && cinuse(next)) {
            size_t newsize = chunksize(next) + psize;
            set_inuse(p, newsize);
            *b = chunk2mem(p);
        } else {
            dispose_chunk(m, p, psize);
        }
    }
    if (should_trim(m, m->topsize))
        sys_trim(m, 0);
    heap_unlock(m);
    return 0;
}

/* ---------------------------------------------------------------------------
 * Statistics.
 */
struct heap_walk_totals {
    size_t sum;   /* every chunk seen plus the top and its foot */
    size_t free;  /* free chunks plus the top and its foot */
    size_t nfree; /* free chunks plus one for the top */
};

heap_walk_totals _walk_totals(malloc_state *m) {
    heap_walk_totals t = {0, 0, 0};
    if (!is_initialized(m))
        return t;
    t.nfree = 1;
    t.free = t.sum = m->topsize + TOP_FOOT_SIZE;
    for (msegmentptr s = &m->seg; s != nullptr; s = s->next) {
        mchunkptr q = align_as_chunk(s->base);
        while (segment_holds(s, q) && q != m->top && q->head != FENCEPOST_HEAD) {
            size_t sz = chunksize(q);
            t.sum += sz;
            if (!is_inuse(q)) {
                t.free += sz;
                ++t.nfree;
            }
            q = next_chunk(q);
        }
    }
    return t;
}

struct mallinfo internal_mallinfo(malloc_state *m) {
    struct mallinfo nm;
    memset(&nm, 0, sizeof nm);
    ensure_initialization();
    heap_lock(m);
    if (is_initialized(m)) {
        heap_walk_totals t = _walk_totals(m);
        nm.arena = (int)t.sum;
        nm.ordblks = (int)t.nfree;
        nm.hblkhd = (int)(m->footprint - t.sum);
        nm.usmblks = (int)m->max_footprint;
        nm.uordblks = (int)(m->footprint - t.free);
        nm.fordblks = (int)t.free;
        nm.keepcost = (int)m->topsize;
    }
    heap_unlock(m);
    return nm;
}

void internal_malloc_stats(malloc_state *m) {
    size_t maxfp = 0, fp = 0, used = 0;
    ensure_initialization();
    heap_lock(m);
    if (is_initialized(m)) {
        heap_walk_totals t = _walk_totals(m);
        maxfp = m->max_footprint;
        fp = m->footprint;
        used = fp - t.free;
    }
    heap_unlock(m);
    fprintf(stderr, "max system bytes = %10lu\n", (unsigned long)maxfp);
    fprintf(stderr, "system bytes     = %10lu\n", (unsigned long)fp);
    fprintf(stderr, "in use bytes     = %10lu\n", (unsigned long)used);
}


/* ---------------------------------------------------------------------------
 * The whole-heap walker, for tests and debugging: every segment chunk by
 * chunk, every bin, the designated victim and the top.
 */
struct check_context {
    int faults;
};

void _fault(check_context &c, const char *what, const void *where) {
    ++c.faults;
    fprintf(stderr, "private heap check: %s at %p\n", what, where);
}

size_t _check_tree(malloc_state *m, check_context &c, tchunkptr t, bindex_t index, int depth) {
    if (t == nullptr)
        return 0;
    if (depth > 40) {
        _fault(c, "tree deeper than the size bits", t);
        return 0;
    }
    size_t count = 0;
    size_t size = chunksize(t);
    size_t low = minsize_for_tree_index(index);
    size_t high = index == NTREEBINS - 1 ? MAX_SIZE_T : minsize_for_tree_index(index + 1) - 1;
    if (size < low || size > high)
        _fault(c, "tree chunk outside its bin's range", t);
    if (t->index != index)
        _fault(c, "tree chunk with a wrong bin index", t);
    tchunkptr u = t;
    do { /* the list of equal sizes hanging at this node */
        ++count;
        if (chunksize(u) != size)
            _fault(c, "unequal sizes on one tree node's list", u);
        if (is_inuse((mchunkptr)u))
            _fault(c, "in-use chunk in a tree bin", u);
        if (u->fd->bk != u || u->bk->fd != u)
            _fault(c, "broken tree list links", u);
        if (u != t && u->parent != nullptr)
            _fault(c, "list member with a parent", u);
        u = u->fd;
    } while (u != t && count < 1000000);
    for (int k = 0; k < 2; ++k) {
        tchunkptr child = t->child[k];
        if (child == nullptr)
            continue;
        if (child->parent != t)
            _fault(c, "child whose parent link is wrong", child);
        count += _check_tree(m, c, child, index, depth + 1);
    }
    return count;
}

int _check_heap(malloc_state *m) {
    check_context c = {0};
    if (!is_initialized(m))
        return 0;
    size_t binned = 0;
    for (bindex_t i = 0; i < NSMALLBINS; ++i) {
        sbinptr b = smallbin_at(m, i);
        /* an emptied bin keeps stale links: its map bit alone says it is empty */
        if (!smallmap_is_marked(m, i))
            continue;
        if (b->fd == b) {
            fprintf(stderr, "private heap check: small bin %u is marked but empty\n", i);
            ++c.faults;
        }
        size_t n = 0;
        for (mchunkptr p = b->fd; p != b && n < 100000000; p = p->fd, ++n) {
            if (chunksize(p) != small_index2size(i) || is_inuse(p) || p->fd->bk != p) {
                _fault(c, "small bin chunk with a wrong size, an in-use bit or broken links", p);
                break;
            }
        }
        binned += n;
    }
    for (bindex_t i = 0; i < NTREEBINS; ++i) {
        tchunkptr t = *treebin_at(m, i);
        if ((t == nullptr) != !treemap_is_marked(m, i))
            _fault(c, "tree map bit disagrees with its bin", treebin_at(m, i));
        if (t != nullptr && t->parent != (tchunkptr)treebin_at(m, i))
            _fault(c, "tree root without its bin as parent", t);
        binned += _check_tree(m, c, t, i, 0);
    }
    if ((m->dv == nullptr) != (m->dvsize == 0))
        _fault(c, "designated victim and its size disagree", m->dv);
    if (m->dv != nullptr && (chunksize(m->dv) != m->dvsize || is_inuse(m->dv)))
        _fault(c, "designated victim header wrong", m->dv);

    size_t free_seen = 0;
    bool top_seen = false;
    for (msegmentptr s = &m->seg; s != nullptr; s = s->next) {
        mchunkptr q = align_as_chunk(s->base);
        if (!pinuse(q))
            _fault(c, "first chunk of a segment without its previous-in-use bit", q);
        while (segment_holds(s, q) && q != m->top && q->head != FENCEPOST_HEAD) {
            size_t sz = chunksize(q);
            if (sz < MIN_CHUNK_SIZE || (sz & CHUNK_ALIGN_MASK) != 0 || ((size_t)chunk2mem(q) & CHUNK_ALIGN_MASK) != 0) {
                _fault(c, "chunk with a bad size or alignment", q);
                break;
            }
            mchunkptr n = next_chunk(q);
            if ((char *)n > s->base + s->size) {
                _fault(c, "chunk runs past its segment", q);
                break;
            }
            if (is_inuse(q)) {
                if (is_mmapped(q))
                    _fault(c, "mapped-chunk header inside a segment", q);
                if (!pinuse(n))
                    _fault(c, "in-use chunk whose next says it is free", q);
            } else {
                if (q != m->dv)
                    ++free_seen;
                if (pinuse(n) || n->prev_foot != sz)
                    _fault(c, "free chunk without its foot in the next chunk", q);
                if (!cinuse(n) && n->head != FENCEPOST_HEAD)
                    _fault(c, "two free chunks side by side", q);
            }
            q = n;
        }
        if (q == m->top) {
            top_seen = true;
            if ((char *)m->top + m->topsize + TOP_FOOT_SIZE != s->base + s->size)
                _fault(c, "top does not reach its segment's end", m->top);
        }
    }
    if (!top_seen)
        _fault(c, "top not found in any segment", m->top);
    if (m->top->head != (m->topsize | PINUSE_BIT))
        _fault(c, "top header wrong", m->top);
    if (free_seen != binned) {
        fprintf(stderr, "private heap check: %lu free chunks in segments, %lu in bins\n", (unsigned long)free_seen,
                (unsigned long)binned);
        ++c.faults;
    }
    if (_mappings.count * 2 > _mappings.capacity && _mappings.capacity != 0)
        _fault(c, "mapping registry over its load limit", _mappings.slots);
    return c.faults;
}

/* With QUARROW_DEBUG=2 every 4096th call walks the whole heap under the lock,
 * so a broken structure stops the process close to where it broke. */
#if QUARROW_DEBUG >= 2
unsigned _calls_since_walk;
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

} // namespace

/* ---------------------------------------------------------------------------
 * The public interface.
 */
extern "C" {

void *dlmalloc(size_t bytes) {
    ensure_initialization();
    heap_lock(&_gm_);
    void *mem = _malloc_locked(&_gm_, bytes, true);
    _debug_walk(&_gm_);
    heap_unlock(&_gm_);
    return mem;
}

void dlfree(void *mem) {
    if (mem == nullptr)
        return;
    mchunkptr p = mem2chunk(mem);
    heap_lock(&_gm_);
    if (_owns_chunk(&_gm_, p))
        _free_locked(&_gm_, p);
    _debug_walk(&_gm_);
    heap_unlock(&_gm_);
}

void *dlcalloc(size_t n_elements, size_t elem_size) {
    size_t req = 0;
    if (n_elements != 0) {
        req = n_elements * elem_size;
        if (((n_elements | elem_size) & ~(size_t)0xffff) != 0 && req / n_elements != elem_size)
            req = MAX_SIZE_T; /* overflow: fails */
    }
    void *mem = dlmalloc(req);
    /* a fresh mapping is already zero */
    if (mem != nullptr && !is_mmapped(mem2chunk(mem)))
        memset(mem, 0, req);
    return mem;
}

void *dlrealloc(void *oldmem, size_t bytes) {
    if (oldmem == nullptr)
        return dlmalloc(bytes);
    if (bytes >= MAX_REQUEST) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t nb = request2size(bytes);
    mchunkptr oldp = mem2chunk(oldmem);
    heap_lock(&_gm_);
    mchunkptr newp = try_realloc_chunk(&_gm_, oldp, nb, 1);
    size_t copyable = newp == nullptr ? _copyable_size(&_gm_, oldp) : 0;
    heap_unlock(&_gm_);
    if (newp != nullptr)
        return chunk2mem(newp);
    void *mem = dlmalloc(bytes);
    if (mem != nullptr) {
        memcpy(mem, oldmem, copyable < bytes ? copyable : bytes);
        dlfree(oldmem); /* does nothing for a block that is not ours */
    }
    return mem;
}

void *dlrealloc_in_place(void *oldmem, size_t bytes) {
    if (oldmem == nullptr)
        return nullptr;
    if (bytes >= MAX_REQUEST) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t nb = request2size(bytes);
    heap_lock(&_gm_);
    mchunkptr newp = try_realloc_chunk(&_gm_, mem2chunk(oldmem), nb, 0);
    heap_unlock(&_gm_);
    return newp == mem2chunk(oldmem) ? oldmem : nullptr;
}

void *dlmemalign(size_t alignment, size_t bytes) {
    if (alignment <= MALLOC_ALIGNMENT)
        return dlmalloc(bytes);
    return internal_memalign(&_gm_, alignment, bytes);
}

int dlposix_memalign(void **out, size_t alignment, size_t bytes) {
    void *mem = nullptr;
    if (alignment == MALLOC_ALIGNMENT) {
        mem = dlmalloc(bytes);
    } else {
        size_t d = alignment / sizeof(void *);
        size_t r = alignment % sizeof(void *);
        if (r != 0 || d == 0 || (d & (d - 1)) != 0)
            return EINVAL;
        if (bytes <= MAX_REQUEST - alignment) {
            if (alignment < MIN_CHUNK_SIZE)
                alignment = MIN_CHUNK_SIZE;
            mem = internal_memalign(&_gm_, alignment, bytes);
        }
    }
    if (mem == nullptr)
        return ENOMEM;
    *out = mem;
    return 0;
}

void *dlvalloc(size_t bytes) {
    ensure_initialization();
    return dlmemalign(mparams.page_size, bytes);
}

void *dlpvalloc(size_t bytes) {
    ensure_initialization();
    size_t pagesz = mparams.page_size;
    if (bytes > MAX_SIZE_T - (pagesz - 1)) { /* rounding up would wrap to 0 */
        errno = ENOMEM;
        return nullptr;
    }
    return dlmemalign(pagesz, (bytes + pagesz - 1) & ~(pagesz - 1));
}

void **dlindependent_calloc(size_t n_elements, size_t elem_size, void *chunks[]) {
    size_t sz = elem_size;
    return ialloc(&_gm_, n_elements, &sz, 3, chunks);
}

void **dlindependent_comalloc(size_t n_elements, size_t sizes[], void *chunks[]) {
    return ialloc(&_gm_, n_elements, sizes, 0, chunks);
}

size_t dlbulk_free(void *array[], size_t n_elements) { return internal_bulk_free(&_gm_, array, n_elements); }

int dlmalloc_trim(size_t pad) {
    ensure_initialization();
    heap_lock(&_gm_);
    int result = sys_trim(&_gm_, pad);
    heap_unlock(&_gm_);
    return result;
}

size_t dlmalloc_footprint(void) { return _gm_.footprint; }

size_t dlmalloc_max_footprint(void) { return _gm_.max_footprint; }

size_t dlmalloc_footprint_limit(void) {
    size_t limit = _gm_.footprint_limit;
    return limit == 0 ? MAX_SIZE_T : limit;
}

size_t dlmalloc_set_footprint_limit(size_t bytes) {
    ensure_initialization();
    size_t result;
    if (bytes == MAX_SIZE_T)
        result = 0;
    else if (bytes == 0)
        result = granularity_align(1);
    else if (bytes > MAX_SIZE_T - (mparams.granularity - 1))
        result = ~(mparams.granularity - 1); /* rounding up would wrap to "no limit" */
    else
        result = granularity_align(bytes);
    _gm_.footprint_limit = result;
    return result;
}

struct mallinfo dlmallinfo(void) { return internal_mallinfo(&_gm_); }

void dlmalloc_stats(void) { internal_malloc_stats(&_gm_); }

int dlmallopt(int param, int value) { return change_mparam(param, value); }

size_t dlmalloc_usable_size(const void *mem) {
    if (mem != nullptr) {
        mchunkptr p = mem2chunk(mem);
        if (is_inuse(p))
            return chunksize(p) - overhead_for(p);
    }
    return 0;
}

int private_heap_owns(const void *mem) {
    if (mem == nullptr)
        return 0;
    heap_lock(&_gm_);
    int owned = _owns_chunk(&_gm_, mem2chunk(mem)) ? 1 : 0;
    heap_unlock(&_gm_);
    return owned;
}

int private_heap_check(void) {
    heap_lock(&_gm_);
    int faults = _check_heap(&_gm_);
    heap_unlock(&_gm_);
    return faults;
}

} // extern "C"
