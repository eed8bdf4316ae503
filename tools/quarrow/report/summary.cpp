// The default text view: the stacks holding the most live memory in the
// last complete report of a run, and the unmatched frees and reallocs.
#include <fmt/format.h>

#include "symbols.h"
#include "views.h"

namespace quarrow::report {

namespace {

std::string _plural(uint64_t n, const char *one, const char *many) {
    return format_amount(amount(n)) + " " + (n == 1 ? one : many);
}

std::string _plural(amount n, const char *one, const char *many) {
    return format_amount(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string run_header_text(const report_set &set, size_t run_index) {
    const run &r = set.runs[run_index];
    std::string out;
    std::string where = set.files[r.file] + (r.line ? fmt::format(":{}", r.line) : std::string(", no start line"));
    out += fmt::format("Run {} of {}: started {} ({})", run_index + 1, set.runs.size(),
                       r.started_at.empty() ? "at an unknown time" : r.started_at, where);
    out += r.write_period_seconds ? fmt::format(", write period {} s", *r.write_period_seconds)
                                  : std::string(", write period unknown");
    out += r.stack_depth ? fmt::format(", stack depth {}\n", *r.stack_depth) : std::string(", stack depth unknown\n");
    if (!r.skipped.empty())
        out += fmt::format("{} of this run {} left out as incomplete (first at line {}).\n",
                           _plural(uint64_t(r.skipped.size()), "report", "reports"),
                           r.skipped.size() == 1 ? "is" : "are", r.skipped.front().line);
    return out;
}

std::string discard_warning_text(const report_set &set, size_t run_index) {
    const run &r = set.runs[run_index];
    if (!r.discarded_events)
        return "";
    std::string out = "\n";
    out += fmt::format("!!! WARNING: DISCARDED_EVENTS is non-zero in run {}: {} events were dropped\n", run_index + 1,
                       format_amount(r.discarded_events));
    out += fmt::format("!!! because the ring buffer was full ({}, the first at line {}).\n",
                       _plural(r.reports_with_discards, "report", "reports"), r.first_discard_line);
    out += "!!! Every counter below misses those events: treat the numbers as incomplete.\n";
    return out;
}

std::string summary_text(const report_set &set, size_t run_index, const view_options &options) {
    const run &r = set.runs[run_index];
    const report &last = r.reports.back();
    frame_labels labels(set);
    std::string out = run_header_text(set, run_index);

    auto opt = [](const std::optional<uint64_t> &v) { return v ? format_amount(amount(*v)) : std::string("missing"); };
    out += fmt::format("Report {} of {}: TIMESTAMP {} ({}:{}), MAX_PENDING {}, DISCARDED_EVENTS {}\n", r.reports.size(),
                       r.reports.size(), last.timestamp.empty() ? "empty" : last.timestamp, set.files[r.file],
                       last.line, opt(last.max_pending), opt(last.discarded_events));
    out += discard_warning_text(set, run_index);

    amount total_live = 0, total_blocks = 0;
    size_t allocating = 0;
    for (const caller_block &b : last.blocks) {
        if (!is_allocating(set.stacks[b.stack].type))
            continue;
        allocating++;
        total_live += live_bytes(b);
        total_blocks += live_blocks(b);
    }
    out += fmt::format("\nLive: {} ({}) in {}, from {}\n", _plural(total_live, "byte", "bytes"),
                       format_bytes(total_live), _plural(total_blocks, "block", "blocks"),
                       _plural(uint64_t(allocating), "allocating stack", "allocating stacks"));

    auto top = top_by_live(last, set, options.top);
    if (top.empty()) {
        out += "\nNo allocating stacks in this report.\n";
    } else {
        out += fmt::format("\nTop {} by live bytes (allocated minus freed):\n",
                           _plural(uint64_t(top.size()), "stack", "stacks"));
        for (size_t i = 0; i < top.size(); i++) {
            const caller_block &b = *top[i];
            amount live = live_bytes(b);
            out += fmt::format("\n  #{}  live {} ({}) in {}  [{}]\n", i + 1, _plural(live, "byte", "bytes"),
                               format_bytes(live), _plural(live_blocks(b), "block", "blocks"),
                               caller_type_name(set.stacks[b.stack].type));
            if (live < 0 || live_blocks(b) < 0)
                out += "      !!! more freed than allocated: this block is corrupt (see the warnings)\n";
            std::string average =
                b.number_of_allocations
                    ? format_amount((amount(b.total_allocated) + b.number_of_allocations / 2) / b.number_of_allocations)
                    : std::string("0");
            out +=
                fmt::format("      allocated {} in {}, average {} bytes\n", _plural(b.total_allocated, "byte", "bytes"),
                            _plural(b.number_of_allocations, "allocation", "allocations"), average);
            append_frame_lines(out, set, labels, b.stack, "        ");
        }
    }

    out += "\nUnmatched frees and reallocs (of blocks the tracker never saw allocated):\n";
    for (int t = int(caller_type::unmatched_freer); t < caller_type_count; t++) {
        auto type = caller_type(t);
        auto blocks = unmatched_of(last, set, type);
        bool frees = std::string_view(unmatched_counter_key(type)) == "UNMATCHED_FREES";
        const char *one = frees ? "unmatched free" : "unmatched realloc";
        const char *many = frees ? "unmatched frees" : "unmatched reallocs";
        if (blocks.empty()) {
            out += fmt::format("  {}: none\n", caller_type_name(type));
            continue;
        }
        amount total = 0;
        for (const caller_block *b : blocks)
            total += b->unmatched_count();
        out += fmt::format("  {}: {} from {}\n", caller_type_name(type), _plural(total, one, many),
                           _plural(uint64_t(blocks.size()), "stack", "stacks"));
        size_t shown = options.top ? std::min(options.top, blocks.size()) : blocks.size();
        for (size_t i = 0; i < shown; i++) {
            out += fmt::format("    #{}  {}\n", i + 1, _plural(blocks[i]->unmatched_count(), one, many));
            append_frame_lines(out, set, labels, blocks[i]->stack, "          ");
        }
        if (shown < blocks.size())
            out += fmt::format("    ... and {} more\n", _plural(uint64_t(blocks.size() - shown), "stack", "stacks"));
    }
    return out;
}

} // namespace quarrow::report
