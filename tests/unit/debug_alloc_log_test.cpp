// The debug allocation log: line formats through a test-only stream, and the
// default state in which no line is written at all.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "debug_alloc_log.h"
#include "private_heap/private_heap.h"

namespace {

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

// Gives the log a temporary file for the length of a test and reads it back.
class LogFile : public testing::Test {
protected:
    void SetUp() override {
        file_ = tmpfile();
        ASSERT_NE(file_, nullptr);
        debug_alloc_log_set_stream(file_);
    }
    void TearDown() override {
        debug_alloc_log_set_stream(nullptr);
        fclose(file_);
    }
    std::string take() {
        fflush(file_);
        std::string text;
        rewind(file_);
        for (int c; (c = fgetc(file_)) != EOF;)
            text += (char)c;
        rewind(file_);
        if (ftruncate(fileno(file_), 0) != 0)
            ADD_FAILURE() << "cannot empty the log file";
        return text;
    }
    FILE *file_ = nullptr;
};

TEST_F(LogFile, AllocationsAndFreesWriteOneLineEach) {
    void *m = pf_debug_malloc(24, "alloc.c", 10);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(take(), fmt("MALLOC|24|alloc.c|10|%p\n", m));

    void *c = pf_debug_calloc(3, 5, "alloc.c", 11);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(take(), fmt("MALLOC|15|alloc.c|11|%p\n", c));

    void *a = pf_debug_memalign(64, 100, "alloc.c", 12);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ((uintptr_t)a % 64, 0u);
    EXPECT_EQ(take(), fmt("MALLOC|100|alloc.c|12|%p\n", a)); // alignment not logged

    void *v = pf_debug_valloc(10, "alloc.c", 13);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(take(), fmt("MALLOC|10|alloc.c|13|%p\n", v));

    pf_debug_free(m, "free.c", -1);
    EXPECT_EQ(take(), fmt("FREE|%p|free.c|-1\n", m));
    pf_debug_free(nullptr, "free.c", 2);
    EXPECT_EQ(take(), "FREE|(nil)|free.c|2\n");
    dlfree(c);
    dlfree(a);
    dlfree(v);
}

TEST_F(LogFile, ReallocWritesFreeThenMalloc) {
    void *p = pf_debug_realloc(nullptr, 40, "r.c", 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(take(), fmt("FREE|(nil)|r.c|1\nMALLOC|40|r.c|1|%p\n", p));

    void *q = pf_debug_realloc(p, 0, "r.c", 2); // a zero size is not a free
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(take(), fmt("FREE|%p|r.c|2\nMALLOC|0|r.c|2|%p\n", p, q));

    void *r = pf_debug_realloc(q, (size_t)-64, "r.c", 3);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(take(), ""); // nothing on failure, and q is still ours
    EXPECT_TRUE(private_heap_owns(q));
    dlfree(q);
}

TEST_F(LogFile, FailedRequestsWriteNothing) {
    const size_t half_word_bit = (size_t)1 << (4 * sizeof(size_t));              // 0x10000 on i386
    EXPECT_EQ(pf_debug_calloc(half_word_bit, half_word_bit, "c.c", 1), nullptr); // the product overflows
    EXPECT_EQ(pf_debug_malloc((size_t)-1, "m.c", 1), nullptr);
    private_heap_fail_after(0);
    char *s = pf_debug_strdup("abc", "s.c", 1);
    private_heap_fail_after(-1);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(take(), "");
}

TEST_F(LogFile, StrdupLogsTheTextLength) {
    char *s = pf_debug_strdup("abc", "s.c", 7);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "abc");
    EXPECT_GE(dlmalloc_usable_size(s), 4u);
    EXPECT_EQ(take(), fmt("MALLOC|3|s.c|7|%p\n", (void *)s));
    char *e = pf_debug_strdup(nullptr, "s.c", 8); // copied as an empty string
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
    EXPECT_EQ(take(), fmt("MALLOC|0|s.c|8|%p\n", (void *)e));
    dlfree(s);
    dlfree(e);
}

TEST(DebugLogUnset, CallsBehaveLikeTheHeapAndWriteNothing) {
    EXPECT_EQ(configure_internal_memory_debugging(), 0);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    size_t before = dlmallinfo().uordblks;
    void *m = pf_debug_malloc(8, "f", 1);
    void *r = pf_debug_realloc(m, 4000, "f", 2);
    char *s = pf_debug_strdup("x", "f", 3);
    void *c = pf_debug_calloc(2, 2, "f", 4);
    ASSERT_TRUE(m && r && s && c);
    EXPECT_EQ(((char *)c)[3], 0);
    pf_debug_free(r, "f", 5);
    pf_debug_free(s, "f", 6);
    pf_debug_free(c, "f", 7);
    EXPECT_EQ(dlmallinfo().uordblks, before);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
