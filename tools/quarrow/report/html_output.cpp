// The HTML view: one self-contained page (no network, no external files)
// with the summary table, a chart of live bytes over the reports of the run
// for the top stacks, and an icicle graph of live bytes by stack.
//
// The icicle hangs from the allocation sites: under the root and the caller
// type, the first row holds frame 0 (the code that called the allocator),
// the next its callers, and so on. Captured stacks are cut at the stack
// depth, so the allocation site is the frame every stack shares a meaning
// for. Boxes with the same "symbol (library)" under the same parent merge.
//
// A small script writes a self-check into #quarrow-check (row, frame and
// series counts and any script errors) so a headless browser can verify
// the page as a whole from its DOM.
#include <algorithm>
#include <map>
#include <memory>

#include <fmt/format.h>

#include "growth.h"
#include "symbols.h"
#include "views.h"

namespace quarrow::report {

namespace {

std::string _escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

const char *const _palette[] = {"#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

// ---------------------------------------------------------------- icicle

struct _node {
    std::string label;
    std::string css; // "root", "kind" or "frame"
    amount bytes = 0;
    std::vector<std::unique_ptr<_node>> children;
    std::map<std::string, _node *> by_label;

    _node *child(const std::string &name, const char *kind) {
        auto found = by_label.find(name);
        if (found != by_label.end())
            return found->second;
        children.push_back(std::make_unique<_node>());
        _node *n = children.back().get();
        n->label = name;
        n->css = kind;
        by_label[name] = n;
        return n;
    }
};

constexpr double _icicle_width = 1200, _row = 18;

int _depth(const _node &n) {
    int deepest = 0;
    for (const auto &c : n.children)
        deepest = std::max(deepest, _depth(*c));
    return deepest + 1;
}

// A warm colour that depends only on the label, so a function keeps its
// colour wherever it appears.
std::string _warm(const std::string &label) {
    uint32_t h = 2166136261u;
    for (unsigned char c : label)
        h = (h ^ c) * 16777619u;
    return fmt::format("rgb({},{},{})", 205 + h % 50, 80 + (h >> 8) % 130, 40 + (h >> 16) % 50);
}

void _draw(std::string &out, const _node &n, double x, double y, double width, amount total) {
    std::string fill = n.css == "frame" ? _warm(n.label) : n.css == "kind" ? "#c8c8d0" : "#a8a8b4";
    double share = total > 0 ? double(n.bytes) * 100.0 / double(total) : 0;
    out += fmt::format("<g><rect class=\"{}\" x=\"{:.2f}\" y=\"{:.0f}\" width=\"{:.2f}\" height=\"{:.0f}\" "
                       "fill=\"{}\"><title>{} \u2014 {} bytes ({}), {:.1f}%</title></rect>",
                       n.css, x, y, width, _row - 1, fill, _escape(n.label), format_amount(n.bytes),
                       format_bytes(n.bytes), share);
    size_t fits = width > 10 ? size_t((width - 6) / 6.6) : 0;
    if (fits >= 3) {
        std::string text = n.label.size() > fits ? n.label.substr(0, fits - 2) + ".." : n.label;
        out += fmt::format("<text x=\"{:.2f}\" y=\"{:.0f}\">{}</text>", x + 3, y + _row - 5, _escape(text));
    }
    out += "</g>\n";
    double at = x;
    for (const auto &c : n.children) {
        double w = total > 0 ? double(c->bytes) / double(total) * _icicle_width : 0;
        if (w >= 0.3) // narrower boxes cannot be seen; the parent covers them
            _draw(out, *c, at, y + _row, w, total);
        at += w;
    }
}

void _sort(_node &n) {
    std::stable_sort(n.children.begin(), n.children.end(), [](const auto &a, const auto &b) {
        if (a->bytes != b->bytes)
            return a->bytes > b->bytes;
        return a->label < b->label;
    });
    for (auto &c : n.children)
        _sort(*c);
}

std::string _icicle(const report_set &set, const report &last, frame_labels &labels) {
    _node root;
    root.label = "all live bytes";
    root.css = "root";
    for (const caller_block &b : last.blocks) {
        const report_stack &s = set.stacks[b.stack];
        amount live = live_bytes(b);
        if (!is_allocating(s.type) || live <= 0)
            continue;
        root.bytes += live;
        _node *at = root.child(caller_type_name(s.type), "kind");
        at->bytes += live;
        for (uint32_t frame : s.frames)
            for (const shown_function &f : labels.functions(frame)) {
                at = at->child(labels.box(f, frame), "frame");
                at->bytes += live;
            }
    }
    if (root.bytes <= 0)
        return "<p>No live bytes in this report.</p>\n";
    _sort(root);
    int depth = _depth(root);
    std::string out = fmt::format("<svg id=\"flame\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" "
                                  "height=\"{:.0f}\" viewBox=\"0 0 {:.0f} {:.0f}\">\n",
                                  _icicle_width, depth * _row, _icicle_width, depth * _row);
    _draw(out, root, 0, 0, _icicle_width, root.bytes);
    out += "</svg>\n";
    return out;
}

// ---------------------------------------------------------------- chart

std::string _chart(const report_set &set, const run &r, const std::vector<const caller_block *> &top,
                   frame_labels &labels) {
    constexpr double width = 900, height = 320, left = 90, right = 20, topm = 15, bottom = 45;
    auto series = live_series(set, r);
    std::map<uint32_t, const stack_series *> by_stack;
    for (const stack_series &s : series)
        by_stack[s.stack] = &s;

    size_t n = r.reports.size();
    amount low = 0, high = 0;
    for (const caller_block *b : top)
        for (const auto &v : by_stack[b->stack]->live)
            if (v) {
                low = std::min(low, *v);
                high = std::max(high, *v);
            }
    if (high == low)
        high = low + 1;
    auto xof = [&](size_t i) { return left + (n > 1 ? double(i) / double(n - 1) : 0.5) * (width - left - right); };
    auto yof = [&](amount v) { return topm + (1.0 - double(v - low) / double(high - low)) * (height - topm - bottom); };

    std::string out = fmt::format("<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" "
                                  "height=\"{:.0f}\" viewBox=\"0 0 {:.0f} {:.0f}\">\n",
                                  width, height, width, height);
    for (int t = 0; t <= 4; t++) {
        amount v = low + (high - low) * t / 4;
        double y = yof(v);
        out += fmt::format("<line class=\"grid\" x1=\"{:.0f}\" y1=\"{:.1f}\" x2=\"{:.0f}\" y2=\"{:.1f}\"/>"
                           "<text class=\"axis\" x=\"{:.0f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n",
                           left, y, width - right, y, left - 6, y + 4, _escape(format_bytes(v)));
    }
    out += fmt::format("<text class=\"axis\" x=\"{:.0f}\" y=\"{:.0f}\">report 1: {}</text>\n", left,
                       height - bottom + 18, _escape(r.reports.front().timestamp));
    out += fmt::format("<text class=\"axis\" x=\"{:.0f}\" y=\"{:.0f}\" text-anchor=\"end\">report {}: {}</text>\n",
                       width - right, height - bottom + 34, n, _escape(r.reports.back().timestamp));
    for (size_t k = 0; k < top.size(); k++) {
        const stack_series &s = *by_stack[top[k]->stack];
        const report_stack &st = set.stacks[s.stack];
        std::string path;
        bool pen_down = false;
        for (size_t i = 0; i < n; i++) {
            if (!s.live[i]) {
                pen_down = false; // a report that lost the block: a gap
                continue;
            }
            path += fmt::format("{}{:.1f},{:.1f} ", pen_down ? "L" : "M", xof(i), yof(*s.live[i]));
            pen_down = true;
        }
        std::string name =
            st.frames.empty() ? "(no frames)" : labels.box(labels.functions(st.frames[0]).front(), st.frames[0]);
        const char *colour = _palette[k % 10];
        out += fmt::format("<path class=\"series\" data-rank=\"{}\" d=\"{}\" stroke=\"{}\"><title>#{} {}</title>"
                           "</path>\n",
                           k + 1, path, colour, k + 1, _escape(name));
        if (n <= 60)
            for (size_t i = 0; i < n; i++)
                if (s.live[i])
                    out += fmt::format("<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.5\" fill=\"{}\"/>", xof(i),
                                       yof(*s.live[i]), colour);
        out += "\n";
    }
    out += "</svg>\n<ol class=\"legend\">\n";
    for (size_t k = 0; k < top.size(); k++) {
        const report_stack &st = set.stacks[top[k]->stack];
        std::string name =
            st.frames.empty() ? "(no frames)" : labels.box(labels.functions(st.frames[0]).front(), st.frames[0]);
        out += fmt::format("<li data-rank=\"{}\"><span class=\"swatch\" style=\"background:{}\"></span>{}</li>\n",
                           k + 1, _palette[k % 10], _escape(name));
    }
    out += "</ol>\n";
    return out;
}

const char *const _style = R"(
body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
.warning { background: #fee; border: 2px solid #c00; padding: .6em 1em; font-weight: bold; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: 3px 8px; vertical-align: top; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.frames { font-family: monospace; font-size: 12px; }
tr.stack-row:hover, tr.stack-row.lit { background: #ffd; }
#chart .grid { stroke: #ddd; } #chart .axis { font-size: 11px; fill: #555; }
#chart path.series { fill: none; stroke-width: 2; } #chart path.series.lit { stroke-width: 5; }
.legend { font-family: monospace; font-size: 12px; }
.swatch { display: inline-block; width: 10px; height: 10px; margin-right: 6px; }
#flame text { font: 11px monospace; pointer-events: none; }
#flame rect { stroke: #fff; stroke-width: .5; }
#quarrow-check { color: #888; font-size: 11px; }
)";

// Writes the self-check; a failure anywhere in it is itself reported.
const char *const _script = R"(
(function () {
  function check() {
    var rows = document.querySelectorAll('#summary tbody tr').length;
    var frames = document.querySelectorAll('#flame rect.frame').length;
    var series = document.querySelectorAll('#chart path.series').length;
    var errors = window.quarrowErrors || ['error capture missing'];
    document.getElementById('quarrow-check').textContent =
      'rows=' + rows + ' frames=' + frames + ' series=' + series + ' errors=' + errors.length +
      (errors.length ? ' first-error=' + errors[0] : '');
  }
  function light(rank, on) {
    var items = document.querySelectorAll('[data-rank="' + rank + '"]');
    for (var i = 0; i < items.length; i++) items[i].classList.toggle('lit', on);
  }
  var rows = document.querySelectorAll('tr.stack-row');
  for (var i = 0; i < rows.length; i++) {
    (function (row) {
      row.addEventListener('mouseenter', function () { light(row.dataset.rank, true); });
      row.addEventListener('mouseleave', function () { light(row.dataset.rank, false); });
    })(rows[i]);
  }
  check();
  window.addEventListener('load', check);
})();
)";

} // namespace

std::string html_page(const report_set &set, size_t run_index, const view_options &options) {
    const run &r = set.runs[run_index];
    const report &last = r.reports.back();
    frame_labels labels(set);
    std::string title = fmt::format("Native memory: {}", set.files[r.file]);

    std::string out;
    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    out += fmt::format("<title>{}</title>\n", _escape(title));
    // first of all, so that errors anywhere later are caught
    out += "<script>window.quarrowErrors = []; window.addEventListener('error', function (e) { "
           "window.quarrowErrors.push(String(e.message)); });</script>\n";
    out += fmt::format("<style>{}</style>\n</head>\n<body>\n<h1>{}</h1>\n", _style, _escape(title));

    out += fmt::format("<p>Run {} of {}, started {}; write period {}; stack depth {}.<br>\n", run_index + 1,
                       set.runs.size(), _escape(r.started_at.empty() ? "at an unknown time" : r.started_at),
                       r.write_period_seconds ? fmt::format("{} s", *r.write_period_seconds) : "unknown",
                       r.stack_depth ? fmt::format("{}", *r.stack_depth) : "unknown");
    out += fmt::format("Report {} of {}: TIMESTAMP {} (line {}).", r.reports.size(), r.reports.size(),
                       _escape(last.timestamp), last.line);
    if (!r.skipped.empty())
        out += fmt::format(" {} incomplete report(s) left out.", r.skipped.size());
    if (set.warning_count)
        out += fmt::format(" The parser gave {} warning(s); see the command's output.", set.warning_count);
    out += "</p>\n";
    if (r.discarded_events)
        out += fmt::format("<p class=\"warning\">DISCARDED_EVENTS is non-zero in this run: {} events were dropped "
                           "(in {} report(s)) because the ring buffer was full. Every counter on this page misses "
                           "those events.</p>\n",
                           format_amount(r.discarded_events), r.reports_with_discards);

    auto top = top_by_live(last, set, options.top);
    out += fmt::format("<h2>Top {} stacks by live bytes</h2>\n", top.size());
    out += "<table id=\"summary\">\n<thead><tr><th>#</th><th>Live bytes</th><th>Live blocks</th><th>Allocated "
           "bytes</th><th>Allocations</th><th>Average size</th><th>Type</th><th>Frames</th></tr></thead>\n<tbody>\n";
    for (size_t k = 0; k < top.size(); k++) {
        const caller_block &b = *top[k];
        const report_stack &st = set.stacks[b.stack];
        std::string frames;
        for (uint32_t f : st.frames)
            for (const std::string &line : labels.lines(f))
                frames += (frames.empty() ? "" : "<br>") + _escape(line);
        if (frames.empty())
            frames = "(no frames)";
        amount average = b.number_of_allocations
                             ? (amount(b.total_allocated) + b.number_of_allocations / 2) / b.number_of_allocations
                             : 0;
        out += fmt::format("<tr class=\"stack-row\" data-rank=\"{}\"><td class=\"num\">{}</td><td class=\"num\" "
                           "title=\"{}\">{}</td><td class=\"num\">{}</td><td class=\"num\">{}</td><td "
                           "class=\"num\">{}</td><td class=\"num\">{}</td><td>{}</td><td class=\"frames\">{}</td>"
                           "</tr>\n",
                           k + 1, k + 1, _escape(format_bytes(live_bytes(b))), format_amount(live_bytes(b)),
                           format_amount(live_blocks(b)), format_amount(b.total_allocated),
                           format_amount(b.number_of_allocations), format_amount(average), caller_type_name(st.type),
                           frames);
    }
    out += "</tbody>\n</table>\n";

    out += fmt::format("<h2>Live bytes over the {} report(s) of the run, top {} stacks</h2>\n", r.reports.size(),
                       std::min<size_t>(top.size(), 10));
    std::vector<const caller_block *> charted(top.begin(), top.begin() + long(std::min<size_t>(top.size(), 10)));
    out += _chart(set, r, charted, labels);

    out += "<h2>Live bytes by stack</h2>\n<p>Each row down is one frame further from the allocator: the first row "
           "under the caller type is the code that allocated, the rows below are its callers. Width is live bytes; "
           "hover for numbers.</p>\n";
    out += _icicle(set, last, labels);

    out += "<h2>Unmatched frees and reallocs</h2>\n<table id=\"unmatched\">\n<thead><tr><th>Type</th><th>Stacks</th>"
           "<th>Count</th></tr></thead>\n<tbody>\n";
    for (int t = int(caller_type::unmatched_freer); t < caller_type_count; t++) {
        auto blocks = unmatched_of(last, set, caller_type(t));
        amount count = 0;
        for (const caller_block *b : blocks)
            count += b->unmatched_count();
        out += fmt::format("<tr><td>{}</td><td class=\"num\">{}</td><td class=\"num\">{}</td></tr>\n",
                           caller_type_name(caller_type(t)), blocks.size(), format_amount(count));
    }
    out += "</tbody>\n</table>\n";

    out += "<pre id=\"quarrow-check\">self-check not run</pre>\n";
    out += fmt::format("<script>{}</script>\n</body>\n</html>\n", _script);
    return out;
}

} // namespace quarrow::report
