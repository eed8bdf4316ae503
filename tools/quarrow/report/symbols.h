// How frames read to a person: demangled C++ names and short object paths,
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

// Labels for the frames of one report_set, made once and cached: a report
// names the same few thousand frames over and over.
class frame_labels {
public:
    explicit frame_labels(const report_set &set) : _set(set), _symbols(set.frames.size()) {}

    const std::string &symbol(uint32_t frame); // demangled
    // "symbol+offset (library)", the form of one frame line in the text views
    std::string with_offset(uint32_t frame);
    // "symbol (library)", the form of a flame graph box
    std::string without_offset(uint32_t frame);

private:
    const report_set &_set;
    std::vector<std::string> _symbols;
};

// The frames of a stack for the text views, one "symbol+offset (library)"
// per line after the indent, innermost first; "(no frames)" for none.
void append_frame_lines(std::string &out, const report_set &set, frame_labels &labels, uint32_t stack,
                        std::string_view indent);

} // namespace quarrow::report
