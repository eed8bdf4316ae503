/*
 * The bundled example host: a small "service" whose producer threads
 * allocate request messages that a worker thread frees, next to a response
 * cache that leaks on purpose. Under the tracker its report shows the leak
 * growing at make_cache_entry while the messages come and go.
 *
 *   leaky_service [SECONDS]   (default 4)
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define QUEUE_SLOTS 256
#define PRODUCERS 2

static void *queue[QUEUE_SLOTS];
static unsigned head, tail;
static int stopping;      /* the producers stop */
static int producers_done; /* the worker stops once the queue is empty */
static pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queue_changed = PTHREAD_COND_INITIALIZER;

__attribute__((noinline)) char *make_request_message(unsigned id) {
    size_t size = 64 + (id % 7) * 48;
    char *message = malloc(size);
    if (message != NULL)
        snprintf(message, size, "request %u", id);
    return message;
}

/* The leak: entries are added and never evicted. */
__attribute__((noinline)) char *make_cache_entry(unsigned id) {
    char *entry = calloc(1, 200);
    if (entry != NULL)
        snprintf(entry, 200, "response %u", id);
    return entry;
}

static void post(void *message) {
    pthread_mutex_lock(&queue_lock);
    while (head - tail == QUEUE_SLOTS)
        pthread_cond_wait(&queue_changed, &queue_lock);
    queue[head++ % QUEUE_SLOTS] = message;
    pthread_cond_broadcast(&queue_changed);
    pthread_mutex_unlock(&queue_lock);
}

void *producer_thread(void *argument) {
    unsigned base = (unsigned)(size_t)argument * 1000000u;
    for (unsigned i = 0; !__atomic_load_n(&stopping, __ATOMIC_RELAXED); i++) {
        post(make_request_message(base + i));
        if (i % 10 == 0)
            make_cache_entry(base + i);
        struct timespec pause = {0, 200000};
        nanosleep(&pause, NULL);
    }
    return NULL;
}

/* Frees what the producers allocated: frees across threads. */
void *worker_thread(void *unused) {
    (void)unused;
    for (;;) {
        pthread_mutex_lock(&queue_lock);
        while (head == tail && !producers_done)
            pthread_cond_wait(&queue_changed, &queue_lock);
        if (head == tail) {
            pthread_mutex_unlock(&queue_lock);
            return NULL;
        }
        void *message = queue[tail++ % QUEUE_SLOTS];
        pthread_cond_broadcast(&queue_changed);
        pthread_mutex_unlock(&queue_lock);
        free(message);
    }
}

int main(int argc, char **argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 4;
    pthread_t producers[PRODUCERS], consumer;
    pthread_create(&consumer, NULL, worker_thread, NULL);
    for (int i = 0; i < PRODUCERS; i++)
        pthread_create(&producers[i], NULL, producer_thread, (void *)(size_t)i);
    struct timespec run = {seconds, 0};
    nanosleep(&run, NULL);
    __atomic_store_n(&stopping, 1, __ATOMIC_RELAXED);
    for (int i = 0; i < PRODUCERS; i++)
        pthread_join(producers[i], NULL);
    pthread_mutex_lock(&queue_lock);
    producers_done = 1;
    pthread_cond_broadcast(&queue_changed);
    pthread_mutex_unlock(&queue_lock);
    pthread_join(consumer, NULL);
    printf("leaky_service: done after %d seconds\n", seconds);
    return 0;
}
