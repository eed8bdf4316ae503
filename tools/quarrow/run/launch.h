// Starting a checked program with the tracker: where the two libraries are,
// the environment the program gets, and the fork/exec/wait around it.
#pragma once

#include <sys/types.h>

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
    bool allow_drops = false; // else a full event buffer makes producers wait for room
    std::string report_dir; // absolute; empty: each process's working directory
    // DIR/lib/<multiarch>/ holds the two libraries for 32-bit programs and
    // their 64-bit stand-ins: LD_PRELOAD then names them through $LIB.
    bool other_class_stand_ins = false;
};

// The environment variables the launcher adds for the starter and library.
constexpr const char *tracked_pid_variable = "QUARROW_TRACKED_PID";
constexpr const char *report_dir_variable = "QUARROW_REPORT_DIR";
// Where the tracked children's own lines go, in the report folder.
constexpr const char *side_file_name = "quarrow_children.log";

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

// Whether library_dir has the $LIB layout: the 32-bit pair under
// lib/i386-linux-gnu and the 64-bit stand-ins under lib/x86_64-linux-gnu.
bool has_other_class_stand_ins(const std::string &library_dir);

// LD_PRELOAD for the program: the tracker, the starter, then what was there
// before, less any tracker libraries it held already. With via_lib_token
// the two are named as library_dir/$LIB/NAME, which each loader expands to
// its own word size's directory.
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
