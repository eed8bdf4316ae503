/*
 * Writes a report, in the tracker's format, of the stacks at each call of
 * fixture_record, named the way the tracker names them (dladdr: object,
 * load base, nearest dynamic symbol and offset). The offline-lookup tests
 * read it back against the objects.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <execinfo.h>
#include <stdint.h>
#include <stdio.h>

extern void fixture_exported(void);

#define STACKS 4
#define DEPTH 3
static void *stacks[STACKS][DEPTH + 1];
static int counts[STACKS];
static int recorded;

__attribute__((noinline)) void fixture_record(void) {
    if (recorded < STACKS)
        counts[recorded] = backtrace(stacks[recorded], DEPTH + 1);
    recorded++;
}

int main(void) {
    fixture_exported();
    printf("Started log at Mon Jan  6 09:00:00 2025, write period = 60 seconds, stack depth = %d\n", DEPTH);
    printf("TIMESTAMP:Mon Jan  6 09:01:00 2025\nMAX_PENDING:0\nDISCARDED_EVENTS:0\n");
    for (int s = 0; s < recorded && s < STACKS; s++) {
        /* frame 0 is fixture_record itself: the tracker skips its own frames too */
        for (int i = 1; i < counts[s]; i++) {
            void *address = stacks[s][i];
            Dl_info info;
            if (dladdr(address, &info) == 0) {
                printf("STACK_%d:*Unknown*((nil)):*Unknown*+(nil) (%p)\n", i - 1, address);
                continue;
            }
            printf("STACK_%d:%s(%p):%s+%p (%p)\n", i - 1, info.dli_fname, info.dli_fbase,
                   info.dli_sname ? info.dli_sname : "*Unknown*",
                   (void *)((uintptr_t)address - (uintptr_t)info.dli_saddr), address);
        }
        printf("TYPE:ALLOCATOR\nTOTAL_ALLOCATED:%d\nNUMBER_OF_ALLOCATIONS:1\nTOTAL_FREED:0\nNUMBER_OF_FREES:0\n",
               100 * (s + 1));
    }
    printf("END\n");
    return 0;
}
