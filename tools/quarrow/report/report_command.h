// `quarrow report`: the command line of the report reader.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace quarrow {

// Adds the subcommand to the app; when it is the one parsed, `run` is set to
// the action, whose result is the exit status.
void add_report_command(CLI::App &app, std::function<int()> &run);

} // namespace quarrow
