/*
 * What the entry points and the hooks share: how many frames lie between the
 * program's call of malloc (or a sibling) and the hook's own frame. A hook's
 * capture skips exactly these, so frame 0 of every stack is the program's
 * call site, whichever entry point it came through.
 */
#ifndef QUARROW_MEMORY_OPERATIONS_INTERNAL_H
#define QUARROW_MEMORY_OPERATIONS_INTERNAL_H

#include <stdint.h>

#include "memory_operations/memory_operations.h"

// Each entry point is one real frame: built without sibling calls, with its
// dispatch inlined into it.
constexpr unsigned int kEntryPointFrames = 1;

// The frame of the entry point whose hook runs on this thread, null outside
// one: its saved frame pointer, then the return address into the program.
// A hook's capture starts at the program's frame from there, without walking
// the library's own frames (the entry point's, the hook's, the capture's).
// Initial-exec: a dynamic TLS access could itself allocate.
extern __thread const uintptr_t *_entry_frame __attribute__((tls_model("initial-exec"), visibility("hidden")));

#endif
