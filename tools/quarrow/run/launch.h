// Starting a checked program with the tracker: the environment the program
// gets, and the fork/exec/wait around it. Where the libraries are is
// library_dir.h's.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "library_dir.h"

namespace quarrow::runner {

struct launch_settings {
    std::string library_dir; // absolute; holds both libraries
    std::optional<unsigned> write_period_seconds;
    std::optional<unsigned> stack_depth;
    std::string trigger_file; // empty: none
    bool report_at_exit = true;
    bool follow_children = false;
    bool allow_drops = false; // else a full event buffer makes producers wait for room
    std::string report_dir;   // absolute; empty: each process's working directory
    // DIR/lib/<multiarch>/ holds each class's pair: LD_PRELOAD then names
    // them through $LIB (choose_preload).
    bool via_lib_token = false;
};

// The environment variables the launcher adds for the starter and library.
constexpr const char *tracked_pid_variable = "QUARROW_TRACKED_PID";
constexpr const char *report_dir_variable = "QUARROW_REPORT_DIR";
// Where the tracked children's own lines go, in the report folder.
constexpr const char *side_file_name = "quarrow_children.log";

// LD_PRELOAD for the program: the tracker, the starter, then what was there
// before, less any tracker libraries it held already. With via_lib_token
// the two are named as library_dir/$LIB/NAME, which each loader expands to
// its own class's directory.
std::string preload_value(const std::string &library_dir, const std::string &existing, bool via_lib_token = false);

// The program's environment, from the launcher's own ("NAME=value" each).
std::vector<std::string> child_environment(const std::vector<std::string> &parent, const launch_settings &settings);

// The launcher's environment, as child_environment takes it.
std::vector<std::string> current_environment();

// The one line that ends every launch on stderr, for a status from waitpid.
std::string final_line(pid_t pid, int wait_status);

// Forks, executes `path` with `argv` and `environment` (plus the tracked PID
// variable, set in the child to its own PID) in the child, tells the PID and
// report path on stderr, and waits. Ends with final_line. Returns the
// program's exit status, 128+N when signal N ended it, or 1 when no child
// could be made. report_dir and follow_children are the settings' own.
int launch(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &environment,
           const std::string &report_dir = {}, bool follow_children = false);

} // namespace quarrow::runner
