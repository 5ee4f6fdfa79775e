#pragma once
// engine_sort tiers of the unsigned types and the stretch sorters built on
// DLSD and LSD sorting. lsd_stretch_sorter also serves i32.

#include <algorithm>
#include <cstdint>
#include <span>

#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"
#include "engine/types/two_phase_sort.hpp"

namespace tfs {

// u32 slices below this length are comparison-sorted: the pre-pass and the
// radix setup do not pay off.
inline constexpr std::size_t kU32PrepassMinLength = 200;
// From this length on u32 stretches take LSD passes instead of DLSD.
inline constexpr std::size_t kU32LsdMinLength = 100000;
// A 65536-counter table pays off for u32 stretches of at least this length.
inline constexpr std::uint64_t kU32Counting16MinLength = 85000;
// u64 slices below this length are comparison-sorted.
inline constexpr std::size_t kU64PrepassMinLength = 350;
// Stretches up to this length are comparison-sorted by the stretch sorters.
inline constexpr std::size_t kStretchComparisonMax = 128;
// Key widths, in bits, that the counting shortcuts serve.
inline constexpr std::uint64_t kCounting8Bits = 8;
inline constexpr std::uint64_t kCounting16Bits = 16;
static_assert(kU32PrepassMinLength < kU32LsdMinLength);
static_assert(kU32Counting16MinLength <= kU32LsdMinLength,
              "every stretch of a long enough slice may take the 16-bit counting table");
static_assert(kStretchComparisonMax < kU32PrepassMinLength && kStretchComparisonMax < kU64PrepassMinLength);

// Sorts a stretch of a u32 or u64 slice with dlsd_sort, which chooses its own
// radix and passes from the length and returns at once on an all-zero stretch.
template <typename T>
void dlsd_stretch_sorter(std::span<T> stretch, std::uint64_t radix) {
    dlsd_sort<T>(stretch, radix);
}

// Sorts a stretch of a u32 or i32 slice: comparison sort up to 128 elements,
// else one pass for the largest key and then a counting sort when every key
// fits in one byte, or in two bytes with at least counting16_min_len
// elements, and otherwise LSD passes over the significant bytes.
template <typename T>
void lsd_stretch_sorter(std::span<T> stretch, std::uint64_t radix, std::uint64_t counting16_min_len) {
    const std::size_t n = stretch.size();
    if (n <= kStretchComparisonMax) {
        comparison_sort(stretch);
        return;
    }
    const key_t<T> largest = max_key<T>(std::span<const T>(stretch));
    const DigitLayout layout = aligned_digit_layout<T>(largest, radix);
    if (layout.max_level == 0) return;  // every key is 0: all elements are equal
    const std::uint64_t bytes = (bit_length(largest) + 7) / 8;
    if (bytes == 1) {
        counting_sort<T>(stretch, kCounting8Bits);
        return;
    }
    if (bytes == 2 && n >= counting16_min_len) {
        counting_sort<T>(stretch, kCounting16Bits);
        return;
    }
    lsd_sort<T>(stretch, RadixParams{0, radix, layout.offset, layout.max_level, std::uint64_t{1} << radix});
}

// engine_sort of u32: comparison sort below 200 elements, DLSD stretches
// below 100000, LSD stretches from there on.
inline void tiered_sort(std::span<std::uint32_t> slice) {
    if (slice.size() < kU32PrepassMinLength) {
        comparison_sort(slice);
    } else if (slice.size() < kU32LsdMinLength) {
        two_phase_sort(slice, [](std::span<std::uint32_t> s, std::uint64_t r) { dlsd_stretch_sorter(s, r); });
    } else {
        const std::uint64_t counting16_min_len = kU32Counting16MinLength;
        two_phase_sort(slice, [counting16_min_len](std::span<std::uint32_t> s, std::uint64_t r) {
            lsd_stretch_sorter(s, r, counting16_min_len);
        });
    }
}

// engine_sort of u64: comparison sort below 350 elements, DLSD stretches above.
inline void tiered_sort(std::span<std::uint64_t> slice) {
    if (slice.size() < kU64PrepassMinLength) {
        comparison_sort(slice);
    } else {
        two_phase_sort(slice, [](std::span<std::uint64_t> s, std::uint64_t r) { dlsd_stretch_sorter(s, r); });
    }
}

}  // namespace tfs
