#pragma once
// Ascending SIMD quicksort of 128-bit words (Highway's vqsort over pairs of
// 64-bit lanes, the high lane compared first). Sorts in place without heap
// memory; stays within the span and ends whatever the words are.

#include <cstdint>
#include <span>

namespace tfs::general {

// A 128-bit word: `hi` is compared first, then `lo`. Laid out as Highway's
// uint128_t (low lane first, 16-byte aligned).
struct alignas(16) Word128 {
    std::uint64_t lo;
    std::uint64_t hi;
};

// The word as one number, for the engine's comparisons (the drop-merge
// sort of nearly sorted words).
constexpr unsigned __int128 radix_key(Word128 w) noexcept {
    return static_cast<unsigned __int128>(w.hi) << 64 | w.lo;
}

void simd_sort(std::span<Word128> words) noexcept;

}  // namespace tfs::general
