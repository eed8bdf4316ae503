// Two reports compared stack by stack: which stacks gained or lost live
// bytes, and how the unmatched counts moved.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"

namespace quarrow::report {

// One allocating stack in the two reports. Within one run a stack is its
// frames exactly as printed; across runs load bases and raw addresses
// differ, so stacks match by type and, for each frame, its object and the
// function the lookup found (with the calls inlined there), or where it
// found none the report's symbol and offset; stacks that become equal that
// way are added together.
struct stack_change {
    uint32_t stack; // a representative: the stack as listed in the later report, else the earlier
    amount before_bytes, after_bytes;
    amount before_blocks, after_blocks;
    bool in_before, in_after;
    amount change() const { return after_bytes - before_bytes; }
};

struct report_diff {
    std::vector<stack_change> gained; // largest gain first
    std::vector<stack_change> lost;   // largest loss first
    size_t unchanged = 0;
    amount before_total = 0, after_total = 0;
    amount unmatched_before[6] = {}, unmatched_after[6] = {}; // by caller type
};

report_diff compare_reports(const report_set &set, report_ref from, report_ref to);

} // namespace quarrow::report
