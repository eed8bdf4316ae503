// Demangling and path shortening for the readable views.
#include "symbols.h"

#include <cxxabi.h>
#include <stdlib.h>

namespace quarrow::report {

std::string demangle(std::string_view symbol) {
    if (symbol.substr(0, 2) != "_Z")
        return std::string(symbol);
    std::string name(symbol);
    int status = 0;
    char *readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !readable)
        return name;
    std::string result(readable);
    free(readable);
    return result;
}

std::string short_library(std::string_view path) {
    if (path.empty())
        return "?";
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || slash + 1 == path.size())
        return std::string(path);
    return std::string(path.substr(slash + 1));
}

const std::string &frame_labels::symbol(uint32_t frame) {
    std::string &cached = _symbols[frame];
    if (cached.empty())
        cached = demangle(_set.frames[frame].symbol);
    return cached;
}

std::string frame_labels::with_offset(uint32_t frame) {
    const report_frame &f = _set.frames[frame];
    // the writer prints a zero offset as "(nil)"
    const std::string &offset = f.offset == "(nil)" ? std::string("0x0") : f.offset;
    return symbol(frame) + "+" + offset + " (" + short_library(f.library) + ")";
}

std::string frame_labels::without_offset(uint32_t frame) {
    return symbol(frame) + " (" + short_library(_set.frames[frame].library) + ")";
}

void append_frame_lines(std::string &out, const report_set &set, frame_labels &labels, uint32_t stack,
                        std::string_view indent) {
    const report_stack &s = set.stacks[stack];
    if (s.frames.empty()) {
        out.append(indent).append("(no frames)\n");
        return;
    }
    for (uint32_t frame : s.frames)
        out.append(indent).append(labels.with_offset(frame)).append("\n");
}

} // namespace quarrow::report
