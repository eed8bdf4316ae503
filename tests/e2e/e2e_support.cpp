#include "e2e_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace fs = std::filesystem;

std::string host_path(const std::string &name) { return std::string(QUARROW_E2E_HOST_DIR) + "/" + name; }
std::string library_path() { return QUARROW_E2E_LIBRARY; }
std::string starter_path() { return QUARROW_E2E_STARTER; }
std::string launcher_path() { return QUARROW_E2E_LAUNCHER; }
std::string target_arch() { return QUARROW_E2E_ARCH; }
std::string i386_shell_path(const std::string &name) { return std::string(QUARROW_E2E_I386_SHELLS) + "/bin/" + name; }

pid_t launched_pid(const std::string &launcher_err) {
    std::smatch m;
    for (const auto &line : lines_of(launcher_err))
        if (std::regex_match(line, m, std::regex("quarrow run: tracking PID (\\d+); report: .*")))
            return std::stoi(m[1]);
    return 0;
}

std::string last_line(const std::string &text) {
    auto lines = lines_of(text);
    return lines.empty() ? std::string() : lines.back();
}

std::vector<std::string> matching_entries(const std::string &dir, const std::string &pattern) {
    std::regex wanted(pattern);
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, wanted))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string host_run::describe() const {
    std::ostringstream text;
    if (timed_out)
        text << "timed out and was killed";
    else if (exit_code)
        text << "exited " << *exit_code;
    else
        text << "died of signal " << term_signal;
    text << " after " << seconds << " s (pid " << pid << ")\n--- stdout ---\n"
         << out << "--- stderr ---\n"
         << err << "---";
    return text.str();
}

host_run spawn(const spawn_options &options) {
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
    if (options.preload && options.env.count("LD_PRELOAD") == 0)
        environment.push_back("LD_PRELOAD=" + library_path() + ":" + starter_path());
    for (const auto &[name, value] : options.env)
        environment.push_back(name + "=" + value);
    std::vector<char *> argv, envp;
    for (const auto &arg : options.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    for (const auto &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    auto start = std::chrono::steady_clock::now();
    host_run run;
    run.pid = fork();
    if (run.pid < 0)
        throw std::runtime_error("fork failed");
    if (run.pid == 0) {
        // Its own process group, so a hung host is killed with its children.
        setpgid(0, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int null_input = open("/dev/null", O_RDONLY);
        dup2(null_input, 0);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
            _exit(126);
        if (options.before_exec)
            options.before_exec();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    auto deadline = start + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    int open_count = 2;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timed_out = true;
            kill(-run.pid, SIGKILL);
            kill(run.pid, SIGKILL);
            break;
        }
        int ready = poll(fds, 2, (int)std::min<long long>(left.count(), 1000));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    // The pipes close when the host and every child sharing them are gone;
    // the host itself may still be finishing.
    int status = 0;
    while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.exit_code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.term_signal = WTERMSIG(status);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return run;
}

scratch_dir::scratch_dir() {
    std::string pattern = (fs::temp_directory_path() / "quarrow-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    _path = pattern;
}

scratch_dir::~scratch_dir() {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test != nullptr && test->result()->Failed()) {
        fprintf(stderr, "kept the working directory %s\n", _path.c_str());
        return;
    }
    std::error_code ignored;
    fs::remove_all(_path, ignored);
}

std::vector<std::string> scratch_dir::entries() const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(_path))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string report_name(pid_t pid) { return "native_memory_" + std::to_string(pid) + ".log"; }

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

::testing::AssertionResult lines_in_order(const std::string &text, const std::vector<std::string> &patterns) {
    auto lines = lines_of(text);
    size_t next = 0;
    for (const auto &pattern : patterns) {
        std::regex wanted(pattern);
        while (next < lines.size() && !std::regex_match(lines[next], wanted))
            next++;
        if (next == lines.size())
            return ::testing::AssertionFailure()
                   << "no line matching\n  " << pattern << "\nafter the earlier ones in:\n"
                   << text;
        next++;
    }
    return ::testing::AssertionSuccess();
}

size_t count_lines(const std::string &text, const std::string &pattern) {
    std::regex wanted(pattern);
    size_t count = 0;
    for (const auto &line : lines_of(text))
        count += std::regex_match(line, wanted) ? 1 : 0;
    return count;
}

std::string quoted(const std::string &literal) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(literal, special, R"(\$&)");
}

const report::report_frame &frame(const report::report_set &set, const report::caller_block &block, size_t index) {
    return set.frames.at(set.stacks.at(block.stack).frames.at(index));
}

size_t frame_count(const report::report_set &set, const report::caller_block &block) {
    return set.stacks.at(block.stack).frames.size();
}

report::caller_type type_of(const report::report_set &set, const report::caller_block &block) {
    return set.stacks.at(block.stack).type;
}

std::vector<const report::caller_block *> blocks_at(const report::report_set &set, const report::report &rep,
                                                    const std::string &site, report::caller_type type) {
    std::vector<const report::caller_block *> found;
    for (const auto &block : rep.blocks)
        if (type_of(set, block) == type && frame_count(set, block) > 0 && frame(set, block, 0).symbol == site)
            found.push_back(&block);
    return found;
}

bool is_tracker_frame(const report::report_frame &frame) {
    auto ends_with = [&](const std::string &suffix) {
        return frame.library.size() >= suffix.size() &&
               frame.library.compare(frame.library.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return ends_with("/libquarrow.so") || ends_with("/libquarrow_start.so");
}

std::map<std::string, counters> host_counters(const std::string &out) {
    std::map<std::string, counters> sites;
    std::regex line(R"(SITE (\w+) allocated=(\d+) allocations=(\d+) freed=(\d+) frees=(\d+))");
    for (const auto &text : lines_of(out)) {
        std::smatch m;
        if (std::regex_match(text, m, line))
            sites[m[1]] = {std::stoull(m[2]), std::stoull(m[3]), std::stoull(m[4]), std::stoull(m[5])};
    }
    return sites;
}

::testing::AssertionResult allocator_counters(const report::report_set &set, const report::report &rep,
                                              const std::string &site, const counters &expected) {
    auto found = blocks_at(set, rep, site, report::caller_type::allocator);
    if (found.size() != 1)
        return ::testing::AssertionFailure() << found.size() << " ALLOCATOR records at " << site << ", wanted 1";
    const auto &got = *found[0];
    if (got.total_allocated != expected.allocated || got.number_of_allocations != expected.allocations ||
        got.total_freed != expected.freed || got.number_of_frees != expected.frees)
        return ::testing::AssertionFailure()
               << site << ": allocated/allocations/freed/frees are " << got.total_allocated << "/"
               << got.number_of_allocations << "/" << got.total_freed << "/" << got.number_of_frees << ", wanted "
               << expected.allocated << "/" << expected.allocations << "/" << expected.freed << "/" << expected.frees;
    return ::testing::AssertionSuccess();
}

} // namespace e2e
