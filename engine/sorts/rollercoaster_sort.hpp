#pragma once
// Rollercoaster sort of signed slices: an in-place MSD permutation for large
// pieces (and always at the top), buffered DLSD or LSD passes for medium ones
// and comparison sorting for small ones. On the top levels every bucket is
// examined first: one already in order is left, one in reverse order is
// reversed, only the others are descended into.

#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>

#include "engine/algo/verge_sort_heuristic.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/ska_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"
#include "engine/types/engine_sort.hpp"

namespace tfs {

// Pieces up to this length are comparison-sorted below the top level.
inline constexpr std::uint64_t kRollercoasterComparisonMax = 256;
// Buffered pieces up to this length get two DLSD passes, longer ones three.
inline constexpr std::uint64_t kRollercoasterTwoPassMax = 65536;
// From this length on a piece is permuted in place rather than copied.
inline constexpr std::uint64_t kRollercoasterInPlaceMin = 128001;
// With at least this many digits left a buffered piece takes DLSD, else LSD.
inline constexpr std::uint64_t kRollercoasterDlsdMinDigits = 4;
// With 8-bit digits, bucket 128 of the top digit holds the non-negative values
// below 2^(bits - 8) when no high bits are skipped.
inline constexpr std::uint64_t kRollercoasterHandOffRadix = 8;
inline constexpr std::uint64_t kRollercoasterHandOffBucket = 128;
static_assert(kRollercoasterComparisonMax < kRollercoasterTwoPassMax &&
              kRollercoasterTwoPassMax < kRollercoasterInPlaceMin);
static_assert(kRollercoasterHandOffBucket < (std::uint64_t{1} << kRollercoasterHandOffRadix));

// How a bucket examined before descending is found.
enum class PieceOrder { ascending, descending, unsorted };

// Examines a piece of at least 2 elements with the pre-pass's right scan from
// its first position: ascending when the scan ends flat or rising at the end
// of the piece, descending when a falling scan reaches the end, else unsorted.
template <typename T>
PieceOrder examine_piece(std::span<const T> piece) {
    const RightScan scan = scan_right(piece, 0);
    if (scan.shape == RunShape::Flat) return PieceOrder::ascending;
    if (scan.e != piece.size()) return PieceOrder::unsorted;
    return is_falling_class(scan.shape) ? PieceOrder::descending : PieceOrder::ascending;
}

// Sorts a signed slice ascending, given that all its elements agree on every
// digit above p.level (top-down placement below p.offset). `depth` counts the
// recursion levels on which buckets are examined before descending; `top`
// forces the in-place path and hands bucket 128 of 8-bit digits to the
// unsigned engine_sort of the same width, on the elements' bit patterns.
template <typename T>
void rollercoaster_sort_level(std::span<T> slice, const RadixParams& p, std::uint64_t depth, bool top) {
    static_assert(Radixable<T>::is_signed, "rollercoaster sort serves the signed types");
    using U = std::make_unsigned_t<T>;
    const std::uint64_t n = slice.size();

    if (!top && n < kRollercoasterInPlaceMin) {
        if (n <= kRollercoasterComparisonMax) {
            comparison_sort(slice);
            return;
        }
        const std::uint64_t remaining = p.max_level - p.level;
        if (remaining >= kRollercoasterDlsdMinDigits) {
            const std::uint64_t passes = n <= kRollercoasterTwoPassMax ? 2 : 3;
            const RadixParams q{0, p.radix, p.level * p.radix + p.offset, passes, std::uint64_t{1} << p.radix};
            dlsd_core<T>(slice, q, passes, DlsdMode::partial);
        } else {
            // lsd_sort places its digits from bit 0 upward: cut the fixed
            // bits back to a digit boundary so its digits cover all below.
            const RadixParams q{0, p.radix, p.offset + p.level * p.radix - p.offset % p.radix, remaining,
                                std::uint64_t{1} << p.radix};
            lsd_sort<T>(slice, q);
        }
        return;
    }

    if (n == 0) return;
    const MaskShift<T> ms = msd_mask_and_shift<T>(p);
    const auto histogram = digit_histogram<T>(std::span<const T>(slice), p.bucket_count, ms.mask, ms.shift);
    PrefixSums bounds = prefix_sums(histogram);
    ska_permute<T>(slice, bounds.heads, bounds.tails, ms.mask, ms.shift);
    if (p.level + 1 >= p.max_level) return;

    RadixParams next = p;
    next.level = p.level + 1;
    const bool hand_off = top && p.radix == kRollercoasterHandOffRadix;
    for (std::uint64_t b = 0; b < p.bucket_count; ++b) {
        const std::uint64_t count = bounds.sums[b + 1] - bounds.sums[b];
        if (count < 2) continue;
        const std::span<T> piece = slice.subspan(bounds.sums[b], count);
        if (hand_off && b == kRollercoasterHandOffBucket) {
            // One bucket holds one sign only, so unsigned order of the bit
            // patterns is the signed order. T and U may alias each other.
            engine_sort<U>(std::span<U>(reinterpret_cast<U*>(piece.data()), piece.size()));
        } else if (depth == 0) {
            rollercoaster_sort_level<T>(piece, next, 0, false);
        } else {
            switch (examine_piece<T>(piece)) {
                case PieceOrder::ascending:
                    break;
                case PieceOrder::descending:
                    std::reverse(piece.begin(), piece.end());
                    break;
                case PieceOrder::unsorted:
                    rollercoaster_sort_level<T>(piece, next, depth - 1, false);
                    break;
            }
        }
    }
}

extern template void rollercoaster_sort_level<std::int32_t>(std::span<std::int32_t>, const RadixParams&,
                                                            std::uint64_t, bool);
extern template void rollercoaster_sort_level<std::int64_t>(std::span<std::int64_t>, const RadixParams&,
                                                            std::uint64_t, bool);

}  // namespace tfs
