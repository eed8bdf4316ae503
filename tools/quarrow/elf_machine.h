// The names of ELF machines as messages give them, for both subcommands: a
// program or object of another machine is refused by its name.
#pragma once

#include <elf.h>

#include <string>

#include <fmt/format.h>

namespace quarrow {

inline std::string elf_machine_name(unsigned machine) {
    switch (machine) {
    case EM_386:
        return "x86";
    case EM_X86_64:
        return "x86-64";
    case EM_ARM:
        return "ARM";
    case EM_AARCH64:
        return "AArch64";
    case EM_RISCV:
        return "RISC-V";
    case EM_PPC:
        return "PowerPC";
    case EM_PPC64:
        return "PowerPC64";
    case EM_MIPS:
        return "MIPS";
    case EM_S390:
        return "S/390";
    default:
        return fmt::format("machine-{}", machine);
    }
}

} // namespace quarrow
