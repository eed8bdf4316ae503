/*
 * String copies on the private heap, which the rest of the library uses in
 * place of strdup, and the case-insensitive comparison of option names. The
 * option lookup matches names without regard to case; the comparison works
 * on private-heap copies so that neither argument is changed.
 */
#ifndef QUARROW_STRING_UTIL_H
#define QUARROW_STRING_UTIL_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A private-heap copy of text; null text copies as "". Null when memory ran out. */
QUARROW_EXPORT char *local_strdup(const char *text);

/*
 * Compares first and second, both lower-cased, and stores the strcmp-style
 * ordering through order (only its sign means anything). A null string
 * compares as "". Returns 0 when done, 1 when the first string could not be
 * copied, 2 when the second could not; on a failure order is not written.
 */
QUARROW_EXPORT int strcmp_ci(const char *first, const char *second, int *order);

#ifdef __cplusplus
}
#endif

#endif
