// quarrow: the command-line companion of the tracker. Each subcommand lives in
// its own directory and registers itself here; main only dispatches.
#include <functional>

#include <CLI/CLI.hpp>

#include "report/report_command.h"
#include "run/run_command.h"

int main(int argc, char **argv) {
    CLI::App app{"quarrow: the command-line companion of the native-memory tracker", "quarrow"};
    app.require_subcommand(1, 1);
    app.footer("Track a program with 'quarrow run PROGRAM', then read what it wrote with\n"
               "'quarrow report native_memory_<PID>.log'. Run 'quarrow COMMAND --help' for the\n"
               "options of a command.");

    std::function<int()> run;
    quarrow::add_run_command(app, run);
    quarrow::add_report_command(app, run);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    return run ? run() : 2;
}
