/*
 * Edits of the process's own environment for the starters, in place: the
 * array `environ` points to is the one the program's main receives and the
 * one its getenv and exec calls read, whoever defined getenv.
 */
#define _GNU_SOURCE
#include "preload_environment.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern char **environ;

/* The new LD_PRELOAD text; the constructor runs once per process. */
static char _kept_preload[4096 + sizeof "LD_PRELOAD="];

static char **_entry_of(const char *name) {
    size_t length = strlen(name);
    for (char **entry = environ; entry != NULL && *entry != NULL; entry++)
        if (strncmp(*entry, name, length) == 0 && (*entry)[length] == '=')
            return entry;
    return NULL;
}

const char *preload_environment_value(const char *name) {
    char **entry = _entry_of(name);
    return entry != NULL ? *entry + strlen(name) + 1 : NULL;
}

void preload_environment_remove(const char *name) {
    char **entry;
    while ((entry = _entry_of(name)) != NULL) {
        char **after = entry;
        do
            after[0] = after[1];
        while (*after++ != NULL);
    }
}

static int _is_tracker_library(const char *entry, size_t length) {
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
void preload_environment_drop_tracker(void) {
    char **entry = _entry_of("LD_PRELOAD");
    if (entry == NULL)
        return;
    const char *preload = *entry + sizeof "LD_PRELOAD=" - 1;
    char *kept = _kept_preload + sizeof "LD_PRELOAD=" - 1;
    size_t room = sizeof _kept_preload - sizeof "LD_PRELOAD=";
    size_t used = 0;
    while (*preload != '\0') {
        size_t length = strcspn(preload, ": \t\n");
        if (length > 0 && !_is_tracker_library(preload, length)) {
            if (used + 1 + length > room) /* too long to rewrite: the tracker must go all the same */
                break;
            if (used > 0)
                kept[used++] = ':';
            memcpy(kept + used, preload, length);
            used += length;
        }
        preload += length;
        if (*preload != '\0')
            preload++;
    }
    if (used == 0) {
        preload_environment_remove("LD_PRELOAD");
        return;
    }
    memcpy(_kept_preload, "LD_PRELOAD=", sizeof "LD_PRELOAD=" - 1);
    kept[used] = '\0';
    *entry = _kept_preload;
}

int preload_environment_is_descendant(void) {
    const char *named = preload_environment_value(QUARROW_TRACKED_PID_VARIABLE);
    if (named == NULL)
        return -1;
    char own[24];
    snprintf(own, sizeof own, "%ld", (long)getpid());
    return strcmp(named, own) != 0;
}
