/*
 * Blocks handed between threads and freed by the other one, so that a block
 * freed on one thread is handed out again at once on the other: the order
 * in which the tracker sees the free and the new allocation decides whether
 * its report is right.
 *
 * Usage: e2e_handoff_host ROUNDS. Two pairs of threads run ROUNDS rounds
 * each: in one pair, site_handoff_malloc allocates and the partner frees; in
 * the other, site_handoff_realloc moves a block from site_handoff_small to a larger size (releasing
 * the old address to the shared heap, where the partner's site_handoff_refill
 * allocation takes it at once) and the partner frees both. Every block is freed at the end, so
 * each site's allocated and freed totals must match, with no unmatched
 * release. Prints one SITE line per site with the counts it made.
 */
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_sites.h"

static int _rounds;

// One block in flight from a producer to its partner.
typedef struct mailbox {
    void *volatile block;
    void *volatile extra;
} mailbox;

static void _put(mailbox *box, void *block, void *extra) {
    while (__atomic_load_n(&box->block, __ATOMIC_ACQUIRE) != NULL)
        sched_yield(); // four threads on fewer cores: let the partner run
    box->extra = extra;
    __atomic_store_n(&box->block, block, __ATOMIC_RELEASE);
}

static void *_take(mailbox *box, void **extra) {
    void *block;
    while ((block = __atomic_load_n(&box->block, __ATOMIC_ACQUIRE)) == NULL)
        sched_yield();
    if (extra != NULL)
        *extra = box->extra;
    __atomic_store_n(&box->block, NULL, __ATOMIC_RELEASE);
    return block;
}

SITE void *site_handoff_malloc(size_t size) { return malloc(size); }
SITE void *site_handoff_small(size_t size) { return malloc(size); }
SITE void *site_handoff_realloc(void *block, size_t size) { return realloc(block, size); }
SITE void *site_handoff_refill(size_t size) { return malloc(size); }

static mailbox _plain, _moved;

static void *_allocating(void *unused) {
    (void)unused;
    for (int i = 0; i < _rounds; i++)
        _put(&_plain, site_handoff_malloc(24), NULL);
    return NULL;
}

static void *_freeing(void *unused) {
    (void)unused;
    for (int i = 0; i < _rounds; i++)
        free(_take(&_plain, NULL));
    return NULL;
}

// Sizes too large for the per-thread caches: the grown block moves, and its
// old chunk goes back to the shared heap at once, where the partner's refill
// of the same size finds it (a cached one would be reused on this thread).
#define SMALL 12000
#define GROWN 40000

static void *_reallocating(void *unused) {
    (void)unused;
    for (int i = 0; i < _rounds; i++) {
        void *block = site_handoff_small(SMALL);
        memset(block, 1, 24);
        void *grown = site_handoff_realloc(block, GROWN);
        if (grown == NULL)
            abort();
        _put(&_moved, grown, NULL);
    }
    return NULL;
}

// Takes the old chunk's address back at once, frees it and the grown block.
static void *_refilling(void *unused) {
    (void)unused;
    for (int i = 0; i < _rounds; i++) {
        void *refill = site_handoff_refill(SMALL);
        free(_take(&_moved, NULL));
        free(refill);
    }
    return NULL;
}

int main(int argc, char **argv) {
    _rounds = argc > 1 ? atoi(argv[1]) : 100000;
    pthread_t threads[4];
    void *(*bodies[4])(void *) = {_allocating, _freeing, _reallocating, _refilling};
    for (int t = 0; t < 4; t++)
        if (pthread_create(&threads[t], NULL, bodies[t], NULL) != 0)
            return 2;
    for (int t = 0; t < 4; t++)
        pthread_join(threads[t], NULL);
    unsigned long long rounds = (unsigned long long)_rounds;
    printf("SITE site_handoff_malloc allocated=%llu allocations=%llu freed=%llu frees=%llu\n", 24 * rounds, rounds,
           24 * rounds, rounds);
    printf("SITE site_handoff_small allocated=%llu allocations=%llu freed=%llu frees=%llu\n", SMALL * rounds, rounds,
           SMALL * rounds, rounds);
    printf("SITE site_handoff_realloc allocated=%llu allocations=%llu freed=%llu frees=%llu\n", GROWN * rounds, rounds,
           GROWN * rounds, rounds);
    printf("SITE site_handoff_refill allocated=%llu allocations=%llu freed=%llu frees=%llu\n", SMALL * rounds, rounds,
           SMALL * rounds, rounds);
    return 0;
}
