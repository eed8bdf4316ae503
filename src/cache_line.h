// The processor's cache line, and the mark for variables that need lines of
// their own.
//
// A producer reads a few settings on every request (the hook pointers, the
// stack depth, the trace switch); the processing thread writes its tables
// and locks on every event or batch. Wherever one of each shares a line,
// every request waits for that line to come back from the other core. So
// every variable of either kind starts a line: only variables that are
// rarely written or rarely read fill the rest of it.
#ifndef QUARROW_CACHE_LINE_H
#define QUARROW_CACHE_LINE_H

#define QUARROW_CACHE_LINE 64
#define QUARROW_OWN_LINE alignas(QUARROW_CACHE_LINE)

#endif
