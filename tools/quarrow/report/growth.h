// Leak suspects: allocating stacks whose live bytes keep rising from report
// to report. Steadiness counts, not size alone: a stack that grew in one
// jump and then stayed flat is no suspect, however big the jump.
#pragma once

#include <string>
#include <vector>

#include "analysis.h"

namespace quarrow::report {

// How one stack's live bytes moved over the periods of a run. The run starts
// from nothing, so the period in which a stack first holds live bytes counts
// as a rise from 0; the flat periods before it, and periods that touch a
// report that lost the block, are not counted.
struct stack_growth {
    uint32_t stack;
    amount now;     // live bytes in the last report that lists the stack
    size_t rises;   // periods in which live bytes rose
    size_t falls;   // ... and fell
    size_t periods; // periods counted
    // a leak suspect: now > 0, rising in more than half its periods and
    // falling in fewer than half as many as it rose, over at least 3 periods
    // (or as many as the run has)
    bool suspect;
    double score; // now weighted by the share of rising periods: the ranking key
};

// All allocating stacks: suspects first by score, then the rest by live
// bytes now; ties by first appearance.
std::vector<stack_growth> rank_growth(const std::vector<stack_series> &series);

// A one-line picture of a series, one block character per report (or per
// bucket of reports, showing each bucket's last value, when there are more
// than `width`); a space for a report that lost the block.
std::string sparkline(const std::vector<std::optional<amount>> &values, size_t width);

} // namespace quarrow::report
