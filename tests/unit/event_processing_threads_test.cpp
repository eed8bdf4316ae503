// Event processing with its real threads, configuration from options and
// the environment, and the trigger-file gate. Configuration happens once
// per process, so every case runs in a child process of its own and ends
// with an exit code: 0 when all its checks held.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config.h"
#include "event_processing/event_processing.h"
#include "private_heap/private_heap.h"
#include "made_stack.h"
#include "settings.h"
#include "report_text.h"
#include "trigger.h"

namespace {

// In the child: report a failed check on standard error and end with 1.
#define CHILD_CHECK(cond, ...)                                                                                         \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "check failed at line %d: %s: ", __LINE__, #cond);                                         \
            fprintf(stderr, __VA_ARGS__);                                                                              \
            fprintf(stderr, "\n");                                                                                     \
            _exit(1);                                                                                                  \
        }                                                                                                              \
    } while (0)

// A directory per test, the same in the parent and in its child (which
// re-runs the test body from the start in a new program).
std::string scratch_dir() {
    bool child = !GTEST_FLAG_GET(internal_run_death_test).empty();
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string path = "/tmp/quarrow-threads-" + std::to_string(child ? getppid() : getpid()) + "-" + test->name();
    mkdir(path.c_str(), 0700);
    return path;
}

std::string read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return "";
    std::string text = read_stream(f);
    fclose(f);
    return text;
}

int configure(const std::string &options) {
    config_option *list = nullptr;
    if (parse_config_string(options.c_str(), &list) != 0)
        return -1;
    read_settings(); // the environment as the test has just set it
    return configure_event_processing(&list, nullptr);
}

void clear_environment() {
    unsetenv("PROFILER_WRITE_PERIOD_SECONDS");
    unsetenv("PROFILER_STACK_DEPTH");
    unsetenv("PROFILER_TRIGGER_FILE");
    unsetenv("QUARROW_FULL_BUFFER");
}

// The last complete report of a file, or an empty one.
Report last_report(const std::string &text) {
    std::vector<std::string> lines = split_lines(text);
    Report last;
    size_t at = 0;
    while (at < lines.size()) {
        size_t next = at;
        Report r = parse_report_at(lines, at, &next);
        if (r.complete)
            last = r;
        if (next <= at)
            break;
        at = next;
    }
    return last;
}

// Each producer thread allocates from its own stack and frees through
// another, double-frees, and reports JNI blocks.
constexpr int kThreads = 4, kBlocks = 300;

void *produce(void *arg) {
    uintptr_t t = (uintptr_t)arg;
    uintptr_t base = 0x100000 * (t + 1);
    for (int i = 0; i < kBlocks; i++)
        malloc_occurred((void *)(base + 16 * i), 10 + t, make_stack({0x1000 + t, 0x2000}));
    for (int i = 0; i < kBlocks / 2; i++)
        free_occurred((void *)(base + 16 * i), make_stack({0x3000 + t}));
    free_occurred((void *)base, make_stack({0x4000})); // double free, all threads one stack
    free_occurred(nullptr, make_stack({0x4000}));
    for (int i = 0; i < 10; i++)
        jni_alloc_occurred((void *)(base + 0x80000 + i), 100);
    for (int i = 0; i < 5; i++)
        jni_free_occurred((void *)(base + 0x80000 + i));
    return nullptr;
}

TEST(Threads, ReportsCountEveryEventPostedFromSeveralThreads) {
    std::string dir = scratch_dir(), log = dir + "/run.log";
    EXPECT_EXIT(
        {
            clear_environment();
            CHILD_CHECK(configure("write_period_seconds=1,output=" + log + ",stack_depth=4") == 0, "configure");
            CHILD_CHECK(get_write_thread_sleep_time() == 1, "period");
            CHILD_CHECK(get_output_file_name() == log, "%s", get_output_file_name());
            CHILD_CHECK(get_stack_depth() == 4, "depth");
            CHILD_CHECK(current_thread_is_profiler() == 0, "main thread is not a tracker thread");
            pthread_t threads[kThreads];
            for (uintptr_t t = 0; t < kThreads; t++)
                pthread_create(&threads[t], nullptr, produce, (void *)t);
            for (pthread_t thread : threads)
                pthread_join(thread, nullptr);
            // Reports come once a second; wait for one that shows every event.
            Report r;
            for (int tries = 0; tries < 60; tries++) {
                sleep(1);
                r = last_report(read_file(log));
                if (r.blocks.size() == kThreads + 2)
                    break;
            }
            CHILD_CHECK(r.blocks.size() == kThreads + 2, "%zu blocks", r.blocks.size());
            CHILD_CHECK(r.discarded == 0, "discarded %u", r.discarded);
            for (int t = 0; t < kThreads; t++) {
                const Block &b = r.blocks[t]; // allocators: two frames, ordered by the outer then inner frame
                CHILD_CHECK(b.type == "ALLOCATOR" && b.addresses == (std::vector<uintptr_t>{0x1000u + t, 0x2000}),
                            "block %d is %s", t, b.type.c_str());
                CHILD_CHECK(b.counters == (Counters{{"TOTAL_ALLOCATED", (10u + t) * kBlocks},
                                                    {"NUMBER_OF_ALLOCATIONS", kBlocks},
                                                    {"TOTAL_FREED", (10u + t) * (kBlocks / 2)},
                                                    {"NUMBER_OF_FREES", kBlocks / 2}}),
                            "counters of thread %d", t);
            }
            const Block &jni = r.blocks[kThreads];
            CHILD_CHECK(jni.type == "JNI_ALLOCATOR", "%s", jni.type.c_str());
            CHILD_CHECK(jni.counters == (Counters{{"TOTAL_ALLOCATED", 1000u * kThreads},
                                                  {"NUMBER_OF_ALLOCATIONS", 10u * kThreads},
                                                  {"TOTAL_FREED", 500u * kThreads},
                                                  {"NUMBER_OF_FREES", 5u * kThreads}}),
                        "jni counters");
            CHILD_CHECK(r.blocks[kThreads + 1].type == "UNMATCHED_FREER" &&
                            r.blocks[kThreads + 1].addresses == std::vector<uintptr_t>{0x4000} &&
                            r.blocks[kThreads + 1].counters.at("UNMATCHED_FREES") == kThreads,
                        "double frees");
            // The freeing stacks 0x3000 + t matched every free, so they have no
            // records; the JNI producers' stacks are the same on every thread.
            std::string text = read_file(log);
            CHILD_CHECK(text.rfind("Started log at ", 0) == 0, "start line");
            CHILD_CHECK(mask_timestamps(split_lines(text)[0]) ==
                            "Started log at <time>, write period = 1 seconds, stack depth = 4\n",
                        "%s", split_lines(text)[0].c_str());
            _exit(0);
        },
        testing::ExitedWithCode(0), "Profiler stack depth=4");
}

// Counts the "END" lines of a file and returns its text up to the n-th.
size_t reports_in(const std::string &text, size_t n, std::string *head) {
    size_t count = 0, at = 0;
    while (count < n && (at = text.find("\nEND\n", at)) != std::string::npos) {
        at += 5;
        count++;
    }
    *head = count == n ? text.substr(0, at) : text;
    return count;
}

// A whole file: start line, an empty report, the report with the event, and
// a quiet one that repeats the block with zero statistics.
TEST(Threads, TheFileHoldsTheStartLineAndEveryReportInFull) {
    std::string dir = scratch_dir(), log = dir + "/quiet.log";
    EXPECT_EXIT(
        {
            clear_environment();
            CHILD_CHECK(configure("write_period_seconds=1,output=" + log) == 0, "configure");
            std::string head;
            for (int tries = 0; tries < 600 && reports_in(read_file(log), 1, &head) < 1; tries++)
                usleep(50000);
            malloc_occurred((void *)0x10, 5, make_stack({0x1}));
            for (int tries = 0; tries < 60 && reports_in(read_file(log), 3, &head) < 3; tries++)
                sleep(1);
            const std::string block = "STACK_0:*Unknown*((nil)):*Unknown*+(nil) (0x1)\nTYPE:ALLOCATOR\n"
                                      "TOTAL_ALLOCATED:5\nNUMBER_OF_ALLOCATIONS:1\nTOTAL_FREED:0\nNUMBER_OF_FREES:0\n";
            const std::string expected = "Started log at <time>, write period = 1 seconds, stack depth = 5\n"
                                         "TIMESTAMP:<time>\nMAX_PENDING:0\nDISCARDED_EVENTS:0\nEND\n"
                                         "TIMESTAMP:<time>\nMAX_PENDING:1\nDISCARDED_EVENTS:0\n" +
                                         block + "END\nTIMESTAMP:<time>\nMAX_PENDING:0\nDISCARDED_EVENTS:0\n" + block +
                                         "END\n";
            CHILD_CHECK(mask_timestamps(head) == expected, "file:\n%s", head.c_str());
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

void ignore_signal(int) {}

TEST(Threads, SignalsDoNotBringTheReportForward) {
    std::string dir = scratch_dir(), log = dir + "/signals.log";
    EXPECT_EXIT(
        {
            clear_environment();
            struct sigaction action = {};
            action.sa_handler = ignore_signal; // no SA_RESTART: sleeps are cut short
            sigaction(SIGUSR1, &action, nullptr);
            CHILD_CHECK(configure("write_period_seconds=4,output=" + log) == 0, "configure");
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, SIGUSR1);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr); // only the tracker's threads take it
            time_t start = time(nullptr);
            while (time(nullptr) - start < 3) {
                kill(getpid(), SIGUSR1);
                usleep(100000);
                CHILD_CHECK(read_file(log).find("END") == std::string::npos, "a report came %ld s after start",
                            (long)(time(nullptr) - start));
            }
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
}

struct ConfigFailure {
    const char *name;
    std::string options;
    const char *period_variable; // null: unset
    int result;
    std::string stderr_pattern;
};

TEST(Configure, EveryFailingStepReturnsItsCodeWithItsMessages) {
    std::string dir = scratch_dir();
    const ConfigFailure cases[] = {
        {"buffer", "buffers=0", nullptr, 1,
         "Unusable buffer size supplied.*Couldn't configure event buffer. Err = 1 File: src/event_processing.cpp"},
        {"period option", "write_period_seconds=0s", nullptr, 2,
         "You supplied 0s which was parsed as 0.*Couldn't parse write period. Err = 1"},
        {"period from the environment", "write_period_seconds=600", "0", 2,
         "Read profiler write thread period from PROFILER_WRITE_PERIOD_SECONDS environment variable\n"
         "QUARROW ERROR: Unusable write thread sleep time supplied. Must be > 0. You supplied 0 which was parsed as 0 "
         "File: src/event_processing.cpp, Line [0-9]+\n"
         "QUARROW ERROR: Couldn't parse write period. Err = 1"},
        {"non-numeric period from the environment", "", "soon", 2, "You supplied soon which was parsed as 0"},
        {"depth", "stack_depth=0", nullptr, 4,
         "^QUARROW ERROR: Supplied stack depth option parsed as 0. Stack depth must be at least 1 File: "
         "src/event_processing.cpp, Line [0-9]+\nQUARROW ERROR: Couldn't configure stack depth. Err = 1"},
        {"empty output", "output=", nullptr, 8,
         "Invalid file name: . File name must have at least one character.*Couldn't configure output file. Err = 1"},
        {"missing directory", "output=" + dir + "/missing/run.log", nullptr, 8,
         "Couldn't open file " + dir + "/missing/run.log. Errno=2:No such file or directory.*Err = 2"},
    };
    for (const ConfigFailure &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                clear_environment();
                if (c.period_variable != nullptr)
                    setenv("PROFILER_WRITE_PERIOD_SECONDS", c.period_variable, 1);
                _exit(configure(c.options));
            },
            testing::ExitedWithCode(c.result), c.stderr_pattern);
    }
}

TEST(Configure, DefaultsEnvironmentAndCaseInsensitiveNames) {
    std::string dir = scratch_dir();
    EXPECT_EXIT(
        {
            clear_environment();
            CHILD_CHECK(chdir(dir.c_str()) == 0, "chdir");
            CHILD_CHECK(configure("") == 0, "configure");
            CHILD_CHECK(get_write_thread_sleep_time() == 60 && get_stack_depth() == 5, "defaults");
            CHILD_CHECK(std::string(get_output_file_name()) == "native_memory.log", "name");
            std::string text = read_file(dir + "/native_memory.log");
            CHILD_CHECK(mask_timestamps(text) == "Started log at <time>, write period = 60 seconds, stack depth = 5\n",
                        "%s", text.c_str());
            _exit(0);
        },
        testing::ExitedWithCode(0), "^Profiler stack depth=5\n$");

    std::string log = dir + "/env.log";
    EXPECT_EXIT(
        {
            clear_environment();
            setenv("PROFILER_STACK_DEPTH", "3", 1);
            setenv("PROFILER_WRITE_PERIOD_SECONDS", "10s", 1); // its leading number counts
            CHILD_CHECK(configure("STACK_DEPTH=7,Write_Period_Seconds=1,OUTPUT=" + log) == 0, "configure");
            CHILD_CHECK(get_stack_depth() == 3 && get_write_thread_sleep_time() == 10, "environment wins");
            std::string text = read_file(log);
            CHILD_CHECK(mask_timestamps(text) == "Started log at <time>, write period = 10 seconds, stack depth = 3\n",
                        "%s", text.c_str());
            _exit(0);
        },
        testing::ExitedWithCode(0), "Profiler stack depth=3\n");
}

// A buffer of 4 slots against several threads posting flat out: in wait
// mode every event reaches the report; an unknown mode is named and drops.
TEST(Threads, InWaitModeATinyBufferLosesNothing) {
    std::string dir = scratch_dir(), log = dir + "/wait.log";
    EXPECT_EXIT(
        {
            clear_environment();
            setenv("QUARROW_FULL_BUFFER", "wait", 1);
            CHILD_CHECK(configure("buffers=4,output=" + log) == 0, "configure");
            pthread_t threads[kThreads];
            for (uintptr_t t = 0; t < kThreads; t++)
                pthread_create(&threads[t], nullptr, produce, (void *)t);
            for (pthread_t thread : threads)
                pthread_join(thread, nullptr);
            CHILD_CHECK(event_processing_write_final_report(10000) == 1, "final report");
            Report r = last_report(read_file(log));
            CHILD_CHECK(r.discarded == 0, "discarded %u", r.discarded);
            CHILD_CHECK(r.blocks.size() == kThreads + 2, "%zu blocks", r.blocks.size());
            for (int t = 0; t < kThreads; t++)
                CHILD_CHECK(r.blocks[t].counters.at("NUMBER_OF_ALLOCATIONS") == kBlocks &&
                                r.blocks[t].counters.at("NUMBER_OF_FREES") == kBlocks / 2,
                            "counters of thread %d", t);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");

    EXPECT_EXIT(
        {
            clear_environment();
            setenv("QUARROW_FULL_BUFFER", "sometimes", 1);
            CHILD_CHECK(configure("output=" + dir + "/bad.log") == 0, "configure goes on");
            _exit(0);
        },
        testing::ExitedWithCode(0),
        "^QUARROW ERROR: QUARROW_FULL_BUFFER must be drop or wait, not \"sometimes\"; events are dropped when the "
        "buffer is full. File: src/settings.cpp, Line [0-9]+\nProfiler stack depth=5\n$");
}

TEST(Configure, StartLinesAreUtcAndAppendAcrossRuns) {
    std::string dir = scratch_dir(), log = dir + "/runs.log";
    for (int run = 0; run < 2; run++) {
        EXPECT_EXIT(
            {
                clear_environment();
                setenv("TZ", "JST-9", 1); // nine hours east: UTC must not follow it
                tzset();
                time_t before = time(nullptr);
                CHILD_CHECK(configure("output=" + log) == 0, "configure");
                time_t after = time(nullptr);
                std::string line = split_lines(read_file(log)).back();
                bool matched = false;
                for (time_t t = before; t <= after && !matched; t++) {
                    struct tm utc;
                    gmtime_r(&t, &utc);
                    char when[50];
                    strftime(when, sizeof when, "%c", &utc);
                    matched =
                        line == std::string("Started log at ") + when + ", write period = 60 seconds, stack depth = 5";
                }
                CHILD_CHECK(matched, "%s", line.c_str());
                _exit(0);
            },
            testing::ExitedWithCode(0), "");
    }
    std::vector<std::string> lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("Started log at ", 0), 0u);
}

TEST(Trigger, WithoutTheVariableTracingIsOpen) {
    EXPECT_EXIT(
        {
            clear_environment();
            read_settings();
            CHILD_CHECK(configure_triggering() == 0, "configure");
            CHILD_CHECK(is_trace_enabled() == 1 && was_triggered_late() == 0, "open");
            _exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST(Trigger, AMissingOrEmptyNameFails) {
    std::string dir = scratch_dir();
    for (std::string name : {dir + "/absent", std::string()}) {
        EXPECT_EXIT(
            {
                clear_environment();
                setenv("PROFILER_TRIGGER_FILE", name.c_str(), 1);
                read_settings();
                _exit(configure_triggering());
            },
            testing::ExitedWithCode(1),
            "^QUARROW ERROR: Specified trigger file: " + name + " doesn't exist File: src/trigger.cpp, Line [0-9]+\n$");
    }
}

TEST(Trigger, DeletingTheFileEnablesTracingForGood) {
    std::string dir = scratch_dir(), file = dir + "/hold";
    EXPECT_EXIT(
        {
            clear_environment();
            FILE *f = fopen(file.c_str(), "w");
            CHILD_CHECK(f != nullptr, "create");
            fclose(f);
            setenv("PROFILER_TRIGGER_FILE", file.c_str(), 1);
            trigger_set_poll_interval(1);
            read_settings();
            CHILD_CHECK(configure_triggering() == 0, "configure");
            CHILD_CHECK(is_trace_enabled() == 0 && was_triggered_late() == 1, "held back");
            sleep(2);
            CHILD_CHECK(is_trace_enabled() == 0, "still held back while the file exists");
            unlink(file.c_str());
            for (int tries = 0; tries < 100 && !is_trace_enabled(); tries++)
                usleep(100000);
            CHILD_CHECK(is_trace_enabled() == 1, "enabled after deletion");
            f = fopen(file.c_str(), "w"); // coming back changes nothing
            fclose(f);
            sleep(2);
            CHILD_CHECK(is_trace_enabled() == 1 && was_triggered_late() == 1, "for good");
            _exit(0);
        },
        testing::ExitedWithCode(0),
        "^Polling file " + file + ". Trace will start when this file is deleted\nTrigger file " + file +
            " has disappeared - enabling trace\n$");
}

TEST(Trigger, ADirectoryHoldsTracingBackAndUnknownFreesAreNotCharged) {
    std::string dir = scratch_dir();
    EXPECT_EXIT(
        {
            clear_environment();
            setenv("PROFILER_TRIGGER_FILE", dir.c_str(), 1);
            read_settings();
            CHILD_CHECK(configure_triggering() == 0, "a directory is an existing file");
            CHILD_CHECK(is_trace_enabled() == 0 && was_triggered_late() == 1, "held back");
            config_option *none = nullptr;
            CHILD_CHECK(event_processing_test_prepare(&none) == 0, "prepare");
            malloc_occurred((void *)0x10, 8, make_stack({0x1}));
            free_occurred((void *)0x10, make_stack({0x2}));                     // matched: counted as usual
            free_occurred((void *)0x20, make_stack({0x2}));                     // unknown: not charged
            realloc_occurred((void *)0x30, (void *)0x40, 4, make_stack({0x3})); // unknown old block: silent
            event_processing_test_drain();
            FILE *f = tmpfile();
            event_processing_test_write_report(f);
            Report r = parse_report(read_stream(f));
            CHILD_CHECK(r.blocks.size() == 2, "%zu blocks", r.blocks.size());
            CHILD_CHECK(r.blocks[0].type == "ALLOCATOR" && r.blocks[0].counters.at("TOTAL_FREED") == 8, "matched");
            CHILD_CHECK(r.blocks[1].type == "ALLOCATOR" && r.blocks[1].counters.at("TOTAL_ALLOCATED") == 4, "realloc");
            _exit(0);
        },
        testing::ExitedWithCode(0), "^Polling file " + dir + ". Trace will start when this file is deleted\n$");
}

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // Children re-run this program: the tracker's threads must not be forked mid-way.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int result = RUN_ALL_TESTS();
    if (GTEST_FLAG_GET(internal_run_death_test).empty()) { // the parent cleans up for all its children
        std::string clean = "rm -rf /tmp/quarrow-threads-" + std::to_string(getpid()) + "-*";
        if (system(clean.c_str()) != 0)
            fprintf(stderr, "could not remove the scratch directories\n");
    }
    return result;
}
