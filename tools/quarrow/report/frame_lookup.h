// The offline lookup of `quarrow report`: every frame of a parsed report set
// looked up in the object its STACK line names, for the function from the
// symbol tables (.symtab where there is one, else .dynsym) and, from DWARF,
// the source line and the calls inlined there.
//
// Each object is opened once and each (object, address) looked up once.
// An object that is missing, unreadable, or not the one that ran keeps the
// report's own names for all its frames, with one warning. "Not the one
// that ran": an address of the report outside the file's executable
// segments, or a symbol the report names that the file does not have at
// that address.
#pragma once

#include <string>
#include <vector>

#include "report_model.h"

namespace quarrow::report {

struct lookup_options {
    std::vector<std::string> debug_dirs; // more roots for separate debug files
    std::string sysroot;                 // where the report's object paths are found; empty for /
};

// libdwfl's search string for separate debug files: beside the object, in
// its .debug directory, then under each root (its .build-id directory and
// the object's own path below it).
std::string debug_search_path(const lookup_options &options);

// Fills set.lookups, one per frame; returns the warnings, one per object.
std::vector<std::string> look_up_frames(report_set &set, const lookup_options &options);

} // namespace quarrow::report
