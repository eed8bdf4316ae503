// Where the tracker's libraries are and which builds of them a directory
// holds: the launcher finds the directory, then checks that it serves every
// ELF class the run needs before anything starts.
//
// A library directory holds the pair of one build in DIR itself, or one
// pair per class under DIR/lib/i386-linux-gnu/ and DIR/lib/x86_64-linux-gnu/
// (the layout the build and the install make), or both.
#pragma once

#include <string>
#include <vector>

#include "architecture.h"
#include "program_check.h"

namespace quarrow::runner {

constexpr const char *tracker_library = "libquarrow.so";
constexpr const char *starter_library = "libquarrow_start.so";
// The tracker's entry point: a libquarrow.so without it tracks nothing.
constexpr const char *tracker_entry_point = "initQuarrow";

// Where the libraries were found, or why not (error is then set).
struct library_location {
    std::string dir;
    std::string error;
};

// Looks in order: the --library-dir option, the QUARROW_LIBRARY_DIR value,
// ../lib/quarrow beside the command (the installed layout), the build tree.
// A directory given explicitly must hold both libraries of some build; the
// last two are tried in turn. Empty strings stand for "not given".
library_location find_library_dir(const std::string &option, const std::string &environment,
                                  const std::string &command_path, const std::string &build_dir);

// Why library_dir/lib/<multiarch>/ holds no usable pair for `build` (a file
// missing, of the other class or machine, or a libquarrow.so that lacks the
// entry point), or empty when it holds one.
std::string per_class_problem(const std::string &library_dir, architecture build);

// The same for the pair in library_dir itself.
std::string flat_problem(const std::string &library_dir, architecture build);

// How the program's LD_PRELOAD names the libraries, or why it cannot.
struct preload_choice {
    bool via_lib_token = false; // DIR/$LIB/NAME, else DIR/NAME
    std::string error;          // a whole sentence; empty when the run can go ahead
    std::string warning;        // children of a class the directory lacks
};

// Every build the program needs must be there: through $LIB when the
// directory has the per-class layout for all of them, else in DIR itself
// for a run of one class. With follow_children a class that DIR lacks gets
// a warning, since children of that class would run untracked.
preload_choice choose_preload(const std::string &library_dir, const program_check &program, bool follow_children);

} // namespace quarrow::runner
