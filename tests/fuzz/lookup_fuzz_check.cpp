// Checks of the object lookup on arbitrary files: frames of a report that
// name an object holding the input bytes are looked up as `quarrow report`
// does, and the result must keep the lookup's rules whatever the bytes:
// one warning at most for the object, no frame named when it warned, every
// named frame with an address in the object and a line only with a file,
// and frame lines that can be written.
#include "lookup_fuzz_check.h"

#include <sys/mman.h>
#include <unistd.h>

#include <fmt/format.h>

#include "frame_lookup.h"
#include "symbols.h"

using namespace quarrow::report;

namespace {

constexpr uint64_t _base = 0x10000;
// Where the seeds' functions lie, and around them.
constexpr uint64_t _offsets[] = {0x1161, 0x117a, 0x117f, 0x1000, 0x1040, 0x1100,  0x1200,    0x1300,
                                 0x2000, 0x3004, 0x10,   0x0,    0xfff,  0x1ffff, 0x7fffffff};

report_frame _frame(const std::string &path, uint64_t offset, const std::string &symbol, uint64_t symbol_offset) {
    return {path, fmt::format("{:#x}", _base), symbol, fmt::format("{:#x}", symbol_offset),
            fmt::format("{:#x}", _base + offset)};
}

std::string _check(report_set &set) {
    std::vector<std::string> warnings = look_up_frames(set, {});
    if (warnings.size() > 1)
        return fmt::format("{} warnings for one object", warnings.size());
    if (set.lookups.size() != set.frames.size())
        return "not one lookup per frame";
    frame_labels labels(set);
    for (size_t i = 0; i < set.frames.size(); i++) {
        const frame_lookup &l = set.lookups[i];
        if (!warnings.empty() && (l.found || l.object_address))
            return "a frame was looked up in an object that drew a warning";
        if (l.found && (l.function.name.empty() || !l.object_address))
            return "a frame found without a name or address";
        if (l.function.line && l.function.file.empty())
            return "a line without a file";
        if (l.inlined.size() > 4096)
            return "an endless chain of inlined calls";
        if (labels.lines(uint32_t(i)).empty())
            return "a frame with no line to show";
    }
    return "";
}

} // namespace

std::string check_lookup_input(const uint8_t *data, size_t size) {
    // an object in memory with a path to open it by, as a report names one
    int fd = memfd_create("lookup_fuzz", MFD_CLOEXEC);
    if (fd < 0)
        return "";
    std::string fault;
    if (write(fd, data, size) == ssize_t(size)) {
        std::string path = fmt::format("/proc/self/fd/{}", fd);
        // every frame at once: all must fit the object or none is used
        report_set all;
        for (uint64_t offset : _offsets)
            all.frames.push_back(_frame(path, offset, "*Unknown*", _base + offset));
        fault = _check(all);
        // alone, so that each address that fits is looked up; one also
        // with the name the seeds' exported function has
        for (size_t i = 0; fault.empty() && i < 4; i++) {
            report_set one;
            one.frames.push_back(_frame(path, _offsets[i], "*Unknown*", _base + _offsets[i]));
            if (i == 1)
                one.frames.push_back(_frame(path, _offsets[i], "fixture_exported", 0x14));
            fault = _check(one);
        }
    }
    close(fd);
    return fault;
}
