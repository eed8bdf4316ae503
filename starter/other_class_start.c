/*
 * The starter of the other ELF class (64-bit x86). The launcher preloads the
 * tracker through the loader's $LIB token, so a 64-bit program that a
 * tracked 32-bit one starts loads this and an empty libquarrow.so instead of
 * failing to load the 32-bit pair with two loader error lines on its
 * standard error. The program runs untracked.
 *
 * In the launched process itself (a 64-bit env on the way to a 32-bit
 * program) it leaves everything as it is. In any other process it takes the
 * tracker out of LD_PRELOAD unless children are followed; then it keeps it,
 * for the 32-bit programs this one starts, and appends one line to the run's
 * side file, which the launcher sums up on its standard error.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "preload_environment.h"

static void _note_untracked(void) {
    const char *dir = preload_environment_value("QUARROW_REPORT_DIR");
    if (dir == NULL || dir[0] == '\0')
        return;
    char path[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/quarrow_children.log", dir) >= (int)sizeof path)
        return;
    char program[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    program[length > 0 ? length : 0] = '\0';
    char line[PATH_MAX + 160];
    int size = snprintf(line, sizeof line, "QUARROW UNTRACKED: PID %ld (%s) is a 64-bit program; it runs untracked\n",
                        (long)getpid(), program);
    if (size <= 0 || size >= (int)sizeof line)
        return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, line, (size_t)size); /* one write: lines of many children never mix */
    (void)ignored;
    close(fd);
}

__attribute__((constructor)) static void start_nothing(void) {
    if (preload_environment_is_descendant() != 1)
        return;
    const char *follow = preload_environment_value("QUARROW_FOLLOW_CHILDREN");
    if (follow != NULL && strcmp(follow, "1") == 0)
        _note_untracked();
    else
        preload_environment_drop_tracker();
}
