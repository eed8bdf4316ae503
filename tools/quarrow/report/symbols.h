// How frames read to a person: demangled C++ names, short object paths and,
// where the offline lookup found them, source lines and inlined calls;
// shared by the text, growth, diff and HTML views.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "report_model.h"

namespace quarrow::report {

// The readable form of a symbol: C++ names demangled, others as they are.
std::string demangle(std::string_view symbol);

// The file name of an object path ("/usr/lib/libc.so.6" -> "libc.so.6");
// "*Unknown*" stays, an empty path (the loader gave none) reads "?".
std::string short_library(std::string_view path);

// One function of a frame as shown: the frame's own, or one inlined into it.
struct shown_function {
    std::string name; // demangled
    std::string file; // as the debug information gives it; empty when unknown
    uint32_t line = 0;
    bool inlined = false;
};

// Labels for the frames of one report_set, made once and cached: a report
// names the same few thousand frames over and over.
class frame_labels {
public:
    explicit frame_labels(const report_set &set) : _set(set), _symbols(set.frames.size()) {}

    // The frame's own function: the lookup's where it found one, else the
    // report's name (demangled).
    const std::string &symbol(uint32_t frame);
    // The functions at a frame, innermost first: the inlined calls, then
    // the frame's own function.
    std::vector<shown_function> functions(uint32_t frame);
    // One line per function of the frame, innermost first, in the form of
    // the text views: "function (file.c:123) in libc.so.6", with
    // "[inlined] " before inlined calls; without a source line
    // "function+0x1a in libc.so.6"; without a name "*Unknown* at 0x1a2b in
    // libc.so.6" (the address in the object).
    std::vector<std::string> lines(uint32_t frame);
    // The innermost of those lines.
    std::string innermost(uint32_t frame);
    // "function in library", the form of a flame graph box.
    std::string box(const shown_function &function, uint32_t frame);
    // The address in the object: from the lookup, else address minus base;
    // 0 when neither is known.
    uint64_t object_address(uint32_t frame);

private:
    const report_set &_set;
    std::vector<std::string> _symbols;
};

// The frames of a stack for the text views, one line per function after the
// indent (see frame_labels::lines), innermost first; "(no frames)" for none.
void append_frame_lines(std::string &out, const report_set &set, frame_labels &labels, uint32_t stack,
                        std::string_view indent);

} // namespace quarrow::report
