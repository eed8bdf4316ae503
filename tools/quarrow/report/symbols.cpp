// Demangling, path shortening and frame lines for the readable views.
#include "symbols.h"

#include <cxxabi.h>
#include <stdlib.h>

#include <fmt/format.h>

namespace quarrow::report {

namespace {

uint64_t _pointer(const std::string &text) { return text == "(nil)" ? 0 : strtoull(text.c_str(), nullptr, 16); }

std::string _base_name(std::string_view path) {
    size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

const frame_lookup *_lookup(const report_set &set, uint32_t frame) {
    if (frame >= set.lookups.size() || !set.lookups[frame].found)
        return nullptr;
    return &set.lookups[frame];
}

} // namespace

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
    if (cached.empty()) {
        const frame_lookup *found = _lookup(_set, frame);
        cached = demangle(found ? found->function.name : _set.frames[frame].symbol);
    }
    return cached;
}

std::vector<shown_function> frame_labels::functions(uint32_t frame) {
    std::vector<shown_function> out;
    if (const frame_lookup *found = _lookup(_set, frame))
        for (const source_function &f : found->inlined)
            out.push_back({demangle(f.name), f.file, f.line, true});
    const frame_lookup *found = _lookup(_set, frame);
    out.push_back(
        {symbol(frame), found ? found->function.file : std::string(), found ? found->function.line : 0, false});
    return out;
}

uint64_t frame_labels::object_address(uint32_t frame) {
    if (frame < _set.lookups.size() && _set.lookups[frame].object_address)
        return _set.lookups[frame].object_address;
    const report_frame &f = _set.frames[frame];
    uint64_t base = _pointer(f.base), address = _pointer(f.address);
    return base && address >= base ? address - base : 0;
}

std::vector<std::string> frame_labels::lines(uint32_t frame) {
    const report_frame &f = _set.frames[frame];
    std::string library = short_library(f.library);
    std::vector<std::string> out;
    for (const shown_function &s : functions(frame)) {
        std::string text = s.inlined ? "[inlined] " : "";
        if (s.line) {
            text += fmt::format("{} ({}:{}) in {}", s.name, _base_name(s.file), s.line, library);
        } else if (s.name != "*Unknown*") {
            const frame_lookup *found = _lookup(_set, frame);
            std::string offset = found && found->from_symbol_table ? fmt::format("{:#x}", found->function_offset)
                                 : found                           ? std::string()
                                 : f.offset == "(nil)"             ? std::string("0x0")
                                                                   : f.offset;
            text += s.name + (offset.empty() || s.inlined ? "" : "+" + offset) + " in " + library;
        } else if (f.library == "*Unknown*") {
            text += "*Unknown* at " + f.address; // no object holds the address
        } else {
            uint64_t at = object_address(frame);
            text += at ? fmt::format("*Unknown* at {:#x} in {}", at, library) : "*Unknown* in " + library;
        }
        out.push_back(std::move(text));
    }
    return out;
}

std::string frame_labels::innermost(uint32_t frame) { return lines(frame).front(); }

std::string frame_labels::box(const shown_function &function, uint32_t frame) {
    return (function.inlined ? "[inlined] " : "") + function.name + " in " + short_library(_set.frames[frame].library);
}

void append_frame_lines(std::string &out, const report_set &set, frame_labels &labels, uint32_t stack,
                        std::string_view indent) {
    const report_stack &s = set.stacks[stack];
    if (s.frames.empty()) {
        out.append(indent).append("(no frames)\n");
        return;
    }
    for (uint32_t frame : s.frames)
        for (const std::string &line : labels.lines(frame))
            out.append(indent).append(line).append("\n");
}

} // namespace quarrow::report
