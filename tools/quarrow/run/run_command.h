// `quarrow run`: the command line of the launcher.
#pragma once

#include <functional>

#include <CLI/CLI.hpp>

namespace quarrow {

// Adds the subcommand to the app; when it is the one parsed, `run` is set to
// the action, whose result is the exit status.
void add_run_command(CLI::App &app, std::function<int()> &run);

} // namespace quarrow
