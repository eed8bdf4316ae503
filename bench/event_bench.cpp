// event_bench: the event path's throughput.
//
// drain:     the processing loop on one thread, with 200 distinct stacks and
//            50,000 live blocks: every event either frees a live block or
//            allocates a new one, so each costs a caller-table lookup and an
//            allocation-table change. Reported in events per second.
// producers: the cost of posting one event as the hooks do (its frames
//            copied into its slot) from 1 and 2 threads while the real
//            processing thread drains the default 16000-slot buffer, and the
//            share of events dropped when the threads post flat out.
// paced:     2 threads offering half the drain rate measured first, in all,
//            for one second; the share dropped. A paced thread sleeps while
//            it is ahead of its rate, as a program that makes requests at
//            that rate would, rather than spinning for the processor. A
//            thread kept off the processor for a while (on a virtual machine
//            its host may take it for tens of milliseconds) makes up at most
//            kCatchUp events at once and then keeps its rate from there, so
//            it never offers many times the rate in a burst; the run then
//            takes longer than a second, and says so. The line also gives
//            the time the host took from the processors meanwhile: at 7.5 M
//            events/s the default ring of 16000 lasts 2 ms once the
//            processing thread stops, so a longer steal of its processor
//            drops events that no speed of draining would have saved.
//
// --drain runs the drain part alone, --smoke all parts briefly.
//
// Exit status: 0 when every run completed and the drain counted every event
// it was given, 1 otherwise.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "event_processing/event_processing.h"
#include "private_heap/private_heap.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

call_stack *stack_for(uint32_t caller) {
    call_stack *s = (call_stack *)dlmalloc(sizeof(call_stack));
    s->frame_count = 5;
    s->return_addresses = (void **)dlmalloc(5 * sizeof(void *));
    for (uint32_t i = 0; i < 5; i++)
        s->return_addresses[i] = (void *)(uintptr_t)(0x1000 * (i + 1) + caller); // outside every object
    return s;
}

config_option *options(const char *text) {
    config_option *list = nullptr;
    if (parse_config_string(text, &list) != 0)
        exit(1);
    return list;
}

// Milliseconds the host took from this virtual machine's processors (the
// steal column of /proc/stat, summed over them); -1 where it is not known.
// A processing thread whose processor is taken for longer than the ring
// lasts at the offered rate drops events however fast it drains.
long stolen_milliseconds() {
    FILE *f = fopen("/proc/stat", "r");
    if (f == nullptr)
        return -1;
    unsigned long long user, nice, system, idle, iowait, irq, softirq, steal;
    int fields = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait, &irq,
                        &softirq, &steal);
    fclose(f);
    long ticks = sysconf(_SC_CLK_TCK);
    return fields == 8 && ticks > 0 ? (long)(steal * 1000 / (unsigned long long)ticks) : -1;
}

uint32_t discarded_in_report() {
    FILE *f = tmpfile();
    event_processing_test_write_report(f);
    rewind(f);
    char line[256];
    uint32_t discarded = 0;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "DISCARDED_EVENTS:", 17) == 0)
            discarded = (uint32_t)strtoul(line + 17, nullptr, 10);
    fclose(f);
    return discarded;
}

// The processing loop alone: batches posted into a large buffer, then
// drained on this thread and timed.
double drain_bench(int batch, int rounds) {
    const int kStacks = 200, kLive = 50000;
    config_option *list = options(("buffers=" + std::to_string(batch)).c_str());
    if (event_processing_test_prepare(&list) != 0)
        return 0;
    std::vector<uintptr_t> live(kLive);
    uint32_t rng = 12345;
    auto next = [&rng]() { return rng = rng * 1664525u + 1013904223u; };
    uintptr_t fresh = 0x10000000;
    for (int i = 0; i < kLive; i++) {
        live[i] = fresh += 16;
        malloc_occurred((void *)live[i], 32, stack_for(i % kStacks));
        if ((i + 1) % batch == 0)
            event_processing_test_drain();
    }
    event_processing_test_drain();
    double busy = 0;
    long handled = 0;
    for (int r = 0; r < rounds; r++) {
        for (int i = 0; i < batch; i += 2) { // a free and an allocation: the live count stays put
            uint32_t slot = next() % kLive;
            free_occurred((void *)live[slot], stack_for(next() % kStacks));
            live[slot] = fresh += 16;
            malloc_occurred((void *)live[slot], 8 + next() % 256, stack_for(next() % kStacks));
        }
        Clock::time_point start = Clock::now();
        handled += event_processing_test_drain();
        busy += seconds_since(start);
    }
    printf("drain: %ld events in %.3f s = %.0f events/s (200 stacks, 50000 live blocks)\n", handled, busy,
           handled / busy);
    return handled == (long)batch * rounds ? handled / busy : 0;
}

// Threads post as fast as they can, or paced to an offered rate, while the
// real processing thread drains.
void post_from_threads(int threads, long per_thread, double rate_per_thread, double *seconds) {
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    Clock::time_point start;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t]() {
            ready++;
            while (ready.load() < threads) {
            }
            Clock::time_point begin = Clock::now();
            const long kCatchUp = 1024; // an eighth of the buffer for both threads
            uintptr_t base = 0x20000000u + 0x1000000u * t;
            void *frames[7];
            for (long i = 0; i < per_thread; i++) {
                if (rate_per_thread > 0 && i % 64 == 0) { // paced: never ahead of the offered rate
                    if (seconds_since(begin) * rate_per_thread > i + kCatchUp) // far behind: keep the rate from here
                        begin = Clock::now() - std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>((i + kCatchUp) / rate_per_thread));
                    while (i > seconds_since(begin) * rate_per_thread)
                        std::this_thread::sleep_for(std::chrono::microseconds(20));
                }
                for (uint32_t f = 0; f < 7; f++)
                    frames[f] = (void *)(uintptr_t)(0x1000 * (f + 1) + t * 7 + i % 7);
                void *block = (void *)(base + 16 * (i / 2 % 4096));
                event_record event = i % 2 == 0 ? malloc_event_of(block, 64) : free_event_of(block);
                post_event(&event, frames, 7);
            }
        });
    }
    start = Clock::now();
    for (std::thread &w : workers)
        w.join();
    *seconds = seconds_since(start);
}

bool producer_bench(long events, double drain_rate) {
    char dir[] = "/tmp/quarrow-event-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    std::string log = std::string(dir) + "/bench.log";
    config_option *list = options(("write_period_seconds=100000,output=" + log).c_str());
    if (configure_event_processing(&list, nullptr) != 0)
        return false;
    discarded_in_report(); // start the statistics afresh
    for (int threads = 1; threads <= 2; threads++) {
        double seconds = 0;
        post_from_threads(threads, events / threads, 0, &seconds);
        uint32_t discarded = discarded_in_report();
        printf("producers: %d thread(s) posted %ld events flat out in %.3f s: %.0f ns per event per thread, "
               "%.1f%% dropped\n",
               threads, events, seconds, seconds * 1e9 * threads / events, 100.0 * discarded / events);
        sleep(1); // let the processing thread catch up
    }
    double seconds = 0;
    long offered = getenv("BENCH_OFFERED") ? atol(getenv("BENCH_OFFERED")) : (long)(drain_rate / 2);
    long stolen_before = stolen_milliseconds();
    post_from_threads(2, offered / 2, offered / 2.0, &seconds);
    long stolen_after = stolen_milliseconds();
    uint32_t discarded = discarded_in_report();
    printf("paced: 2 threads offered %ld events in 1 s, half the drain rate (took %.3f s): %u dropped (%.2f%%)",
           offered, seconds, discarded, 100.0 * discarded / offered);
    if (stolen_before >= 0 && stolen_after >= 0)
        printf("; the host took %ld ms of the processors meanwhile (steal)", stolen_after - stolen_before);
    printf("\n");
    unlink(log.c_str());
    rmdir(dir);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool smoke = argc > 1 && strcmp(argv[1], "--smoke") == 0;
    if (argc > 1 && strcmp(argv[1], "--drain") == 0) // the drain alone, for a profiler
        return drain_bench(200000, 10) > 0 ? 0 : 1;
    // Event processing is configured once per process: each part in its own.
    // The drain rate comes back through a pipe: the paced part offers half.
    int rate_pipe[2];
    if (pipe(rate_pipe) != 0)
        return 1;
    pid_t drain = fork();
    if (drain == 0) {
        double rate = drain_bench(smoke ? 2000 : 200000, smoke ? 2 : 10);
        _exit(write(rate_pipe[1], &rate, sizeof rate) == sizeof rate && rate > 0 ? 0 : 1);
    }
    int drained = 1, produced = 1;
    waitpid(drain, &drained, 0);
    double rate = 0;
    if (read(rate_pipe[0], &rate, sizeof rate) != sizeof rate)
        rate = 0;
    pid_t produce = fork();
    if (produce == 0)
        _exit(producer_bench(getenv("BENCH_EVENTS") ? atol(getenv("BENCH_EVENTS"))
                             : smoke                ? 20000
                                                    : 2000000,
                             rate)
                  ? 0
                  : 1);
    waitpid(produce, &produced, 0);
    return drained == 0 && produced == 0 ? 0 : 1;
}
