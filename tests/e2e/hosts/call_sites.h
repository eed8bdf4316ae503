/*
 * What every test host needs to keep its call sites real: each site is a
 * function of its own that the compiler may neither inline nor clone, every
 * result is stored so that no call is dead code, and loop counts are hidden
 * so that no loop is unrolled into several call sites, each a record of its
 * own in the report.
 */
#ifndef QUARROW_E2E_CALL_SITES_H
#define QUARROW_E2E_CALL_SITES_H

#define SITE __attribute__((noinline, noclone))

void *volatile last_block;

static inline int times(int count) {
    volatile int opaque = count;
    return opaque;
}

#endif
