/*
 * The private heap: a boundary-tag allocator with binned free lists.
 *
 * Memory is a sequence of chunks inside segments obtained with sbrk (or mmap
 * when the break cannot grow); each chunk carries one header word. Free
 * chunks below 256 bytes (512 on x86_64) live in 32 exact-size small bins,
 * larger ones in 32 bitwise tries keyed on their size. The remainder of the
 * last small split is kept aside as the designated victim, so runs of small
 * requests are cut from one place. Requests whose chunk is 256 KiB or more
 * get a mapping of their own, freed at once.
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
 *
 * Its files each hold one concern: private_heap_internal.h (records,
 * constants, chunk arithmetic, bin maps, locks), params (set-up), registry
 * (own mappings), bins (segments, ownership, bin lists), system (sbrk,
 * mmap, trim) and check (the whole-heap walker). This file holds the
 * allocation and free paths and the public interface.
 */
#include "private_heap/private_heap_internal.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include "cache_line.h"

int malloc_corruption_error_count;

namespace heap {

/* ---------------------------------------------------------------------------
 * Global state: the parameters, the one heap and the two locks.
 */
malloc_params mparams;
QUARROW_OWN_LINE malloc_state _gm_; // written on every heap call
volatile int malloc_global_mutex;   // the global lock; order: lock_order.h

} // namespace heap

using namespace heap;

namespace {

/* ---------------------------------------------------------------------------
 * Allocation.
 */

/* Takes tree chunk v for a request of nb with rsize to spare: whole when the
 * rest is too small to stand alone, else split, the rest going to the
 * designated victim (small requests) or back into a bin (large ones). */
void *_take_tree_chunk(malloc_state *m, tchunkptr v, size_t nb, size_t rsize, bool rest_to_dv) {
    if (ok_address(m, v)) {
        mchunkptr r = chunk_plus_offset(v, nb);
        if (ok_next(v, r)) {
            unlink_large_chunk(m, v);
            if (rsize < MIN_CHUNK_SIZE) {
                set_inuse_and_pinuse((mchunkptr)v, rsize + nb);
            } else {
                set_size_and_pinuse_of_inuse_chunk((mchunkptr)v, nb);
                set_size_and_pinuse_of_free_chunk(r, rsize);
                if (rest_to_dv)
                    replace_dv(m, r, rsize);
                else
                    insert_chunk(m, r, rsize);
            }
            return chunk2mem(v);
        }
    }
    reset_on_error(m);
    return nullptr;
}

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
    return _take_tree_chunk(m, v, nb, rsize, true);
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
            t = t->child[tree_key_bit(sizebits)];
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
    if (v != nullptr && rsize < (size_t)(m->dvsize - nb))
        return _take_tree_chunk(m, v, nb, rsize, false);
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
    mem = sys_alloc(m, nb, allow_mmap);
    publish_segments(m);
    return mem;
}

/* The free steps, with the heap lock held; p is known to be ours, which
 * includes the check against least_addr. */
void _free_locked(malloc_state *m, mchunkptr p) {
    if (!ok_inuse(p))
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

/* Resizes p to chunk size nb without copying, or returns null. The caller
 * has checked that p is ours: next is only computed from a header we wrote. */
mchunkptr try_realloc_chunk(malloc_state *m, mchunkptr p, size_t nb, int can_move) {
    if (!ok_inuse(p))
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
size_t _copyable_size(mchunkptr p, bool owned) {
    size_t head = p->head;
    size_t size = head & ~FLAG_BITS;
    size_t overhead = CHUNK_OVERHEAD;
    if ((head & INUSE_BITS) == 0)
        overhead = MMAP_CHUNK_OVERHEAD;
    else if (!owned && (head & CINUSE_BIT) != 0)
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
        /* first aligned spot that leaves a leading chunk of at least MIN_CHUNK_SIZE */
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

} // namespace

namespace heap {
/* The allocation and free steps for the thread caches, which take the lock
 * once for a whole batch. */
void *malloc_locked(malloc_state *m, size_t bytes) { return _malloc_locked(m, bytes, true); }
void free_locked(malloc_state *m, mchunkptr p) { _free_locked(m, p); }
} // namespace heap

/* ---------------------------------------------------------------------------
 * The public interface.
 */
#if QUARROW_TEST_SEAMS
/* Tests of out-of-memory paths: -1 is off, otherwise the number of requests
 * that still succeed before every later one fails. */
static int _fail_countdown = -1;

bool heap::_injected_failure() {
    int left = __atomic_load_n(&_fail_countdown, __ATOMIC_ACQUIRE);
    while (left > 0 &&
           !__atomic_compare_exchange_n(&_fail_countdown, &left, left - 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    }
    if (left != 0)
        return false;
    errno = ENOMEM;
    return true;
}

extern "C" void private_heap_fail_after(int successes) {
    __atomic_store_n(&_fail_countdown, successes, __ATOMIC_RELEASE);
}
#endif

extern "C" {

void *dlmalloc(size_t bytes) {
#if QUARROW_TEST_SEAMS
    if (_injected_failure())
        return nullptr;
#endif
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
        /* factors of half a word each cannot overflow: no division for them */
        const size_t half_word = ((size_t)1 << (SIZE_T_BITSIZE / 2)) - 1; /* 0xffff, 0xffffffff */
        if (((n_elements | elem_size) & ~half_word) != 0 && req / n_elements != elem_size)
            req = MAX_SIZE_T; /* overflow: fails */
    }
    void *mem = dlmalloc(req);
    /* a fresh mapping is already zero */
    if (mem != nullptr && !is_mmapped(mem2chunk(mem)))
        memset(mem, 0, req);
    return mem;
}

void *dlrealloc_marked(void *oldmem, size_t bytes, void (*mark)(void *), void *context) {
    if (oldmem == nullptr) {
        void *mem = dlmalloc(bytes);
        if (mem != nullptr && mark != nullptr)
            mark(context);
        return mem;
    }
    if (bytes >= MAX_REQUEST) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t nb = request2size(bytes);
    mchunkptr oldp = mem2chunk(oldmem);
    heap_lock(&_gm_);
    bool owned = _owns_chunk(&_gm_, oldp);
    mchunkptr newp = owned ? try_realloc_chunk(&_gm_, oldp, nb, 1) : nullptr;
    size_t copyable = newp == nullptr ? _copyable_size(oldp, owned) : 0;
    heap_unlock(&_gm_);
    if (newp != nullptr) {
        if (mark != nullptr)
            mark(context);
        return chunk2mem(newp);
    }
    void *mem = dlmalloc(bytes);
    if (mem != nullptr) {
        memcpy(mem, oldmem, copyable < bytes ? copyable : bytes);
        if (mark != nullptr) // the new block is held, the old one not yet released
            mark(context);
        if (owned) /* a block that is not ours is left alone */
            dlfree(oldmem);
    }
    return mem;
}

void *dlrealloc(void *oldmem, size_t bytes) { return dlrealloc_marked(oldmem, bytes, nullptr, nullptr); }

void *dlrealloc_in_place(void *oldmem, size_t bytes) {
    if (oldmem == nullptr)
        return nullptr;
    if (bytes >= MAX_REQUEST) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t nb = request2size(bytes);
    mchunkptr oldp = mem2chunk(oldmem);
    heap_lock(&_gm_);
    mchunkptr newp = _owns_chunk(&_gm_, oldp) ? try_realloc_chunk(&_gm_, oldp, nb, 0) : nullptr;
    heap_unlock(&_gm_);
    return newp == oldp ? oldmem : nullptr;
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
    /* The caches' blocks first, so that their memory can go back too; their
     * return may already trim, which counts as this call's doing. */
    size_t footprint = _gm_.footprint;
    thread_caches_flush_locked(&_gm_);
    int result = sys_trim(&_gm_, pad);
    if (_gm_.footprint < footprint)
        result = 1;
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

struct mallinfo dlmallinfo(void) {
    return internal_mallinfo(&_gm_);
}

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

// Around fork: the child must find both locks free. The heap's own order
// (the heap lock, then the global one around the break) is kept.
void private_heap_prepare_fork(void) {
    ensure_initialization();
    heap_lock(&_gm_);
    global_lock();
}

void private_heap_after_fork(void) {
    global_unlock();
    heap_unlock(&_gm_);
}

int private_heap_check(void) {
    heap_lock(&_gm_);
    int faults = _check_heap(&_gm_);
    heap_unlock(&_gm_);
    return faults;
}

} // extern "C"
