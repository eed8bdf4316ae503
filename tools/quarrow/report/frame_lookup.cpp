// The offline lookup of every frame: see frame_lookup.h.
#include "frame_lookup.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <unordered_map>

#include <fmt/format.h>

#include "object_lookup.h"

namespace quarrow::report {

namespace {

// "%p" text: "(nil)" or 0x and hex digits (the parser checked the form).
uint64_t _pointer(const std::string &text) { return text == "(nil)" ? 0 : strtoull(text.c_str(), nullptr, 16); }

// Why a file is not the object that ran, or empty when every frame fits.
std::string _mismatch(const report_set &set, object_file &object, const std::vector<uint32_t> &frames,
                      std::vector<uint64_t> &addresses) {
    std::vector<std::string> names;
    for (uint32_t id : frames) {
        const report_frame &f = set.frames[id];
        auto at = object.object_address(_pointer(f.address), _pointer(f.base));
        if (!at)
            return fmt::format("the address {} (load base {}) is outside its executable segments", f.address, f.base);
        addresses.push_back(*at);
        if (f.symbol != "*Unknown*")
            names.push_back(f.symbol);
    }
    // the report's names came from the running object's dynamic symbols
    auto starts = object.symbol_starts(names);
    for (size_t i = 0; i < frames.size(); i++) {
        const report_frame &f = set.frames[frames[i]];
        if (f.symbol == "*Unknown*")
            continue;
        uint64_t start = addresses[i] - _pointer(f.offset);
        auto found = starts.find(f.symbol);
        bool matches = false;
        if (found != starts.end())
            for (uint64_t s : found->second)
                matches |= s == start;
        if (!matches)
            return found == starts.end() ? fmt::format("it has no symbol {}, which the report names", f.symbol)
                                         : fmt::format("its symbol {} does not start where the report's {}+{} does",
                                                       f.symbol, f.symbol, f.offset);
    }
    return "";
}

// Where to open an object the report names. A relative path is the
// loader's, relative to the tracked program's working directory, which is
// where its report was written.
std::string _object_path(const report_set &set, const lookup_options &options, const std::string &path) {
    if (!options.sysroot.empty())
        return options.sysroot + (path[0] == '/' ? "" : "/") + path;
    if (path[0] == '/')
        return path;
    for (const std::string &file : set.files) {
        if (file == "-")
            continue;
        size_t slash = file.rfind('/');
        std::string candidate = (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) + "/" + path;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0)
            return candidate;
    }
    return path;
}

} // namespace

std::string debug_search_path(const lookup_options &options) {
    // '+': a debug file found by name must match the object's checksum
    std::string path = "+:.debug";
    if (!options.sysroot.empty())
        path += ":" + options.sysroot + "/usr/lib/debug";
    for (const std::string &dir : options.debug_dirs)
        path += ":" + dir;
    path += ":/usr/lib/debug";
    return path;
}

std::vector<std::string> look_up_frames(report_set &set, const lookup_options &options) {
    // offline means offline: no debug-file server is asked
    unsetenv("DEBUGINFOD_URLS");
    std::vector<std::string> warnings;
    set.lookups.assign(set.frames.size(), frame_lookup{});
    std::map<std::string, std::vector<uint32_t>> objects; // by path, so warnings come in a stable order
    for (uint32_t id = 0; id < set.frames.size(); id++) {
        const report_frame &f = set.frames[id];
        if (f.library.empty() || f.library == "*Unknown*" || f.base == "(nil)")
            continue;
        objects[f.library].push_back(id);
    }
    std::string search = debug_search_path(options);
    for (auto &[path, frames] : objects) {
        std::string file = _object_path(set, options, path);
        size_t count = frames.size();
        auto keep = [&](const std::string &why) {
            warnings.push_back(fmt::format("{}: {}; its {} {} the report's names", file, why, count,
                                           count == 1 ? "frame keeps" : "frames keep"));
        };
        std::string error;
        std::unique_ptr<object_file> object = object_file::open(file, search, error);
        if (!object) {
            keep(error);
            continue;
        }
        std::vector<uint64_t> addresses;
        std::string mismatch = _mismatch(set, *object, frames, addresses);
        if (!mismatch.empty()) {
            keep(fmt::format("not the object that ran ({}{})", mismatch,
                             object->build_id().empty() ? "" : ", its build-id is " + object->build_id()));
            continue;
        }
        // frames of several runs share an object address
        std::unordered_map<uint64_t, frame_lookup> cache;
        for (size_t i = 0; i < count; i++) {
            auto known = cache.find(addresses[i]);
            if (known == cache.end())
                known = cache.emplace(addresses[i], object->look_up(addresses[i])).first;
            set.lookups[frames[i]] = known->second;
        }
    }
    return warnings;
}

} // namespace quarrow::report
