// One object file read offline with elfutils' libdwfl: its load segments,
// its symbol tables and, where there is debug information (in the file,
// through .gnu_debuglink or under a .build-id directory), its line tables
// and inlined calls.
//
// Only regular files are opened: a path naming a device, a FIFO or a
// directory is refused before anything reads it. Everything else that can
// be wrong with a file (cut short, not ELF, another machine, damaged DWARF)
// is libdwfl's to notice; a lookup that fails just finds nothing.
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "report_model.h"

struct Dwfl;
struct Dwfl_Module;

namespace quarrow::report {

class object_file {
public:
    // Opens `path` for lookups. `debug_path` is libdwfl's search string for
    // separate debug files. Returns null with `error` set when the file is
    // not a readable x86 object, 32- or 64-bit.
    static std::unique_ptr<object_file> open(const std::string &path, const std::string &debug_path,
                                             std::string &error);
    ~object_file();
    object_file(const object_file &) = delete;
    object_file &operator=(const object_file &) = delete;

    // A run-time return address in the object's own terms, given the load
    // base the report printed; nothing when it does not fall inside an
    // executable segment of this file (so this file is not the one that ran).
    std::optional<uint64_t> object_address(uint64_t address, uint64_t base) const;

    // Where the symbols with these names start, in the object's terms, from
    // one pass over its symbol table (a name can have several).
    std::unordered_map<std::string, std::vector<uint64_t>> symbol_starts(const std::vector<std::string> &names);

    // The function, source line and inlined calls of a return address in
    // the object's terms. `found` is false when not even a symbol holds it.
    frame_lookup look_up(uint64_t object_address);

    // The build-id as hex, empty when the file has none.
    const std::string &build_id() const { return _build_id; }

private:
    object_file() = default;

    struct segment {
        uint64_t begin, end;
    };
    // A code symbol, in the object's terms; the name lives in libelf's data.
    struct symbol {
        uint64_t begin, end;
        const char *name;
        bool global;
    };
    // libdwfl searches its symbol table linearly on every lookup, which
    // costs seconds on a VM's 58,000 symbols: one sorted copy, made once.
    void _load_symbols();
    const symbol *_symbol_at(uint64_t address) const;
    std::vector<symbol> _symbols; // by begin
    std::vector<uint64_t> _reach; // the largest end among _symbols[0..i]
    bool _symbols_loaded = false;
    Dwfl *_dwfl = nullptr;
    Dwfl_Module *_module = nullptr;
    uint64_t _bias = 0;      // module address minus object address
    uint64_t _map_start = 0; // the page where the first load segment starts: the load base's counterpart
    std::vector<segment> _executable;
    std::string _build_id;
    // libdwfl keeps pointers to its callbacks and to the search string
    struct callbacks;
    std::unique_ptr<callbacks> _callbacks;
};

} // namespace quarrow::report
