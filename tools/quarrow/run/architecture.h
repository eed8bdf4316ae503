// The two builds of the tracker: one per x86 ELF class. A program runs with
// the build of its own class; the loader finds it through $LIB, which it
// expands to the multiarch directory of that class.
#pragma once

namespace quarrow::runner {

enum class architecture { i386, x86_64 };

constexpr architecture architectures[] = {architecture::i386, architecture::x86_64};

// As messages name a program's kind: "32-bit x86", "64-bit x86-64".
constexpr const char *architecture_words(architecture a) {
    return a == architecture::i386 ? "32-bit x86" : "64-bit x86-64";
}

// Where $LIB leads each class's loader inside a library directory.
constexpr const char *multiarch_dir(architecture a) {
    return a == architecture::i386 ? "lib/i386-linux-gnu" : "lib/x86_64-linux-gnu";
}

} // namespace quarrow::runner
