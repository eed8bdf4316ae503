/*
 * What walk_stack needs from the capture engine: the method chosen at
 * start-up, and the check mode's comparing capture. Internal.
 */
#ifndef QUARROW_STACK_CAPTURE_H
#define QUARROW_STACK_CAPTURE_H

#include "export.h"

/* One of quarrow_unwinder's values. */
extern QUARROW_INTERNAL int _stack_capture_mode;

/*
 * Check mode: captures with both methods from one call site inside itself,
 * counts (and describes the first few) differences, and returns backtrace's
 * frames. Entry 0 is therefore a return address inside this function.
 */
QUARROW_INTERNAL __attribute__((noinline)) int capture_and_compare(void **array, int size);

#endif
