#pragma once
// The comparison fallbacks of the radix sorts: the standard comparison sort
// run on a private copy of a small piece, and the insertion walk that
// finishes a slice already ordered by the high bits of its keys: it inserts
// where the disorder is local and hands back, as ranges, the groups of equal
// high bits that turn out to be badly out of order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/order_scan.hpp"
#include "engine/sorts/register_insertion_sort.hpp"
#include "engine/sorts/simd_dispatch.hpp"
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

// Sorts `slice` ascending in place with a heap sort: no memory, and every
// loop bounded by the length whatever the comparisons say, so it is safe on
// the lent array. The fallback of a sort whose scratch cannot be had.
template <typename T>
void heap_sort(std::span<T> slice) {
    const auto by_key = [](const T& a, const T& b) { return radix_key(a) < radix_key(b); };
    std::make_heap(slice.begin(), slice.end(), by_key);
    std::sort_heap(slice.begin(), slice.end(), by_key);
}

// Runs `sort(slice)`; when it runs out of memory (which leaves the slice a
// permutation of itself), finishes the slice with heap_sort instead.
template <typename T, typename Sort>
void sort_or_heap_sort(std::span<T> slice, Sort&& sort) {
    try {
        sort(slice);
    } catch (const std::bad_alloc&) {
        heap_sort(slice);
    }
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
// Insertions into a group that is not diverted, on ordered input: fewer than
// kFixupDivertCount out-of-order elements before its last kFixupMinDivertedTail
// positions, and those positions. Each moves an element by less than the
// group's size, so the walk moves elements at most this many times the slice
// length in all; more means the slice changed under the walk.
inline constexpr std::uint64_t kFixupMaxInsertsPerGroup = kFixupDivertCount + kFixupMinDivertedTail - 1;
// Groups of at most this many elements are never diverted: their 33rd
// out-of-order element (the first element of a group is never one) leaves
// fewer than kFixupMinDivertedTail positions.
inline constexpr std::uint64_t kFixupNeverDiverted = kFixupDivertCount + kFixupMinDivertedTail - 1;
static_assert(kFixupFirstProbe + 1 == kFixupDivertCount);
static_assert(kFixupFirstGap == 2 * kFixupFirstProbe);

// Out-of-order elements of a group inserted one by one before the walk takes
// the rest of the group at once: a group with a single one costs one
// insertion, larger disorder one register sort (2 beat 4, 8, 16 and 33 at
// 1e5 to 1e7 float64 keys).
inline constexpr unsigned kFixupGroupAt = 2;
static_assert(kFixupGroupAt >= 1 && kFixupGroupAt <= kFixupDivertCount);
// With AVX-512, where out-of-order elements come close together, the walk
// inserts with a register window of the elements before it (no branch on the
// order): from an out-of-order element at most this far from the previous
// one (sparse disorder gains nothing from it: at 8, i64 at 1e7 lost 4%),
inline constexpr std::uint64_t kFixupWindowNear = 4;
// until this many elements in a row are in order (4 beat 8 and 16),
inline constexpr std::uint64_t kFixupWindowIdle = 4;
// or a group whose out-of-order elements reach this count, or one that runs a
// window ahead, goes to the group path.
inline constexpr unsigned kFixupWindowGroupAt = 8;
static_assert(kFixupWindowGroupAt >= kFixupGroupAt && kFixupWindowGroupAt < kFixupDivertCount);

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
//
// An element is out of order when it is smaller than the largest before it,
// which then lies in its own group. The first out-of-order element of a group
// is inserted; from the second on the walk takes the rest of the group at
// once. A group that AVX-512 registers hold and too short to be diverted is
// sorted whole in them. Otherwise the walk counts the out-of-order elements
// branch-free up to the 33rd: a group whose 33rd comes with at least 33 of
// its positions still ahead is diverted whole; every other group is sorted
// here, in registers when they hold it, else by inserting each out-of-order
// element. The ranges are those of a walk inserting one element at a time.
template <typename T>
std::vector<SortRange> dlsd_fixup(std::span<T> slice, key_t<T> group_mask) {
    using K = key_t<T>;
    T* data = slice.data();
    const std::uint64_t n = slice.size();
    std::vector<SortRange> ranges;
    if (n < 2) return ranges;
    auto group = [data, group_mask](std::uint64_t pos) -> K { return radix_key(data[pos]) & group_mask; };
    const bool registers = avx512_enabled();

    // Insertion runs as long as it finds elements out of order; a budget
    // that ordered input never exhausts keeps it linear whatever another
    // thread writes into the slice meanwhile.
    const std::uint64_t budget = kFixupMaxInsertsPerGroup * n;
    std::uint64_t moves = 0;

    // First position after `inside` (in group g) outside the group, or n:
    // one probe, then gallops of doubling gaps, then a binary search.
    auto group_end = [&](std::uint64_t inside, K g) -> std::uint64_t {
        std::uint64_t probe = std::min(inside + kFixupFirstProbe, n - 1);
        std::uint64_t gap = kFixupFirstGap;
        while (group(probe) == g) {
            if (probe == n - 1) return n;
            inside = probe;
            probe = n - 1 - probe <= gap ? n - 1 : probe + gap;
            gap *= 2;
        }
        std::uint64_t outside = probe;
        while (outside - inside > 1) {
            const std::uint64_t mid = inside + (outside - inside) / 2;
            (group(mid) == g ? inside : outside) = mid;
        }
        return outside;
    };
    // First position of group g, searched backward from `inside` likewise.
    auto group_start = [&](std::uint64_t inside, K g) -> std::uint64_t {
        std::uint64_t probe = inside < kFixupFirstProbe ? 0 : inside - kFixupFirstProbe;
        std::uint64_t gap = kFixupFirstGap;
        while (group(probe) == g) {
            if (probe == 0) return 0;
            inside = probe;
            probe = probe <= gap ? 0 : probe - gap;
            gap *= 2;
        }
        std::uint64_t outside = probe;
        while (inside - outside > 1) {
            const std::uint64_t mid = outside + (inside - outside) / 2;
            (group(mid) == g ? inside : outside) = mid;
        }
        return inside;
    };

    // Sorts group g, which ends at `end` and holds i - 1 and i, in registers
    // when it has at most `most` elements; says whether it did.
    auto sort_in_registers = [&](std::uint64_t i, std::uint64_t end, K g, std::uint64_t most) {
        const std::uint64_t lowest = end > most ? end - most : 0;
        std::uint64_t start = i;
        while (start > lowest && group(start - 1) == g) --start;
        if (start == i || (start > 0 && group(start - 1) == g)) return false;
        register_insertion_sort(data + start, end - start);
        return true;
    };

    K previous = group(0);
    unsigned counter = 0;
    std::uint64_t i = 1;
    // Everything from here to i is in order (no diverted range reaches in).
    std::uint64_t ordered_from = 0;
    std::uint64_t last_out_of_order = 0;
    while (i < n) {
        i = first_break<value_order<T>, Direction::ascending>(reinterpret_cast<const key_t<T>*>(data), i, n);
        if (i == n) break;
        // Dense disorder in short groups: insert with the register window
        // until the elements come in order again.
        const bool dense = i - last_out_of_order <= kFixupWindowNear;
        last_out_of_order = i;
        if (registers && dense && i >= ordered_from + kRegisterWindow<T> &&
            !(i + kRegisterWindow<T> < n && group(i + kRegisterWindow<T>) == group(i))) {
            const WindowWalk<T> walked = register_window_walk(data, i, n, group_mask, previous, counter,
                                                              kFixupWindowGroupAt, kFixupWindowIdle);
            previous = walked.previous;
            counter = walked.counter;
            if (walked.stop != i) {
                i = walked.stop;
                continue;
            }
        }
        const K g = group(i);
        counter = g == previous ? counter + 1 : 1;
        previous = g;
        if (counter < kFixupGroupAt) {
            moves += detail::insert_left(data, i);
            if (moves > budget) [[unlikely]]
                fail(kFixupOverBudget);
            ++i;
            continue;
        }
        // The rest of the group at once. A group that the registers hold and
        // that is too short to be diverted is sorted whole without counting.
        if (registers) {
            constexpr std::uint64_t kWhole = std::min(kRegisterSortMaxElements<T>, kFixupNeverDiverted);
            std::uint64_t end = i + 1;
            const std::uint64_t reach = std::min<std::uint64_t>(n, i + kWhole);
            while (end < reach && group(end) == g) ++end;
            if ((end == n || group(end) != g) && sort_in_registers(i, end, g, kWhole)) {
                i = end;
                continue;
            }
        }
        // Else count its out-of-order elements from i on, up to the 33rd.
        std::uint64_t j = i;
        unsigned count = counter - 1;
        T top = data[i - 1];
        while (j < n && group(j) == g) {
            const T x = data[j];
            count += x < top;
            top = std::max(top, x);
            if (count == kFixupDivertCount) break;
            ++j;
        }
        std::uint64_t end = j;
        if (count == kFixupDivertCount) {
            end = group_end(j, g);
            if (end - j >= kFixupMinDivertedTail) {
                ranges.push_back({group_start(j, g), end});
                i = end;
                ordered_from = end;
                continue;
            }
        }
        // Sort the group: whole in registers when it fits, else by insertion
        // (only out-of-order elements move; the part before i is in order).
        if (!(registers && sort_in_registers(i, end, g, kRegisterSortMaxElements<T>))) {
            for (std::uint64_t k = i; k < end; ++k) {
                if (data[k] < data[k - 1]) moves += detail::insert_left(data, k);
            }
            if (moves > budget) [[unlikely]]
                fail(kFixupOverBudget);
        }
        i = end;
    }
    return ranges;
}

extern template std::vector<SortRange> dlsd_fixup<std::uint32_t>(std::span<std::uint32_t>, std::uint32_t);
extern template std::vector<SortRange> dlsd_fixup<std::int32_t>(std::span<std::int32_t>, std::uint32_t);
extern template std::vector<SortRange> dlsd_fixup<std::uint64_t>(std::span<std::uint64_t>, std::uint64_t);
extern template std::vector<SortRange> dlsd_fixup<std::int64_t>(std::span<std::int64_t>, std::uint64_t);

}  // namespace tfs
