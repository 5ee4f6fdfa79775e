#pragma once
// Diverting LSD sort: a few LSD passes over the top digits only, chosen from
// the slice length, then an insertion walk that repairs the rest locally and
// diverts badly disordered groups of equal prefix to a sort suited to their
// size. When the passes cover every significant bit it is a plain LSD sort.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Radix candidates of the pass chooser, in bits.
inline constexpr std::uint64_t kDlsdRadixCandidates[] = {7, 8, 9};
// A candidate expecting more than this many elements per bucket gets one more pass.
inline constexpr double kDlsdMaxBucketSize = 1.0;
// Expected bucket size small enough to prefer a cheaper radix with the same passes.
inline constexpr double kDlsdCheapRadixBucketSize = 0.1;
// Expected bucket size of the best candidate above which the second one is taken.
inline constexpr double kDlsdSecondChoiceBucketSize = 0.35;
// Slices below this length are comparison-sorted.
inline constexpr std::uint64_t kDlsdMinLength = 129;
// Diverted groups below this length are comparison-sorted.
inline constexpr std::uint64_t kDlsdRangeComparisonMax = 251;
// Diverted groups of at least this length go to lsd_sort.
inline constexpr std::uint64_t kDlsdRangeLsdMin = 3001;
// Digit width of the sorts that finish diverted groups.
inline constexpr std::uint64_t kDlsdRangeRadix = 8;
static_assert(kDlsdCheapRadixBucketSize < kDlsdSecondChoiceBucketSize &&
              kDlsdSecondChoiceBucketSize < kDlsdMaxBucketSize);
static_assert(kDlsdRangeComparisonMax < kDlsdRangeLsdMin);

struct RadixChoice {
    std::uint64_t radix;
    std::uint64_t passes;
};

// Radix (7, 8 or 9) and number of passes for a slice of n elements; depends
// on n only. Each candidate radix r gets the fewest passes that bring the
// expected bucket size n / 2^(r * passes) to at most 1; the candidates are
// ranked by passes, then bucket size, then radix.
inline RadixChoice dlsd_choose_radix(std::uint64_t n) {
    struct Candidate {
        std::uint64_t passes;
        double size;
        std::uint64_t radix;
    };
    const double length = static_cast<double>(n);
    std::array<Candidate, std::size(kDlsdRadixCandidates)> candidates;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::uint64_t r = kDlsdRadixCandidates[i];
        const double buckets = std::ldexp(1.0, static_cast<int>(r));
        const double estimate = std::ceil(std::log2(length / buckets) / static_cast<double>(r));
        std::uint64_t passes = estimate > 0.0 ? static_cast<std::uint64_t>(estimate) : 0;
        double size = length / std::pow(buckets, static_cast<double>(passes));
        if (size > kDlsdMaxBucketSize) {
            ++passes;
            size = length / std::pow(buckets, static_cast<double>(passes));
        }
        check(!std::isnan(size), "radix candidate bucket size is not a number");
        candidates[i] = {passes, size, r};
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.passes != b.passes) return a.passes < b.passes;
        if (a.size != b.size) return a.size < b.size;
        return a.radix < b.radix;
    });
    const Candidate& c0 = candidates[0];
    const Candidate& c1 = candidates[1];
    const Candidate& c2 = candidates[2];
    if (c0.passes == c2.passes && c2.size <= kDlsdCheapRadixBucketSize) return {c2.radix, c0.passes};
    if (c0.passes == c1.passes && c1.size <= kDlsdCheapRadixBucketSize) return {c1.radix, c1.passes};
    if (c0.size > kDlsdSecondChoiceBucketSize) return {c1.radix, c1.passes};
    return {c0.radix, c0.passes};
}

// Partial: `passes` top-down passes over the digits below p.offset, then the
// fix-up walk and the range stage. Full: every bottom-up level is sorted.
enum class DlsdMode { partial, full };

namespace detail {

// Sorts one group diverted by the fix-up walk. sorted_bits is the number of
// top key bits equal across the group.
template <typename T>
void dlsd_sort_range(std::span<T> range, std::uint64_t sorted_bits) {
    constexpr std::uint64_t bits = Radixable<T>::bits;
    const std::uint64_t size = range.size();
    if (size < kDlsdRangeComparisonMax) {
        comparison_sort(range);
        return;
    }
    const std::uint64_t levels = (bits - sorted_bits + kDlsdRangeRadix - 1) / kDlsdRangeRadix;
    const std::uint64_t buckets = std::uint64_t(1) << kDlsdRangeRadix;
    const RadixParams lsd{0, kDlsdRangeRadix, sorted_bits & ~std::uint64_t(7), levels, buckets};
    const RadixParams msd{0, kDlsdRangeRadix, sorted_bits, levels, buckets};
    if constexpr (bits == 32) {
        if (size >= kDlsdRangeLsdMin) {
            lsd_sort<T>(range, lsd);
        } else {
            msd_sort<T>(range, msd);
        }
    } else {
        // With fewer than 32 sorted bits more than four 8-bit levels remain;
        // the recursion then stops early in small buckets where lsd_sort
        // would make every pass over the whole group.
        if (sorted_bits >= 32 && size >= kDlsdRangeLsdMin) {
            lsd_sort<T>(range, lsd);
        } else {
            recursive_radix_sort_level<T>(range, msd);
        }
    }
}

}  // namespace detail

// Partial mode: p = {level 0, radix, offset = high bits equal in every key,
// max_level = passes, 2^radix}; the slice is sorted by top-down passes over
// the radix * passes bits below offset and finished by the fix-up walk and
// the range stage. Full mode: p uses the bottom-up placement and sorts all
// p.max_level levels (radix >= 8 or max_level within full_histograms' reach).
// Memory: one element buffer and the histograms, released before the walk.
template <typename T>
void dlsd_core(std::span<T> slice, const RadixParams& p, std::uint64_t passes, DlsdMode mode) {
    constexpr std::uint64_t bits = Radixable<T>::bits;
    const std::size_t n = slice.size();
    if (n < 2) return;
    {
        auto buffer = make_scratch<T>(n);
        const std::span<T> scratch(buffer.get(), n);
        const HistogramSet hists = mode == DlsdMode::partial
                                       ? partial_histograms<T>(std::span<const T>(slice), p, passes)
                                       : full_histograms<T>(std::span<const T>(slice), p);
        if (mode == DlsdMode::partial)
            scatter_passes<T>(slice, scratch, hists, p, hists.levels, msd_mask_and_shift<T>);
        else
            scatter_passes<T>(slice, scratch, hists, p, hists.levels, lsd_mask_and_shift<T>);
    }
    if (mode == DlsdMode::full) return;
    // The passes covered every significant bit.
    if (p.offset <= bits && bits - p.offset < p.radix * passes) return;

    const std::vector<SortRange> ranges = dlsd_fixup<T>(slice, msd_prefix_mask<T>(p, passes));
    const std::uint64_t sorted_bits = p.radix * passes + p.offset;
    check(sorted_bits <= bits, "assertion failed: bits >= offset");
    for (const SortRange& r : ranges) {
        detail::dlsd_sort_range<T>(slice.subspan(r.start, r.end - r.start), sorted_bits);
    }
}

// Sorts `slice` ascending. `radix` is the caller's digit width (8): full mode
// uses the larger of it and the chosen radix. Exists for u32 and u64.
template <typename T>
void dlsd_sort(std::span<T> slice, std::uint64_t radix) {
    constexpr std::uint64_t bits = Radixable<T>::bits;
    const std::size_t n = slice.size();
    if (n < kDlsdMinLength) {
        comparison_sort(slice);
        return;
    }
    const RadixChoice choice = dlsd_choose_radix(n);
    const key_t<T> largest = max_key<T>(std::span<const T>(slice));
    const std::uint64_t b = bit_length(largest);
    const DigitLayout aligned = aligned_digit_layout<T>(largest, radix);
    if (aligned.max_level == 0) return;
    const std::uint64_t levels = (b + choice.radix - 1) / choice.radix;
    if (choice.passes < levels) {
        const RadixParams p{0, choice.radix, bits - b, choice.passes, std::uint64_t(1) << choice.radix};
        dlsd_core<T>(slice, p, choice.passes, DlsdMode::partial);
    } else if (choice.radix > radix) {
        const RadixParams p{0, choice.radix, bits - b, levels, std::uint64_t(1) << choice.radix};
        dlsd_core<T>(slice, p, choice.passes, DlsdMode::full);
    } else {
        const RadixParams p{0, radix, aligned.offset, aligned.max_level, std::uint64_t(1) << radix};
        dlsd_core<T>(slice, p, choice.passes, DlsdMode::full);
    }
}

extern template void dlsd_core<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&, std::uint64_t, DlsdMode);
extern template void dlsd_core<std::int32_t>(std::span<std::int32_t>, const RadixParams&, std::uint64_t, DlsdMode);
extern template void dlsd_core<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&, std::uint64_t, DlsdMode);
extern template void dlsd_core<std::int64_t>(std::span<std::int64_t>, const RadixParams&, std::uint64_t, DlsdMode);
extern template void dlsd_sort<std::uint32_t>(std::span<std::uint32_t>, std::uint64_t);
extern template void dlsd_sort<std::uint64_t>(std::span<std::uint64_t>, std::uint64_t);

}  // namespace tfs
