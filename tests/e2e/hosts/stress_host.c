/*
 * Many threads malloc, realloc and free at once: stress_host SECONDS [THREADS].
 *
 * Each thread works on its own slots with its own seed until the time is
 * up, then frees everything except a known set of leaks. The host keeps its
 * own per-site counters in the tracker's terms (a realloc frees the old
 * block for whichever site made it and allocates the new one for
 * site_stress_realloc) and prints them, one line per allocating site:
 *   SITE <name> allocated=N allocations=N freed=N frees=N
 * Every block carries a tag at both ends that is checked before it is
 * released: a heap that hands out overlapping blocks ends the run with exit 2.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "call_sites.h"

enum site { MALLOC, REALLOC, LEAK, SITE_COUNT };
static const char *const site_names[SITE_COUNT] = {"site_stress_malloc", "site_stress_realloc", "site_stress_leak"};

struct counters {
    unsigned long long allocated, allocations, freed, frees;
};

struct slot {
    unsigned char *block;
    size_t size;
    enum site origin;
    unsigned char tag;
};

enum { slot_count = 128, leaks_per_thread = 4, max_threads = 64 };

struct thread_state {
    unsigned int seed;
    struct counters sites[SITE_COUNT];
    struct slot slots[slot_count];
    unsigned long long operations;
    int corrupt;
};

static double duration_seconds;
static struct timespec started;

SITE void *site_stress_malloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void *site_stress_realloc(void *old, size_t size) {
    void *block = realloc(old, size);
    last_block = block;
    return block;
}

SITE void *site_stress_leak(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void site_stress_free(void *block) {
    free(block);
    last_block = NULL;
}

static double elapsed(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - started.tv_sec) + (double)(now.tv_nsec - started.tv_nsec) / 1e9;
}

/*
 * After each batch a thread rests five times as long as the batch took. The
 * tracker has one processing thread: eight threads that never pause would
 * leave it a ninth of a small machine, events would be dropped and the
 * counters could not be compared. Resting, the threads still overlap.
 */
static void rest(double worked_seconds) {
    double seconds = 5 * worked_seconds;
    struct timespec pause = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&pause, NULL);
}

static size_t random_size(struct thread_state *state) {
    if (rand_r(&state->seed) % 50 == 0)
        return 300 * 1024;
    return 1 + (size_t)rand_r(&state->seed) % (64 * 1024);
}

static void mark(struct slot *slot) {
    slot->block[0] = slot->tag;
    slot->block[slot->size - 1] = slot->tag;
}

static int intact(const struct slot *slot, size_t size) {
    return slot->block[0] == slot->tag && slot->block[size - 1] == slot->tag;
}

static void release(struct thread_state *state, struct slot *slot) {
    if (!intact(slot, slot->size))
        state->corrupt++;
    site_stress_free(slot->block);
    state->sites[slot->origin].freed += slot->size;
    state->sites[slot->origin].frees++;
    slot->block = NULL;
}

static void *worker(void *argument) {
    struct thread_state *state = argument;
    while (elapsed() < duration_seconds) {
        double batch_started = elapsed();
        for (int step = 0; step < 64; step++) {
            struct slot *slot = &state->slots[(unsigned int)rand_r(&state->seed) % slot_count];
            int choice = rand_r(&state->seed) % 3;
            state->operations++;
            if (slot->block == NULL) {
                size_t size = random_size(state);
                slot->block = site_stress_malloc(size);
                if (slot->block == NULL)
                    continue;
                slot->size = size;
                slot->origin = MALLOC;
                slot->tag = (unsigned char)rand_r(&state->seed);
                mark(slot);
                state->sites[MALLOC].allocated += size;
                state->sites[MALLOC].allocations++;
            } else if (choice == 0) {
                size_t size = random_size(state);
                size_t kept = size < slot->size ? size : slot->size;
                if (!intact(slot, slot->size))
                    state->corrupt++;
                slot->block[kept - 1] = slot->tag; /* what the copy must carry */
                unsigned char *moved = site_stress_realloc(slot->block, size);
                if (moved == NULL)
                    continue;
                state->sites[slot->origin].freed += slot->size;
                state->sites[slot->origin].frees++;
                slot->block = moved;
                if (!intact(slot, kept))
                    state->corrupt++;
                slot->size = size;
                slot->origin = REALLOC;
                mark(slot);
                state->sites[REALLOC].allocated += size;
                state->sites[REALLOC].allocations++;
            } else {
                release(state, slot);
            }
        }
        rest(elapsed() - batch_started);
    }
    for (int i = 0; i < slot_count; i++)
        if (state->slots[i].block != NULL)
            release(state, &state->slots[i]);
    for (int i = 0; i < leaks_per_thread; i++) {
        size_t size = 1000 + (size_t)i;
        if (site_stress_leak(size) == NULL)
            continue;
        state->sites[LEAK].allocated += size;
        state->sites[LEAK].allocations++;
    }
    return NULL;
}

int main(int argc, char **argv) {
    int thread_count = argc > 2 ? atoi(argv[2]) : 8;
    if (argc < 2 || (duration_seconds = atof(argv[1])) <= 0 || thread_count <= 0 || thread_count > max_threads) {
        fprintf(stderr, "usage: %s SECONDS [THREADS]\n", argv[0]);
        return 64;
    }
    static struct thread_state states[max_threads];
    pthread_t threads[max_threads];
    clock_gettime(CLOCK_MONOTONIC, &started);
    for (int t = 0; t < thread_count; t++) {
        states[t].seed = 1000u + (unsigned int)t;
        if (pthread_create(&threads[t], NULL, worker, &states[t]) != 0) {
            fprintf(stderr, "host: cannot start thread %d\n", t);
            return 1;
        }
    }
    struct counters total[SITE_COUNT] = {{0}};
    unsigned long long operations = 0;
    int corrupt = 0;
    for (int t = 0; t < thread_count; t++) {
        pthread_join(threads[t], NULL);
        for (int s = 0; s < SITE_COUNT; s++) {
            total[s].allocated += states[t].sites[s].allocated;
            total[s].allocations += states[t].sites[s].allocations;
            total[s].freed += states[t].sites[s].freed;
            total[s].frees += states[t].sites[s].frees;
        }
        operations += states[t].operations;
        corrupt += states[t].corrupt;
    }
    for (int s = 0; s < SITE_COUNT; s++)
        printf("SITE %s allocated=%llu allocations=%llu freed=%llu frees=%llu\n", site_names[s], total[s].allocated,
               total[s].allocations, total[s].freed, total[s].frees);
    printf("OPERATIONS %llu\n", operations);
    if (corrupt != 0) {
        fprintf(stderr, "host: %d blocks lost their tags\n", corrupt);
        return 2;
    }
    return 0;
}
