/*
 * The private heap's use of system memory: the top chunk, blocks mapped on
 * their own, growing by sbrk or mmap into segments, and giving memory back.
 */
#include "private_heap/private_heap_internal.h"

#include <errno.h>

namespace heap {

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

/* allow_mmap is false for the independent allocators, whose aggregate must
 * never be a mapping of its own. */
void *sys_alloc(malloc_state *m, size_t nb, bool allow_mmap) {
    char *tbase = CMFAIL;
    size_t tsize = 0;
    flag_t mmap_flag = 0;

    ensure_initialization();

    if (allow_mmap && (m->mflags & USE_MMAP_BIT) != 0 && nb >= mparams.mmap_threshold && m->topsize != 0) {
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
        global_lock();
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
        global_unlock();
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
        global_lock();
        char *br = call_sbrk((intptr_t)asize);
        char *end = call_sbrk(0);
        global_unlock();
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
    publish_segments(m); /* also the end of every trim, which calls this last */
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
                global_lock();
                char *old_br = call_sbrk(0);
                /* only while nobody else has moved the break past our end */
                if (old_br == sp->base + sp->size) {
                    char *rel_br = call_sbrk(-(intptr_t)extra);
                    char *new_br = call_sbrk(0);
                    if (rel_br != CMFAIL && new_br < old_br)
                        released = (size_t)(old_br - new_br);
                }
                global_unlock();
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
} // namespace heap
