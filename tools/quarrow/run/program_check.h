// Finds the program `quarrow run` was asked to start and decides, before
// anything runs, whether the tracker can reach it: the tracker is an x86
// library, one build per ELF class, that the dynamic loader preloads, so
// whatever the kernel ends up executing (the program, or the interpreter of
// its #! line) must be a dynamically linked x86 ELF program, 32- or 64-bit.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "architecture.h"

namespace quarrow::runner {

enum class check_outcome {
    trackable,
    not_found,    // nothing of that name: a shell's 127
    cannot_track, // found, but not something the tracker can enter: 126
};

// A build of the tracker the run needs, and the program that needs it.
struct needed_build {
    architecture build;
    std::string program;
};

struct program_check {
    check_outcome outcome = check_outcome::not_found;
    // What to hand to execv: PROGRAM as it was found (never an interpreter).
    std::string path;
    // One line saying what was found, when it is not trackable.
    std::string message;
    // When trackable, one per class: each ELF program on the way that loads
    // the preload (an env of a #! line, then the program that runs in the end).
    std::vector<needed_build> builds;

    // 0, 127 or 126, as a shell would answer.
    int exit_status() const;
};

// Nested #! interpreters followed before giving up (a loop, most likely).
constexpr int max_interpreter_depth = 4;

// Resolves and checks PROGRAM the way execvp would find it: as is when the
// name holds a '/', else through the directories of path_list (nullptr when
// PATH is unset, which means the C library's default).
program_check check_program(const std::string &program, const char *path_list);

// The execvp lookup alone: the first executable regular file named `name`
// in path_list, else the first one found without execute permission (so
// the message can say so), else nothing.
std::optional<std::string> search_path(const std::string &name, const char *path_list);

} // namespace quarrow::runner
