/*
 * Where the library's informational and error lines go. In every process
 * the library starts in with initQuarrow, that is standard error, exactly
 * as written. A child that a tracked process started and that is tracked
 * too (quarrow_start_child) sends them to its run's side file instead, so
 * its own standard error stays the program's; while it starts, its error
 * lines are held back and only the first is kept, for the one line that
 * says it runs untracked.
 */
#ifndef QUARROW_MESSAGES_H
#define QUARROW_MESSAGES_H

#include <stddef.h>

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One line (or several), printf-style, to wherever lines go now. */
QUARROW_INTERNAL void quarrow_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* One finished line, written as it is with one write(2) to wherever lines go
 * now (standard error when the side file could not be opened) and never
 * held back. It neither formats nor allocates: for a line
 * written from inside the heap, just before the process aborts. */
QUARROW_INTERNAL void quarrow_write_line(const char *line, size_t length);

/* From now on lines are appended to DIR/quarrow_children.log, each with one
 * write; error lines are held back until messages_release_errors. Returns
 * 0, or -1 when the file cannot be opened (lines then go nowhere). */
QUARROW_INTERNAL int messages_use_side_file(const char *dir);

/* Stops holding error lines back; returns the first one held (without its
 * newline), or an empty text. */
QUARROW_INTERNAL const char *messages_release_errors(void);

/* The side file's name inside the report folder. */
#define QUARROW_SIDE_FILE_NAME "quarrow_children.log"

#ifdef __cplusplus
}
#endif

#endif
