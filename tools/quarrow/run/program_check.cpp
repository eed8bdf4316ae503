#include "program_check.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <fmt/format.h>

#include "../elf_machine.h"

namespace quarrow::runner {

namespace {

// The C library's search list when PATH is unset.
constexpr const char *_default_path = "/bin:/usr/bin";
// The kernel reads no more of a file than this to find its #! line.
constexpr size_t _head_size = 256;

const char *_only_x86 = "the tracker tracks only x86 programs (32- or 64-bit)";

// What one file turned out to be: a program the tracker can enter, a
// script to follow, or a reason it cannot be tracked.
struct _examined {
    enum { trackable, script, problem } kind = problem;
    bool missing = false;
    std::string problem_text; // completes "<file> ..."
    std::string interpreter;  // for a script: its #! line
    std::string argument;
    architecture build = architecture::i386; // for a trackable program
};

_examined _problem(std::string text, bool missing = false) {
    _examined e;
    e.problem_text = std::move(text);
    e.missing = missing;
    return e;
}

bool _has_slash(const std::string &name) { return name.find('/') != std::string::npos; }

bool _is_executable_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::vector<std::string> _split(const std::string &text, const char *separators) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find_first_of(separators, at);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

// ELF fields are read byte by byte: the file's byte order, not the host's.
uint64_t _field(const unsigned char *p, size_t size, bool big_endian) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; i++)
        value |= uint64_t(p[big_endian ? size - 1 - i : i]) << (8 * i);
    return value;
}

// Where the fields that find the program headers lie in each class's
// header (the x86 classes are little-endian).
struct _layout {
    size_t header_size, word;
    size_t phoff, shoff, phentsize, phnum;
    size_t section_size, section_info;
};
constexpr _layout _elf32 = {sizeof(Elf32_Ehdr), 4, 28, 32, 42, 44, sizeof(Elf32_Shdr), 28};
constexpr _layout _elf64 = {sizeof(Elf64_Ehdr), 8, 32, 40, 54, 56, sizeof(Elf64_Shdr), 44};

// Whether an x86 ELF file asks for the dynamic loader: only then does
// LD_PRELOAD reach it. A static program would run, silently untracked.
std::optional<bool> _has_program_interpreter(int fd, const unsigned char *head, const _layout &l) {
    uint64_t phoff = _field(head + l.phoff, l.word, false);
    uint64_t phentsize = _field(head + l.phentsize, 2, false);
    uint64_t phnum = _field(head + l.phnum, 2, false);
    if (phnum == PN_XNUM) { // the real count is in the first section header
        unsigned char section[sizeof(Elf64_Shdr)];
        uint64_t shoff = _field(head + l.shoff, l.word, false);
        if (shoff > uint64_t(INT64_MAX) || pread(fd, section, l.section_size, off_t(shoff)) != ssize_t(l.section_size))
            return std::nullopt;
        phnum = _field(section + l.section_info, 4, false);
    }
    if (phentsize < 4)
        return phnum == 0 ? std::optional<bool>(false) : std::nullopt;
    for (uint64_t i = 0; i < phnum; i++) {
        unsigned char type[4];
        // (i * phentsize stays below 2^48: a huge phoff alone could wrap off_t)
        if (phoff > uint64_t(INT64_MAX) / 2 ||
            pread(fd, type, sizeof type, off_t(phoff + i * phentsize)) != ssize_t(sizeof type))
            return std::nullopt;
        if (_field(type, 4, false) == PT_INTERP)
            return true;
    }
    return false;
}

_examined _examine_elf(int fd, const unsigned char *head, size_t size, const struct stat &st) {
    if (size < EI_NIDENT + 4)
        return _problem("is a damaged ELF file (too short)");
    bool big_endian = head[EI_DATA] == ELFDATA2MSB;
    unsigned type = unsigned(_field(head + 16, 2, big_endian));
    unsigned machine = unsigned(_field(head + 18, 2, big_endian));
    const char *bits = head[EI_CLASS] == ELFCLASS32 ? "32-bit" : head[EI_CLASS] == ELFCLASS64 ? "64-bit" : nullptr;
    if (!bits)
        return _problem(fmt::format("is an ELF file of unknown class {}; {}", head[EI_CLASS], _only_x86));
    const char *noun = type == ET_REL ? "object file" : type == ET_CORE ? "core dump" : "program";
    std::string what = fmt::format("a {} {} {}", bits, elf_machine_name(machine), noun);
    // (a 32-bit x86-64 program is of the x32 ABI, which neither build serves)
    bool x86 = head[EI_CLASS] == ELFCLASS32 && machine == EM_386;
    bool x86_64 = head[EI_CLASS] == ELFCLASS64 && machine == EM_X86_64;
    if ((!x86 && !x86_64) || big_endian)
        return _problem(fmt::format("is {}; {}", what, _only_x86));
    architecture build = x86 ? architecture::i386 : architecture::x86_64;
    const char *words = architecture_words(build);
    if (type != ET_EXEC && type != ET_DYN)
        return _problem(fmt::format("is {}, not a program", what));
    const _layout &layout = x86 ? _elf32 : _elf64;
    if (size < layout.header_size)
        return _problem(fmt::format("is a damaged {} ELF file (header cut short)", words));

    std::optional<bool> dynamic = _has_program_interpreter(fd, head, layout);
    if (!dynamic)
        return _problem(fmt::format("is a damaged {} ELF file (program headers cut short)", words));
    if (!*dynamic)
        return _problem(fmt::format("is a {} program without a program interpreter (statically linked, or a shared "
                                    "library): the tracker is preloaded by the dynamic loader, which it does not use",
                                    words));
    // In secure-execution mode the loader ignores LD_PRELOAD paths.
    if (((st.st_mode & S_ISUID) && st.st_uid != geteuid()) || ((st.st_mode & S_ISGID) && st.st_gid != getegid()))
        return _problem("is a set-user-ID or set-group-ID program: the dynamic loader will not preload the tracker "
                        "into it");
    _examined e;
    e.kind = _examined::trackable;
    e.build = build;
    return e;
}

// A #! line as the kernel reads it: the interpreter up to the first blank,
// then at most one argument, the rest of the line with outer blanks trimmed.
_examined _examine_script(const unsigned char *head, size_t size, bool file_goes_on) {
    std::string line(reinterpret_cast<const char *>(head) + 2, size - 2);
    size_t newline = line.find('\n');
    bool cut = newline == std::string::npos && file_goes_on;
    if (newline != std::string::npos)
        line.resize(newline);
    const char *blanks = " \t";
    size_t start = line.find_first_not_of(blanks);
    if (start == std::string::npos)
        return _problem("is a script whose #! line names no interpreter");
    size_t end = line.find_first_of(blanks, start);
    if (end == std::string::npos && cut)
        return _problem(
            fmt::format("is a script whose #! line is longer than the kernel reads ({} bytes)", _head_size));
    _examined e;
    e.kind = _examined::script;
    e.interpreter = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (end != std::string::npos) {
        size_t first = line.find_first_not_of(blanks, end);
        if (first != std::string::npos)
            e.argument = line.substr(first, line.find_last_not_of(blanks) + 1 - first);
    }
    return e;
}

_examined _examine(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return _problem("does not exist", true);
        return _problem(fmt::format("cannot be examined ({})", strerror(errno)));
    }
    if (S_ISDIR(st.st_mode))
        return _problem("is a directory");
    if (!S_ISREG(st.st_mode))
        return _problem("is not a regular file");
    if (faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) != 0)
        return _problem("is not executable (no execute permission)");
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return _problem(fmt::format("cannot be read to check it ({})", strerror(errno)));
    unsigned char head[_head_size];
    ssize_t got = pread(fd, head, sizeof head, 0);
    _examined e;
    if (got < 0)
        e = _problem(fmt::format("cannot be read to check it ({})", strerror(errno)));
    else if (got == 0)
        e = _problem("is an empty file");
    else if (got >= 2 && head[0] == '#' && head[1] == '!')
        e = _examine_script(head, size_t(got), st.st_size > got);
    else if (got >= SELFMAG && memcmp(head, ELFMAG, SELFMAG) == 0)
        e = _examine_elf(fd, head, size_t(got), st);
    else
        e = _problem("is neither an ELF program nor a #! script");
    close(fd);
    return e;
}

// `#!/usr/bin/env NAME`: the program env starts in its place, or the reason
// it cannot be followed (in `problem`).
std::optional<std::string> _env_target(const std::string &env, const std::string &argument, const char *path_list,
                                       std::string &problem) {
    // Without -S, env gets the whole rest of the line as one name.
    std::vector<std::string> words;
    if (argument.rfind("-S", 0) == 0) {
        for (const std::string &word : _split(argument.substr(2), " \t"))
            if (!word.empty())
                words.push_back(word);
    } else if (!argument.empty()) {
        words.push_back(argument);
    }
    for (const std::string &word : words) {
        if (word == "-i" || word == "-" || word == "--ignore-environment") {
            problem =
                fmt::format("runs {} {}, which clears the environment and the tracker's LD_PRELOAD with it", env, word);
            return std::nullopt;
        }
        if (word[0] == '-') {
            problem = fmt::format("passes {} the option {}, which the launcher cannot follow", env, word);
            return std::nullopt;
        }
        if (word.rfind("LD_PRELOAD=", 0) == 0) {
            problem = fmt::format("sets LD_PRELOAD through {}, in place of the tracker's", env);
            return std::nullopt;
        }
        if (word.find('=') != std::string::npos)
            continue; // a variable for the program
        if (_has_slash(word))
            return word;
        if (auto found = search_path(word, path_list))
            return found;
        problem = fmt::format("runs {} through {}, and there is no {} in PATH", word, env, word);
        return std::nullopt;
    }
    problem = fmt::format("runs {} without a program name", env);
    return std::nullopt;
}

void _add_build(program_check &result, architecture build, const std::string &program) {
    for (const needed_build &known : result.builds)
        if (known.build == build)
            return;
    result.builds.push_back({build, program});
}

bool _is_env(const std::string &interpreter) {
    return interpreter == "env" ||
           (interpreter.size() > 4 && interpreter.compare(interpreter.size() - 4, 4, "/env") == 0);
}

} // namespace

int program_check::exit_status() const {
    switch (outcome) {
    case check_outcome::trackable:
        return 0;
    case check_outcome::not_found:
        return 127;
    case check_outcome::cannot_track:
        break;
    }
    return 126;
}

std::optional<std::string> search_path(const std::string &name, const char *path_list) {
    if (name.empty())
        return std::nullopt;
    if (_has_slash(name))
        return name;
    std::optional<std::string> not_executable;
    for (const std::string &dir : _split(path_list ? path_list : _default_path, ":")) {
        // an empty entry is the working directory
        std::string candidate = dir.empty() ? "./" + name : dir + "/" + name;
        if (_is_executable_file(candidate))
            return candidate;
        struct stat st;
        if (!not_executable && stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            not_executable = candidate;
    }
    return not_executable;
}

program_check check_program(const std::string &program, const char *path_list) {
    program_check result;
    if (program.empty()) {
        result.message = "the program name is empty";
        return result;
    }
    std::optional<std::string> found = search_path(program, path_list);
    if (!found) {
        result.message = path_list ? fmt::format("{}: not found in PATH", program)
                                   : fmt::format("{}: not found in {} (PATH is not set)", program, _default_path);
        return result;
    }
    result.path = *found;

    // The sentence grows by one clause per interpreter followed.
    std::string lead = result.path;
    std::string file = result.path;
    for (int depth = 0;; depth++) {
        _examined e = _examine(file);
        if (e.kind == _examined::trackable) {
            result.outcome = check_outcome::trackable;
            _add_build(result, e.build, file);
            return result;
        }
        result.outcome = depth == 0 && e.missing ? check_outcome::not_found : check_outcome::cannot_track;
        if (e.kind == _examined::problem) {
            result.message = fmt::format("{} {}", lead, e.problem_text);
            return result;
        }
        if (depth == max_interpreter_depth) {
            result.message = fmt::format("{} is a script too: more than {} nested #! interpreters (a loop?)", lead,
                                         max_interpreter_depth);
            return result;
        }
        std::string label = e.interpreter;
        file = e.interpreter;
        if (_is_env(e.interpreter)) {
            std::string problem;
            std::optional<std::string> target = _env_target(e.interpreter, e.argument, path_list, problem);
            if (!target) {
                result.message = fmt::format("{} is a script whose #! line {}", lead, problem);
                return result;
            }
            // env loads the preload too, so it needs the build of its own class
            _examined env = _examine(e.interpreter);
            if (env.kind == _examined::trackable)
                _add_build(result, env.build, e.interpreter);
            file = *target;
            label = fmt::format("{} (through {})", *target, e.interpreter);
        }
        lead += fmt::format(" is a script run by {}, which", label);
    }
}

} // namespace quarrow::runner
