// The diff view: compare_reports matches the stacks of two reports and
// diff_text lists the gains and losses.
#include "diff.h"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "symbols.h"
#include "views.h"

namespace quarrow::report {

namespace {

// A stack's identity when load bases and raw addresses cannot be compared:
// each frame's object and function, with the functions inlined there, when
// the lookup named it (so a rebuilt object still matches), else the
// report's object, symbol and offset.
std::string _portable_key(const report_set &set, uint32_t stack) {
    const report_stack &s = set.stacks[stack];
    std::string key(1, char('0' + int(s.type)));
    for (uint32_t id : s.frames) {
        const report_frame &f = set.frames[id];
        key += f.library + '\n';
        if (id < set.lookups.size() && set.lookups[id].found) {
            const frame_lookup &l = set.lookups[id];
            for (const source_function &inlined : l.inlined)
                key += inlined.name + '\t';
            key += l.function.name + '\n';
        } else {
            key += f.symbol + '\n' + f.offset + '\n';
        }
    }
    return key;
}

} // namespace

report_diff compare_reports(const report_set &set, report_ref from, report_ref to) {
    const report &before = set.runs[from.run].reports[from.report];
    const report &after = set.runs[to.run].reports[to.report];
    bool same_run = from.run == to.run;

    std::unordered_map<std::string, size_t> portable;
    std::unordered_map<uint32_t, size_t> exact;
    std::vector<stack_change> changes;
    report_diff diff;
    auto entry = [&](uint32_t stack) -> stack_change & {
        size_t index = changes.size();
        if (same_run)
            index = exact.emplace(stack, index).first->second;
        else
            index = portable.emplace(_portable_key(set, stack), index).first->second;
        if (index == changes.size())
            changes.push_back(stack_change{stack, 0, 0, 0, 0, false, false});
        return changes[index];
    };
    for (const caller_block &b : after.blocks) {
        caller_type type = set.stacks[b.stack].type;
        if (!is_allocating(type)) {
            diff.unmatched_after[int(type)] += b.unmatched_count();
            continue;
        }
        stack_change &c = entry(b.stack);
        c.after_bytes += live_bytes(b);
        c.after_blocks += live_blocks(b);
        c.in_after = true;
        diff.after_total += live_bytes(b);
    }
    for (const caller_block &b : before.blocks) {
        caller_type type = set.stacks[b.stack].type;
        if (!is_allocating(type)) {
            diff.unmatched_before[int(type)] += b.unmatched_count();
            continue;
        }
        stack_change &c = entry(b.stack);
        c.before_bytes += live_bytes(b);
        c.before_blocks += live_blocks(b);
        c.in_before = true;
        diff.before_total += live_bytes(b);
    }
    for (const stack_change &c : changes) {
        if (c.change() > 0)
            diff.gained.push_back(c);
        else if (c.change() < 0)
            diff.lost.push_back(c);
        else
            diff.unchanged++;
    }
    // changes are in order of first listing, so equal changes keep it
    std::stable_sort(diff.gained.begin(), diff.gained.end(),
                     [](const stack_change &a, const stack_change &b) { return a.change() > b.change(); });
    std::stable_sort(diff.lost.begin(), diff.lost.end(),
                     [](const stack_change &a, const stack_change &b) { return a.change() < b.change(); });
    return diff;
}

std::string diff_text(const report_set &set, report_ref from, report_ref to, const view_options &options) {
    report_diff diff = compare_reports(set, from, to);
    frame_labels labels(set);
    std::string out;
    out += fmt::format("From {}\n  to {}\n", describe_report(set, from), describe_report(set, to));
    if (from.run != to.run)
        out += "Different runs: stacks are matched by object and function of each frame (by symbol and offset where no "
               "function was found).\n";
    amount total = diff.after_total - diff.before_total;
    out += fmt::format("Live bytes: {} -> {} ({}{}, {}{})\n", format_amount(diff.before_total),
                       format_amount(diff.after_total), total > 0 ? "+" : "", format_amount(total),
                       total > 0 ? "+" : "", format_bytes(total));
    out += discard_warning_text(set, from.run);
    if (to.run != from.run)
        out += discard_warning_text(set, to.run);

    auto list = [&](const std::vector<stack_change> &changes, const char *title) {
        if (changes.empty()) {
            out += fmt::format("\n{}: none\n", title);
            return;
        }
        size_t shown = options.top ? std::min(options.top, changes.size()) : changes.size();
        out += fmt::format("\n{}: {} of {} stack{}\n", title, shown, changes.size(), changes.size() == 1 ? "" : "s");
        for (size_t i = 0; i < shown; i++) {
            const stack_change &c = changes[i];
            amount change = c.change();
            const char *status = !c.in_before ? "  (new)" : !c.in_after ? "  (gone)" : "";
            out +=
                fmt::format("\n  #{}  {}{} bytes ({}{}): {} -> {} bytes, {} -> {} live blocks  [{}]{}\n", i + 1,
                            change > 0 ? "+" : "", format_amount(change), change > 0 ? "+" : "", format_bytes(change),
                            format_amount(c.before_bytes), format_amount(c.after_bytes), format_amount(c.before_blocks),
                            format_amount(c.after_blocks), caller_type_name(set.stacks[c.stack].type), status);
            append_frame_lines(out, set, labels, c.stack, "        ");
        }
    };
    list(diff.gained, "Gained live bytes");
    list(diff.lost, "Lost live bytes");
    out += fmt::format("\nUnchanged: {} stack{}\n", diff.unchanged, diff.unchanged == 1 ? "" : "s");

    out += "\nUnmatched counts:\n";
    for (int t = int(caller_type::unmatched_freer); t < caller_type_count; t++) {
        amount change = diff.unmatched_after[t] - diff.unmatched_before[t];
        out += fmt::format("  {}: {} -> {} ({}{})\n", caller_type_name(caller_type(t)),
                           format_amount(diff.unmatched_before[t]), format_amount(diff.unmatched_after[t]),
                           change > 0 ? "+" : "", format_amount(change));
    }
    return out;
}

} // namespace quarrow::report
