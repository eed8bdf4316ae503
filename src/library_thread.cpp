// A new thread inherits its creator's signal mask, so the mask is narrowed
// for the moment of the create and put back at once.
#include "library_thread.h"

#include <signal.h>

static const int _fault_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS};

extern "C" {

int start_library_thread(pthread_t *thread, void *(*run)(void *), void *argument) {
    sigset_t blocked, saved;
    sigfillset(&blocked);
    for (int fault : _fault_signals)
        sigdelset(&blocked, fault);
    int result = pthread_sigmask(SIG_SETMASK, &blocked, &saved);
    if (result != 0)
        return result;
    result = pthread_create(thread, nullptr, run, argument);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return result;
}

} // extern "C"
