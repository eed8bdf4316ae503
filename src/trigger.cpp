// The trigger-file gate: tracing held back until a named file is deleted.
#include "trigger.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache_line.h"
#include "error_line.h"
#include "string_util.h"
#include "library_thread.h"
#include "settings.h"

static const char _source_file[] = "src/trigger.cpp";

// One word that goes from held back to on, once: an atomic store and load
// publish it, and no lock is needed around either.
QUARROW_OWN_LINE int16_t quarrow_trace_enabled = 1;
static int16_t _late_triggered = 0;
// A private copy: a host that edits its environment must not pull the text
// away from under the polling thread.
static char *_trigger_file = nullptr;
static pthread_t _polling_thread;
static unsigned int _poll_interval_seconds = 10;

static int _file_exists(const char *path) {
    struct stat info;
    if (stat(path, &info) == 0)
        return 1;
    if (errno != ENOENT) {
        int error = errno;
        QUARROW_ERROR_FORMAT("Error testing file %s: %d - %s", path, error, strerror(error));
    }
    return 0;
}

static void _set_trace_enabled(int16_t enabled) { __atomic_store_n(&quarrow_trace_enabled, enabled, __ATOMIC_RELEASE); }

static void *_polling_run(void *) {
    while (_file_exists(_trigger_file))
        sleep(_poll_interval_seconds);
    quarrow_line("Trigger file %s has disappeared - enabling trace\n", _trigger_file);
    _set_trace_enabled(1);
    return nullptr;
}

extern "C" {

int configure_triggering(void) {
    const char *named = current_settings()->trigger_file;
    if (named == nullptr)
        return 0;
    _trigger_file = local_strdup(named);
    if (_trigger_file == nullptr) {
        QUARROW_ERROR_LINE("Malloc failed");
        return 1;
    }
    if (!_file_exists(_trigger_file)) {
        QUARROW_ERROR_FORMAT("Specified trigger file: %s doesn't exist", _trigger_file);
        return 1;
    }
    _late_triggered = 1;
    _set_trace_enabled(0); // before the poller exists, so it can never be undone
    int result = start_library_thread(&_polling_thread, _polling_run, nullptr);
    if (result != 0) {
        QUARROW_ERROR_FORMAT("Couldn't spawn polling thread: %d", result);
        return 2;
    }
    quarrow_line("Polling file %s. Trace will start when this file is deleted\n", _trigger_file);
    return 0;
}

// Asked on every tracked request.
int16_t is_trace_enabled(void) { return __atomic_load_n(&quarrow_trace_enabled, __ATOMIC_ACQUIRE); }

int16_t was_triggered_late(void) { return _late_triggered; }

#if QUARROW_TEST_SEAMS
void trigger_set_poll_interval(unsigned int seconds) { _poll_interval_seconds = seconds; }
#endif

} // extern "C"
