/*
 * The tracker's entry point. The host calls it once, after loading the
 * library; nothing is tracked before. It returns only when the tracker runs:
 * a failure ends the process with exit code 1 (the built-in options), 2
 * (event processing) or 3 (the allocator hooks).
 */
#ifndef QUARROW_INITIALISE_H
#define QUARROW_INITIALISE_H

#include "export.h"

#ifdef __cplusplus
extern "C" {
#endif

QUARROW_EXPORT void initQuarrow(void);

#ifdef __cplusplus
}
#endif

#endif
