/*
 * The library's locks and the one order they are taken in.
 *
 * Outermost first; a thread may take a lock only while every lock it holds
 * comes earlier in this list.
 *
 *  report        _report_mutex (event_processing/report.cpp): one report at a
 *                time. The report at exit keeps it until the process ends.
 *                Held while the report reads the buffer's counters (event),
 *                copies and frees the caller snapshots (caller table, heap)
 *                and writes the file, whose stdio may allocate: through the
 *                hooks (memop) when the report at exit runs on a tracked
 *                thread.
 *  caller table  _caller_table_mutex (event_processing/callers.cpp): the
 *                caller tables, their index and every record's counters.
 *                Symbolisation runs under it; the records, their frames and
 *                the snapshots come from the heap. Its error lines may
 *                allocate through the hooks (memop) on a tracked thread.
 *  debug log     _file_lock (debug_alloc_log.cpp): one line at a time of the
 *                debug allocation log. Never held across its own heap call,
 *                but the log's stdio may allocate through the hooks.
 *  memop         _memop_lock (memory_operations/hooks.cpp): created, never
 *                taken; events are ordered by the buffer's claims instead.
 *  event         _event_mutex (event_processing/buffer.cpp): the slow paths
 *                of the ring buffer, the processing thread's wait for events
 *                and the producers' wait for room. Posting itself takes no
 *                lock. Takes no other lock.
 *  heap          _gm_.mutex (private_heap): every heap operation. The heap
 *                calls no other code of the library.
 *  global        malloc_global_mutex (private_heap): the one-time parameter
 *                set-up and every move of the break, the latter inside the
 *                heap lock.
 *
 * The fork handlers take caller table, event, heap, global and release them
 * in reverse: a subsequence of the order, so a fork cannot deadlock against
 * any thread that follows it. They never wait for report, debug log or
 * memop, so those may be held elsewhere at the fork; the child never takes
 * memop (it is untracked) or report (it writes none). The debug log lock
 * can reach the child held: a child must not call the pf_debug_ functions.
 *
 * With QUARROW_DEBUG >= 1 every take and release is recorded per thread and
 * a take that breaks the order (or takes a held lock again) writes one line
 * naming both locks and aborts. At 0 the calls compile to nothing.
 */
#ifndef QUARROW_LOCK_ORDER_H
#define QUARROW_LOCK_ORDER_H

#include "export.h"

// In the order above: a lower value is taken first.
enum lock_id {
    LOCK_REPORT,
    LOCK_CALLER_TABLE,
    LOCK_DEBUG_LOG,
    LOCK_MEMOP,
    LOCK_EVENT,
    LOCK_HEAP,
    LOCK_GLOBAL,
    LOCK_ID_COUNT
};

/* The checker itself, in builds with QUARROW_DEBUG >= 1 only. take aborts
 * when `id` may not be taken now, else records it held; release forgets it.
 * held is the thread's record, one bit per lock. */
QUARROW_INTERNAL void lock_order_take(lock_id id);
QUARROW_INTERNAL void lock_order_release(lock_id id);
QUARROW_INTERNAL unsigned lock_order_held(void);
QUARROW_INTERNAL const char *lock_order_name(lock_id id);

#ifndef QUARROW_DEBUG
#define QUARROW_DEBUG 0
#endif

// Static: a file built at another debug level never lends its copy to ours.
#if QUARROW_DEBUG >= 1
static inline void lock_taking(lock_id id) { lock_order_take(id); }
static inline void lock_released(lock_id id) { lock_order_release(id); }
#else
static inline void lock_taking(lock_id) {}
static inline void lock_released(lock_id) {}
#endif

#endif
