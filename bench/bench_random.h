// The benchmarks' random numbers: deterministic per seed, and cheap on i386
// (32-bit operations only), so the generator does not weigh on what is timed.
#pragma once

#include <stdint.h>

namespace bench {

// Spreads a seed into well-mixed 64-bit words.
inline uint64_t splitmix64(uint64_t &x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// xorshift128 (Marsaglia).
struct Rng {
    uint32_t x, y, z, w;
    explicit Rng(uint64_t seed) {
        uint64_t s = seed;
        uint64_t a = splitmix64(s), b = splitmix64(s);
        x = uint32_t(a);
        y = uint32_t(a >> 32);
        z = uint32_t(b);
        w = uint32_t(b >> 32);
        if ((x | y | z | w) == 0) // the one state it never leaves
            w = 1;
    }
    uint32_t next() {
        uint32_t t = x ^ (x << 11);
        x = y;
        y = z;
        z = w;
        w = w ^ (w >> 19) ^ t ^ (t >> 8);
        return w;
    }
    // Uniform in [0, n).
    uint32_t below(uint32_t n) { return uint32_t((uint64_t(next()) * n) >> 32); }
};

} // namespace bench
