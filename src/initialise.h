/*
 * The tracker's entry point. The host calls it once, after loading the
 * library; nothing is tracked before. It returns only when the tracker runs:
 * a failure ends the process with exit code 1 (the built-in options), 2
 * (event processing) or 3 (the allocator hooks). Under the launcher,
 * QUARROW_REPORT_DIR puts the report in that folder.
 */
#ifndef QUARROW_INITIALISE_H
#define QUARROW_INITIALISE_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

QUARROW_EXPORT void initQuarrow(void);

/*
 * Starts the tracker in a process that a tracked one started, when the
 * launcher follows children: the report goes to the folder named by
 * QUARROW_REPORT_DIR, and the library's lines to the side file
 * quarrow_children.log there instead of standard error. It never ends the
 * process: a failure leaves it running untracked, with one error line in
 * the side file. Returns 0, the stage's exit code initQuarrow would have
 * used, or -1 when there is no usable report folder.
 */
QUARROW_EXPORT int quarrow_start_child(void);

#ifdef __cplusplus
}
#endif

#endif
