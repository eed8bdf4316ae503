// The private heap's size rules as a caller sees them, worked out from the
// word size alone and not from the heap's own constants, so that the tests
// built for either machine hold the heap to the same design: one header
// word per chunk, blocks aligned to two words, four words as the smallest
// chunk, 32 small bins one alignment step apart.
#ifndef QUARROW_TESTS_HEAP_SIZES_H
#define QUARROW_TESTS_HEAP_SIZES_H

#include <stddef.h>

namespace heap_sizes {

constexpr size_t kWord = sizeof(size_t);
constexpr size_t kAlign = 2 * kWord;                 // of every block
constexpr size_t kOverhead = kWord;                  // of a block inside a segment
constexpr size_t kMappedOverhead = 2 * kWord;        // of a block mapped on its own
constexpr size_t kMinChunk = 4 * kWord;              // a free chunk's four words
constexpr size_t kMinUsable = kMinChunk - kOverhead; // of a zero-byte request
constexpr size_t kSmallLimit = 32 * kAlign;          // chunks below it are small
constexpr size_t kMaxSmallRequest = kSmallLimit - kAlign - kOverhead;
constexpr size_t kMaxRequest = (size_t)0 - 4 * kMinChunk; // this and more always fails
constexpr size_t kSegmentRecordChunk = (4 * kWord + kOverhead + kAlign - 1) & ~(kAlign - 1);
constexpr size_t kTopFoot = kSegmentRecordChunk + kMinChunk; // kept past the top
constexpr size_t kMapThreshold = 0x40000;                    // chunk size mapped on its own
constexpr size_t kPage = 4096;

constexpr size_t chunk_size_for(size_t n) {
    return n < kMinChunk - kOverhead - 1 ? kMinChunk : (n + kOverhead + kAlign - 1) & ~(kAlign - 1);
}

// The mapping of a block mapped on its own: its chunk, the mapping's fence
// post, zero word and alignment slack, in whole pages.
constexpr size_t mapping_size_for(size_t n) {
    return (chunk_size_for(n) + 6 * kWord + kAlign - 1 + kPage - 1) & ~(kPage - 1);
}

// The largest request whose chunk stays below the mapping threshold.
constexpr size_t kMaxUnmappedRequest = kMapThreshold - kOverhead - kAlign;

// The examples the design gives for 32-bit x86, and their x86_64 match.
#if defined(__i386__)
static_assert(kMinChunk == 16 && kMinUsable == 12 && kMaxSmallRequest == 244 && kMaxRequest == 0xffffffc0u &&
                  kTopFoot == 40 && chunk_size_for(12) == 16 && chunk_size_for(13) == 24 &&
                  chunk_size_for(244) == 248 && chunk_size_for(245) == 256 && mapping_size_for(0x40000) == 0x41000,
              "the i386 size rules");
#elif defined(__x86_64__)
static_assert(kMinChunk == 32 && kMinUsable == 24 && kMaxSmallRequest == 488 && kMaxRequest == 0xffffffffffffff80u &&
                  kTopFoot == 80 && chunk_size_for(24) == 32 && chunk_size_for(25) == 48 &&
                  chunk_size_for(488) == 496 && chunk_size_for(489) == 512,
              "the x86_64 size rules");
#else
#error "the private heap is built for 32-bit x86 or x86_64"
#endif

} // namespace heap_sizes

#endif
