#pragma once
// engine_sort tiers of the signed types and the stretch sorter built on
// rollercoaster sort.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/rollercoaster_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"
#include "engine/types/two_phase_sort.hpp"
#include "engine/types/unsigned_integer.hpp"

namespace tfs {

// i32 slices below this length are comparison-sorted.
inline constexpr std::size_t kI32PrepassMinLength = 900;
// From this length on i32 stretches take rollercoaster sort instead of LSD.
inline constexpr std::size_t kI32RollercoasterMinLength = 2000000;
// A 65536-counter table pays off for i32 stretches of at least this length.
inline constexpr std::uint64_t kI32Counting16MinLength = 100000;
// i64 slices up to 7000 elements are comparison-sorted.
inline constexpr std::size_t kI64PrepassMinLength = 7001;
// The i64 rollercoaster stretch sorter always uses 8-bit digits.
inline constexpr std::uint64_t kI64RollercoasterRadix = 8;
// Levels at the top of rollercoaster sort whose buckets are examined first.
inline constexpr std::uint64_t kRollercoasterExaminedLevels = 2;
static_assert(kI32PrepassMinLength < kI32RollercoasterMinLength);
static_assert(kStretchComparisonMax < kI32PrepassMinLength && kStretchComparisonMax < kI64PrepassMinLength);

// Sorts a stretch of an i32 or i64 slice: comparison sort up to 128
// elements, else one pass for the largest key; digits start at its highest
// set bit. With counting16_min_len (32-bit keys only) a stretch whose keys fit
// in one byte, or in two bytes with at least that many elements, is
// counting-sorted. Everything else goes to rollercoaster sort with the top
// two levels examined.
template <typename T>
void rollercoaster_stretch_sorter(std::span<T> stretch, std::uint64_t radix,
                                  std::optional<std::uint64_t> counting16_min_len) {
    const std::size_t n = stretch.size();
    if (n <= kStretchComparisonMax) {
        comparison_sort(stretch);
        return;
    }
    const key_t<T> largest = max_key<T>(std::span<const T>(stretch));
    const DigitLayout layout = digit_layout<T>(largest, radix);
    if (layout.max_level == 0) return;  // every key is 0: all elements are the minimum
    if constexpr (Radixable<T>::bits == 32) {
        if (counting16_min_len) {
            const std::uint64_t bytes = (bit_length(largest) + 7) / 8;
            if (bytes == 1) {
                counting_sort<T>(stretch, kCounting8Bits);
                return;
            }
            if (bytes == 2 && n >= *counting16_min_len) {
                counting_sort<T>(stretch, kCounting16Bits);
                return;
            }
        }
    } else {
        check(!counting16_min_len, "counting sort serves 32-bit keys only");
    }
    const RadixParams p{0, radix, layout.offset, layout.max_level, std::uint64_t{1} << radix};
    rollercoaster_sort_level<T>(stretch, p, kRollercoasterExaminedLevels, true);
}

// engine_sort of i32: comparison sort below 900 elements, LSD stretches below
// 2000000, rollercoaster stretches from there on; both with the counting
// shortcut from 100000 elements.
inline void tiered_sort(std::span<std::int32_t> slice) {
    const std::uint64_t counting16_min_len = kI32Counting16MinLength;
    if (slice.size() < kI32PrepassMinLength) {
        comparison_sort(slice);
    } else if (slice.size() < kI32RollercoasterMinLength) {
        two_phase_sort(slice, [counting16_min_len](std::span<std::int32_t> s, std::uint64_t r) {
            lsd_stretch_sorter(s, r, counting16_min_len);
        });
    } else {
        two_phase_sort(slice, [counting16_min_len](std::span<std::int32_t> s, std::uint64_t r) {
            rollercoaster_stretch_sorter(s, r, std::optional<std::uint64_t>(counting16_min_len));
        });
    }
}

// engine_sort of i64: comparison sort up to 7000 elements, rollercoaster
// stretches above, without a counting shortcut.
inline void tiered_sort(std::span<std::int64_t> slice) {
    if (slice.size() < kI64PrepassMinLength) {
        comparison_sort(slice);
    } else {
        two_phase_sort(slice, [](std::span<std::int64_t> s, std::uint64_t) {
            rollercoaster_stretch_sorter(s, kI64RollercoasterRadix, std::nullopt);
        });
    }
}

}  // namespace tfs
