// Command-line numbers for the benchmarks: a whole number in a range, in any
// base strtoull reads, with nothing after it.
#pragma once

#include <stdlib.h>

namespace bench {

inline bool parse_count(const char *s, unsigned long lo, unsigned long hi, unsigned long &out) {
    if (s == nullptr || *s == '\0')
        return false;
    char *end = nullptr;
    unsigned long long v = strtoull(s, &end, 0);
    if (*end != '\0' || v < lo || v > hi)
        return false;
    out = (unsigned long)v;
    return true;
}

} // namespace bench
