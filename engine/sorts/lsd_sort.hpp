#pragma once
// Least-significant-digit radix sort of a whole slice between the slice and
// one scratch buffer, skipping every level whose digit is the same in all keys.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Stable scatter passes from level `top` - 1 down to p.level between `slice`
// and `scratch` (same length), least significant first, skipping every level
// whose histogram has fewer than two non-empty buckets; the result ends in
// `slice` (one copy back after an odd number of passes). `mask_and_shift`
// places the digits of a level (top-down or bottom-up).
template <typename T, typename MaskAndShift>
void scatter_passes(std::span<T> slice, std::span<T> scratch, const HistogramSet& hists,
                    const RadixParams& p, std::uint64_t top, MaskAndShift mask_and_shift) {
    // Heads counted from the end of the destination (see scatter_from_end),
    // and their starting values for the check after a pass into the buffer.
    std::vector<std::uint64_t> heads(p.bucket_count);
    std::vector<std::uint64_t> starts(p.bucket_count);
    bool in_buffer = false;
    for (std::uint64_t level = top; level-- > p.level;) {
        const std::span<const std::uint64_t> hist = hists.level(level);
        if (!has_two_buckets(hist)) continue;
        RadixParams at = p;
        at.level = level;
        const MaskShift<T> ms = mask_and_shift(at);
        bucket_heads(hist, heads, slice.size());
        if (in_buffer) {
            scatter_from_end<T>(scratch, slice, heads, ms.mask, ms.shift);
        } else {
            // The histograms were counted before the first pass; a key that
            // changed since then would leave a buffer position unwritten,
            // and its stale contents would reach the slice. (A position
            // left in the slice keeps an element of the slice.)
            std::copy(heads.begin(), heads.end(), starts.begin());
            scatter_from_end<T>(slice, scratch, heads, ms.mask, ms.shift);
            check_scatter_filled(starts, heads, 0);
        }
        in_buffer = !in_buffer;
    }
    if (in_buffer) std::copy(scratch.begin(), scratch.end(), slice.begin());
}

// Sorts `slice` ascending by key, stably, over the bottom-up digits of levels
// p.max_level - 1 down to p.level. Bits above the top digit must be equal in
// all keys. p.radix >= 8 so that full_histograms covers every level; p.offset
// is not used. Memory: one buffer of n elements, the histograms and one heads
// array, all allocated before the first element moves.
template <typename T>
void lsd_sort(std::span<T> slice, const RadixParams& p) {
    const std::size_t n = slice.size();
    if (n < 2 || p.max_level == 0) return;
    auto buffer = make_scratch<T>(n);
    const HistogramSet hists = full_histograms<T>(std::span<const T>(slice), p);
    scatter_passes<T>(slice, std::span<T>(buffer.get(), n), hists, p, p.max_level,
                      lsd_mask_and_shift<T>);
}

extern template void lsd_sort<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&);
extern template void lsd_sort<std::int32_t>(std::span<std::int32_t>, const RadixParams&);
extern template void lsd_sort<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
extern template void lsd_sort<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

}  // namespace tfs
