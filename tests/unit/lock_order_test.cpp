// The lock-order checker: wrong orders abort naming both locks, whether
// broken through the library's real locks or the checker's own calls; the
// documented order, the fork handlers and a tracked request pass.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "debug_alloc_log.h"
#include "event_processing/event_processing_internal.h"
#include "lock_order.h"
#include "memory_operations/memory_operations.h"
#include "private_heap/private_heap.h"

namespace {

unsigned bit(lock_id id) { return 1u << id; }

const char *broken(const char *taking, const char *holding) {
    static char pattern[200];
    snprintf(pattern, sizeof pattern, "QUARROW ERROR: lock order broken: taking the %s lock while holding the %s lock",
             taking, holding);
    return pattern;
}

TEST(LockOrderChecker, RecordsEveryTakeAndRelease) {
    ASSERT_EQ(lock_order_held(), 0u);
    lock_order_take(LOCK_REPORT);
    lock_order_take(LOCK_MEMOP);
    lock_order_take(LOCK_GLOBAL);
    EXPECT_EQ(lock_order_held(), bit(LOCK_REPORT) | bit(LOCK_MEMOP) | bit(LOCK_GLOBAL));
    lock_order_release(LOCK_MEMOP); // out of turn: releases may come in any order
    EXPECT_EQ(lock_order_held(), bit(LOCK_REPORT) | bit(LOCK_GLOBAL));
    lock_order_release(LOCK_GLOBAL);
    lock_order_take(LOCK_EVENT); // allowed again once the global lock is gone
    lock_order_release(LOCK_EVENT);
    lock_order_release(LOCK_REPORT);
    EXPECT_EQ(lock_order_held(), 0u);
}

TEST(LockOrderChecker, EveryLockHasItsOwnName) {
    for (int a = 0; a < LOCK_ID_COUNT; a++)
        for (int b = a + 1; b < LOCK_ID_COUNT; b++)
            EXPECT_STRNE(lock_order_name((lock_id)a), lock_order_name((lock_id)b));
    EXPECT_STREQ(lock_order_name(LOCK_ID_COUNT), "unknown");
}

TEST(LockOrderCheckerDeathTest, NamesTheInnermostLockHeld) {
    EXPECT_DEATH(
        {
            lock_order_take(LOCK_CALLER_TABLE);
            lock_order_take(LOCK_HEAP);
            lock_order_take(LOCK_EVENT);
        },
        broken("event", "heap"));
    EXPECT_DEATH(
        {
            lock_order_take(LOCK_MEMOP);
            lock_order_take(LOCK_MEMOP);
        },
        broken("memop", "memop"));
    // The first lock of the order is refused under the last.
    EXPECT_DEATH(
        {
            lock_order_take(LOCK_GLOBAL);
            lock_order_take(LOCK_REPORT);
        },
        broken("report", "global"));
}

// Through the library's own locks: each would deadlock some day without the check.
TEST(LockOrderDeathTest, RealLocksTakenAgainstTheOrderAbort) {
    EXPECT_DEATH(
        {
            event_buffer_lock();
            caller_table_lock();
        },
        broken("caller table", "event"));
    EXPECT_DEATH(
        {
            caller_table_lock();
            caller_table_lock(); // a plain mutex: this would hang for ever
        },
        broken("caller table", "caller table"));
    EXPECT_DEATH(
        {
            caller_table_lock();
            report_lock();
        },
        broken("report", "caller table"));
    EXPECT_DEATH(
        {
            event_buffer_lock();
            pf_debug_free(pf_debug_malloc(8, "f.c", 1), "f.c", 2); // the heap passes, the log does not
        },
        broken("debug log", "event"));
}

TEST(LockOrderDeathTest, TheHeapRefusesToRunUnderItsGlobalLock) {
    EXPECT_DEATH(
        {
            private_heap_prepare_fork();         // heap, then global
            void *volatile block = dlmalloc(16); // its spin lock would spin for ever
            (void)block;
        },
        broken("heap", "global"));
}

// A tracked request that finds the buffer full waits under the event lock:
// one made while that lock is held would wait for ever.
TEST(LockOrderDeathTest, AProducerWaitingForRoomRefusesToRunUnderTheEventLock) {
    EXPECT_DEATH(
        {
            config_option *options = nullptr;
            if (parse_config_string("buffers=1", &options) != 0 || event_processing_test_prepare(&options) != 0 ||
                configure_memory_operation_hooking(&options) != 0)
                _exit(3);
            event_buffer_wait_when_full(true);
            void *volatile first = malloc(24); // takes the one slot
            event_buffer_lock();
            void *volatile second = malloc(24);
            (void)first;
            (void)second;
        },
        broken("event", "event"));
}

TEST(LockOrder, TheDocumentedOrderPasses) {
    report_lock();
    caller_table_lock();
    pf_debug_free(pf_debug_malloc(40, "f.c", 1), "f.c", 2);
    event_buffer_lock();
    void *block = dlmalloc(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(lock_order_held(), bit(LOCK_REPORT) | bit(LOCK_CALLER_TABLE) | bit(LOCK_EVENT));
    dlfree(block);
    event_buffer_unlock();
    caller_table_unlock();
    report_unlock();
    EXPECT_EQ(lock_order_held(), 0u);
}

TEST(LockOrder, TheForkHandlersTakeTheirLocksInOrder) {
    event_processing_prepare_fork();
    private_heap_prepare_fork();
    EXPECT_EQ(lock_order_held(), bit(LOCK_CALLER_TABLE) | bit(LOCK_EVENT) | bit(LOCK_HEAP) | bit(LOCK_GLOBAL));
    private_heap_after_fork();
    event_processing_after_fork();
    EXPECT_EQ(lock_order_held(), 0u);
}

// A tracked request under the report and caller table locks, its event
// handled (symbolisation included) and a real fork through the handlers.
TEST(LockOrder, TrackedRequestsAndForksPassWithTheHooksIn) {
    EXPECT_EXIT(
        {
            config_option *options = nullptr;
            if (event_processing_test_prepare(&options) != 0 || configure_memory_operation_hooking(&options) != 0)
                _exit(3);
            report_lock();
            caller_table_lock();
            void *volatile block = malloc(24);
            free(block);
            caller_table_unlock();
            report_unlock();
            if (event_processing_test_drain() < 2)
                _exit(4);
            pid_t child = fork();
            if (child == 0)
                _exit(lock_order_held() == 0 ? 0 : 5);
            int status = 0;
            if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
                _exit(6);
            if (WEXITSTATUS(status) != 0)
                _exit(WEXITSTATUS(status));
            _exit(lock_order_held() == 0 ? 0 : 7);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
