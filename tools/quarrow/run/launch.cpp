#include "launch.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include <fmt/format.h>

extern char **environ;

namespace quarrow::runner {

namespace fs = std::filesystem;

namespace {

// The loader splits LD_PRELOAD at these, so no library path may hold one.
constexpr const char *_preload_separators = ": \t\n";

std::string _name_of(const std::string &entry) { return entry.substr(0, entry.find('=')); }

} // namespace

std::string preload_value(const std::string &library_dir, const std::string &existing, bool via_lib_token) {
    // "$LIB" is the loader's own token, expanded by each loader for itself.
    std::string lead = via_lib_token ? library_dir + "/$LIB" : library_dir;
    std::string value = lead + "/" + tracker_library + ":" + lead + "/" + starter_library;
    size_t at = 0;
    while (at < existing.size()) {
        size_t end = existing.find_first_of(_preload_separators, at);
        if (end == std::string::npos)
            end = existing.size();
        std::string entry = existing.substr(at, end - at);
        at = end + 1;
        std::string base = fs::path(entry).filename().string();
        // a second copy of the tracker would fight the first for the heap
        if (entry.empty() || base == tracker_library || base == starter_library)
            continue;
        value += ":" + entry;
    }
    return value;
}

std::vector<std::string> child_environment(const std::vector<std::string> &parent, const launch_settings &settings) {
    std::map<std::string, std::optional<std::string>> ours; // nullopt: remove
    std::string existing_preload;
    for (const std::string &entry : parent)
        if (_name_of(entry) == "LD_PRELOAD")
            existing_preload = entry.substr(entry.find('=') + 1);
    ours["LD_PRELOAD"] = preload_value(settings.library_dir, existing_preload, settings.via_lib_token);
    // Without its option, an inherited library variable reaches the program.
    if (settings.write_period_seconds)
        ours["PROFILER_WRITE_PERIOD_SECONDS"] = std::to_string(*settings.write_period_seconds);
    if (settings.stack_depth)
        ours["PROFILER_STACK_DEPTH"] = std::to_string(*settings.stack_depth);
    if (!settings.trigger_file.empty())
        ours["PROFILER_TRIGGER_FILE"] = settings.trigger_file;
    // These follow the flags alone, whatever was inherited.
    ours["PROFILER_REPORT_AT_EXIT"] = settings.report_at_exit ? std::optional<std::string>("1") : std::nullopt;
    ours["QUARROW_FULL_BUFFER"] = settings.allow_drops ? std::nullopt : std::optional<std::string>("wait");
    ours["QUARROW_FOLLOW_CHILDREN"] = settings.follow_children ? std::optional<std::string>("1") : std::nullopt;
    ours[report_dir_variable] =
        settings.report_dir.empty() ? std::nullopt : std::optional<std::string>(settings.report_dir);
    // launch sets it in the child, to the child's own PID
    ours[tracked_pid_variable] = std::nullopt;

    std::vector<std::string> environment;
    for (const std::string &entry : parent)
        if (ours.find(_name_of(entry)) == ours.end())
            environment.push_back(entry);
    for (const auto &[name, value] : ours)
        if (value)
            environment.push_back(name + "=" + *value);
    return environment;
}

std::vector<std::string> current_environment() {
    std::vector<std::string> environment;
    for (char **entry = environ; *entry; entry++)
        environment.push_back(*entry);
    return environment;
}

namespace {

volatile sig_atomic_t _child = 0;
volatile sig_atomic_t _launcher = 0;

void _forward(int signal_number) {
    if (_child > 0)
        kill(pid_t(_child), signal_number);
}

// Signal-safe decimal.
size_t _append_number(char *to, size_t at, long value) {
    char digits[24];
    size_t count = 0;
    do
        digits[count++] = char('0' + value % 10);
    while ((value /= 10) > 0 && count < sizeof digits);
    while (count > 0)
        to[at++] = digits[--count];
    return at;
}

size_t _append_text(char *to, size_t at, const char *text) {
    while (*text != '\0')
        to[at++] = *text++;
    return at;
}

// The launcher's own fatal signals: said in a line of their own, then the
// launcher dies of the same signal. So a launcher that dies is never taken
// for a program that died: that one it reports with final_line and exits
// with 128+N, never killed by a signal itself.
void _launcher_failed(int signal_number) {
    char line[256];
    size_t at = _append_text(line, 0, "quarrow run: ");
    if (getpid() == pid_t(_launcher)) {
        at = _append_text(line, at, "the launcher itself died of signal ");
        at = _append_number(line, at, signal_number);
        if (_child > 0) {
            at = _append_text(line, at, " while PID ");
            at = _append_number(line, at, long(_child));
            at = _append_text(line, at, " ran; that is not the program's status");
        }
    } else {
        at = _append_text(line, at, "the launcher's child died of signal ");
        at = _append_number(line, at, signal_number);
        at = _append_text(line, at, " before it could start the program");
    }
    line[at++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, at);
    (void)ignored;
    // SA_RESETHAND made the action the default one again: a fault repeats
    // on return, and a sent signal is pending until then.
    raise(signal_number);
}

void _catch_launcher_failures() {
    static char alternate_stack[64 * 1024];
    stack_t stack = {};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    sigaltstack(&stack, nullptr);
    struct sigaction failed = {};
    failed.sa_handler = _launcher_failed;
    failed.sa_flags = SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&failed.sa_mask);
    for (int number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
        sigaction(number, &failed, nullptr);
}

std::vector<char *> _pointers(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const std::string &s : strings)
        pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::string _report_path(pid_t pid, const std::string &report_dir) {
    std::string name = fmt::format("native_memory_{}.log", pid);
    if (!report_dir.empty())
        return fmt::format("{}{}{}", report_dir, report_dir == "/" ? "" : "/", name);
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return name + " in its working directory";
    return fmt::format("{}{}{}", cwd, strcmp(cwd, "/") == 0 ? "" : "/", name);
}

std::string _side_file(const std::string &report_dir) { return (fs::path(report_dir) / side_file_name).string(); }

uintmax_t _size_of(const std::string &path) {
    std::error_code missing;
    uintmax_t size = fs::file_size(path, missing);
    return missing ? 0 : size;
}

// The children whose tracker could not start during this run, summed up
// once: their lines themselves stay in the side file.
void _sum_up_children(const std::string &side_file, uintmax_t start) {
    std::ifstream in(side_file);
    if (!in || !in.seekg(std::streamoff(start)))
        return;
    size_t failed = 0;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("QUARROW ERROR: ", 0) == 0 && line.find(" runs untracked, start-up stage ") != std::string::npos)
            failed++;
    if (failed > 0)
        fmt::print(stderr, "quarrow run: {} child process{} could not start the tracker and ran untracked; see {}\n",
                   failed, failed == 1 ? "" : "es", side_file);
}

} // namespace

std::string final_line(pid_t pid, int wait_status) {
    if (WIFSIGNALED(wait_status)) {
        int number = WTERMSIG(wait_status);
        return fmt::format("quarrow run: PID {} was ended by signal {} ({})", pid, number, strsignal(number));
    }
    return fmt::format("quarrow run: PID {} exited with status {}", pid, WEXITSTATUS(wait_status));
}

int launch(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &environment,
           const std::string &report_dir, bool follow_children) {
    _launcher = getpid();
    _catch_launcher_failures();
    std::vector<char *> child_argv = _pointers(argv);
    // The child writes its own PID into the room left here, before exec:
    // no allocation between fork and exec.
    std::string marker = std::string(tracked_pid_variable) + "=" + std::string(21, '\0');
    std::vector<char *> child_environment = _pointers(environment);
    child_environment.insert(child_environment.end() - 1, marker.data());
    size_t marker_digits = strlen(tracked_pid_variable) + 1;
    std::string exec_failed_prefix = fmt::format("quarrow run: cannot run {}: ", path);
    std::string side_file = follow_children && !report_dir.empty() ? _side_file(report_dir) : std::string();
    uintmax_t side_file_start = side_file.empty() ? 0 : _size_of(side_file);

    // Ctrl-C and Ctrl-\ reach the program from the terminal; the launcher
    // stays to pass its status on. A kill meant for the launcher is passed
    // to the program. Blocked until the child's PID is known.
    struct sigaction ignore = {}, forward = {}, old_int, old_quit, old_term, old_hup;
    ignore.sa_handler = SIG_IGN;
    forward.sa_handler = _forward;
    sigemptyset(&forward.sa_mask);
    sigset_t forwarded, old_mask;
    sigemptyset(&forwarded);
    sigaddset(&forwarded, SIGTERM);
    sigaddset(&forwarded, SIGHUP);
    sigprocmask(SIG_BLOCK, &forwarded, &old_mask);
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    sigaction(SIGTERM, &forward, &old_term);
    sigaction(SIGHUP, &forward, &old_hup);
    fflush(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        // The program starts with the dispositions the launcher was given.
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        sigaction(SIGHUP, &old_hup, nullptr);
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        _append_number(marker.data(), marker_digits, long(getpid()));
        execve(path.c_str(), child_argv.data(), child_environment.data());
        int error = errno;
        std::string message = exec_failed_prefix + strerror(error) + "\n";
        ssize_t ignored = write(STDERR_FILENO, message.data(), message.size());
        (void)ignored;
        _exit(127);
    }
    int fork_error = errno;
    _child = pid;
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    int result;
    if (pid < 0) {
        fmt::print(stderr, "quarrow run: cannot start a process: {}\n", strerror(fork_error));
        result = 1;
    } else {
        fmt::print(stderr, "quarrow run: tracking PID {}; report: {}\n", pid, _report_path(pid, report_dir));
        if (follow_children && !report_dir.empty())
            fmt::print(stderr, "quarrow run: its children's reports go to {}, their lines to {}\n", report_dir,
                       side_file);
        int status = 0;
        pid_t waited;
        do
            waited = waitpid(pid, &status, 0);
        while (waited < 0 && errno == EINTR);
        // No kill may reach a PID that is reaped and free for reuse.
        sigprocmask(SIG_BLOCK, &forwarded, nullptr);
        _child = 0;
        if (waited < 0) {
            fmt::print(stderr, "quarrow run: lost PID {}: {}\n", pid, strerror(errno));
            result = 1;
        } else {
            if (!side_file.empty())
                _sum_up_children(side_file, side_file_start);
            fmt::print(stderr, "{}\n", final_line(pid, status));
            result = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        }
    }

    _child = 0;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return result;
}

} // namespace quarrow::runner
