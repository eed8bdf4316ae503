// Event processing on the calling thread: producers into the ring buffer,
// the processing of each event into caller records and live-block tables,
// symbolisation, and the report text. Threads and configuration run in
// event_processing_threads_test, each case in a process of its own.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "config.h"
#include "event_processing/event_processing.h"
#include "event_processing/event_processing_internal.h"
#include "private_heap/private_heap.h"
#include "made_stack.h"
#include "report_text.h"

namespace {

void *addr(uintptr_t a) { return (void *)a; }

// The definition inside libc itself, not a stub in this program.
uintptr_t libc_symbol(const char *name) {
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    return libc != nullptr ? (uintptr_t)dlsym(libc, name) : 0;
}

// Fresh buffer and tables for each test, from an option string.
void prepare(const char *options) {
    config_option *list = nullptr;
    ASSERT_EQ(parse_config_string(options, &list), 0);
    ASSERT_EQ(event_processing_test_prepare(&list), 0);
    config_option *rest = list;
    while (rest != nullptr) {
        config_option *next = rest->next;
        free_config_option(&rest);
        rest = next;
    }
}

std::string report() {
    FILE *f = tmpfile();
    event_processing_test_write_report(f);
    std::string text = read_stream(f);
    fclose(f);
    return text;
}

// Frames outside every loaded object: they print as unknown, and the
// frame addresses tell the stacks apart in the report.
const std::vector<uintptr_t> S1 = {0x10, 0x11}, S2 = {0x20, 0x21}, S3 = {0x30}, S4 = {0x40, 0x41, 0x42};

TEST(Processing, EveryPathChargesTheRightRecord) {
    prepare("");
    testing::internal::CaptureStderr();
    malloc_occurred(addr(0xA000), 100, make_stack(S1));
    malloc_occurred(addr(0xB000), 200, make_stack(S1));
    malloc_occurred(addr(0xC000), 50, make_stack(S2));
    free_occurred(addr(0xA000), make_stack(S3));                       // matched: charged to S1
    free_occurred(addr(0xA000), make_stack(S3));                       // double free: unmatched, S3
    free_occurred(nullptr, make_stack(S3));                            // ignored
    realloc_occurred(addr(0xB000), addr(0xB000), 300, make_stack(S2)); // same address: release then allocate
    realloc_occurred(addr(0xD000), addr(0xE000), 10, make_stack(S4));  // unknown old block
    realloc_occurred(nullptr, addr(0xF000), 5, make_stack(S1));        // null old block: allocation only
    memalign_occurred(addr(0x10000), 4096, 64, make_stack(S2));        // alignment leaves no trace
    malloc_occurred(addr(0x11000), 7, make_stack({}));                 // zero frames
    free_occurred(addr(0x11000), make_stack({}));
    jni_alloc_occurred(addr(0x20000), 1000);
    jni_alloc_occurred(addr(0x21000), 24);
    jni_free_occurred(addr(0x20000));
    jni_free_occurred(addr(0xC000));              // known only to the heap table: unmatched JNI free
    jni_free_occurred(nullptr);                   // posted, then ignored
    free_occurred(addr(0x21000), make_stack(S3)); // known only to the JNI table: unmatched
    EXPECT_EQ(event_processing_test_drain(), 18);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unmatched realloc processed\n");

    Report r = parse_report(report());
    EXPECT_EQ(r.max_pending, 18u);
    EXPECT_EQ(r.discarded, 0u);
    auto find = [&](const std::string &type, const std::vector<uintptr_t> &frames) -> const Block * {
        for (const Block &b : r.blocks)
            if (b.type == type && b.addresses == frames)
                return &b;
        return nullptr;
    };
    const Block *s1 = find("ALLOCATOR", S1), *s2 = find("ALLOCATOR", S2), *s4 = find("ALLOCATOR", S4);
    const Block *empty = find("ALLOCATOR", {});
    ASSERT_TRUE(s1 && s2 && s4 && empty);
    EXPECT_EQ(
        s1->counters,
        (Counters{
            {"TOTAL_ALLOCATED", 305}, {"NUMBER_OF_ALLOCATIONS", 3}, {"TOTAL_FREED", 300}, {"NUMBER_OF_FREES", 2}}));
    EXPECT_EQ(
        s2->counters,
        (Counters{{"TOTAL_ALLOCATED", 414}, {"NUMBER_OF_ALLOCATIONS", 3}, {"TOTAL_FREED", 0}, {"NUMBER_OF_FREES", 0}}));
    EXPECT_EQ(
        s4->counters,
        (Counters{{"TOTAL_ALLOCATED", 10}, {"NUMBER_OF_ALLOCATIONS", 1}, {"TOTAL_FREED", 0}, {"NUMBER_OF_FREES", 0}}));
    EXPECT_EQ(
        empty->counters,
        (Counters{{"TOTAL_ALLOCATED", 7}, {"NUMBER_OF_ALLOCATIONS", 1}, {"TOTAL_FREED", 7}, {"NUMBER_OF_FREES", 1}}));
    const Block *s3_free = find("UNMATCHED_FREER", S3);
    ASSERT_TRUE(s3_free);
    EXPECT_EQ(s3_free->counters, (Counters{{"UNMATCHED_FREES", 2}}));
    const Block *s4_realloc = find("UNMATCHED_REALLOCER", S4);
    ASSERT_TRUE(s4_realloc);
    EXPECT_EQ(s4_realloc->counters, (Counters{{"UNMATCHED_REALLOCSS", 1}}));
    EXPECT_EQ(find("ALLOCATOR", S3), nullptr); // a freeing stack gets no allocator record

    // The JNI producers capture the real stack of this test: one record each.
    std::vector<const Block *> jni, jni_unmatched;
    for (const Block &b : r.blocks) {
        if (b.type == "JNI_ALLOCATOR")
            jni.push_back(&b);
        if (b.type == "UNMATCHED_JNI_FREER")
            jni_unmatched.push_back(&b);
        EXPECT_NE(b.type, "UNMATCHED_JNI_REALLOCER");
    }
    // Both calls share the frames above this test's body (the skip drops it).
    ASSERT_EQ(jni.size(), 1u);
    EXPECT_EQ(
        jni[0]->counters,
        (Counters{
            {"TOTAL_ALLOCATED", 1024}, {"NUMBER_OF_ALLOCATIONS", 2}, {"TOTAL_FREED", 1000}, {"NUMBER_OF_FREES", 1}}));
    EXPECT_EQ(jni[0]->addresses.size(), 7u);
    ASSERT_EQ(jni_unmatched.size(), 1u);
    EXPECT_EQ(jni_unmatched[0]->counters, (Counters{{"UNMATCHED_FREES", 1}}));
    EXPECT_EQ(r.blocks.size(), 8u);
}

TEST(Processing, BlocksAreGroupedByTypeAndOrderedByStack) {
    prepare("");
    // Counts first; then the outermost frame decides.
    malloc_occurred(addr(0x1), 1, make_stack({0x9, 0x2}));
    malloc_occurred(addr(0x2), 1, make_stack({0x1, 0x3}));
    malloc_occurred(addr(0x3), 1, make_stack({0x5}));
    malloc_occurred(addr(0x4), 1, make_stack({0x1, 0x2}));
    free_occurred(addr(0x99), make_stack({0x1}));
    malloc_occurred(addr(0x5), 1, make_stack({}));
    jni_alloc_occurred(addr(0x6), 1);
    event_processing_test_drain();
    Report r = parse_report(report());
    std::vector<std::string> order;
    for (const Block &b : r.blocks) {
        std::ostringstream line;
        line << b.type;
        for (uintptr_t a : b.addresses)
            line << " " << std::hex << a;
        order.push_back(b.type == "JNI_ALLOCATOR" ? "JNI_ALLOCATOR" : line.str());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"ALLOCATOR", "ALLOCATOR 5", "ALLOCATOR 1 2", "ALLOCATOR 9 2",
                                               "ALLOCATOR 1 3", "JNI_ALLOCATOR", "UNMATCHED_FREER 1"}));
}

TEST(Processing, UnknownEventTypesAreSkipped) {
    prepare("");
    event_record event;
    memset(&event, 0xEE, sizeof event); // the payload is garbage too
    event.type = 6;
    testing::internal::CaptureStderr();
    event_processing_test_process(&event);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("QUARROW ERROR: Unknown type=6 File: src/event_processing.cpp, Line ", 0), 0u) << err;
    EXPECT_TRUE(parse_report(report()).blocks.empty());
}

TEST(Processing, AReusedAddressReplacesItsLiveBlock) {
    prepare("");
    malloc_occurred(addr(0xA0), 10, make_stack(S1));
    malloc_occurred(addr(0xA0), 20, make_stack(S2)); // the free in between was dropped
    free_occurred(addr(0xA0), make_stack(S3));
    event_processing_test_drain();
    Report r = parse_report(report());
    ASSERT_EQ(r.blocks.size(), 2u);
    EXPECT_EQ(r.blocks[0].counters.at("TOTAL_FREED"), 0u);  // S1 is never credited
    EXPECT_EQ(r.blocks[1].counters.at("TOTAL_FREED"), 20u); // S2's block was the one freed
}

TEST(Buffer, AFullBufferDropsAndCountsEvents) {
    prepare("buffers=1");
    malloc_occurred(addr(0x1), 1, make_stack(S1));
    malloc_occurred(addr(0x2), 1, make_stack(S1)); // dropped: its stack goes back at once
    free_occurred(addr(0x1), make_stack(S1));      // dropped
    Report r = parse_report(report());
    EXPECT_EQ(r.max_pending, 1u);
    EXPECT_EQ(r.discarded, 2u);
    EXPECT_EQ(event_processing_test_drain(), 1);
    r = parse_report(report());
    EXPECT_EQ(r.max_pending, 0u); // reset by each report, and nothing posted since
    EXPECT_EQ(r.discarded, 0u);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].counters.at("NUMBER_OF_ALLOCATIONS"), 1u);

    prepare("");
    for (int i = 0; i < 16001; i++)
        malloc_occurred(addr(0x1000 + 16 * i), 1, make_stack(S2));
    r = parse_report(report());
    EXPECT_EQ(r.max_pending, 16000u);
    EXPECT_EQ(r.discarded, 1u);
    EXPECT_EQ(event_processing_test_drain(), 16000);
    malloc_occurred(addr(0x10), 1, make_stack(S2));
    r = parse_report(report());
    EXPECT_EQ(r.max_pending, 1u); // the peak starts again from what is pending now
    EXPECT_EQ(r.discarded, 0u);
    event_processing_test_drain();
}

// Events are handled in the order their slots were claimed, not filled: a
// free that claimed first is handled first even though a later malloc of
// the same address was filled before it.
TEST(Buffer, EventsAreHandledInClaimOrderAndAClaimHoldsUpThoseAfterIt) {
    prepare("buffers=8");
    malloc_occurred(addr(0xA0), 10, make_stack(S1));
    event_ticket free_slot;
    ASSERT_TRUE(event_claim(&free_slot));            // the free's claim, before its heap call
    malloc_occurred(addr(0xA0), 20, make_stack(S2)); // the address handed out again elsewhere
    EXPECT_EQ(event_processing_test_drain(), 1);     // only the first: the claim holds up the rest
    event_record release = free_event_of(addr(0xA0));
    void *frames[] = {addr(S3[0])};
    event_fill(&free_slot, &release, frames, 1);
    EXPECT_EQ(event_processing_test_drain(), 2);
    Report r = parse_report(report());
    ASSERT_EQ(r.blocks.size(), 2u); // S1's block freed, S2's live; no unmatched free
    EXPECT_EQ(r.blocks[0].counters.at("TOTAL_FREED"), 10u);
    EXPECT_EQ(r.blocks[1].counters.at("TOTAL_ALLOCATED"), 20u);
    EXPECT_EQ(r.blocks[1].counters.at("TOTAL_FREED"), 0u);
}

// A claim finds its slot and lap without dividing: they must be the
// remainder and the quotient for every ring size the option allows and
// every position a claim can hold, up to the last lap before positions wrap.
TEST(Buffer, AClaimsSlotAndLapAreThePositionModuloAndOverTheSize) {
    const uint32_t sizes[] = {1, 2, 3, 7, 64, 1000, 16000, 16001, 65535, 1u << 20, 123456789, (1u << 28) - 1, 1u << 28};
    uint32_t rng = 2463534242u;
    for (uint32_t size : sizes) {
        uint32_t limit = size * ((1u << 30) / size);
        auto check = [size](uint32_t position) {
            ASSERT_EQ(event_buffer_slot_index(position, size), position % size) << position << " in " << size;
            ASSERT_EQ(event_buffer_slot_lap(position, size), position / size) << position << " in " << size;
        };
        for (uint32_t p = 0; p < 3 * size && p < 100000; p++)
            check(p);
        for (uint32_t back = 1; back <= 3 * size && back <= 100000; back++)
            check(limit - back);
        for (int i = 0; i < 100000; i++) {
            rng ^= rng << 13, rng ^= rng >> 17, rng ^= rng << 5;
            check(rng % limit);
        }
    }
}

// Waits for the ring as the processing thread does; the seconds it took.
double timed_wait(uint32_t *ready) {
    auto start = std::chrono::steady_clock::now();
    *ready = event_buffer_wait(kEventBatch);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char *const kGivenUpLine = "An event claimed by a thread was not filled within 1000 ms; counted as discarded.";

// Waits while the claim at the head is given up: a second or more, then the
// one event behind it, handled, and the error line.
void expect_head_given_up() {
    testing::internal::CaptureStderr();
    uint32_t ready = 0;
    double waited = timed_wait(&ready);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GE(waited, 0.99);
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ(ready, 1u);
    handle_ready_events(ready);
    EXPECT_NE(err.find(kGivenUpLine), std::string::npos) << err;
}

// A claim whose thread never fills it is given up after a second once
// waiting longer cannot help: the ring is full (here the claimant is this
// live thread, and the ring of two holds its claim and one event). It is
// counted once as discarded, with one error line; the late fill, should it
// come, writes nothing, and the ring goes on as before.
TEST(Buffer, AClaimNeverFilledIsGivenUpAndCountedOnce) {
    prepare("buffers=2");
    event_ticket lost;
    ASSERT_TRUE(event_claim(&lost));
    malloc_occurred(addr(0xB0), 5, make_stack(S1));
    expect_head_given_up();
    event_record late = malloc_event_of(addr(0xC0), 7);
    void *frames[] = {addr(S2[0])};
    event_fill(&lost, &late, frames, 1); // too late: its slot has moved on
    for (int i = 0; i < 3; i++) {        // once round the ring and more
        malloc_occurred(addr(0xD0 + 16 * i), 1, make_stack(S3));
        EXPECT_EQ(event_processing_test_drain(), 1);
    }
    Report r = parse_report(report());
    EXPECT_EQ(r.discarded, 1u);
    ASSERT_EQ(r.blocks.size(), 2u); // S3 (fewer frames, first) and S1; the late event left no trace
    EXPECT_EQ(r.blocks[0].counters.at("NUMBER_OF_ALLOCATIONS"), 3u);
    EXPECT_EQ(r.blocks[1].counters.at("TOTAL_ALLOCATED"), 5u);
}

// With room left in the ring, only the claimant's end gives its slot up: a
// thread that ended inside its claim loses it after a second, while one
// that is only slow (here it sleeps a second and a half, as a descheduled
// or suspended thread would) keeps it and its event is counted.
TEST(Buffer, AClaimWithRoomLeftIsGivenUpOnlyWhenItsThreadHasEnded) {
    prepare("buffers=8");
    std::thread([] {
        event_ticket ticket;
        ASSERT_TRUE(event_claim(&ticket)); // and ends without filling it
    }).join();
    malloc_occurred(addr(0xB0), 5, make_stack(S1));
    expect_head_given_up();

    // Its fill comes 1.5 s after its claim, however late this thread starts to wait.
    std::chrono::steady_clock::time_point claimed_at;
    std::thread slow([&claimed_at] {
        event_ticket ticket;
        ASSERT_TRUE(event_claim(&ticket));
        claimed_at = std::chrono::steady_clock::now();
        usleep(1500 * 1000);
        event_record event = malloc_event_of(addr(0xC0), 7);
        void *frames[] = {addr(S2[0])};
        event_fill(&ticket, &event, frames, 1);
    });
    while (event_buffer_drained())
        usleep(100);
    malloc_occurred(addr(0xD0), 1, make_stack(S3));
    uint32_t ready = 0;
    timed_wait(&ready);
    slow.join();
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - claimed_at).count(), 1.4);
    EXPECT_EQ(ready, 2u);
    handle_ready_events(ready);
    Report r = parse_report(report());
    EXPECT_EQ(r.discarded, 1u); // the ended thread's claim only
    ASSERT_EQ(r.blocks.size(), 3u);
    std::map<uintptr_t, Counters::mapped_type> allocated; // by the stack's innermost frame
    for (const Block &b : r.blocks)
        allocated[b.addresses[0]] = b.counters.at("TOTAL_ALLOCATED");
    EXPECT_EQ(allocated, (std::map<uintptr_t, Counters::mapped_type>{{S1[0], 5u}, {S2[0], 7u}, {S3[0], 1u}}));
}

// Until a producer waits for room in the full buffer; false after 5 s.
bool until_a_producer_waits() {
    for (int i = 0; i < 5000 && event_buffer_waiting_producers() == 0; i++)
        usleep(1000);
    return event_buffer_waiting_producers() == 1;
}

TEST(Buffer, InWaitModeAProducerTakesTheRoomADrainMakes) {
    prepare("buffers=1");
    event_buffer_wait_when_full(true);
    malloc_occurred(addr(0x1), 1, make_stack(S1));
    std::thread producer([] { malloc_occurred(addr(0x2), 2, make_stack(S1)); });
    ASSERT_TRUE(until_a_producer_waits());
    int first = event_processing_test_drain(); // its room wakes the producer, whose event it may take too
    EXPECT_GE(first, 1);
    producer.join();
    EXPECT_EQ(first + event_processing_test_drain(), 2);
    Report r = parse_report(report());
    EXPECT_EQ(r.discarded, 0u);
    ASSERT_EQ(r.blocks.size(), 1u);
    EXPECT_EQ(r.blocks[0].counters.at("NUMBER_OF_ALLOCATIONS"), 2u);
    EXPECT_EQ(r.blocks[0].counters.at("TOTAL_ALLOCATED"), 3u);
}

TEST(Buffer, InWaitModeAProducerGivesUpAfterItsBoundAndCountsTheDrop) {
    prepare("buffers=1");
    event_buffer_wait_when_full(true);
    malloc_occurred(addr(0x1), 1, make_stack(S1));
    auto start = std::chrono::steady_clock::now();
    free_occurred(addr(0x1), make_stack(S2)); // nothing drains: waits out its bound
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 0.099);
    EXPECT_LT(waited, 10.0); // bounded, however slow the machine
    Report r = parse_report(report());
    EXPECT_EQ(r.discarded, 1u);
    EXPECT_EQ(event_processing_test_drain(), 1);
}

// The fork handlers take the event lock that a waiting producer has let go
// of; the child, which has neither the producer nor a processing thread,
// posts into its full buffer, gives up after the bound and goes on.
TEST(Buffer, AForkWhileAProducerWaitsHangsNeitherProcess) {
    prepare("buffers=1");
    event_buffer_wait_when_full(true);
    malloc_occurred(addr(0x1), 1, make_stack(S1));
    std::thread producer([] { malloc_occurred(addr(0x2), 2, make_stack(S1)); });
    ASSERT_TRUE(until_a_producer_waits());
    event_processing_prepare_fork();
    pid_t child = fork();
    event_processing_after_fork();
    if (child == 0) {
        alarm(10); // a hang ends the child with SIGALRM
        malloc_occurred(addr(0x3), 3, make_stack(S1));
        _exit(event_processing_test_drain() == 1 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    event_processing_test_drain();
    producer.join();
    event_processing_test_drain();
}

struct BufferOption {
    const char *options;
    int result;
    const char *message; // prefix of what standard error shows
};

TEST(Buffer, TheBuffersOptionIsCheckedBeforeAnythingIsAllocated) {
    const BufferOption cases[] = {
        {"buffers=0", 1,
         "QUARROW ERROR: Unusable buffer size supplied. Must be > 0. You supplied 0 which was parsed as 0"},
        {"buffers=-5", 1,
         "QUARROW ERROR: Unusable buffer size supplied. Must be > 0. You supplied -5 which was parsed as -5"},
        {"buffers=abc", 1,
         "QUARROW ERROR: Unusable buffer size supplied. Must be > 0. You supplied abc which was parsed as 0"},
        // Its byte size does not fit the address space (or, with 64-bit
        // addresses, the ring's positions): refused, never allocated short.
        {"buffers=2147483647", 1, "QUARROW ERROR: Unusable buffer size supplied. 2147483647 events of "},
        // Beyond the int range: read as the largest int, as on i386.
        {"buffers=99999999999", 1, "QUARROW ERROR: Unusable buffer size supplied. 99999999999 events of "},
        // Fits, but the heap cannot give it (6.4 GB; the heap's footprint
        // limit below makes that so on a 64-bit machine with that much memory).
        {"buffers=100000000", 2, "QUARROW ERROR: Could not allocate buffer of 100000000 elements File: "},
    };
    dlmalloc_set_footprint_limit(dlmalloc_footprint() + ((size_t)64 << 20));
    for (const BufferOption &c : cases) {
        config_option *list = nullptr;
        ASSERT_EQ(parse_config_string(c.options, &list), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(event_processing_test_prepare(&list), c.result) << c.options;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.options << ": " << err;
        EXPECT_NE(err.find("File: src/event_processing.cpp, Line "), std::string::npos) << err;
        EXPECT_EQ(list, nullptr) << "the option was taken out";
    }
    dlmalloc_set_footprint_limit((size_t)-1); // no limit
    prepare("BUFFERS=12xyz");                 // the leading number counts; the name matches in any case
    for (int i = 0; i < 13; i++)
        malloc_occurred(addr(0x100 + i), 1, make_stack(S1));
    EXPECT_EQ(parse_report(report()).discarded, 1u);
    EXPECT_EQ(event_processing_test_drain(), 12);
}

TEST(Report, FramesCountersAndTheEmptyReport) {
    prepare("");
    std::string text = report();
    EXPECT_EQ(mask_timestamps(text), "TIMESTAMP:<time>\nMAX_PENDING:0\nDISCARDED_EVENTS:0\nEND\n");

    // abort + 3 lies inside libc: its path, base, symbol and offset show.
    uintptr_t in_libc = libc_symbol("abort") + 3;
    malloc_occurred(addr(0x500), 0xF0000000u, make_stack({0x7, in_libc}));
    malloc_occurred(addr(0x600), 0xF0000000u, make_stack({0x7, in_libc}));
    realloc_occurred(addr(0x12345), addr(0x700), 1, make_stack({}));
    testing::internal::CaptureStderr();
    event_processing_test_drain();
    testing::internal::GetCapturedStderr();
    text = report();
    Dl_info info;
    ASSERT_NE(dladdr((void *)in_libc, &info), 0);
    char expected[1024];
    snprintf(expected, sizeof expected,
             "TIMESTAMP:<time>\nMAX_PENDING:3\nDISCARDED_EVENTS:0\n"
             "TYPE:ALLOCATOR\nTOTAL_ALLOCATED:1\nNUMBER_OF_ALLOCATIONS:1\nTOTAL_FREED:0\nNUMBER_OF_FREES:0\n"
             "STACK_0:*Unknown*((nil)):*Unknown*+(nil) (0x7)\n"
             "STACK_1:%s(%p):abort+0x3 (%p)\n"
             "TYPE:ALLOCATOR\nTOTAL_ALLOCATED:8053063680\nNUMBER_OF_ALLOCATIONS:2\nTOTAL_FREED:0\n"
             "NUMBER_OF_FREES:0\n"
             "TYPE:UNMATCHED_REALLOCER\nUNMATCHED_REALLOCSS:1\nEND\n",
             info.dli_fname, info.dli_fbase, (void *)in_libc);
    EXPECT_EQ(mask_timestamps(text), expected);
}

// Longer than any buffer a symbol could be copied into.
#define LONG_NAME_16 long_symbol_name_abcdefghijklmnopqrstuvwxyz_0123456789_abcdefghijklmnopqrstuvwxyz_0123456789
#define CAT2(a, b) a##b
#define CAT(a, b) CAT2(a, b)
#define LONG_NAME CAT(CAT(CAT(LONG_NAME_16, LONG_NAME_16), CAT(LONG_NAME_16, LONG_NAME_16)), end)
#define STRINGIFY2(x) #x
#define STRINGIFY(x) STRINGIFY2(x)

} // namespace

extern "C" __attribute__((noinline, used, visibility("default"))) int LONG_NAME(int x) { return x * 3 + 1; }

namespace {

TEST(Symbols, LongSymbolsAreCopiedWholeAndObjectsShareOneRecord) {
    prepare("");
    uintptr_t long_symbol = (uintptr_t)&LONG_NAME + 1;
    uintptr_t in_libc_a = libc_symbol("abort") + 1, in_libc_b = libc_symbol("exit") + 2;
    malloc_occurred(addr(0x1), 1, make_stack({long_symbol, in_libc_a}));
    malloc_occurred(addr(0x2), 1, make_stack({in_libc_b}));
    event_processing_test_drain();
    Report r = parse_report(report());
    ASSERT_EQ(r.blocks.size(), 2u);
    const std::string name = STRINGIFY(LONG_NAME);
    ASSERT_GT(name.size(), 256u);
    EXPECT_NE(r.blocks[1].frames[0].find(":" + name + "+0x1 "), std::string::npos) << r.blocks[1].frames[0];
    // Both libc frames name the same object and base.
    std::string a = r.blocks[1].frames[1], b = r.blocks[0].frames[0];
    EXPECT_EQ(a.substr(a.find(':'), a.find("):") - a.find(':')), b.substr(b.find(':'), b.find("):") - b.find(':')));
}

} // namespace
