#pragma once
// In-place MSD radix sort of 64-bit slices that picks its method per level by
// size: comparison sort, buffered msd_sort, or in-place permutation.

#include <algorithm>
#include <cstdint>
#include <span>

#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/ska_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Slices up to this size are comparison-sorted.
inline constexpr std::uint64_t kRecursiveComparisonMax = 128;
// Slices up to this size take the buffered msd_sort; above it the copy of the
// slice costs more than the in-place permutation.
inline constexpr std::uint64_t kRecursiveMsdMax = 30000;
static_assert(kRecursiveComparisonMax < kRecursiveMsdMax);
static_assert(kRecursiveComparisonMax + 1 == kMsdRecursionCutoff);

// Sorts `slice` ascending by value. All elements agree on every digit above
// p.level and on their p.offset high key bits (the top call passes level 0).
// Above kRecursiveMsdMax elements no copy of the slice is made: a level costs
// one histogram and three bucket lists.
template <typename T>
void recursive_radix_sort_level(std::span<T> slice, const RadixParams& p) {
    static_assert(Radixable<T>::bits == 64, "the recursive radix sort serves 64-bit keys");
    const std::size_t n = slice.size();
    if (n <= kRecursiveComparisonMax) {
        comparison_sort(slice);
        return;
    }
    if (n <= kRecursiveMsdMax) {
        msd_sort<T>(slice, p);
        return;
    }
    const MaskShift<T> ms = msd_mask_and_shift<T>(p);
    const std::vector<std::uint64_t> hist =
        digit_histogram<T>(std::span<const T>(slice), p.bucket_count, ms.mask, ms.shift);
    PrefixSums ps = prefix_sums(hist);
    ska_permute<T>(slice, ps.heads, ps.tails, ms.mask, ms.shift);
    // At the last digit the permutation has sorted the slice.
    if (p.level + 1 >= p.max_level) return;
    RadixParams next = p;
    next.level = p.level + 1;
    for (std::uint64_t b = 0; b < p.bucket_count; ++b) {
        const std::uint64_t size = ps.sums[b + 1] - ps.sums[b];
        if (size < 2) continue;
        recursive_radix_sort_level<T>(slice.subspan(ps.sums[b], size), next);
    }
}

extern template void recursive_radix_sort_level<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
extern template void recursive_radix_sort_level<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

}  // namespace tfs
