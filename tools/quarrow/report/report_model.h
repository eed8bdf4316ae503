// The parsed form of report files: plain records that every view of
// `quarrow report` reads (text summary, growth, diff, JSON, HTML).
//
// A report lists every caller record again and again, so frames and stacks
// are interned once per parse and each report keeps only (stack id, counters)
// per block. That keeps a file of a million blocks in a few tens of megabytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace quarrow::report {

// The six kinds of caller record, in the order the writer groups its blocks.
enum class caller_type : uint8_t {
    allocator = 0,
    jni_allocator = 1,
    unmatched_freer = 2,
    unmatched_reallocer = 3,
    unmatched_jni_freer = 4,
    unmatched_jni_reallocer = 5,
};
constexpr int caller_type_count = 6;

// The word on the block's type line, e.g. "ALLOCATOR".
const char *caller_type_name(caller_type type);
// The key of the single counter line of an unmatched type.
const char *unmatched_counter_key(caller_type type);
inline bool is_allocating(caller_type type) { return type <= caller_type::jni_allocator; }

// One STACK line. Pointer fields keep the text as printed ("0x..." or
// "(nil)"), so nothing is lost; numbers are derived where needed.
struct report_frame {
    std::string library; // object path, "*Unknown*", or empty
    std::string base;
    std::string symbol; // as the loader gave it (mangled), or "*Unknown*"
    std::string offset;
    std::string address;
};

// One function of a frame as the offline lookup found it (frame_lookup.h).
struct source_function {
    std::string name;  // as the object names it (C++ names mangled); empty when unknown
    std::string file;  // source file as the debug information gives it; empty when unknown
    uint32_t line = 0; // 0 when unknown
};

// What the offline lookup found for one frame. `found` is false when the
// object could not be read, is not the one that ran, or lacks the address:
// the views then use the report's own names.
struct frame_lookup {
    bool found = false;
    uint64_t object_address =
        0; // the return address in the object's own terms, as addr2line takes it; 0 when the object was not read
    source_function function;     // the function the frame is in
    uint64_t function_offset = 0; // return address minus the function's start, when a symbol table named it
    bool from_symbol_table = false;
    std::vector<source_function> inlined; // calls inlined into `function` at this address, innermost first
};

// A distinct call stack of one caller type: its identity across reports.
struct report_stack {
    caller_type type;
    std::vector<uint32_t> frames; // ids into report_set::frames, innermost first
};

// One block of a report. For the unmatched types only total_allocated is
// used; it holds the unmatched count, as in the writer's own record.
struct caller_block {
    uint32_t stack;
    uint64_t total_allocated;
    uint64_t number_of_allocations;
    uint64_t total_freed;
    uint64_t number_of_frees;

    uint64_t unmatched_count() const { return total_allocated; }
};

// A report that ended with its "END" line.
struct report {
    uint64_t line; // of its TIMESTAMP line
    std::string timestamp;
    std::optional<int64_t> time; // seconds since 1970 (UTC) when the text reads as "%c" in the POSIX locale
    std::optional<uint64_t> max_pending;
    std::optional<uint64_t> discarded_events;
    std::vector<caller_block> blocks;
};

// A report that was begun but never finished, e.g. because the process died
// while writing it. It is not in run::reports.
struct skipped_report {
    uint64_t line;
    std::string reason;
};

// Everything one start of the tracker appended: its start line and reports.
struct run {
    size_t file;   // index into report_set::files
    uint64_t line; // of the start line; 0 when the file began without one
    std::string started_at;
    std::optional<int64_t> start_time;
    std::optional<int> write_period_seconds;
    std::optional<int> stack_depth;
    std::vector<report> reports;
    std::vector<skipped_report> skipped;
    // From every report header of the run, finished or not: events lost to a
    // full ring buffer make every counter of the run incomplete.
    uint64_t discarded_events = 0;
    uint64_t reports_with_discards = 0;
    uint64_t first_discard_line = 0;
};

struct parse_warning {
    size_t file;
    uint64_t line; // 0 for a warning about the file as a whole
    std::string message;
};

// All files of one command, in the order given; runs in file order.
struct report_set {
    std::vector<std::string> files;
    std::vector<report_frame> frames;
    std::vector<frame_lookup> lookups; // one per frame once looked up; empty with --no-symbols
    std::vector<report_stack> stacks;
    std::vector<run> runs;
    std::vector<parse_warning> warnings; // the first warning_limit of them
    uint64_t warning_count = 0;          // all of them
    static constexpr size_t warning_limit = 1000;
};

} // namespace quarrow::report
