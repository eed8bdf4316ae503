// The arithmetic the views share: live amounts, choosing runs and reports,
// ranking stacks, and series of live bytes across the reports of a run.
//
// Live bytes are allocated minus freed of two unsigned 64-bit counters, so
// they need 65 bits and a sign; a corrupt file can make them negative.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report_model.h"

namespace quarrow::report {

using amount = __int128;

inline amount live_bytes(const caller_block &b) { return amount(b.total_allocated) - amount(b.total_freed); }
inline amount live_blocks(const caller_block &b) { return amount(b.number_of_allocations) - amount(b.number_of_frees); }

// "1,234,567", with a minus sign when negative.
std::string format_amount(amount value);
// "1.2 MiB" (binary units); exact below 1 KiB ("512 B").
std::string format_bytes(amount value);

// A run by its number: 1-based, negative counts from the end (-1 is the
// last). Runs are numbered across all files in the order given.
std::optional<size_t> select_run(const report_set &set, long number, std::string &error);

struct report_ref {
    size_t run;
    size_t report;
};
// "[RUN:]REPORT", numbers as for select_run, REPORT among the complete
// reports of the run; a missing RUN is default_run.
std::optional<report_ref> select_report(const report_set &set, std::string_view text, size_t default_run,
                                        std::string &error);
// The last complete report of the last run of a file that has one.
std::optional<report_ref> last_report_of_file(const report_set &set, size_t file);

// The allocating blocks of a report by live bytes, largest first (ties by
// total allocated, then by first appearance); at most `top` unless it is 0.
std::vector<const caller_block *> top_by_live(const report &r, const report_set &set, size_t top);

// Blocks of one unmatched type by count, largest first.
std::vector<const caller_block *> unmatched_of(const report &r, const report_set &set, caller_type type);

// Live bytes of one allocating stack in each report of a run. A stack that
// had not appeared yet reads 0 (it had allocated nothing); a report that
// lost the block (a damaged or partial report) reads nothing.
struct stack_series {
    uint32_t stack;
    std::vector<std::optional<amount>> live;
};
std::vector<stack_series> live_series(const report_set &set, const run &r);

// The text after "Run 2 of 3" and friends: where a report is and when.
std::string describe_report(const report_set &set, report_ref ref);

} // namespace quarrow::report
