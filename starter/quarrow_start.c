/*
 * The starter: a library whose constructor starts the tracker, for hosts
 * that cannot call initQuarrow themselves. Preload it after libquarrow.so.
 *
 * Unless "QUARROW_FOLLOW_CHILDREN" is 1, it first takes the tracker's two
 * libraries out of LD_PRELOAD, so that only this process is tracked and the
 * programs it starts run as they would without the tracker.
 */
#define _GNU_SOURCE
#include <stdlib.h>
#include <string.h>

#include "initialise.h"

static int is_tracker_library(const char *entry, size_t length) {
    static const char *const names[] = {"libquarrow.so", "libquarrow_start.so"};
    const char *base = entry;
    for (size_t i = 0; i < length; i++)
        if (entry[i] == '/')
            base = entry + i + 1;
    size_t base_length = length - (size_t)(base - entry);
    for (size_t n = 0; n < sizeof names / sizeof names[0]; n++)
        if (base_length == strlen(names[n]) && memcmp(base, names[n], base_length) == 0)
            return 1;
    return 0;
}

/* Keeps every other entry, in order; the loader splits on ':' and ' '. */
static void drop_tracker_from_preload(void) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload == NULL)
        return;
    size_t size = strlen(preload) + 1;
    char kept[size];
    size_t used = 0;
    const char *entry = preload;
    while (*entry != '\0') {
        size_t length = strcspn(entry, ": ");
        if (length > 0 && !is_tracker_library(entry, length)) {
            if (used > 0)
                kept[used++] = ':';
            memcpy(kept + used, entry, length);
            used += length;
        }
        entry += length;
        if (*entry != '\0')
            entry++;
    }
    kept[used] = '\0';
    if (used == 0)
        unsetenv("LD_PRELOAD");
    else
        setenv("LD_PRELOAD", kept, 1);
}

__attribute__((constructor)) static void start_tracker(void) {
    const char *follow = getenv("QUARROW_FOLLOW_CHILDREN");
    if (follow == NULL || strcmp(follow, "1") != 0)
        drop_tracker_from_preload();
    initQuarrow();
}
