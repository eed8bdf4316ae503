// Which cache hints the processor has (prefetch.h).
#include "prefetch.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

prefetch_support _prefetch_support = {false, false};

void prefetch_configure(void) {
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax, ebx, ecx, edx;
    // SSE: leaf 1, EDX bit 25. PREFETCHW: leaf 0x80000001, ECX bit 8.
    // Elsewhere the instructions may fault.
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0)
        _prefetch_support.read = (edx & (1u << 25)) != 0;
    if (__get_cpuid(0x80000001u, &eax, &ebx, &ecx, &edx) != 0)
        _prefetch_support.write = (ecx & (1u << 8)) != 0;
#endif
}
