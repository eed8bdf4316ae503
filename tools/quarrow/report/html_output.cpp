// The HTML view: one self-contained page (no network, no external files)
// with the summary table (its columns sort), a chart of live bytes over the
// reports of the run for the top stacks, one of the run's total live bytes
// and blocks, and a flame graph (an icicle) of live bytes by stack that
// zooms into a frame on a click, highlights the frames a search matches
// with their share, and shows a frame's details on hover.
//
// The icicle hangs from the allocation sites: under the root and the caller
// type, the first row holds frame 0 (the code that called the allocator),
// the next its callers, and so on. Captured stacks are cut at the stack
// depth, so the allocation site is the frame every stack shares a meaning
// for. Boxes with the same "function in object" under the same parent
// merge; a call the compiler inlined is a box of its own.
//
// A small script writes a self-check into #quarrow-check (table rows, frame
// boxes, chart lines and any script errors) so a headless browser can verify
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

// An amount as plain digits, for the page's script to read exactly.
std::string _digits(amount value) {
    std::string text = format_amount(value);
    text.erase(std::remove(text.begin(), text.end(), ','), text.end());
    return text;
}

const char *const _palette[] = {"#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

// ---------------------------------------------------------------- flame graph

struct _node {
    std::string label;                // "function in object", the merge key under one parent
    std::string css;                  // "root", "kind" or "frame"
    std::string object;               // full path, for the details
    std::vector<std::string> sources; // distinct "file:line" of the merged frames, the first few
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
constexpr size_t _max_sources = 5;
// Boxes below this share are left out: too many to draw, too small to
// find even zoomed in.
constexpr double _smallest_share = 1e-6;

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

// Each box carries its place as shares of the whole and its parent's id,
// so the page's script can zoom and search without the tree.
void _draw(std::string &out, const _node &n, double x0, int depth, int parent, int &next_id, amount total) {
    int id = next_id++;
    double width = double(n.bytes) / double(total);
    std::string fill = n.css == "frame" ? _warm(n.label) : n.css == "kind" ? "#c8c8d0" : "#a8a8b4";
    std::string sources;
    for (const std::string &s : n.sources)
        sources += (sources.empty() ? "" : ", ") + s;
    out +=
        fmt::format("<g class=\"node\" data-id=\"{}\" data-p=\"{}\" data-d=\"{}\" data-x0=\"{:.9f}\" "
                    "data-x1=\"{:.9f}\" data-b=\"{}\" data-label=\"{}\" data-src=\"{}\" data-obj=\"{}\">"
                    "<rect class=\"{}\" x=\"{:.2f}\" y=\"{:.0f}\" width=\"{:.2f}\" height=\"{:.0f}\" fill=\"{}\">"
                    "<title>{} \u2014 {} bytes ({}), {:.1f}%</title></rect>",
                    id, parent, depth, x0, x0 + width, format_amount(n.bytes).c_str(), _escape(n.label),
                    _escape(sources), _escape(n.object), n.css, x0 * _icicle_width, depth * _row, width * _icicle_width,
                    _row - 1, fill, _escape(n.label), format_amount(n.bytes), format_bytes(n.bytes), width * 100);
    double pixels = width * _icicle_width;
    size_t fits = pixels > 10 ? size_t((pixels - 6) / 6.6) : 0;
    std::string text = fits < 3 ? "" : n.label.size() > fits ? n.label.substr(0, fits - 2) + ".." : n.label;
    out += fmt::format("<text x=\"{:.2f}\" y=\"{:.0f}\">{}</text></g>\n", x0 * _icicle_width + 3,
                       depth * _row + _row - 5, _escape(text));
    double at = x0;
    for (const auto &c : n.children) {
        double w = double(c->bytes) / double(total);
        if (w >= _smallest_share)
            _draw(out, *c, at, depth + 1, id, next_id, total);
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

std::string _file_line(const shown_function &f) {
    if (!f.line)
        return "";
    return fmt::format("{}:{}", f.file, f.line);
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
                at->object = set.frames[frame].library;
                std::string source = _file_line(f);
                if (!source.empty() && at->sources.size() < _max_sources &&
                    std::find(at->sources.begin(), at->sources.end(), source) == at->sources.end())
                    at->sources.push_back(source);
            }
    }
    if (root.bytes <= 0)
        return "<p>No live bytes in this report.</p>\n";
    _sort(root);
    int depth = _depth(root);
    std::string out =
        "<p class=\"controls\"><label>Search: <input id=\"search\" type=\"search\" placeholder=\"function, file or "
        "object\" size=\"40\"></label> <span id=\"search-result\"></span> <button id=\"unzoom\" type=\"button\">"
        "Reset zoom</button></p>\n<p id=\"details\">Hover over a frame for details; click it to zoom into its "
        "subtree.</p>\n";
    out += fmt::format("<svg id=\"flame\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" "
                       "height=\"{:.0f}\" viewBox=\"0 0 {:.0f} {:.0f}\">\n",
                       _icicle_width, depth * _row, _icicle_width, depth * _row);
    int next_id = 0;
    _draw(out, root, 0, 0, -1, next_id, root.bytes);
    out += "</svg>\n";
    return out;
}

// The run's total live bytes and live blocks in each report, on two axes.
std::string _totals_chart(const report_set &set, const run &r) {
    constexpr double width = 900, height = 260, left = 90, right = 90, topm = 15, bottom = 40;
    size_t n = r.reports.size();
    std::vector<amount> bytes(n, 0), blocks(n, 0);
    for (size_t i = 0; i < n; i++)
        for (const caller_block &b : r.reports[i].blocks)
            if (is_allocating(set.stacks[b.stack].type)) {
                bytes[i] += live_bytes(b);
                blocks[i] += live_blocks(b);
            }
    auto range = [](const std::vector<amount> &v) {
        amount low = 0, high = 0;
        for (amount x : v) {
            low = std::min(low, x);
            high = std::max(high, x);
        }
        return std::pair<amount, amount>(low, high == low ? low + 1 : high);
    };
    auto [bytes_low, bytes_high] = range(bytes);
    auto [blocks_low, blocks_high] = range(blocks);
    auto xof = [&](size_t i) { return left + (n > 1 ? double(i) / double(n - 1) : 0.5) * (width - left - right); };
    auto yof = [&](amount v, amount low, amount high) {
        return topm + (1.0 - double(v - low) / double(high - low)) * (height - topm - bottom);
    };
    std::string out = fmt::format("<svg id=\"totals\" xmlns=\"http://www.w3.org/2000/svg\" width=\"{:.0f}\" "
                                  "height=\"{:.0f}\" viewBox=\"0 0 {:.0f} {:.0f}\">\n",
                                  width, height, width, height);
    for (int t = 0; t <= 4; t++) {
        amount vb = bytes_low + (bytes_high - bytes_low) * t / 4;
        amount vk = blocks_low + (blocks_high - blocks_low) * t / 4;
        double y = yof(vb, bytes_low, bytes_high);
        out += fmt::format("<line class=\"grid\" x1=\"{:.0f}\" y1=\"{:.1f}\" x2=\"{:.0f}\" y2=\"{:.1f}\"/>"
                           "<text class=\"axis bytes\" x=\"{:.0f}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>"
                           "<text class=\"axis blocks\" x=\"{:.0f}\" y=\"{:.1f}\">{} blocks</text>\n",
                           left, y, width - right, y, left - 6, y + 4, _escape(format_bytes(vb)), width - right + 6,
                           y + 4, format_amount(vk));
    }
    out += fmt::format("<text class=\"axis\" x=\"{:.0f}\" y=\"{:.0f}\">report 1</text><text class=\"axis\" "
                       "x=\"{:.0f}\" y=\"{:.0f}\" text-anchor=\"end\">report {}</text>\n",
                       left, height - bottom + 18, width - right, height - bottom + 18, n);
    auto path = [&](const std::vector<amount> &v, amount low, amount high, const char *css, const char *what,
                    const char *unit) {
        std::string d;
        for (size_t i = 0; i < n; i++)
            d += fmt::format("{}{:.1f},{:.1f} ", i ? "L" : "M", xof(i), yof(v[i], low, high));
        out += fmt::format("<path class=\"{}\" d=\"{}\"><title>{}: {} {} in report 1, {} in report {}</title>"
                           "</path>\n",
                           css, d, what, format_amount(v.front()), unit, format_amount(v.back()), n);
        if (n <= 60)
            for (size_t i = 0; i < n; i++)
                out += fmt::format("<circle class=\"{}\" cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"2.5\"><title>report {}: {} "
                                   "{}</title></circle>",
                                   css, xof(i), yof(v[i], low, high), i + 1, format_amount(v[i]), unit);
        out += "\n";
    };
    path(bytes, bytes_low, bytes_high, "total-bytes", "live bytes", "bytes");
    path(blocks, blocks_low, blocks_high, "total-blocks", "live blocks", "blocks");
    out += "</svg>\n<p class=\"legend\"><span class=\"swatch\" style=\"background:#1f77b4\"></span>live bytes (left "
           "axis) <span class=\"swatch\" style=\"background:#ff7f0e\"></span>live blocks (right axis)</p>\n";
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
th.sortable { cursor: pointer; user-select: none; }
th.sortable::after { content: " \2195"; color: #aaa; }
th.sorted-asc::after { content: " \25b2"; color: #333; } th.sorted-desc::after { content: " \25bc"; color: #333; }
td.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td.frames { font-family: monospace; font-size: 12px; }
tr.stack-row:hover, tr.stack-row.lit { background: #ffd; }
svg .grid { stroke: #ddd; } svg .axis { font-size: 11px; fill: #555; }
#chart path.series { fill: none; stroke-width: 2; } #chart path.series.lit { stroke-width: 5; }
#totals path { fill: none; stroke-width: 2; }
#totals .total-bytes { stroke: #1f77b4; fill: #1f77b4; } #totals path.total-bytes { fill: none; }
#totals .total-blocks { stroke: #ff7f0e; fill: #ff7f0e; } #totals path.total-blocks { fill: none; }
#totals .axis.bytes { fill: #1f77b4; } #totals .axis.blocks { fill: #ff7f0e; }
.legend { font-family: monospace; font-size: 12px; }
.swatch { display: inline-block; width: 10px; height: 10px; margin-right: 6px; }
#flame text { font: 11px monospace; pointer-events: none; }
#flame rect { stroke: #fff; stroke-width: .5; cursor: pointer; }
#flame g.match rect { fill: #e040fb; }
#flame g.zoomed rect { stroke: #000; stroke-width: 1.5; }
#details { font-family: monospace; font-size: 12px; min-height: 3em; white-space: pre-wrap; }
#quarrow-check { color: #888; font-size: 11px; }
)";

// The page's behaviour: sortable table, flame graph zoom, search and hover
// details, and the self-check; a failure anywhere in it is itself reported.
const char *const _script = R"(
(function () {
  function check() {
    var rows = document.querySelectorAll('#summary tbody tr').length;
    var frames = document.querySelectorAll('#flame rect.frame').length;
    var series = document.querySelectorAll('#chart path.series').length;
    var totals = document.querySelectorAll('#totals path').length;
    var errors = window.quarrowErrors || ['error capture missing'];
    document.getElementById('quarrow-check').textContent =
      'rows=' + rows + ' frames=' + frames + ' series=' + series + ' totals=' + totals +
      ' errors=' + errors.length + (errors.length ? ' first-error=' + errors[0] : '');
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

  // ---- the table: a click on a header sorts by it, again reverses
  function cellValue(row, column, numeric) {
    var cell = row.children[column];
    var text = cell.dataset.v !== undefined ? cell.dataset.v : cell.textContent;
    return numeric ? BigInt(text) : text.toLowerCase();
  }
  var headers = document.querySelectorAll('#summary th.sortable');
  for (var h = 0; h < headers.length; h++) {
    (function (th) {
      th.addEventListener('click', function () {
        var column = Array.prototype.indexOf.call(th.parentNode.children, th);
        var numeric = th.dataset.sort === 'num';
        var ascending = !th.classList.contains('sorted-asc');
        var all = th.closest('tr').children;
        for (var k = 0; k < all.length; k++) all[k].classList.remove('sorted-asc', 'sorted-desc');
        th.classList.add(ascending ? 'sorted-asc' : 'sorted-desc');
        var body = document.querySelector('#summary tbody');
        var list = Array.prototype.slice.call(body.children);
        list.sort(function (a, b) {
          var x = cellValue(a, column, numeric), y = cellValue(b, column, numeric);
          var order = x < y ? -1 : x > y ? 1 : +a.dataset.rank - +b.dataset.rank;
          return ascending ? order : -order;
        });
        list.forEach(function (row) { body.appendChild(row); });
      });
    })(headers[h]);
  }

  // ---- the flame graph
  var svg = document.getElementById('flame');
  if (svg) {
    var width = +svg.getAttribute('width');
    var nodes = Array.prototype.slice.call(svg.querySelectorAll('g.node'));
    var byId = {};
    nodes.forEach(function (n) { byId[n.dataset.id] = n; });
    var root = byId['0'];
    var total = BigInt(root.dataset.b.replace(/,/g, ''));
    function bytesOf(n) { return BigInt(n.dataset.b.replace(/,/g, '')); }
    function parentOf(n) { return byId[n.dataset.p]; }
    function within(n, top) {
      for (var at = n; at; at = parentOf(at)) if (at === top) return true;
      return false;
    }
    function place(n, x0, x1) {
      var rect = n.querySelector('rect'), text = n.querySelector('text');
      var w = (x1 - x0) * width;
      rect.setAttribute('x', (x0 * width).toFixed(2));
      rect.setAttribute('width', w.toFixed(2));
      text.setAttribute('x', (x0 * width + 3).toFixed(2));
      var label = n.dataset.label, fits = w > 10 ? Math.floor((w - 6) / 6.6) : 0;
      text.textContent = fits < 3 ? '' : label.length > fits ? label.substring(0, fits - 2) + '..' : label;
      n.style.display = '';
    }
    // The clicked frame fills the width; its callers stay above it, full
    // width; everything else is hidden.
    function zoom(top) {
      var a = +top.dataset.x0, b = +top.dataset.x1;
      nodes.forEach(function (n) {
        n.classList.remove('zoomed');
        if (within(n, top)) place(n, (+n.dataset.x0 - a) / (b - a), (+n.dataset.x1 - a) / (b - a));
        else if (within(top, n)) place(n, 0, 1);
        else n.style.display = 'none';
      });
      if (top !== root) top.classList.add('zoomed');
    }
    function percent(part) { return (Number(part * 1000000n / (total || 1n)) / 10000).toFixed(2) + '%'; }
    function details(n) {
      var text = n.dataset.label + '\n' + n.dataset.b + ' live bytes, ' + percent(bytesOf(n)) + ' of all';
      if (n.dataset.src) text += '\nsource: ' + n.dataset.src;
      if (n.dataset.obj) text += '\nobject: ' + n.dataset.obj;
      document.getElementById('details').textContent = text;
    }
    // Frames whose label holds the term, case aside; their share counts
    // each matched subtree once.
    function search(term) {
      term = term.trim().toLowerCase();
      var count = 0, bytes = 0n;
      nodes.forEach(function (n) {
        var hit = term !== '' && n.querySelector('rect.frame') !== null &&
                  (n.dataset.label + ' ' + n.dataset.src + ' ' + n.dataset.obj).toLowerCase().indexOf(term) >= 0;
        n.classList.toggle('match', hit);
      });
      nodes.forEach(function (n) {
        if (!n.classList.contains('match')) return;
        count++;
        for (var up = parentOf(n); up; up = parentOf(up)) if (up.classList.contains('match')) return;
        bytes += bytesOf(n);
      });
      var result = document.getElementById('search-result');
      result.textContent = term === '' ? '' : count + ' frame' + (count === 1 ? '' : 's') + ' match, holding ' +
        bytes.toLocaleString('en-US') + ' live bytes (' + percent(bytes) + ')';
      result.dataset.share = percent(bytes);
      result.dataset.count = count;
    }
    nodes.forEach(function (n) {
      n.addEventListener('click', function () { zoom(n); });
      n.addEventListener('mouseover', function () { details(n); });
    });
    document.getElementById('unzoom').addEventListener('click', function () { zoom(root); });
    var box = document.getElementById('search');
    box.addEventListener('input', function () { search(box.value); });
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
    out +=
        "<p>Click a column's header to sort by it.</p>\n<table id=\"summary\">\n<thead><tr>"
        "<th class=\"sortable\" data-sort=\"num\">#</th><th class=\"sortable\" data-sort=\"num\">Live bytes</th>"
        "<th class=\"sortable\" data-sort=\"num\">Live blocks</th><th class=\"sortable\" data-sort=\"num\">Allocated "
        "bytes</th><th class=\"sortable\" data-sort=\"num\">Allocations</th><th class=\"sortable\" "
        "data-sort=\"num\">Average size</th><th class=\"sortable\" data-sort=\"text\">Type</th>"
        "<th class=\"sortable\" data-sort=\"text\">Frames</th></tr></thead>\n<tbody>\n";
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
        // data-v: the exact number to sort by
        auto cell = [](amount v) {
            return fmt::format("<td class=\"num\" data-v=\"{}\">{}</td>", _digits(v), format_amount(v));
        };
        out += fmt::format("<tr class=\"stack-row\" data-rank=\"{}\"><td class=\"num\" data-v=\"{}\">{}</td><td "
                           "class=\"num\" data-v=\"{}\" title=\"{}\">{}</td>{}{}{}{}<td>{}</td><td "
                           "class=\"frames\">{}</td></tr>\n",
                           k + 1, k + 1, k + 1, _digits(live_bytes(b)), _escape(format_bytes(live_bytes(b))),
                           format_amount(live_bytes(b)), cell(live_blocks(b)), cell(b.total_allocated),
                           cell(b.number_of_allocations), cell(average), caller_type_name(st.type), frames);
    }
    out += "</tbody>\n</table>\n";

    out += fmt::format("<h2>Live bytes over the {} report(s) of the run, top {} stacks</h2>\n", r.reports.size(),
                       std::min<size_t>(top.size(), 10));
    std::vector<const caller_block *> charted(top.begin(), top.begin() + long(std::min<size_t>(top.size(), 10)));
    out += _chart(set, r, charted, labels);

    out +=
        fmt::format("<h2>Total live bytes and live blocks over the {} report(s) of the run</h2>\n", r.reports.size());
    out += _totals_chart(set, r);

    out += "<h2>Live bytes by stack</h2>\n<p>Each row down is one frame further from the allocator: the first row "
           "under the caller type is the code that allocated, the rows below are its callers (a call the compiler "
           "inlined is a row of its own, marked [inlined]). Width is live bytes. Click a frame to zoom into it, "
           "search to highlight frames.</p>\n";
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
