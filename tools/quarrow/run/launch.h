// Starting a checked program with the tracker: where the two libraries are,
// the environment the program gets, and the fork/exec/wait around it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quarrow::runner {

constexpr const char *tracker_library = "libquarrow.so";
constexpr const char *starter_library = "libquarrow_start.so";

struct launch_settings {
    std::string library_dir; // absolute; holds both libraries
    std::optional<unsigned> write_period_seconds;
    std::optional<unsigned> stack_depth;
    std::string trigger_file; // empty: none
    bool report_at_exit = true;
    bool follow_children = false;
};

// Where the libraries were found, or why not (error is then set).
struct library_location {
    std::string dir;
    std::string error;
};

// Looks in order: the --library-dir option, the QUARROW_LIBRARY_DIR value,
// ../lib/quarrow beside the command (the installed layout), the build tree.
// A directory given explicitly must hold both libraries; the last two are
// tried in turn. Empty strings stand for "not given".
library_location find_library_dir(const std::string &option, const std::string &environment,
                                  const std::string &command_path, const std::string &build_dir);

// LD_PRELOAD for the program: the tracker, the starter, then what was there
// before, less any tracker libraries it held already.
std::string preload_value(const std::string &library_dir, const std::string &existing);

// The program's environment, from the launcher's own ("NAME=value" each).
std::vector<std::string> child_environment(const std::vector<std::string> &parent, const launch_settings &settings);

// The launcher's environment, as child_environment takes it.
std::vector<std::string> current_environment();

// Forks, executes `path` with `argv` and `environment` in the child, tells
// the PID and report path on stderr, and waits. Returns the program's exit
// status, 128+N when signal N ended it, or 1 when no child could be made.
int launch(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &environment);

} // namespace quarrow::runner
