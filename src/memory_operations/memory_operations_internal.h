/*
 * What the entry points and the hooks share: how many frames lie between the
 * program's call of malloc (or a sibling) and the hook's own frame. A hook's
 * capture skips exactly these, so frame 0 of every stack is the program's
 * call site, whichever entry point it came through.
 */
#ifndef QUARROW_MEMORY_OPERATIONS_INTERNAL_H
#define QUARROW_MEMORY_OPERATIONS_INTERNAL_H

#include "memory_operations/memory_operations.h"

// Each entry point is one real frame: built without sibling calls, with its
// dispatch inlined into it.
constexpr unsigned int kEntryPointFrames = 1;

#endif
