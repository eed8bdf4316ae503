/*
 * Blocks the C library handed out before the tracker started, used after.
 *
 * Linked against the tracker and not preloaded with the starter: main
 * allocates through the C library first, then starts the tracker itself,
 * then measures, reallocates and frees the early blocks through the
 * tracker's entry points, and frees one of its own blocks twice. Exits 0 when every check held; otherwise names
 * each failed check on stderr and exits 1.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "call_sites.h"

/* The C library's first symbol version on this architecture. */
#if defined(__x86_64__)
#define GLIBC_FIRST_VERSION "GLIBC_2.2.5"
#else
#define GLIBC_FIRST_VERSION "GLIBC_2.0"
#endif

void initQuarrow(void);

static int failures;

#define CHECK(condition, ...)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "host: check failed: " __VA_ARGS__);                                                       \
            fputc('\n', stderr);                                                                                       \
            failures++;                                                                                                \
        }                                                                                                              \
    } while (0)

enum kind { PLAIN, CALLOC, MEMALIGN };
enum fate { GROW, SHRINK, FREE };

struct plan {
    const char *name;
    enum kind kind;
    size_t size;
    enum fate fate;
    size_t new_size;
};

/* Above 200 KiB the C library maps a block on its own. */
static const struct plan plans[] = {
    {"small grown", PLAIN, 24, GROW, 1000},
    {"small shrunk", PLAIN, 100, SHRINK, 10},
    {"mapped shrunk", PLAIN, 300 * 1024, SHRINK, 1000},
    {"mapped grown", PLAIN, 256 * 1024, GROW, 400 * 1024},
    {"calloc grown", CALLOC, 400, GROW, 800},
    {"memalign shrunk", MEMALIGN, 200, SHRINK, 100},
    {"small freed", PLAIN, 40, FREE, 0},
    {"mapped freed", PLAIN, 250 * 1024, FREE, 0},
    {"calloc freed", CALLOC, 100, FREE, 0},
    {"memalign freed", MEMALIGN, 64, FREE, 0},
};
enum { block_count = sizeof plans / sizeof plans[0] };

struct early_block {
    const struct plan *plan;
    void *block;
    size_t glibc_usable;
    unsigned char seed;
};
static struct early_block blocks[block_count];

static unsigned char pattern(unsigned char seed, size_t i) { return (unsigned char)(seed + i * 7); }

static void fill(struct early_block *b) {
    unsigned char *bytes = b->block;
    for (size_t i = 0; i < b->plan->size; i++)
        bytes[i] = pattern(b->seed, i);
}

static int holds_pattern(const struct early_block *b, const void *block, size_t length) {
    const unsigned char *bytes = block;
    for (size_t i = 0; i < length; i++)
        if (bytes[i] != pattern(b->seed, i))
            return 0;
    return 1;
}

SITE void *site_realloc_foreign(void *block, size_t size) {
    void *result = realloc(block, size);
    last_block = result;
    return result;
}

SITE void site_free_foreign(void *block) {
    free(block);
    last_block = NULL;
}

SITE void site_free_reallocated(void *block) {
    free(block);
    last_block = NULL;
}

SITE void *site_normal_malloc(size_t size) {
    void *result = malloc(size);
    last_block = result;
    return result;
}

SITE void site_normal_free(void *block) {
    free(block);
    last_block = NULL;
}

SITE void *site_malloc_freed_twice(size_t size) {
    void *result = malloc(size);
    last_block = result;
    return result;
}

/* A double free: the block's first release took its record. */
SITE void site_free_again(void *block) {
    free(block);
    last_block = NULL;
}

int main(void) {
    /* The plain name resolves to the tracker's own answer; this is the C
     * library's. */
    size_t (*glibc_usable_size)(void *) =
        (size_t(*)(void *))dlvsym(RTLD_NEXT, "malloc_usable_size", GLIBC_FIRST_VERSION);
    if (glibc_usable_size == NULL || glibc_usable_size == malloc_usable_size) {
        fprintf(stderr, "host: cannot find the C library's malloc_usable_size\n");
        return 1;
    }

    for (int i = 0; i < block_count; i++) {
        struct early_block *b = &blocks[i];
        b->plan = &plans[i];
        b->seed = (unsigned char)(17 * i + 3);
        if (b->plan->kind == CALLOC) {
            b->block = calloc(b->plan->size / 4, 4);
        } else if (b->plan->kind == MEMALIGN) {
            b->block = memalign(64, b->plan->size);
        } else {
            b->block = malloc(b->plan->size);
        }
        if (b->block == NULL) {
            fprintf(stderr, "host: early allocation of %s failed\n", b->plan->name);
            return 1;
        }
        if (b->plan->kind == CALLOC) {
            const unsigned char *bytes = b->block;
            for (size_t k = 0; k < b->plan->size; k++)
                if (bytes[k] != 0) {
                    CHECK(0, "%s: calloc block not zeroed", b->plan->name);
                    break;
                }
        }
        fill(b);
        b->glibc_usable = glibc_usable_size(b->block);
        CHECK(b->glibc_usable >= b->plan->size, "%s: glibc usable size %zu < %zu", b->plan->name, b->glibc_usable,
              b->plan->size);
        CHECK(malloc_usable_size(b->block) == b->glibc_usable, "%s: usable size before start %zu, glibc says %zu",
              b->plan->name, malloc_usable_size(b->block), b->glibc_usable);
    }

    initQuarrow();

    CHECK(malloc_usable_size(NULL) == 0, "malloc_usable_size(NULL) is %zu", malloc_usable_size(NULL));
    for (int i = 0; i < block_count; i++) {
        struct early_block *b = &blocks[i];
        size_t usable = malloc_usable_size(b->block);
        CHECK(usable == b->glibc_usable, "%s: usable size after start %zu, glibc said %zu", b->plan->name, usable,
              b->glibc_usable);
        CHECK(glibc_usable_size(b->block) == b->glibc_usable, "%s: glibc's own answer changed", b->plan->name);
        CHECK(holds_pattern(b, b->block, b->plan->size), "%s: contents changed by the start", b->plan->name);
    }

    void *reallocated[block_count];
    int reallocated_count = 0;
    for (int i = 0; i < block_count; i++) {
        struct early_block *b = &blocks[i];
        if (b->plan->fate == FREE) {
            site_free_foreign(b->block);
            continue;
        }
        void *moved = site_realloc_foreign(b->block, b->plan->new_size);
        if (moved == NULL) {
            CHECK(0, "%s: realloc to %zu failed", b->plan->name, b->plan->new_size);
            continue;
        }
        size_t kept = b->plan->size < b->plan->new_size ? b->plan->size : b->plan->new_size;
        CHECK(holds_pattern(b, moved, kept), "%s: realloc to %zu lost contents", b->plan->name, b->plan->new_size);
        size_t usable = malloc_usable_size(moved);
        CHECK(usable >= b->plan->new_size, "%s: usable size %zu after realloc to %zu", b->plan->name, usable,
              b->plan->new_size);
        memset(moved, 0x5a, b->plan->new_size);
        reallocated[reallocated_count++] = moved;
    }

    /* Ordinary traffic goes on as usual after all that. */
    void *normal[50];
    for (int i = 0; i < times(50); i++) {
        normal[i] = site_normal_malloc(16 + 40 * (size_t)i);
        CHECK(normal[i] != NULL, "normal malloc %d failed", i);
        if (normal[i] != NULL)
            memset(normal[i], i, 16 + 40 * (size_t)i);
    }
    for (int i = 0; i < times(50); i++)
        site_normal_free(normal[i]);
    for (int i = 0; i < reallocated_count; i++)
        site_free_reallocated(reallocated[i]);

    /* Small enough for the thread's cache, which leaves the second free alone. */
    void *twice = site_malloc_freed_twice(24);
    CHECK(twice != NULL, "malloc for the double free failed");
    site_normal_free(twice);
    site_free_again(twice);

    printf("reallocated=%d failures=%d\n", reallocated_count, failures);
    return failures != 0;
}
