// The FILE arguments of `quarrow report`, as a run of `quarrow run
// --follow-children` leaves them: a folder stands for its
// native_memory_<PID>.log files, and a quoted glob is expanded here.
#pragma once

#include <string>
#include <vector>

namespace quarrow::report {

// Each folder becomes its native_memory_*.log files in the order of their
// PIDs; a name with * ? or [ that names no file becomes its matches, sorted;
// anything else stays as given. Arguments that expand to nothing are
// reported on stderr and dropped.
std::vector<std::string> expand_run_files(const std::vector<std::string> &arguments);

} // namespace quarrow::report
