#pragma once
// Most-significant-digit radix sort with a buffered, stable distribution per
// level; small buckets finish with the standard comparison sort.

#include <algorithm>
#include <cstdint>
#include <span>

#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Buckets this large recurse on the next digit; smaller ones are
// comparison-sorted, which beats another radix level below this size.
inline constexpr std::uint64_t kMsdRecursionCutoff = 129;
// Buckets below this size are already sorted.
inline constexpr std::uint64_t kMsdTrivialBucket = 2;
static_assert(kMsdTrivialBucket < kMsdRecursionCutoff);

// Sorts `slice` ascending by the top-down digits p.level .. p.max_level - 1
// (digits start below p.offset). Keys must agree on every bit above the digit
// at p.level. Memory per level: one buffer of the slice's length (released
// before the buckets are visited), the histogram and its prefix sums, all
// allocated while every element is in the slice.
template <typename T>
void msd_sort(std::span<T> slice, const RadixParams& p) {
    const std::size_t n = slice.size();
    if (n < kMsdTrivialBucket) return;
    const MaskShift<T> ms = msd_mask_and_shift<T>(p);
    PrefixSums ps;
    {
        // The histogram counts the copy that the scatter reads, so the
        // bucket bounds hold whatever another thread writes into the slice.
        auto buffer = make_scratch<T>(n);
        std::copy(slice.begin(), slice.end(), buffer.get());
        const std::span<const T> copy(buffer.get(), n);
        ps = prefix_sums(digit_histogram<T>(copy, p.bucket_count, ms.mask, ms.shift));
        scatter_counted<T>(copy, slice, ps.heads, ms.mask, ms.shift);
    }
    // The distribution by the last digit completes the sort.
    if (p.level + 1 >= p.max_level) return;
    RadixParams next = p;
    next.level = p.level + 1;
    for (std::uint64_t b = 0; b < p.bucket_count; ++b) {
        const std::uint64_t size = ps.sums[b + 1] - ps.sums[b];
        if (size < kMsdTrivialBucket) continue;
        const std::span<T> bucket = slice.subspan(ps.sums[b], size);
        if (size >= kMsdRecursionCutoff) {
            msd_sort<T>(bucket, next);
        } else {
            comparison_sort(bucket);
        }
    }
}

extern template void msd_sort<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&);
extern template void msd_sort<std::int32_t>(std::span<std::int32_t>, const RadixParams&);
extern template void msd_sort<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
extern template void msd_sort<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

}  // namespace tfs
