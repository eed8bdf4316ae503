// Cache hints for the hot loops: a line fetched before it is needed. The
// library runs on any i686, which may lack the instructions, so each hint
// asks flags that prefetch_configure found once; until then hints do nothing.
#ifndef QUARROW_PREFETCH_H
#define QUARROW_PREFETCH_H

#include "cache_line.h"
#include "export.h"

struct QUARROW_OWN_LINE prefetch_support {
    bool read;  // PREFETCHT0 (SSE)
    bool write; // PREFETCHW
};
QUARROW_INTERNAL extern prefetch_support _prefetch_support;

/* Asks the processor which hints it has. Idempotent. */
QUARROW_INTERNAL void prefetch_configure(void);

inline void prefetch_for_read(const void *line) {
#if defined(__i386__) || defined(__x86_64__)
    if (_prefetch_support.read)
        __asm__ volatile("prefetcht0 %0" : : "m"(*(const char *)line));
#else
    (void)line;
#endif
}

// The line comes in owned, so the write that follows does not wait for it.
inline void prefetch_for_write(const void *line) {
#if defined(__i386__) || defined(__x86_64__)
    if (_prefetch_support.write)
        __asm__ volatile("prefetchw %0" : : "m"(*(const char *)line));
#else
    (void)line;
#endif
}

#endif
