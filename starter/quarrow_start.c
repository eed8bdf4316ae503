/*
 * The starter: a library whose constructor starts the tracker, for hosts
 * that cannot call initQuarrow themselves. Preload it after libquarrow.so.
 *
 * Unless "QUARROW_FOLLOW_CHILDREN" is 1, it first takes the tracker's two
 * libraries out of LD_PRELOAD, so that only this process is tracked and the
 * programs it starts run as they would without the tracker.
 *
 * Under the launcher, QUARROW_TRACKED_PID names the process it started. A
 * starter in any other process (a program that process started, at any
 * depth, with an environment its parent kept or rebuilt) tracks it only
 * when children are followed, with quarrow_start_child. Otherwise it starts
 * nothing: the library's entry points then pass every call to the C library.
 */
#define _GNU_SOURCE
#include <string.h>
#include <sys/stat.h>

#include "initialise.h"
#include "preload_environment.h"

static int _following_children(void) {
    const char *follow = preload_environment_value("QUARROW_FOLLOW_CHILDREN");
    return follow != NULL && strcmp(follow, "1") == 0;
}

/* A run's trigger file is deleted once, for good: a child started after
 * that is tracked from its start rather than failing on the missing file. */
static void _forget_deleted_trigger_file(void) {
    const char *trigger = preload_environment_value("PROFILER_TRIGGER_FILE");
    struct stat st;
    if (trigger != NULL && stat(trigger, &st) != 0)
        preload_environment_remove("PROFILER_TRIGGER_FILE");
}

__attribute__((constructor)) static void start_tracker(void) {
    int following = _following_children();
    if (!following)
        preload_environment_drop_tracker();
    if (preload_environment_is_descendant() == 1) {
        if (following) {
            _forget_deleted_trigger_file();
            quarrow_start_child();
        }
        return;
    }
    initQuarrow();
}
