// Reading the tracker's report text back in tests: one report's statistics
// and blocks, and the time stamps masked for golden comparisons.
#ifndef QUARROW_TESTS_REPORT_TEXT_H
#define QUARROW_TESTS_REPORT_TEXT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

using Counters = std::map<std::string, uint64_t>;

struct Block {
    std::vector<std::string> frames;  // the STACK lines as written
    std::vector<uintptr_t> addresses; // the raw return address of each
    std::string type;                 // the word after "TYPE:"
    Counters counters;
};

struct Report {
    uint32_t max_pending = 0;
    uint32_t discarded = 0;
    std::vector<Block> blocks;
    bool complete = false; // "END" seen
};

inline std::string read_stream(FILE *f) {
    fflush(f);
    rewind(f);
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    return text;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Parses the report that starts at line `first` (after any start line); sets
// `next` to the line after its END.
inline Report parse_report_at(const std::vector<std::string> &lines, size_t first, size_t *next = nullptr) {
    Report r;
    Block pending;
    size_t i = first;
    if (i < lines.size() && lines[i].rfind("Started log at ", 0) == 0)
        i++;
    for (; i < lines.size(); i++) {
        const std::string &line = lines[i];
        size_t colon = line.find(':');
        std::string key = line.substr(0, colon), value = colon == std::string::npos ? "" : line.substr(colon + 1);
        if (line == "END") {
            r.complete = true;
            i++;
            break;
        } else if (key == "TIMESTAMP") {
        } else if (key == "MAX_PENDING") {
            r.max_pending = (uint32_t)strtoul(value.c_str(), nullptr, 10);
        } else if (key == "DISCARDED_EVENTS") {
            r.discarded = (uint32_t)strtoul(value.c_str(), nullptr, 10);
        } else if (key.rfind("STACK_", 0) == 0) {
            pending.frames.push_back(line);
            size_t open = line.rfind(" (");
            pending.addresses.push_back((uintptr_t)strtoull(line.c_str() + open + 2, nullptr, 16));
        } else if (key == "TYPE") {
            pending.type = value;
            r.blocks.push_back(pending);
            pending = Block();
        } else if (!r.blocks.empty()) {
            r.blocks.back().counters[key] = strtoull(value.c_str(), nullptr, 10);
        }
    }
    if (next != nullptr)
        *next = i;
    return r;
}

inline Report parse_report(const std::string &text) { return parse_report_at(split_lines(text), 0); }

// Replaces the time of every TIMESTAMP and start line with "<time>".
inline std::string mask_timestamps(const std::string &text) {
    std::string out;
    for (const std::string &line : split_lines(text)) {
        if (line.rfind("TIMESTAMP:", 0) == 0) {
            out += "TIMESTAMP:<time>\n";
        } else if (line.rfind("Started log at ", 0) == 0 && line.find(", write period") != std::string::npos) {
            out += "Started log at <time>" + line.substr(line.find(", write period")) + "\n";
        } else {
            out += line + "\n";
        }
    }
    return out;
}

#endif
