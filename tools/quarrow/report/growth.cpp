// The growth view: rank_growth scores each allocating stack's series of
// live bytes; growth_text shows the suspects and a line for every other
// stack.
#include "growth.h"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "symbols.h"
#include "views.h"

namespace quarrow::report {

std::vector<stack_growth> rank_growth(const std::vector<stack_series> &all) {
    std::vector<stack_growth> result;
    for (const stack_series &s : all) {
        size_t n = s.live.size();
        size_t first = 0;
        while (first < n && s.live[first] && *s.live[first] == 0)
            first++; // no activity yet: a value of 0 before the first report that lists the stack
        stack_growth g{s.stack, 0, 0, 0, 0, false, 0.0};
        std::optional<amount> previous = amount(0);
        if (first > 0)
            previous = s.live[first - 1];
        for (size_t i = first; i < n; i++) {
            const std::optional<amount> &value = s.live[i];
            if (value)
                g.now = *value;
            if (value && previous) {
                g.periods++;
                g.rises += *value > *previous;
                g.falls += *value < *previous;
            }
            previous = value;
        }
        size_t needed = std::min<size_t>(3, n);
        g.suspect = g.now > 0 && g.rises * 2 > g.periods && g.falls * 2 < g.rises && g.periods >= needed;
        if (g.periods)
            g.score = double(g.now) * double(g.rises) / double(g.periods);
        result.push_back(g);
    }
    std::stable_sort(result.begin(), result.end(), [](const stack_growth &a, const stack_growth &b) {
        if (a.suspect != b.suspect)
            return a.suspect;
        if (a.suspect && a.score != b.score)
            return a.score > b.score;
        if (a.now != b.now)
            return a.now > b.now;
        return a.stack < b.stack;
    });
    return result;
}

std::string sparkline(const std::vector<std::optional<amount>> &values, size_t width) {
    static const char *const bars[] = {"▁", "▂", "▃", "▄", "▅", "▆", "▇", "█"};
    size_t n = values.size();
    size_t cells = std::min(n, std::max<size_t>(width, 1));
    std::vector<std::optional<amount>> shown(cells);
    for (size_t c = 0; c < cells; c++) {
        // the last report of the bucket, or the last one with a value
        size_t begin = c * n / cells, end = (c + 1) * n / cells;
        for (size_t i = begin; i < end; i++)
            if (values[i])
                shown[c] = values[i];
    }
    std::optional<amount> low, high;
    for (const auto &v : shown) {
        if (!v)
            continue;
        low = low ? std::min(*low, *v) : *v;
        high = high ? std::max(*high, *v) : *v;
    }
    std::string out;
    for (const auto &v : shown) {
        if (!v) {
            out += " ";
            continue;
        }
        int level = *high == *low ? 0 : int((long double)(*v - *low) * 7 / (long double)(*high - *low) + 0.5L);
        out += bars[std::clamp(level, 0, 7)];
    }
    return out;
}

std::string growth_text(const report_set &set, size_t run_index, const view_options &options) {
    const run &r = set.runs[run_index];
    frame_labels labels(set);
    std::string out = run_header_text(set, run_index);
    out += fmt::format("Live bytes across {} complete report{} ({} .. {})\n", r.reports.size(),
                       r.reports.size() == 1 ? "" : "s", r.reports.front().timestamp, r.reports.back().timestamp);
    out += discard_warning_text(set, run_index);

    auto series = live_series(set, r);
    std::unordered_map<uint32_t, const stack_series *> by_stack;
    for (const stack_series &s : series)
        by_stack[s.stack] = &s;
    auto ranked = rank_growth(series);
    size_t suspects = 0;
    while (suspects < ranked.size() && ranked[suspects].suspect)
        suspects++;

    auto values_text = [](const stack_series &s) {
        // every value when they fit on a line, the ends and range otherwise
        std::optional<amount> low, high, first, last;
        for (const auto &v : s.live) {
            if (!v)
                continue;
            low = low ? std::min(*low, *v) : *v;
            high = high ? std::max(*high, *v) : *v;
            if (!first)
                first = v;
            last = v;
        }
        if (!first)
            return std::string("no values");
        if (s.live.size() <= 8) {
            std::string text;
            for (const auto &v : s.live)
                text += (text.empty() ? "" : ", ") + (v ? format_amount(*v) : std::string("?"));
            return text;
        }
        return fmt::format("{} -> {} (min {}, max {})", format_amount(*first), format_amount(*last),
                           format_amount(*low), format_amount(*high));
    };

    constexpr size_t width = 40;
    if (suspects == 0) {
        out += "\nNo leak suspects: no allocating stack's live bytes rose in most periods.\n";
    } else {
        size_t shown = options.top ? std::min(options.top, suspects) : suspects;
        out += fmt::format("\nLeak suspects (live bytes rising in most periods), by steady growth: {} of {}\n", shown,
                           suspects);
        for (size_t i = 0; i < shown; i++) {
            const stack_growth &g = ranked[i];
            const stack_series &s = *by_stack[g.stack];
            out += fmt::format("\n  #{}  {} live ({}) now, rising in {} of {} periods  [{}]\n", i + 1,
                               format_amount(g.now), format_bytes(g.now), g.rises, g.periods,
                               caller_type_name(set.stacks[g.stack].type));
            out += fmt::format("      {}  {}\n", sparkline(s.live, width), values_text(s));
            append_frame_lines(out, set, labels, g.stack, "        ");
        }
    }

    size_t others = ranked.size() - suspects;
    if (others) {
        size_t shown = options.top ? std::min(options.top, others) : others;
        out += fmt::format("\nOther allocating stacks, by live bytes now: {} of {}\n", shown, others);
        for (size_t i = suspects; i < suspects + shown; i++) {
            const stack_growth &g = ranked[i];
            const stack_series &s = *by_stack[g.stack];
            const report_stack &st = set.stacks[g.stack];
            out +=
                fmt::format("  {:>14}  {}  rose {}/{}  {}\n", format_amount(g.now), sparkline(s.live, width), g.rises,
                            g.periods, st.frames.empty() ? std::string("(no frames)") : labels.innermost(st.frames[0]));
        }
    }
    return out;
}

} // namespace quarrow::report
