// The JSON view: every file, run, report, block, stack and frame the parser
// kept, and its warnings (docs/report-json-schema.md). The document is
// written piece by piece, one report at a time, so a large file never
// becomes one large tree in memory.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "views.h"

namespace quarrow::report {

namespace {

using nlohmann::json;

template <typename T> json _or_null(const std::optional<T> &value) { return value ? json(*value) : json(nullptr); }

void _put(FILE *out, const json &value) {
    // Paths are bytes; a byte sequence that is not UTF-8 becomes U+FFFD.
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    fwrite(text.data(), 1, text.size(), out);
}

void _put(FILE *out, const char *text) { fputs(text, out); }

json _block(const report_set &set, const caller_block &b) {
    json j = {{"stack", b.stack}};
    if (is_allocating(set.stacks[b.stack].type)) {
        j["total_allocated"] = b.total_allocated;
        j["number_of_allocations"] = b.number_of_allocations;
        j["total_freed"] = b.total_freed;
        j["number_of_frees"] = b.number_of_frees;
    } else {
        j["unmatched_count"] = b.unmatched_count();
    }
    return j;
}

json _text_or_null(const std::string &text) { return text.empty() ? json(nullptr) : json(text); }
json _line_or_null(uint32_t line) { return line ? json(line) : json(nullptr); }

// What the offline lookup found; null fields where it found nothing or did
// not run.
void _add_lookup(json &j, const frame_lookup *l) {
    j["object_address"] = l && l->object_address ? json(fmt::format("{:#x}", l->object_address)) : json(nullptr);
    bool found = l && l->found;
    j["function"] = found ? _text_or_null(l->function.name) : json(nullptr);
    j["file"] = found ? _text_or_null(l->function.file) : json(nullptr);
    j["line"] = found ? _line_or_null(l->function.line) : json(nullptr);
    j["inlined"] = json::array();
    if (found)
        for (const source_function &f : l->inlined)
            j["inlined"].push_back({{"function", _text_or_null(f.name)},
                                    {"file", _text_or_null(f.file)},
                                    {"line", _line_or_null(f.line)}});
}

} // namespace

void write_json(const report_set &set, FILE *out) {
    _put(out, "{\"format\":\"quarrow-report\",\"version\":1,\n\"files\":");
    _put(out, json(set.files));
    _put(out, ",\n\"warning_count\":");
    _put(out, json(set.warning_count));
    _put(out, ",\n\"warnings\":[");
    for (size_t i = 0; i < set.warnings.size(); i++) {
        const parse_warning &w = set.warnings[i];
        _put(out, i ? ",\n" : "\n");
        _put(out, json{{"file", w.file}, {"line", w.line}, {"message", w.message}});
    }
    _put(out, "],\n\"frames\":[");
    for (size_t i = 0; i < set.frames.size(); i++) {
        const report_frame &f = set.frames[i];
        _put(out, i ? ",\n" : "\n");
        json j{{"library", f.library},
               {"base", f.base},
               {"symbol", f.symbol},
               {"offset", f.offset},
               {"address", f.address}};
        _add_lookup(j, i < set.lookups.size() ? &set.lookups[i] : nullptr);
        _put(out, j);
    }
    _put(out, "],\n\"stacks\":[");
    for (size_t i = 0; i < set.stacks.size(); i++) {
        const report_stack &s = set.stacks[i];
        _put(out, i ? ",\n" : "\n");
        _put(out, json{{"type", caller_type_name(s.type)}, {"frames", s.frames}});
    }
    _put(out, "],\n\"runs\":[");
    for (size_t i = 0; i < set.runs.size(); i++) {
        const run &r = set.runs[i];
        json head = {{"file", r.file},
                     {"line", r.line},
                     {"started_at", r.started_at},
                     {"start_time", _or_null(r.start_time)},
                     {"write_period_seconds", _or_null(r.write_period_seconds)},
                     {"stack_depth", _or_null(r.stack_depth)},
                     {"discarded_events", r.discarded_events},
                     {"reports_with_discards", r.reports_with_discards},
                     {"skipped_reports", json::array()}};
        for (const skipped_report &s : r.skipped)
            head["skipped_reports"].push_back({{"line", s.line}, {"reason", s.reason}});
        std::string text = head.dump(-1, ' ', false, json::error_handler_t::replace);
        text.pop_back(); // the closing brace: the reports follow
        _put(out, i ? ",\n" : "\n");
        _put(out, text.c_str());
        _put(out, ",\"reports\":[");
        for (size_t k = 0; k < r.reports.size(); k++) {
            const report &re = r.reports[k];
            json j = {{"line", re.line},
                      {"timestamp", re.timestamp},
                      {"time", _or_null(re.time)},
                      {"max_pending", _or_null(re.max_pending)},
                      {"discarded_events", _or_null(re.discarded_events)},
                      {"callers", json::array()}};
            json &callers = j["callers"];
            for (const caller_block &b : re.blocks)
                callers.push_back(_block(set, b));
            _put(out, k ? ",\n" : "\n");
            _put(out, j);
        }
        _put(out, "]}");
    }
    _put(out, "]}\n");
}

} // namespace quarrow::report
