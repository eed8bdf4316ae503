/*
 * The private heap's whole-structure walker, for tests and QUARROW_DEBUG=2.
 */
#include "private_heap/private_heap_internal.h"

// Error lines name the heap as they always have.
static const char _source_file[] = "src/private_heap.cpp";

namespace heap {

struct check_context {
    int faults;
};

static void _fault(check_context &c, const char *what, const void *where) {
    ++c.faults;
    fprintf(stderr, "private heap check: %s at %p\n", what, where);
}

/* path holds the branches taken from the root down to t in its top `depth`
 * bits: every chunk below a branch has that bit in its key. */
static size_t _check_tree(malloc_state *m, check_context &c, tchunkptr t, bindex_t index, unsigned depth, size_t path) {
    if (t == nullptr)
        return 0;
    if (depth >= SIZE_T_BITSIZE) {
        _fault(c, "tree deeper than the size bits", t);
        return 0;
    }
    size_t count = 0;
    size_t size = chunksize(t);
    size_t key = size << leftshift_for_tree_index(index);
    size_t taken = depth == 0 ? 0 : ~(size_t)0 << (SIZE_T_BITSIZE - depth);
    if (((key ^ path) & taken) != 0)
        _fault(c, "tree chunk on a branch its size bits do not take", t);
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
        count += _check_tree(m, c, child, index, depth + 1, path | ((size_t)k << (SIZE_T_BITSIZE - 1 - depth)));
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
        binned += _check_tree(m, c, t, i, 0, 0);
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

#if QUARROW_DEBUG >= 2
unsigned _calls_since_walk;
#endif

[[noreturn]] void _assertion_failed(const char *what, int line) {
    fprintf(stderr, "QUARROW ERROR: private heap invariant broken: %s, File: %s, Line: %d\n", what, _source_file, line);
    abort();
}
} // namespace heap
