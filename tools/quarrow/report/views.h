// The views of `quarrow report`: each turns a parsed report_set into text,
// JSON or a page. Text views return the text; the JSON view streams, since
// it renders every report of every run.
#pragma once

#include <stdio.h>

#include <string>

#include "analysis.h"
#include "report_model.h"

namespace quarrow::report {

struct view_options {
    size_t top = 10; // stacks per list; 0 means all
};

// The default view: the last complete report of a run.
std::string summary_text(const report_set &set, size_t run, const view_options &options);

// Live bytes of every allocating stack across the reports of a run, with
// the stacks that grow steadily ranked as leak suspects.
std::string growth_text(const report_set &set, size_t run, const view_options &options);

// Which stacks gained or lost live bytes from one report to another.
std::string diff_text(const report_set &set, report_ref from, report_ref to, const view_options &options);

// Everything parsed, losslessly (docs/report-json-schema.md).
void write_json(const report_set &set, FILE *out);

// One self-contained page: summary table, live bytes over time, and an
// icicle graph of live bytes by stack.
std::string html_page(const report_set &set, size_t run, const view_options &options);

// The lines every text view of a run starts with.
std::string run_header_text(const report_set &set, size_t run);
// The loud warning that the run's counters miss events; empty when none
// were discarded.
std::string discard_warning_text(const report_set &set, size_t run);

} // namespace quarrow::report
