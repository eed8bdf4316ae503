// Shared arithmetic of the views: see analysis.h.
#include "analysis.h"

#include <stdlib.h>

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

namespace quarrow::report {

std::string format_amount(amount value) {
    bool negative = value < 0;
    unsigned __int128 magnitude = negative ? -(unsigned __int128)value : (unsigned __int128)value;
    std::string digits;
    int n = 0;
    do {
        if (n && n % 3 == 0)
            digits.push_back(',');
        digits.push_back(char('0' + int(magnitude % 10)));
        magnitude /= 10;
        n++;
    } while (magnitude);
    if (negative)
        digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

std::string format_bytes(amount value) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB"};
    bool negative = value < 0;
    long double magnitude = negative ? -(long double)value : (long double)value;
    if (magnitude < 1024)
        return format_amount(value) + " B";
    int unit = 0;
    while (magnitude >= 1024 && unit < 7) {
        magnitude /= 1024;
        unit++;
    }
    return fmt::format("{}{:.1f} {}", negative ? "-" : "", double(magnitude), units[unit]);
}

namespace {

std::optional<size_t> _pick(long number, size_t count, const char *what, std::string &error) {
    if (count == 0) {
        error = fmt::format("there is no {}", what);
        return std::nullopt;
    }
    long n = long(count);
    if (number == 0 || number > n || number < -n) {
        error = fmt::format("{} {} does not exist (there {} {})", what, number, count == 1 ? "is" : "are", count);
        return std::nullopt;
    }
    return size_t(number > 0 ? number - 1 : n + number);
}

bool _parse_long(std::string_view text, long &out) {
    std::string s(text);
    char *end = nullptr;
    if (s.empty())
        return false;
    out = strtol(s.c_str(), &end, 10);
    return *end == '\0';
}

} // namespace

std::optional<size_t> select_run(const report_set &set, long number, std::string &error) {
    return _pick(number, set.runs.size(), "run", error);
}

std::optional<report_ref> select_report(const report_set &set, std::string_view text, size_t default_run,
                                        std::string &error) {
    size_t run_index = default_run;
    size_t colon = text.find(':');
    long number;
    if (colon != std::string_view::npos) {
        if (!_parse_long(text.substr(0, colon), number)) {
            error = fmt::format("\"{}\" is not RUN:REPORT", text);
            return std::nullopt;
        }
        auto picked = select_run(set, number, error);
        if (!picked)
            return std::nullopt;
        run_index = *picked;
        text = text.substr(colon + 1);
    }
    if (!_parse_long(text, number)) {
        error = fmt::format("\"{}\" is not a report number", text);
        return std::nullopt;
    }
    auto picked = _pick(number, set.runs[run_index].reports.size(),
                        fmt::format("complete report in run {}", run_index + 1).c_str(), error);
    if (!picked)
        return std::nullopt;
    return report_ref{run_index, *picked};
}

std::optional<report_ref> last_report_of_file(const report_set &set, size_t file) {
    for (size_t i = set.runs.size(); i-- > 0;)
        if (set.runs[i].file == file && !set.runs[i].reports.empty())
            return report_ref{i, set.runs[i].reports.size() - 1};
    return std::nullopt;
}

std::vector<const caller_block *> top_by_live(const report &r, const report_set &set, size_t top) {
    std::vector<const caller_block *> blocks;
    for (const caller_block &b : r.blocks)
        if (is_allocating(set.stacks[b.stack].type))
            blocks.push_back(&b);
    auto before = [](const caller_block *a, const caller_block *b) {
        amount la = live_bytes(*a), lb = live_bytes(*b);
        if (la != lb)
            return la > lb;
        if (a->total_allocated != b->total_allocated)
            return a->total_allocated > b->total_allocated;
        return a->stack < b->stack;
    };
    if (top && top < blocks.size()) {
        std::partial_sort(blocks.begin(), blocks.begin() + long(top), blocks.end(), before);
        blocks.resize(top);
    } else {
        std::sort(blocks.begin(), blocks.end(), before);
    }
    return blocks;
}

std::vector<const caller_block *> unmatched_of(const report &r, const report_set &set, caller_type type) {
    std::vector<const caller_block *> blocks;
    for (const caller_block &b : r.blocks)
        if (set.stacks[b.stack].type == type)
            blocks.push_back(&b);
    std::sort(blocks.begin(), blocks.end(), [](const caller_block *a, const caller_block *b) {
        if (a->unmatched_count() != b->unmatched_count())
            return a->unmatched_count() > b->unmatched_count();
        return a->stack < b->stack;
    });
    return blocks;
}

std::vector<stack_series> live_series(const report_set &set, const run &r) {
    std::vector<stack_series> series;
    std::unordered_map<uint32_t, size_t> index; // stack -> position in series
    for (size_t i = 0; i < r.reports.size(); i++) {
        for (const caller_block &b : r.reports[i].blocks) {
            if (!is_allocating(set.stacks[b.stack].type))
                continue;
            auto [it, added] = index.emplace(b.stack, series.size());
            if (added) {
                series.push_back({b.stack, std::vector<std::optional<amount>>(r.reports.size())});
                // before its first report the stack had allocated nothing
                for (size_t j = 0; j < i; j++)
                    series.back().live[j] = 0;
            }
            series[it->second].live[i] = live_bytes(b);
        }
    }
    return series;
}

std::string describe_report(const report_set &set, report_ref ref) {
    const run &ru = set.runs[ref.run];
    const report &re = ru.reports[ref.report];
    return fmt::format("run {} report {} (TIMESTAMP {}, {}:{})", ref.run + 1, ref.report + 1,
                       re.timestamp.empty() ? "empty" : re.timestamp, set.files[ru.file], re.line);
}

} // namespace quarrow::report
