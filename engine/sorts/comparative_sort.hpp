#pragma once
// The comparison fallbacks of the radix sorts: the standard comparison sort
// run on a private copy of a small piece, and the insertion walk that
// finishes a slice already ordered by the high bits of its keys: it inserts
// where the disorder is local and hands back, as ranges, the groups of equal
// high bits that turn out to be badly out of order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Pieces of up to this many bytes are copied to the stack for comparison
// sorting; every piece the radix sorts leave fits, and so do the smallest
// tiers of u32, u64 and i32.
inline constexpr std::size_t kComparisonStackBytes = 4096;

// Sorts `slice` ascending with the standard comparison sort, on a private
// copy. The standard sort's unguarded loops rely on the comparisons staying
// consistent; run on the lent array, a value written by another thread
// meanwhile could send them past the ends. The copy reads every element once
// and the sort never sees the array. Larger pieces copy to a heap buffer,
// allocated before anything is written.
template <typename T>
void comparison_sort(std::span<T> slice) {
    const std::size_t n = slice.size();
    if (n < 2) return;
    constexpr std::size_t kStackElements = kComparisonStackBytes / sizeof(T);
    if (n <= kStackElements) {
        T local[kStackElements];  // no zeroing: only the first n are used, all written
        std::copy(slice.begin(), slice.end(), local);
        std::sort(local, local + n);
        std::copy(local, local + n, slice.begin());
        return;
    }
    const auto buffer = make_scratch<T>(n);
    std::copy(slice.begin(), slice.end(), buffer.get());
    std::sort(buffer.get(), buffer.get() + n);
    std::copy(buffer.get(), buffer.get() + n, slice.begin());
}

// Out-of-order elements of one group before the walk looks for the group's
// bounds; below this, insertion is cheaper than a second sort.
inline constexpr std::uint8_t kFixupDivertCount = 33;
// First probe distance of the bound searches.
inline constexpr std::uint64_t kFixupFirstProbe = 32;
// First gallop gap after the first probe; each further gap doubles.
inline constexpr std::uint64_t kFixupFirstGap = 64;
// A group is diverted only when at least this many of its positions lie at or
// after the element that triggered the search.
inline constexpr std::uint64_t kFixupMinDivertedTail = 33;
// Insertions into one group on ordered input: kFixupDivertCount before the
// group search, fewer than kFixupMinDivertedTail after it. Each moves an
// element by less than the group's size, so the walk moves elements at most
// this many times the slice length in all; more means the slice changed
// under the walk.
inline constexpr std::uint64_t kFixupMaxInsertsPerGroup = kFixupDivertCount + kFixupMinDivertedTail - 1;
static_assert(kFixupFirstProbe + 1 == kFixupDivertCount);
static_assert(kFixupFirstGap == 2 * kFixupFirstProbe);

inline constexpr const char* kFixupOverBudget =
    "fix-up walk moved more elements than an ordered slice needs (the array changed during the sort)";

// A group of positions start .. end - 1 left unsorted for another algorithm.
struct SortRange {
    std::uint64_t start;
    std::uint64_t end;
};

namespace detail {

// Moves the element at i left past every greater element (they share its
// group, so it never leaves it). Returns how many places it moved.
template <typename T>
inline std::uint64_t insert_left(T* data, std::uint64_t i) {
    const T x = data[i];
    const std::uint64_t from = i;
    while (i > 0 && data[i - 1] > x) {
        data[i] = data[i - 1];
        --i;
    }
    data[i] = x;
    return from - i;
}

}  // namespace detail

// Finishes `slice` (n >= 2), whose groups radix_key(e) & group_mask are
// non-decreasing along it. Returns ascending, disjoint ranges, each holding
// exactly one whole group in no particular order; everything outside the
// ranges is ascending and ordered correctly against every range, so sorting
// each range in place completes the sort. Allocates only the range list.
template <typename T>
std::vector<SortRange> dlsd_fixup(std::span<T> slice, key_t<T> group_mask) {
    using K = key_t<T>;
    T* data = slice.data();
    const std::uint64_t n = slice.size();
    std::vector<SortRange> ranges;
    if (n < 2) return ranges;
    auto group = [data, group_mask](std::uint64_t pos) -> K { return radix_key(data[pos]) & group_mask; };

    // The walk inserts as long as it finds elements out of order; a budget
    // that ordered input never exhausts keeps it linear whatever another
    // thread writes into the slice meanwhile.
    const std::uint64_t budget = kFixupMaxInsertsPerGroup * n;
    std::uint64_t moves = 0;

    K previous = group(0);
    std::uint8_t counter = 0;
    std::uint64_t i = 1;
    while (i < n) {
        if (!(data[i] < data[i - 1])) {
            ++i;
            continue;
        }
        const K g = group(i);
        counter = g == previous ? std::uint8_t(counter + 1) : std::uint8_t(1);
        moves += detail::insert_left(data, i);
        if (moves > budget) [[unlikely]]
            fail(kFixupOverBudget);
        if (counter < kFixupDivertCount) {
            previous = g;
            ++i;
            continue;
        }

        // End of the group: first position after i outside it, or n.
        std::uint64_t end;
        {
            std::uint64_t inside = i;
            std::uint64_t probe = std::min(i + kFixupFirstProbe, n - 1);
            std::uint64_t gap = kFixupFirstGap;
            bool reached_end = false;
            while (group(probe) == g) {
                if (probe == n - 1) {
                    reached_end = true;
                    break;
                }
                inside = probe;
                probe = n - 1 - probe <= gap ? n - 1 : probe + gap;
                gap *= 2;
            }
            if (reached_end) {
                end = n;
            } else {
                std::uint64_t outside = probe;
                while (outside - inside > 1) {
                    const std::uint64_t mid = inside + (outside - inside) / 2;
                    if (group(mid) == g) {
                        inside = mid;
                    } else {
                        outside = mid;
                    }
                }
                end = outside;
            }
        }

        if (end - i < kFixupMinDivertedTail) {
            // The element at `end` starts a later group and is not smaller
            // than anything before it.
            for (std::uint64_t j = i + 1; j < end; ++j) {
                if (data[j] < data[j - 1]) moves += detail::insert_left(data, j);
            }
            if (moves > budget) [[unlikely]]
                fail(kFixupOverBudget);
            previous = g;
            i = end + 1;
            continue;
        }

        // Start of the group: first position inside it.
        std::uint64_t start;
        {
            std::uint64_t inside = i;
            std::uint64_t probe = i < kFixupFirstProbe ? 0 : i - kFixupFirstProbe;
            std::uint64_t gap = kFixupFirstGap;
            bool reached_start = false;
            while (group(probe) == g) {
                if (probe == 0) {
                    reached_start = true;
                    break;
                }
                inside = probe;
                probe = probe <= gap ? 0 : probe - gap;
                gap *= 2;
            }
            if (reached_start) {
                start = 0;
            } else {
                std::uint64_t outside = probe;
                while (inside - outside > 1) {
                    const std::uint64_t mid = outside + (inside - outside) / 2;
                    if (group(mid) == g) {
                        inside = mid;
                    } else {
                        outside = mid;
                    }
                }
                start = inside;
            }
        }
        ranges.push_back({start, end});
        previous = g;
        i = end + 1;
    }
    return ranges;
}

extern template std::vector<SortRange> dlsd_fixup<std::uint32_t>(std::span<std::uint32_t>, std::uint32_t);
extern template std::vector<SortRange> dlsd_fixup<std::int32_t>(std::span<std::int32_t>, std::uint32_t);
extern template std::vector<SortRange> dlsd_fixup<std::uint64_t>(std::span<std::uint64_t>, std::uint64_t);
extern template std::vector<SortRange> dlsd_fixup<std::int64_t>(std::span<std::int64_t>, std::uint64_t);

}  // namespace tfs
