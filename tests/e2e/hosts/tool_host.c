/*
 * Small programs for the shells the end-to-end tests run, each allocating
 * at one call site so that a tracked run of it has something to report:
 *   tool_host echo WORDS...   prints the words, like echo
 *   tool_host wc              prints the number of bytes read from stdin
 *   tool_host true            exits 0
 *   tool_host env NAME        prints NAME's value, or (unset)
 *   tool_host signals         prints which thread ran its signal handlers:
 *                             "signals on main thread" when all did
 */
#define _GNU_SOURCE
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "call_sites.h"

SITE void *site_tool_alloc(size_t size) {
    void *block = malloc(size);
    last_block = block;
    return block;
}

static volatile sig_atomic_t handled, handled_elsewhere;

static void note_handler_thread(int signal_number) {
    (void)signal_number;
    handled++;
    if (syscall(SYS_gettid) != getpid())
        handled_elsewhere++;
}

/* The main thread blocks the signals a shell or a VM handles, then makes
 * them pending: a SIGCHLD from a child that ends and a SIGUSR1, SIGHUP and
 * SIGQUIT sent to the process. Any other thread that leaves them open gets
 * them while the main thread waits. Unblocked, they reach the main thread. */
static int report_signal_threads(void) {
    static const int watched[] = {SIGCHLD, SIGUSR1, SIGHUP, SIGQUIT};
    const size_t count = sizeof watched / sizeof watched[0];
    sigset_t set;
    sigemptyset(&set);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = note_handler_thread;
    for (size_t i = 0; i < count; i++) {
        sigaddset(&set, watched[i]);
        sigaction(watched[i], &action, NULL);
    }
    sigprocmask(SIG_BLOCK, &set, NULL);
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, NULL, 0);
    for (size_t i = 1; i < count; i++)
        kill(getpid(), watched[i]);
    struct timespec pause = {0, 200 * 1000 * 1000};
    nanosleep(&pause, NULL);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    if (handled_elsewhere != 0 || handled != (sig_atomic_t)count) {
        printf("signals: %d of %d handled, %d on another thread\n", (int)handled, (int)count, (int)handled_elsewhere);
        return 1;
    }
    printf("signals on main thread\n");
    return 0;
}

int main(int argc, char **argv) {
    free(site_tool_alloc(64));
    if (argc >= 2 && strcmp(argv[1], "echo") == 0) {
        for (int i = 2; i < argc; i++)
            printf("%s%s", argv[i], i + 1 < argc ? " " : "");
        printf("\n");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "wc") == 0) {
        char buffer[4096];
        size_t total = 0, got;
        while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0)
            total += got;
        printf("%zu\n", total);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "true") == 0)
        return 0;
    if (argc == 3 && strcmp(argv[1], "env") == 0) {
        const char *value = getenv(argv[2]);
        printf("%s\n", value != NULL ? value : "(unset)");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "signals") == 0)
        return report_signal_threads();
    fprintf(stderr, "tool_host: echo WORDS... | wc | true | env NAME | signals\n");
    return 2;
}
