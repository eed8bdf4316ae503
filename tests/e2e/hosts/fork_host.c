/*
 * Forks while other threads allocate: fork_host [FORKS [THREADS]].
 *
 * Worker threads malloc and free in a loop while main forks FORKS times.
 * Each child allocates, reallocates and frees at once, some through a thread
 * of their own, and leaves by _exit or exit in turn. A child that has not
 * ended within the deadline has hung: it is killed and counted. Prints one
 * summary line; exits 0 only if every child exited 0 in time.
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "call_sites.h"

/* Generous: every fork copies an emulator when 32-bit code is emulated. */
static const int child_deadline_ms = 30000;

static volatile int stop_workers;

SITE void *site_worker_malloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

SITE void site_worker_free(void *block) {
    free(block);
    last_block = NULL;
}

static void *worker(void *argument) {
    unsigned int seed = (unsigned int)(size_t)argument;
    void *slots[64] = {0};
    while (!stop_workers) {
        unsigned int slot = (unsigned int)rand_r(&seed) % 64;
        if (slots[slot] != NULL) {
            site_worker_free(slots[slot]);
            slots[slot] = NULL;
        } else {
            size_t size = 1 + (size_t)rand_r(&seed) % 4096;
            slots[slot] = site_worker_malloc(size);
            if (slots[slot] != NULL)
                memset(slots[slot], 0xab, size < 64 ? size : 64);
        }
    }
    for (int i = 0; i < 64; i++)
        site_worker_free(slots[i]);
    return NULL;
}

SITE void *site_child_malloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

static void *child_thread(void *argument) {
    (void)argument;
    for (int i = 0; i < 100; i++) {
        void *block = site_child_malloc(32 + (size_t)i);
        if (block == NULL)
            return (void *)1;
        memset(block, i, 32);
        free(block);
    }
    return NULL;
}

static void child(int index) {
    char *a = site_child_malloc(100);
    char *b = calloc(20, 10);
    if (a == NULL || b == NULL)
        _exit(10);
    memset(a, 'x', 100);
    a = realloc(a, 5000);
    if (a == NULL || a[99] != 'x')
        _exit(11);
    free(a);
    free(b);
    if (index % 2 == 0) {
        pthread_t thread;
        void *result = NULL;
        if (pthread_create(&thread, NULL, child_thread, NULL) != 0 || pthread_join(thread, &result) != 0 ||
            result != NULL)
            _exit(12);
    }
    /* exit runs the atexit handlers, the tracker's among them. */
    if (index % 3 == 0)
        _exit(0);
    exit(0);
}

static void sleep_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

int main(int argc, char **argv) {
    int forks = argc > 1 ? atoi(argv[1]) : 50;
    int thread_count = argc > 2 ? atoi(argv[2]) : 4;
    if (forks <= 0 || thread_count <= 0 || thread_count > 64) {
        fprintf(stderr, "usage: %s [FORKS [THREADS]]\n", argv[0]);
        return 64;
    }
    pthread_t threads[64];
    for (int t = 0; t < thread_count; t++)
        if (pthread_create(&threads[t], NULL, worker, (void *)(size_t)(t + 1)) != 0) {
            fprintf(stderr, "host: cannot start worker %d\n", t);
            return 1;
        }

    int hung = 0, failed = 0;
    for (int i = 0; i < forks; i++) {
        fflush(NULL); /* nothing buffered may be written twice */
        pid_t pid = fork();
        if (pid < 0) {
            perror("host: fork");
            failed++;
            break;
        }
        if (pid == 0)
            child(i);
        int status = 0, waited_ms = 0;
        pid_t done;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && waited_ms < child_deadline_ms) {
            sleep_ms(5);
            waited_ms += 5;
        }
        if (done == 0) {
            fprintf(stderr, "host: child %d (pid %d) hung; killed\n", i, (int)pid);
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            hung++;
        } else if (done < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "host: child %d (pid %d) ended badly: status 0x%x\n", i, (int)pid, status);
            failed++;
        }
    }

    stop_workers = 1;
    for (int t = 0; t < thread_count; t++)
        pthread_join(threads[t], NULL);
    printf("forks=%d hung=%d failed=%d\n", forks, hung, failed);
    return hung != 0 || failed != 0;
}
