// Offline lookups in one object through libdwfl: see object_lookup.h.
#include "object_lookup.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <errno.h>
#include <fcntl.h>
#include <gelf.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "../elf_machine.h"

namespace quarrow::report {

struct object_file::callbacks {
    Dwfl_Callbacks table{};
    std::string path;
    char *path_pointer = nullptr;
};

namespace {

constexpr uint64_t _page = 4096; // the loader maps the first segment from its page

const char *_file_kind(mode_t mode) {
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// A file that cannot block or stream: checked before opening, and again on
// the descriptor in case the path changed in between.
int _open_regular(const std::string &path, std::string &error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = fmt::format("is {}, not read", _file_kind(st.st_mode));
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "changed into something other than a regular file while being opened";
        close(fd);
        return -1;
    }
    return fd;
}

const char *_dwfl_error() {
    const char *message = dwfl_errmsg(-1);
    return message ? message : "unknown libdwfl error";
}

const char *_string_attribute(Dwarf_Die *die, unsigned name) {
    Dwarf_Attribute attribute;
    return dwarf_formstring(dwarf_attr_integrate(die, name, &attribute));
}

// The linkage name where there is one, so C++ names demangle in full.
std::string _die_name(Dwarf_Die *die) {
    const char *name = _string_attribute(die, DW_AT_linkage_name);
    if (!name)
        name = _string_attribute(die, DW_AT_MIPS_linkage_name);
    if (!name)
        name = _string_attribute(die, DW_AT_name);
    return name ? name : "";
}

bool _unsigned_attribute(Dwarf_Die *die, unsigned name, Dwarf_Word &out) {
    Dwarf_Attribute attribute;
    return dwarf_formudata(dwarf_attr(die, name, &attribute), &out) == 0;
}

// Where an inlined call was made: its call_file and call_line.
void _call_site(Dwarf_Die *cu, Dwarf_Die *inlined, std::string &file, uint32_t &line) {
    file.clear();
    line = 0;
    Dwarf_Word index, number;
    Dwarf_Files *files;
    size_t count;
    if (_unsigned_attribute(inlined, DW_AT_call_file, index) && dwarf_getsrcfiles(cu, &files, &count) == 0 &&
        index < count) {
        const char *name = dwarf_filesrc(files, index, nullptr, nullptr);
        if (name)
            file = name;
    }
    // a line is nothing without its file (the line table may be what is damaged)
    if (!file.empty() && _unsigned_attribute(inlined, DW_AT_call_line, number) && number <= UINT32_MAX)
        line = uint32_t(number);
}

} // namespace

std::unique_ptr<object_file> object_file::open(const std::string &path, const std::string &debug_path,
                                               std::string &error) {
    int fd = _open_regular(path, error);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<object_file> object(new object_file());
    object->_callbacks = std::make_unique<callbacks>();
    callbacks &c = *object->_callbacks;
    c.path = debug_path;
    c.path_pointer = c.path.data();
    c.table.find_elf = dwfl_build_id_find_elf;
    c.table.find_debuginfo = dwfl_standard_find_debuginfo;
    c.table.section_address = dwfl_offline_section_address;
    c.table.debuginfo_path = &c.path_pointer;

    object->_dwfl = dwfl_begin(&c.table);
    if (!object->_dwfl) {
        error = _dwfl_error();
        close(fd);
        return nullptr;
    }
    dwfl_report_begin(object->_dwfl);
    // placed at 0: module addresses are then the file's own, less its bias
    object->_module = dwfl_report_elf(object->_dwfl, path.c_str(), path.c_str(), fd, 0, false);
    if (!object->_module) {
        error = fmt::format("cannot be read as ELF: {}", _dwfl_error());
        close(fd); // libdwfl takes the descriptor only on success
        return nullptr;
    }
    if (dwfl_report_end(object->_dwfl, nullptr, nullptr) != 0) {
        error = _dwfl_error();
        return nullptr;
    }

    GElf_Addr bias = 0;
    Elf *elf = dwfl_module_getelf(object->_module, &bias);
    GElf_Ehdr header;
    if (!elf || !gelf_getehdr(elf, &header)) {
        error = fmt::format("cannot be read as ELF: {}", _dwfl_error());
        return nullptr;
    }
    // the tracker's two builds: i386 and x86-64
    bool x86 = header.e_ident[EI_CLASS] == ELFCLASS32 && header.e_machine == EM_386;
    bool x86_64 = header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_machine == EM_X86_64;
    if (!x86 && !x86_64) {
        const char *bits = header.e_ident[EI_CLASS] == ELFCLASS32   ? "32-bit "
                           : header.e_ident[EI_CLASS] == ELFCLASS64 ? "64-bit "
                                                                    : "";
        error = fmt::format("is a {}{} object; only 32-bit x86 and 64-bit x86-64 objects are read", bits,
                            elf_machine_name(header.e_machine));
        return nullptr;
    }
    if (header.e_type != ET_DYN && header.e_type != ET_EXEC) {
        error = fmt::format("is not a program or shared object (ELF type {})", int(header.e_type));
        return nullptr;
    }
    object->_bias = bias;

    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) {
        error = fmt::format("has no readable program headers: {}", elf_errmsg(-1));
        return nullptr;
    }
    bool first = true;
    for (size_t i = 0; i < count; i++) {
        GElf_Phdr phdr;
        if (!gelf_getphdr(elf, int(i), &phdr) || phdr.p_type != PT_LOAD)
            continue;
        if (first)
            object->_map_start = phdr.p_vaddr & ~(_page - 1);
        first = false;
        if ((phdr.p_flags & PF_X) && phdr.p_memsz && phdr.p_vaddr + phdr.p_memsz > phdr.p_vaddr)
            object->_executable.push_back({phdr.p_vaddr, phdr.p_vaddr + phdr.p_memsz});
    }
    if (object->_executable.empty()) {
        error = "has no executable load segment";
        return nullptr;
    }

    const unsigned char *bits = nullptr;
    GElf_Addr where = 0;
    int size = dwfl_module_build_id(object->_module, &bits, &where);
    for (int i = 0; i < size; i++)
        object->_build_id += fmt::format("{:02x}", bits[i]);
    return object;
}

object_file::~object_file() {
    if (_dwfl)
        dwfl_end(_dwfl);
}

std::optional<uint64_t> object_file::object_address(uint64_t address, uint64_t base) const {
    if (address < base)
        return std::nullopt;
    uint64_t at = address - base + _map_start;
    if (at < address - base) // wrapped
        return std::nullopt;
    // a return address can sit just past the last call of a segment
    for (const segment &s : _executable)
        if (at > s.begin && at <= s.end)
            return at;
    return std::nullopt;
}

void object_file::_load_symbols() {
    _symbols_loaded = true;
    int count = dwfl_module_getsymtab(_module);
    for (int i = 1; i < count; i++) {
        GElf_Sym sym;
        GElf_Addr address;
        const char *name = dwfl_module_getsym_info(_module, i, &sym, &address, nullptr, nullptr, nullptr);
        int type = GELF_ST_TYPE(sym.st_info);
        if (!name || !*name || sym.st_shndx == SHN_UNDEF ||
            (type != STT_FUNC && type != STT_GNU_IFUNC && type != STT_NOTYPE))
            continue;
        uint64_t begin = address - _bias;
        _symbols.push_back({begin, begin + sym.st_size, name, GELF_ST_BIND(sym.st_info) != STB_LOCAL});
    }
    std::sort(_symbols.begin(), _symbols.end(), [](const symbol &a, const symbol &b) { return a.begin < b.begin; });
    _reach.resize(_symbols.size());
    for (size_t i = 0; i < _symbols.size(); i++)
        _reach[i] = std::max(_symbols[i].end, i ? _reach[i - 1] : 0);
}

// The symbol whose range holds the address: the one starting last, a
// global one among those starting there.
const object_file::symbol *object_file::_symbol_at(uint64_t address) const {
    auto after = std::upper_bound(_symbols.begin(), _symbols.end(), address,
                                  [](uint64_t a, const symbol &s) { return a < s.begin; });
    const symbol *best = nullptr;
    for (size_t i = size_t(after - _symbols.begin()); i-- > 0 && _reach[i] > address;) {
        const symbol &s = _symbols[i];
        if (s.end <= address)
            continue;
        if (best && best->begin != s.begin)
            break;
        if (!best || (s.global && !best->global))
            best = &s;
    }
    return best;
}

std::unordered_map<std::string, std::vector<uint64_t>>
object_file::symbol_starts(const std::vector<std::string> &names) {
    if (!_symbols_loaded)
        _load_symbols();
    std::unordered_map<std::string, std::vector<uint64_t>> found;
    std::unordered_set<std::string_view> wanted(names.begin(), names.end());
    for (const symbol &s : _symbols) {
        // .symtab spells versioned definitions "name@VERSION" or "name@@VERSION"
        std::string_view plain(s.name);
        plain = plain.substr(0, plain.find('@'));
        if (wanted.count(plain))
            found[std::string(plain)].push_back(s.begin);
    }
    return found;
}

frame_lookup object_file::look_up(uint64_t object_address) {
    frame_lookup result;
    result.object_address = object_address;
    if (object_address == 0)
        return result;
    // the call sits before the return address, and may be the last
    // instruction of its function
    Dwarf_Addr pc = object_address - 1 + _bias;

    if (!_symbols_loaded)
        _load_symbols();
    if (const symbol *found = _symbol_at(object_address - 1)) {
        std::string_view name(found->name);
        result.function.name = name.substr(0, name.find('@')); // no "@@GLIBC_2.34" of .symtab's versioned names
        result.function_offset = object_address - found->begin;
        result.from_symbol_table = true;
    }

    Dwarf_Addr dwarf_bias = 0;
    Dwarf_Die *cu = dwfl_module_addrdie(_module, pc, &dwarf_bias);
    std::string file;
    uint32_t line = 0;
    if (Dwfl_Line *source = dwfl_module_getsrc(_module, pc)) {
        int number = 0;
        const char *name = dwfl_lineinfo(source, nullptr, &number, nullptr, nullptr, nullptr);
        if (name && number > 0) {
            file = name;
            line = uint32_t(number);
        }
    }
    if (cu) {
        Dwarf_Die *scopes = nullptr;
        int n = dwarf_getscopes(cu, pc - dwarf_bias, &scopes);
        for (int i = 0; i < n; i++) {
            int tag = dwarf_tag(&scopes[i]);
            if (tag == DW_TAG_inlined_subroutine) {
                std::string name = _die_name(&scopes[i]);
                result.inlined.push_back({name.empty() ? "*Unknown*" : name, file, line});
                _call_site(cu, &scopes[i], file, line); // the next function out is where it was called
            } else if (tag == DW_TAG_subprogram) {
                if (result.function.name.empty())
                    result.function.name = _die_name(&scopes[i]);
                break;
            }
        }
        free(scopes);
    }
    if (!result.function.name.empty()) {
        result.function.file = file;
        result.function.line = line;
    }
    result.found = !result.function.name.empty();
    return result;
}

} // namespace quarrow::report
