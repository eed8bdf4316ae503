/*
 * Starting the library's own threads. They run with every asynchronous
 * signal blocked: the host installs its handlers for its own threads, and a
 * shell's SIGCHLD handler or a VM's SIGQUIT handler run on a tracker thread
 * would touch the host's state behind its back. Faults (SIGSEGV, SIGBUS,
 * SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS) stay open, so that a crash on a
 * tracker thread still reaches the host's crash reporting.
 */
#ifndef QUARROW_LIBRARY_THREAD_H
#define QUARROW_LIBRARY_THREAD_H

#include <pthread.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* pthread_create's result; the calling thread's signal mask is unchanged. */
QUARROW_INTERNAL int start_library_thread(pthread_t *thread, void *(*run)(void *), void *argument);

#ifdef __cplusplus
}
#endif

#endif
