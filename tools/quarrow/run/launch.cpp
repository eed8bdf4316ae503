#include "launch.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <fmt/format.h>

extern char **environ;

namespace quarrow::runner {

namespace fs = std::filesystem;

namespace {

// The loader splits LD_PRELOAD at these, so no library path may hold one.
constexpr const char *_preload_separators = ": \t\n";

std::string _missing_library(const fs::path &dir) {
    for (const char *name : {tracker_library, starter_library}) {
        std::error_code ignored;
        if (!fs::is_regular_file(dir / name, ignored))
            return (dir / name).string();
    }
    return {};
}

library_location _explicit_dir(const std::string &given, const char *source) {
    std::error_code ignored;
    fs::path dir = fs::absolute(given, ignored).lexically_normal();
    std::string text = dir.string();
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (text.find_first_of(_preload_separators) != std::string::npos)
        return {{}, fmt::format("{} {}: the path holds a ':' or a blank, which LD_PRELOAD cannot carry", source, text)};
    std::string missing = _missing_library(text);
    if (!missing.empty())
        return {{}, fmt::format("{} {}: there is no {}", source, text, missing)};
    return {text, {}};
}

std::string _name_of(const std::string &entry) { return entry.substr(0, entry.find('=')); }

} // namespace

library_location find_library_dir(const std::string &option, const std::string &environment,
                                  const std::string &command_path, const std::string &build_dir) {
    if (!option.empty())
        return _explicit_dir(option, "--library-dir");
    if (!environment.empty())
        return _explicit_dir(environment, "QUARROW_LIBRARY_DIR");
    std::vector<std::string> tried;
    if (!command_path.empty())
        tried.push_back((fs::path(command_path).parent_path() / ".." / "lib" / "quarrow").lexically_normal());
    if (!build_dir.empty())
        tried.push_back(fs::path(build_dir).lexically_normal());
    for (std::string &dir : tried) {
        if (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        if (_missing_library(dir).empty() && dir.find_first_of(_preload_separators) == std::string::npos)
            return {dir, {}};
    }
    std::string places;
    for (const std::string &dir : tried)
        places += (places.empty() ? "" : " and ") + dir;
    return {{},
            fmt::format("cannot find {} and {} (looked in {}); give their directory with --library-dir or "
                        "QUARROW_LIBRARY_DIR",
                        tracker_library, starter_library, places.empty() ? "no place" : places)};
}

std::string preload_value(const std::string &library_dir, const std::string &existing) {
    std::string value = library_dir + "/" + tracker_library + ":" + library_dir + "/" + starter_library;
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
    ours["LD_PRELOAD"] = preload_value(settings.library_dir, existing_preload);
    // Without its option, an inherited library variable reaches the program.
    if (settings.write_period_seconds)
        ours["PROFILER_WRITE_PERIOD_SECONDS"] = std::to_string(*settings.write_period_seconds);
    if (settings.stack_depth)
        ours["PROFILER_STACK_DEPTH"] = std::to_string(*settings.stack_depth);
    if (!settings.trigger_file.empty())
        ours["PROFILER_TRIGGER_FILE"] = settings.trigger_file;
    // These two follow the flags alone, whatever was inherited.
    ours["PROFILER_REPORT_AT_EXIT"] = settings.report_at_exit ? std::optional<std::string>("1") : std::nullopt;
    ours["QUARROW_FOLLOW_CHILDREN"] = settings.follow_children ? std::optional<std::string>("1") : std::nullopt;

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

void _forward(int signal_number) {
    if (_child > 0)
        kill(pid_t(_child), signal_number);
}

std::vector<char *> _pointers(const std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (const std::string &s : strings)
        pointers.push_back(const_cast<char *>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

std::string _report_path(pid_t pid) {
    std::string name = fmt::format("native_memory_{}.log", pid);
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return name + " in its working directory";
    return fmt::format("{}{}{}", cwd, strcmp(cwd, "/") == 0 ? "" : "/", name);
}

} // namespace

int launch(const std::string &path, const std::vector<std::string> &argv, const std::vector<std::string> &environment) {
    std::vector<char *> child_argv = _pointers(argv);
    std::vector<char *> child_environment = _pointers(environment);
    std::string exec_failed_prefix = fmt::format("quarrow run: cannot run {}: ", path);

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
        fmt::print(stderr, "quarrow run: tracking PID {}; report: {}\n", pid, _report_path(pid));
        int status = 0;
        pid_t waited;
        do
            waited = waitpid(pid, &status, 0);
        while (waited < 0 && errno == EINTR);
        if (waited < 0) {
            fmt::print(stderr, "quarrow run: lost PID {}: {}\n", pid, strerror(errno));
            result = 1;
        } else if (WIFSIGNALED(status)) {
            int number = WTERMSIG(status);
            fmt::print(stderr, "quarrow run: PID {} was ended by signal {} ({})\n", pid, number, strsignal(number));
            result = 128 + number;
        } else {
            result = WEXITSTATUS(status);
        }
    }

    _child = 0;
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    return result;
}

} // namespace quarrow::runner
