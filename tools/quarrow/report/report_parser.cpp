// The report file reader: turns the writer's lines into runs, reports and
// interned stacks (report_model.h).
//
// A file is a sequence of runs, each opened by its start line, each holding
// reports of the form TIMESTAMP, MAX_PENDING, DISCARDED_EVENTS, blocks, END.
// A block is recognised by its type line: the STACK lines before it and the
// counter lines after it belong to it.
//
// Anything that does not fit is a warning with file and line, and the parse
// goes on. What the damage could have changed is left out: a block with a
// bad frame or counter, a report with no END line. Kept numbers are therefore
// the file's own numbers; the few checks on them that can fail (freed above
// allocated) only warn.
#include "report_parser.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <unordered_map>

#include <fmt/format.h>

namespace quarrow::report {

namespace {

constexpr std::string_view _start_prefix = "Started log at ";
constexpr size_t _max_line = 1 << 20;

// Counter keys, as bits of a block's "seen" mask.
enum : unsigned {
    _total_allocated = 1u << 0,
    _number_of_allocations = 1u << 1,
    _total_freed = 1u << 2,
    _number_of_frees = 1u << 3,
    _unmatched_frees = 1u << 4,
    _unmatched_reallocs = 1u << 5,
};

struct _counter_key {
    std::string_view key; // with its colon
    unsigned bit;
};
constexpr _counter_key _counter_keys[] = {
    {"TOTAL_ALLOCATED:", _total_allocated}, {"NUMBER_OF_ALLOCATIONS:", _number_of_allocations},
    {"TOTAL_FREED:", _total_freed},         {"NUMBER_OF_FREES:", _number_of_frees},
    {"UNMATCHED_FREES:", _unmatched_frees}, {"UNMATCHED_REALLOCSS:", _unmatched_reallocs},
};

unsigned _counters_of(caller_type type) {
    switch (type) {
    case caller_type::allocator:
    case caller_type::jni_allocator:
        return _total_allocated | _number_of_allocations | _total_freed | _number_of_frees;
    case caller_type::unmatched_freer:
    case caller_type::unmatched_jni_freer:
        return _unmatched_frees;
    default:
        return _unmatched_reallocs;
    }
}

std::string_view _counter_name(unsigned bit) {
    for (const auto &k : _counter_keys)
        if (k.bit == bit)
            return k.key.substr(0, k.key.size() - 1);
    return "?";
}

bool _starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// "%llu" text: digits only, and it must fit.
bool _parse_u64(std::string_view text, uint64_t &out) {
    if (text.empty())
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        unsigned digit = unsigned(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

// "%d" text.
bool _parse_int(std::string_view text, int &out) {
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude;
    if (!_parse_u64(negative ? text.substr(1) : text, magnitude) || magnitude > (negative ? 2147483648u : 2147483647u))
        return false;
    out = negative ? int(-int64_t(magnitude)) : int(magnitude);
    return true;
}

// "%p" text as glibc prints it: "(nil)" or 0x and hex digits.
bool _is_pointer(std::string_view text) {
    if (text == "(nil)")
        return true;
    if (text.size() < 3 || text.size() > 18 || text[0] != '0' || text[1] != 'x')
        return false;
    for (char c : text.substr(2))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

// The part of a STACK line after "STACK_<i>:", i.e. "%s(%p):%s+%p (%p)".
// Paths may hold any character, symbols from the loader hold no "):", '+' or
// " (", so the line is split from the right.
const char *_parse_frame(std::string_view text, report_frame &out) {
    if (text.empty() || text.back() != ')')
        return "does not end with \"(address)\"";
    size_t open = text.rfind(" (");
    if (open == std::string_view::npos)
        return "has no \" (address)\"";
    std::string_view address = text.substr(open + 2, text.size() - open - 3);
    if (!_is_pointer(address))
        return "has no pointer as its address";
    std::string_view head = text.substr(0, open);
    size_t plus = head.rfind('+');
    if (plus == std::string_view::npos)
        return "has no \"+offset\"";
    std::string_view offset = head.substr(plus + 1);
    if (!_is_pointer(offset))
        return "has no pointer as its offset";
    head = head.substr(0, plus);
    // head is "library(base):symbol". The last '(' before a "):" is searched
    // for only below the one found before, so a line of many "):" is split in
    // linear time, not quadratic.
    size_t last_paren = std::string_view::npos;
    bool searched = false;
    for (size_t close = head.rfind("):"); close != std::string_view::npos;
         close = close == 0 ? std::string_view::npos : head.rfind("):", close - 1)) {
        if (!searched || (last_paren != std::string_view::npos && last_paren > close)) {
            last_paren = head.rfind('(', close);
            searched = true;
        }
        // the base is "(nil)" itself, or "0x..." after the last '('
        size_t paren = close >= 6 && head.substr(close - 6, 6) == "((nil)" ? close - 6 : last_paren;
        if (paren == std::string_view::npos)
            break;
        std::string_view base = head.substr(paren + 1, close - paren - 1);
        if (!_is_pointer(base))
            continue;
        out.library.assign(head.substr(0, paren));
        out.base.assign(base);
        out.symbol.assign(head.substr(close + 2));
        out.offset.assign(offset);
        out.address.assign(address);
        return nullptr;
    }
    return "has no \"library(base):\"";
}

constexpr const char *_weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t _days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = unsigned(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

} // namespace

std::optional<int64_t> parse_report_time(std::string_view t) {
    // "Www Mmm dd hh:mm:ss yyyy", the day padded with a space
    if (t.size() < 24 || t[3] != ' ' || t[7] != ' ' || t[10] != ' ' || t[13] != ':' || t[16] != ':' || t[19] != ' ')
        return std::nullopt;
    bool weekday_ok = false;
    for (const char *w : _weekdays)
        weekday_ok |= t.substr(0, 3) == w;
    int month = -1;
    for (int i = 0; i < 12; i++)
        if (t.substr(4, 3) == _months[i])
            month = i + 1;
    auto two = [&](size_t at, bool space_pad, int &out) {
        char a = t[at], b = t[at + 1];
        if (!(b >= '0' && b <= '9'))
            return false;
        if (a == ' ' && space_pad)
            out = b - '0';
        else if (a >= '0' && a <= '9')
            out = (a - '0') * 10 + (b - '0');
        else
            return false;
        return true;
    };
    int day, hour, minute, second, year;
    if (!weekday_ok || month < 0 || !two(8, true, day) || !two(11, false, hour) || !two(14, false, minute) ||
        !two(17, false, second) || !_parse_int(t.substr(20), year))
        return std::nullopt;
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return _days_from_civil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 + second;
}

const char *caller_type_name(caller_type type) {
    static const char *const names[] = {"ALLOCATOR",           "JNI_ALLOCATOR",       "UNMATCHED_FREER",
                                        "UNMATCHED_REALLOCER", "UNMATCHED_JNI_FREER", "UNMATCHED_JNI_REALLOCER"};
    return names[int(type)];
}

const char *unmatched_counter_key(caller_type type) {
    return _counters_of(type) == _unmatched_frees ? "UNMATCHED_FREES" : "UNMATCHED_REALLOCSS";
}

struct report_parser::state {
    report_set &set;
    size_t file = 0;
    uint64_t line = 0;

    enum class where { outside, header, body } at = where::outside;
    bool have_run = false; // of this file
    report current;        // the report being read
    uint64_t serial = 0;   // of the current report, across the whole parse

    // STACK lines waiting for their type line: their text (each followed by
    // '\n') and where each starts.
    std::string key;
    struct pending_frame {
        uint64_t line;
        uint32_t begin, end;
    };
    std::vector<pending_frame> pending;
    bool pending_damaged = false;

    // The last block of `current`, while its counter lines are read.
    bool block_open = false;
    bool block_damaged = false;
    caller_type block_type = caller_type::allocator;
    uint64_t block_line = 0;
    unsigned block_seen = 0;

    std::unordered_map<std::string, uint32_t> stack_ids; // frame texts + type
    std::unordered_map<std::string, uint32_t> frame_ids;
    std::vector<uint64_t> stack_serial; // serial of the last report that listed the stack

    explicit state(report_set &s) : set(s) {}

    run &current_run() { return set.runs.back(); }

    void warn(uint64_t at, std::string message) {
        if (set.warnings.size() < report_set::warning_limit)
            set.warnings.push_back({file, at, std::move(message)});
        set.warning_count++;
    }

    void start_run(uint64_t at) {
        set.runs.emplace_back();
        run &r = current_run();
        r.file = file;
        r.line = at;
        have_run = true;
    }

    void on_start_line(std::string_view text, bool terminated) {
        abandon_report(fmt::format("a new run starts at line {}", line));
        start_run(line);
        run &r = current_run();
        std::string_view rest = text.substr(_start_prefix.size());
        constexpr std::string_view period_key = ", write period = ", depth_key = " seconds, stack depth = ";
        size_t p = rest.rfind(period_key);
        size_t d = p == std::string_view::npos ? p : rest.find(depth_key, p);
        int period = 0, depth = 0;
        if (!terminated) {
            // even a line that reads well may have lost digits at its end
            r.started_at.assign(p == std::string_view::npos ? rest : rest.substr(0, p));
            warn(line, "the start line is cut short: its period and depth are unknown");
        } else if (p == std::string_view::npos || d == std::string_view::npos ||
                   !_parse_int(rest.substr(p + period_key.size(), d - p - period_key.size()), period) ||
                   !_parse_int(rest.substr(d + depth_key.size()), depth)) {
            r.started_at.assign(p == std::string_view::npos ? rest : rest.substr(0, p));
            warn(line, "malformed start line: no period and depth can be read from it");
        } else {
            r.started_at.assign(rest.substr(0, p));
            r.write_period_seconds = period;
            r.stack_depth = depth;
        }
        r.start_time = parse_report_time(r.started_at);
    }

    void begin_report(std::string_view text) {
        abandon_report(fmt::format("another report begins at line {}", line));
        if (!have_run) {
            warn(line, "a report before any \"Started log at\" line: period and depth are unknown");
            start_run(0);
        }
        size_t expected = have_run && !current_run().reports.empty() ? current_run().reports.back().blocks.size() : 0;
        current = report{};
        current.blocks.reserve(expected);
        current.line = line;
        current.timestamp.assign(text.substr(10));
        current.time = parse_report_time(current.timestamp);
        serial++;
        at = where::header;
        pending.clear();
        key.clear();
        pending_damaged = false;
        block_open = false;
    }

    // A report that will get no END line: leave it out.
    void abandon_report(const std::string &why) {
        if (at == where::outside)
            return;
        std::string reason =
            fmt::format("the report begun at line {} has no \"END\" line: {}; left out", current.line, why);
        warn(current.line, reason);
        current_run().skipped.push_back({current.line, std::move(reason)});
        current.blocks.clear();
        at = where::outside;
        block_open = false;
        pending.clear();
        key.clear();
    }

    void on_header(std::string_view text, std::optional<uint64_t> &field, size_t key_size) {
        uint64_t value;
        std::string_view name = text.substr(0, key_size - 1);
        if (at != where::header) {
            warn(line, fmt::format("{} line inside the blocks of a report; ignored", name));
            damage_next();
        } else if (field) {
            warn(line, fmt::format("a second {} line in one report; ignored", name));
        } else if (!_parse_u64(text.substr(key_size), value)) {
            warn(line, fmt::format("{} is not an unsigned number", name));
        } else {
            field = value;
            if (&field == &current.discarded_events && value != 0) {
                run &r = current_run();
                if (r.reports_with_discards++ == 0)
                    r.first_discard_line = line;
                // held at the largest count rather than wrapped: a sum that wrapped
                // to 0 would pass the run as complete
                r.discarded_events = value > UINT64_MAX - r.discarded_events ? UINT64_MAX : r.discarded_events + value;
            }
        }
    }

    void enter_body() {
        if (at == where::header) {
            at = where::body;
            if (!current.max_pending)
                warn(current.line, "the report has no MAX_PENDING line");
            if (!current.discarded_events)
                warn(current.line, "the report has no DISCARDED_EVENTS line; discarded events may go unnoticed");
        }
    }

    // An unreadable line that may have been part of the next block.
    void damage_next() {
        if (block_open && block_seen != _counters_of(block_type))
            block_damaged = true;
        else
            pending_damaged = true;
    }

    void close_block() {
        if (!block_open)
            return;
        block_open = false;
        unsigned want = _counters_of(block_type);
        if (!block_damaged && block_seen != want) {
            std::string missing;
            for (unsigned bit = 1; bit <= _unmatched_reallocs; bit <<= 1)
                if ((want & bit) && !(block_seen & bit))
                    missing += fmt::format("{}{}", missing.empty() ? "" : ", ", _counter_name(bit));
            warn(block_line,
                 fmt::format("the TYPE:{} block lacks {}; left out", caller_type_name(block_type), missing));
            block_damaged = true;
        }
        if (block_damaged) {
            current.blocks.pop_back();
            return;
        }
        caller_block &b = current.blocks.back();
        stack_serial[b.stack] = serial;
        if (is_allocating(block_type)) {
            if (b.total_freed > b.total_allocated)
                warn(block_line, fmt::format("TOTAL_FREED {} exceeds TOTAL_ALLOCATED {}: live bytes are negative",
                                             b.total_freed, b.total_allocated));
            if (b.number_of_frees > b.number_of_allocations)
                warn(block_line,
                     fmt::format("NUMBER_OF_FREES {} exceeds NUMBER_OF_ALLOCATIONS {}: live blocks are negative",
                                 b.number_of_frees, b.number_of_allocations));
        }
    }

    void drop_pending(const char *why) {
        if (!pending.empty())
            warn(pending.front().line,
                 fmt::format("STACK lines {}-{} {}; left out", pending.front().line, pending.back().line, why));
        pending.clear();
        key.clear();
        pending_damaged = false;
    }

    void on_stack_line(std::string_view text) {
        enter_body();
        close_block();
        size_t colon = text.find(':');
        uint64_t index;
        if (colon == std::string_view::npos || !_parse_u64(text.substr(6, colon - 6), index)) {
            warn(line, "malformed STACK line: no frame number");
            pending_damaged = true;
            return;
        }
        if (index == 0) {
            if (!pending.empty() && !pending_damaged)
                drop_pending("have no TYPE line");
            pending.clear();
            key.clear();
            pending_damaged = false;
        } else if (index != pending.size() && !pending_damaged) {
            warn(line, fmt::format("STACK_{} where STACK_{} was due: frames are missing", index, pending.size()));
            pending_damaged = true;
        }
        auto begin = uint32_t(key.size());
        key.append(text.substr(colon + 1));
        key.push_back('\n');
        pending.push_back({line, begin, uint32_t(key.size() - 1)});
    }

    // The stack of the pending frames and the given type, interned; false
    // when a frame cannot be read.
    bool intern_stack(caller_type type, uint32_t &id) {
        key.push_back(char('0' + int(type)));
        auto found = stack_ids.find(key);
        if (found != stack_ids.end()) {
            id = found->second;
            return true;
        }
        report_stack stack{type, {}};
        for (const pending_frame &p : pending) {
            std::string text = key.substr(p.begin, p.end - p.begin);
            auto known = frame_ids.find(text);
            if (known == frame_ids.end()) {
                report_frame frame;
                if (const char *error = _parse_frame(text, frame)) {
                    warn(p.line, fmt::format("malformed STACK line: it {}", error));
                    return false;
                }
                known = frame_ids.emplace(std::move(text), uint32_t(set.frames.size())).first;
                set.frames.push_back(std::move(frame));
            }
            stack.frames.push_back(known->second);
        }
        id = uint32_t(set.stacks.size());
        set.stacks.push_back(std::move(stack));
        stack_serial.push_back(0);
        stack_ids.emplace(key, id);
        return true;
    }

    void on_type_line(std::string_view text) {
        enter_body();
        close_block();
        std::string_view name = text.substr(5);
        int type = -1;
        for (int t = 0; t < caller_type_count; t++)
            if (name == caller_type_name(caller_type(t)))
                type = t;
        block_open = true;
        block_damaged = true; // until proven otherwise
        block_line = line;
        block_seen = 0;
        block_type = caller_type(type < 0 ? 0 : type);
        current.blocks.push_back(caller_block{});
        if (type < 0) {
            warn(line, fmt::format("unknown caller type \"{}\"; its block is left out", name));
        } else if (pending_damaged) {
            warn(line, fmt::format("the TYPE:{} block has damaged STACK lines; left out", name));
        } else if (uint32_t id; intern_stack(block_type, id)) {
            if (stack_serial[id] == serial) {
                warn(line,
                     fmt::format("the TYPE:{} block repeats a stack already listed in this report; left out", name));
            } else {
                current.blocks.back().stack = id;
                block_damaged = false;
            }
        }
        pending.clear();
        key.clear();
        pending_damaged = false;
    }

    void on_counter_line(std::string_view text, const _counter_key &k) {
        std::string_view name = k.key.substr(0, k.key.size() - 1);
        if (!block_open) {
            warn(line, fmt::format("a {} line outside any block; ignored", name));
            return;
        }
        if (block_damaged) // already warned about
            return;
        if (!(_counters_of(block_type) & k.bit)) {
            warn(line, fmt::format("{} does not belong to a TYPE:{} block; the block is left out", name,
                                   caller_type_name(block_type)));
            block_damaged = true;
            return;
        }
        if (block_seen & k.bit) {
            warn(line, fmt::format("a second {} line in one block; the block is left out", name));
            block_damaged = true;
            return;
        }
        block_seen |= k.bit;
        uint64_t value;
        if (!_parse_u64(text.substr(k.key.size()), value)) {
            warn(line, fmt::format("{} is not an unsigned 64-bit number; the block is left out", name));
            block_damaged = true;
            return;
        }
        caller_block &b = current.blocks.back();
        switch (k.bit) {
        case _total_allocated:
        case _unmatched_frees:
        case _unmatched_reallocs:
            b.total_allocated = value;
            break;
        case _number_of_allocations:
            b.number_of_allocations = value;
            break;
        case _total_freed:
            b.total_freed = value;
            break;
        default:
            b.number_of_frees = value;
            break;
        }
    }

    void on_end() {
        enter_body();
        close_block();
        drop_pending("have no TYPE line");
        run &r = current_run();
        if (!r.reports.empty()) {
            size_t missing = 0;
            for (const caller_block &b : r.reports.back().blocks)
                missing += stack_serial[b.stack] != serial;
            if (missing)
                warn(current.line,
                     fmt::format("{} caller record{} of the previous report (line {}) {} missing from "
                                 "this one: the report is partial",
                                 missing, missing == 1 ? "" : "s", r.reports.back().line, missing == 1 ? "is" : "are"));
        }
        r.reports.push_back(std::move(current));
        current = report{};
        at = where::outside;
    }

    void on_line(std::string_view text, bool terminated) {
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        if (_starts_with(text, _start_prefix)) {
            on_start_line(text, terminated);
            return;
        }
        // A run that starts in the middle of a line: the previous process
        // died while writing that line.
        size_t start = text.find(_start_prefix);
        if (start != std::string_view::npos) {
            if (at != where::outside)
                abandon_report(fmt::format("its line {} is cut short by the start of a new run", line));
            else
                warn(line, "a line is cut short by the start of a new run");
            on_start_line(text.substr(start), terminated);
            return;
        }
        if (!terminated && text != "END") {
            constexpr std::string_view timestamp = "TIMESTAMP:";
            if (_starts_with(text, timestamp))
                begin_report(text);
            else if (at == where::outside && _starts_with(timestamp, text))
                begin_report(timestamp); // cut inside the key itself
            if (at != where::outside)
                abandon_report(fmt::format("the file ends in the middle of its line {}, as when the process stopped "
                                           "while writing it",
                                           line));
            else
                warn(line, "the file ends in the middle of a line; ignored");
            return;
        }
        if (_starts_with(text, "TIMESTAMP:")) {
            begin_report(text);
            return;
        }
        if (at == where::outside) {
            warn(line, text.empty() ? "an empty line outside any report; ignored"
                                    : "a line outside any report (no TIMESTAMP line before it); ignored");
            return;
        }
        if (_starts_with(text, "STACK_")) {
            on_stack_line(text);
        } else if (_starts_with(text, "TYPE:")) {
            on_type_line(text);
        } else if (text == "END") {
            on_end();
        } else if (_starts_with(text, "MAX_PENDING:")) {
            on_header(text, current.max_pending, 12);
        } else if (_starts_with(text, "DISCARDED_EVENTS:")) {
            on_header(text, current.discarded_events, 17);
        } else {
            for (const _counter_key &k : _counter_keys) {
                if (_starts_with(text, k.key)) {
                    on_counter_line(text, k);
                    return;
                }
            }
            warn(line, text.empty() ? "an empty line inside a report" : "an unrecognised line inside a report");
            damage_next();
        }
    }
};

report_parser::report_parser(report_set &set) : _state(std::make_unique<state>(set)) {}
report_parser::~report_parser() = default;

void report_parser::begin_file(const std::string &name) {
    state &s = *_state;
    s.file = s.set.files.size();
    s.set.files.push_back(name);
    s.line = 0;
    s.at = state::where::outside;
    s.have_run = false;
}

void report_parser::feed_line(std::string_view line, bool terminated) {
    _state->line++;
    _state->on_line(line, terminated);
}

void report_parser::feed_overlong_line() {
    state &s = *_state;
    s.line++;
    s.warn(s.line, fmt::format("a line longer than {} bytes; ignored", _max_line));
    if (s.at != state::where::outside)
        s.damage_next();
}

void report_parser::end_file() {
    state &s = *_state;
    if (s.at != state::where::outside)
        s.abandon_report("the file ends first, as when the process stopped while writing it");
}

void report_parser::parse_text(std::string_view text, const std::string &name) {
    begin_file(name);
    while (!text.empty()) {
        size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            feed_line(text, false);
            break;
        }
        feed_line(text.substr(0, newline), true);
        text.remove_prefix(newline + 1);
    }
    end_file();
}

bool report_parser::parse_file(const std::string &path) {
    begin_file(path);
    FILE *in = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (!in) {
        _state->warn(0, fmt::format("cannot open: {}", strerror(errno)));
        return false;
    }
    // Big reads and lines cut out in place: no allocation per line.
    std::vector<char> buffer(1 << 20);
    size_t held = 0;       // bytes in buffer
    bool skipping = false; // inside an overlong line
    bool ok = true;
    for (;;) {
        size_t got = fread(buffer.data() + held, 1, buffer.size() - held, in);
        bool eof = got == 0;
        if (eof && ferror(in)) {
            _state->warn(_state->line + 1, fmt::format("read error: {}", strerror(errno)));
            ok = false;
        }
        held += got;
        size_t pos = 0;
        while (pos < held) {
            const char *begin = buffer.data() + pos;
            const char *newline = static_cast<const char *>(memchr(begin, '\n', held - pos));
            if (!newline)
                break;
            if (skipping)
                skipping = false;
            else
                feed_line(std::string_view(begin, size_t(newline - begin)), true);
            pos = size_t(newline - buffer.data()) + 1;
        }
        memmove(buffer.data(), buffer.data() + pos, held - pos);
        held -= pos;
        if (eof) {
            if (held && !skipping)
                feed_line(std::string_view(buffer.data(), held), false);
            break;
        }
        if (held > _max_line) {
            if (!skipping)
                feed_overlong_line();
            skipping = true;
            held = 0;
        } else if (held == buffer.size()) {
            buffer.resize(buffer.size() * 2);
        }
    }
    if (in != stdin)
        fclose(in);
    end_file();
    return ok;
}

report_set parse_report_files(const std::vector<std::string> &paths) {
    report_set set;
    report_parser parser(set);
    for (const std::string &path : paths)
        parser.parse_file(path);
    return set;
}

} // namespace quarrow::report
