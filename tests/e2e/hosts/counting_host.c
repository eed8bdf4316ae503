/*
 * Known heap traffic at named call sites, for exact checks of the report.
 *
 *   count          every allocation entry point, a known number of times
 *   trigger FILE   allocations before and after FILE is deleted
 *   idle [SECONDS] no traffic of its own; lingers, then says that main ran
 *
 * The expected counters live in the driver (counting_test.cpp); change the
 * two together.
 */
#define _GNU_SOURCE
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "call_sites.h"

static int failures;

static void *check(void *block, const char *what, size_t alignment) {
    if (block == NULL || ((uintptr_t)block % alignment) != 0) {
        fprintf(stderr, "host: %s gave %p (alignment %zu wanted)\n", what, block, alignment);
        failures++;
    }
    return block;
}

SITE void *site_malloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void *site_malloc_zero(void) {
    void *block = malloc(0);
    last_block = block;
    return block;
}

SITE void *site_calloc(size_t count, size_t size) {
    void *block = calloc(count, size);
    last_block = block;
    return block;
}

SITE void *site_realloc_null(size_t size) {
    void *block = realloc(NULL, size);
    last_block = block;
    return block;
}

SITE void *site_realloc(void *old, size_t size) {
    void *block = realloc(old, size);
    last_block = block;
    return block;
}

SITE void *site_reallocarray(size_t count, size_t size) {
    void *block = reallocarray(NULL, count, size);
    last_block = block;
    return block;
}

SITE void *site_memalign(size_t alignment, size_t size) {
    void *block = memalign(alignment, size);
    last_block = block;
    return block;
}

SITE void *site_posix_memalign(size_t alignment, size_t size) {
    void *block = NULL;
    if (posix_memalign(&block, alignment, size) != 0)
        block = NULL;
    last_block = block;
    return block;
}

SITE void *site_valloc(size_t size) {
    void *block = valloc(size);
    last_block = block;
    return block;
}

SITE void *site_aligned_alloc(size_t alignment, size_t size) {
    void *block = aligned_alloc(alignment, size);
    last_block = block;
    return block;
}

SITE void site_free(void *block) {
    free(block);
    last_block = NULL;
}

SITE void site_free_null(void) {
    free(NULL);
    last_block = NULL;
}

static int run_count(void) {
    void *mallocs[10], *zeros[2], *callocs[5], *nulls[4], *reallocs[3], *arrays[2];
    void *memaligns[3], *posix[2], *vallocs[2], *aligned[2];
    long page = sysconf(_SC_PAGESIZE);

    for (int i = 0; i < times(10); i++)
        mallocs[i] = check(site_malloc(100 + i), "malloc", 8);
    for (int i = 0; i < times(2); i++)
        zeros[i] = check(site_malloc_zero(), "malloc(0)", 8);
    for (int i = 0; i < times(5); i++) {
        callocs[i] = check(site_calloc(3, 40), "calloc", 8);
        for (int b = 0; b < 120; b++)
            if (((unsigned char *)callocs[i])[b] != 0) {
                fprintf(stderr, "host: calloc block not zeroed\n");
                failures++;
                break;
            }
    }
    for (int i = 0; i < times(4); i++)
        nulls[i] = check(site_realloc_null(64), "realloc(NULL)", 8);
    for (int i = 0; i < times(3); i++)
        reallocs[i] = check(site_realloc(nulls[i], 200), "realloc", 8);
    for (int i = 0; i < times(2); i++)
        arrays[i] = check(site_reallocarray(5, 20), "reallocarray", 8);
    for (int i = 0; i < times(3); i++)
        memaligns[i] = check(site_memalign(64, 300), "memalign", 64);
    for (int i = 0; i < times(2); i++)
        posix[i] = check(site_posix_memalign(32, 500), "posix_memalign", 32);
    for (int i = 0; i < times(2); i++)
        vallocs[i] = check(site_valloc(1000), "valloc", (size_t)page);
    for (int i = 0; i < times(2); i++)
        aligned[i] = check(site_aligned_alloc(128, 256), "aligned_alloc", 128);
    for (int i = 0; i < times(3); i++)
        site_free_null();

    /* Leaked on purpose: mallocs[7..9], reallocs[2], arrays[1], both posix,
     * aligned[1]. */
    for (int i = 0; i < times(7); i++)
        site_free(mallocs[i]);
    for (int i = 0; i < times(2); i++)
        site_free(zeros[i]);
    for (int i = 0; i < times(5); i++)
        site_free(callocs[i]);
    site_free(nulls[3]);
    for (int i = 0; i < times(2); i++)
        site_free(reallocs[i]);
    site_free(arrays[0]);
    for (int i = 0; i < times(3); i++)
        site_free(memaligns[i]);
    for (int i = 0; i < times(2); i++)
        site_free(vallocs[i]);
    site_free(aligned[0]);
    (void)posix;
    return failures != 0;
}

SITE void *site_before_trigger(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void *site_after_trigger(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

/* The tracker polls the trigger file every 10 seconds. */
static const unsigned int trigger_wait_seconds = 12;

static int run_trigger(const char *path) {
    void *early[5], *late[4];
    for (int i = 0; i < times(5); i++)
        early[i] = check(site_before_trigger(50), "malloc", 8);
    if (unlink(path) != 0) {
        perror("host: unlink trigger file");
        return 1;
    }
    sleep(trigger_wait_seconds);
    for (int i = 0; i < times(4); i++)
        late[i] = check(site_after_trigger(70), "malloc", 8);
    site_free(late[0]);
    /* Blocks from before tracing began: their frees are not unmatched. */
    for (int i = 0; i < times(5); i++)
        site_free(early[i]);
    return failures != 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "count") == 0)
        return run_count();
    if (argc == 3 && strcmp(argv[1], "trigger") == 0)
        return run_trigger(argv[2]);
    if ((argc == 2 || argc == 3) && strcmp(argv[1], "idle") == 0) {
        sleep(argc == 3 ? (unsigned int)atoi(argv[2]) : 0);
        puts("host main ran");
        return 0;
    }
    fprintf(stderr, "usage: %s count | trigger FILE | idle [SECONDS]\n", argv[0]);
    return 64;
}
