// Running a host program under the tracker and reading what it left: its
// exit, its output and its report. Each driver is built for the hosts and
// libraries of one target architecture (i386 or x86_64).
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report_model.h"

namespace e2e {

namespace report = quarrow::report;

// Build-time locations, given by the build as compile definitions.
std::string host_path(const std::string &name);
std::string library_path();
std::string starter_path();
std::string launcher_path(); // the quarrow command
// The hosts' architecture: "i386" or "x86_64".
std::string target_arch();
// Debian's 32-bit bash or dash, unpacked by scripts/install-deps.sh.
std::string i386_shell_path(const std::string &name);

// The PID in the launcher's "tracking PID" line, or 0.
pid_t launched_pid(const std::string &launcher_err);
// The last line of a text, without its newline.
std::string last_line(const std::string &text);
// Names in a directory that match the pattern as a whole.
std::vector<std::string> matching_entries(const std::string &dir, const std::string &pattern);

struct spawn_options {
    std::vector<std::string> args; // args[0] is the program
    // On top of PATH; LD_PRELOAD names the tracker and its starter unless
    // preload is false or env sets LD_PRELOAD itself.
    std::map<std::string, std::string> env;
    bool preload = true;
    std::string cwd;
    int timeout_seconds = 60;
    // Runs in the child after it has changed to cwd, before exec.
    std::function<void()> before_exec = nullptr;
};

struct host_run {
    pid_t pid = 0;
    std::optional<int> exit_code;
    int term_signal = 0;
    bool timed_out = false;
    double seconds = 0;
    std::string out, err;

    bool exited(int code) const { return exit_code && *exit_code == code; }
    std::string describe() const; // how it ended, then its output, for failure messages
};

host_run spawn(const spawn_options &options);

// A fresh working directory; removed afterwards unless the test failed.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    const std::string &path() const { return _path; }
    std::string file(const std::string &name) const { return _path + "/" + name; }
    std::vector<std::string> entries() const; // names, sorted

private:
    std::string _path;
};

std::string report_name(pid_t pid); // native_memory_<pid>.log
std::string read_file(const std::string &path);

std::vector<std::string> lines_of(const std::string &text);

// Each pattern (ECMAScript, whole line) matches a line after the previous
// one's; a failure shows the text.
::testing::AssertionResult lines_in_order(const std::string &text, const std::vector<std::string> &patterns);
// The number of lines that match the pattern as a whole.
size_t count_lines(const std::string &text, const std::string &pattern);
// A literal for use inside a pattern.
std::string quoted(const std::string &literal);

// Report queries. Frame 0 is the code that called the allocator.
const report::report_frame &frame(const report::report_set &set, const report::caller_block &block, size_t index);
size_t frame_count(const report::report_set &set, const report::caller_block &block);
report::caller_type type_of(const report::report_set &set, const report::caller_block &block);
std::vector<const report::caller_block *> blocks_at(const report::report_set &set, const report::report &rep,
                                                    const std::string &site, report::caller_type type);
bool is_tracker_frame(const report::report_frame &frame);

struct counters {
    uint64_t allocated, allocations, freed, frees;
};
// The counts a host printed of its own sites, one line each:
// "SITE name allocated=N allocations=N freed=N frees=N".
std::map<std::string, counters> host_counters(const std::string &out);
// Exactly one allocating record at the site, with these counters.
::testing::AssertionResult allocator_counters(const report::report_set &set, const report::report &rep,
                                              const std::string &site, const counters &expected);

} // namespace e2e
