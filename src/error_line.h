/*
 * The library's error lines, on standard error (see messages.h for the one
 * exception). Each source file defines
 * `_source_file` (its path in the tree) before using these, so a line names
 * the file and line of the site that reported it.
 *
 * QUARROW_ERROR_LINE("text")      "QUARROW ERROR: text, File: F, Line: N"
 * QUARROW_ERROR_FORMAT("fmt", ..) "QUARROW ERROR: <fmt> File: F, Line N"
 */
#ifndef QUARROW_ERROR_LINE_H
#define QUARROW_ERROR_LINE_H

#include <stdio.h>

#include "messages.h"

#define QUARROW_ERROR_LINE(message)                                                                                    \
    quarrow_line("QUARROW ERROR: %s, File: %s, Line: %d\n", (message), _source_file, __LINE__)

#define QUARROW_ERROR_FORMAT(format, ...)                                                                              \
    quarrow_line("QUARROW ERROR: " format " File: %s, Line %d\n", __VA_ARGS__, _source_file, __LINE__)

#endif
