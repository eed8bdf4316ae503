/*
 * Segments, ownership by address, and putting free chunks into and taking
 * them out of the small bins and the tree bins; the corruption reset.
 */
#include "private_heap/private_heap_internal.h"

namespace heap {

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
            tchunkptr *c = &t->child[tree_key_bit(k)];
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
    publish_segments(m);
}
} // namespace heap
