// Finding the library directory and checking its builds: see library_dir.h.
#include "library_dir.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <gelf.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>

#include "../elf_machine.h"

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

// Whether the directory holds both libraries of some build, in any layout.
bool _holds_a_pair(const fs::path &dir) {
    if (_missing_library(dir).empty())
        return true;
    for (architecture build : architectures)
        if (_missing_library(dir / multiarch_dir(build)).empty())
            return true;
    return false;
}

std::string _no_pair(const fs::path &dir) {
    return fmt::format("there is no {}, nor a {}/ or {}/ with both libraries", _missing_library(dir),
                       multiarch_dir(architecture::i386), multiarch_dir(architecture::x86_64));
}

library_location _explicit_dir(const std::string &given, const char *source) {
    std::error_code ignored;
    fs::path dir = fs::absolute(given, ignored).lexically_normal();
    std::string text = dir.string();
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    if (text.find_first_of(_preload_separators) != std::string::npos)
        return {{}, fmt::format("{} {}: the path holds a ':' or a blank, which LD_PRELOAD cannot carry", source, text)};
    if (!_holds_a_pair(text))
        return {{}, fmt::format("{} {}: {}", source, text, _no_pair(text))};
    return {text, {}};
}

bool _defines(Elf *elf, const char *wanted) {
    for (Elf_Scn *section = elf_nextscn(elf, nullptr); section; section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        if (!gelf_getshdr(section, &header) || header.sh_type != SHT_DYNSYM || header.sh_entsize == 0)
            continue;
        Elf_Data *data = elf_getdata(section, nullptr);
        size_t count = data ? data->d_size / header.sh_entsize : 0;
        for (size_t i = 0; i < count; i++) {
            GElf_Sym symbol;
            if (!gelf_getsym(data, int(i), &symbol) || symbol.st_shndx == SHN_UNDEF)
                continue;
            const char *name = elf_strptr(elf, header.sh_link, symbol.st_name);
            if (name && strcmp(name, wanted) == 0)
                return true;
        }
    }
    return false;
}

// Why `path` is not the library of `build` it should be, or empty.
std::string _library_problem(const fs::path &path, architecture build, bool tracker) {
    std::error_code ignored;
    if (!fs::is_regular_file(path, ignored))
        return fmt::format("there is no {}", path.string());
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fmt::format("{} cannot be read ({})", path.string(), strerror(errno));
    elf_version(EV_CURRENT);
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    GElf_Ehdr header;
    std::string problem;
    bool wide = build == architecture::x86_64;
    if (!elf || elf_kind(elf) != ELF_K_ELF || !gelf_getehdr(elf, &header)) {
        problem = fmt::format("{} is not an ELF file", path.string());
    } else if (header.e_ident[EI_CLASS] != (wide ? ELFCLASS64 : ELFCLASS32) ||
               header.e_machine != (wide ? EM_X86_64 : EM_386)) {
        bool other = header.e_ident[EI_CLASS] == (wide ? ELFCLASS32 : ELFCLASS64) &&
                     header.e_machine == (wide ? EM_386 : EM_X86_64);
        problem = other ? fmt::format("{} is the {} build", path.string(),
                                      architecture_words(wide ? architecture::i386 : architecture::x86_64))
                        : fmt::format("{} is not a {} library but one of {} (ELF class {})", path.string(),
                                      architecture_words(build), elf_machine_name(header.e_machine),
                                      int(header.e_ident[EI_CLASS]));
    } else if (header.e_type != ET_DYN) {
        problem = fmt::format("{} is not a shared library", path.string());
    } else if (tracker && !_defines(elf, tracker_entry_point)) {
        problem = fmt::format("{} does not define {}: an older install's stand-in, not the tracker", path.string(),
                              tracker_entry_point);
    }
    if (elf)
        elf_end(elf);
    close(fd);
    return problem;
}

std::string _pair_problem(const fs::path &dir, architecture build) {
    std::string problem = _library_problem(dir / tracker_library, build, true);
    return problem.empty() ? _library_problem(dir / starter_library, build, false) : problem;
}

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
        if (_holds_a_pair(dir) && dir.find_first_of(_preload_separators) == std::string::npos)
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

std::string per_class_problem(const std::string &library_dir, architecture build) {
    return _pair_problem(fs::path(library_dir) / multiarch_dir(build), build);
}

std::string flat_problem(const std::string &library_dir, architecture build) {
    return _pair_problem(library_dir, build);
}

preload_choice choose_preload(const std::string &library_dir, const program_check &program, bool follow_children) {
    preload_choice choice;
    const std::vector<needed_build> &needed = program.builds;
    if (needed.empty())
        return choice;
    const needed_build *lacking = nullptr;
    std::string problem;
    for (const needed_build &n : needed) {
        if (lacking)
            break;
        problem = per_class_problem(library_dir, n.build);
        if (!problem.empty())
            lacking = &n;
    }
    if (!lacking) {
        choice.via_lib_token = true;
    } else if (needed.size() == 1 && flat_problem(library_dir, lacking->build).empty()) {
        choice.via_lib_token = false;
    } else {
        // the pair in DIR itself is worth naming only where there is one
        std::error_code ignored;
        std::string flat;
        if (needed.size() == 1 && fs::is_regular_file(fs::path(library_dir) / tracker_library, ignored))
            flat = "; " + flat_problem(library_dir, lacking->build);
        const char *words = architecture_words(lacking->build);
        std::string who = lacking->program == program.path
                              ? fmt::format("{} is a {} program", program.path, words)
                              : fmt::format("{} runs {}, a {} program", program.path, lacking->program, words);
        choice.error =
            fmt::format("{}, but {} holds no {} build of the tracker ({}{})", who, library_dir, words, problem, flat);
        return choice;
    }
    if (!follow_children)
        return choice;
    for (architecture build : architectures) {
        bool served = false;
        for (const needed_build &n : needed)
            served |= n.build == build;
        if (served)
            continue;
        const char *words = architecture_words(build);
        if (choice.via_lib_token) {
            std::string p = per_class_problem(library_dir, build);
            if (!p.empty())
                choice.warning = fmt::format("{} holds no {} build of the tracker ({}); {} programs started below "
                                             "will run untracked, with an error line of the dynamic loader each",
                                             library_dir, words, p, words);
        } else {
            choice.warning = fmt::format("LD_PRELOAD names the {} pair in {} itself ({}); {} programs started below "
                                         "will run untracked, with an error line of the dynamic loader each",
                                         architecture_words(lacking->build), library_dir, problem, words);
        }
    }
    return choice;
}

} // namespace quarrow::runner
