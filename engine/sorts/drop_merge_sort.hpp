#pragma once
// Drop-merge sort for nearly sorted input: one scan keeps a sorted
// subsequence in place and drops the keys out of order into a side buffer,
// the side buffer is sorted, and the two are merged from the back. Input
// with a few keys out of place costs about two passes. Where the side buffer
// would outgrow its share the scan stops, puts the dropped keys back, and
// reports that the slice is not nearly sorted. Sorted arrays joined end to
// end, which the scan would drop a whole run of, are merged instead.
//
// Both steps move the stretches between keys out of place whole: the scan
// finds where an in-order stretch ends with the order scan and moves it with
// one copy, the merge counts the kept keys above each dropped one a cache
// line at a time and moves them up with one copy.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "engine/algo/k_way_merge.hpp"
#include "engine/sorts/order_scan.hpp"
#include "engine/sorts/utils.hpp"

namespace tfs {

// Slices shorter than this are not worth the side buffer.
inline constexpr std::size_t kDropMergeMinLength = std::size_t(1) << 12;
// Keys sampled at even strides: with fewer than kDropMergeSampleDescents
// steps out of order among them the slice is taken for nearly sorted.
// Random keys step down about half the time, nearly sorted ones rarely.
inline constexpr std::size_t kDropMergeSample = 64;
inline constexpr std::size_t kDropMergeSampleDescents = 8;
// Drops in a row after which the kept keys above the next one are taken
// back out, if there are at most kDropMergeBlock of them: a block moved far
// up, not a few stray keys (a stray key moved far down would take back
// everything after its place). Should there be more, the count is tried
// again after twice the drops, so that a long run of drops costs a few
// counts, not one per drop.
inline constexpr std::size_t kDropMergeBacktrack = 8;
inline constexpr std::size_t kDropMergeBlock = 256;
// The side buffer holds at most this share of the slice (1 / divisor).
inline constexpr std::size_t kDropMergeSideDivisor = 8;
// Rising runs, up to this many, of which one at least starts below the
// key before the step down and stays below it (a restart, not a stray key),
// are taken for sorted arrays joined and merged pairwise.
inline constexpr std::size_t kJoinedRunsMax = 16;

namespace detail {

// Whether `slice` looks nearly sorted: keys sampled at even strides rise
// strictly (the whole is in order, and not a few keys repeated throughout),
// and most of their right-hand neighbours do not fall (it is in order close
// up, not only at a distance, as jittered times are).
// `key` maps an element to its key (the radix key by default).
template <typename T, typename Key>
bool looks_nearly_sorted(std::span<const T> slice, Key key) {
    if (slice.size() < 2 * kDropMergeSample) return false;
    const std::size_t stride = slice.size() / kDropMergeSample;
    std::size_t far = 0, near = 0;
    for (std::size_t i = 0; i < kDropMergeSample; ++i) {
        const auto k = key(slice[i * stride]);
        near += key(slice[i * stride + 1]) < k;
        if (i > 0) far += !(key(slice[(i - 1) * stride]) < k);
    }
    return far < kDropMergeSampleDescents && near < kDropMergeSampleDescents;
}

template <typename T>
bool looks_nearly_sorted(std::span<const T> slice) {
    return looks_nearly_sorted(slice, [](T v) { return radix_key(v); });
}

// The first i in [from, n) whose key is below the key at i - 1, or n.
template <typename T>
std::size_t in_order_until(const T* a, std::size_t from, std::size_t n) {
    if constexpr (std::is_arithmetic_v<T> && (sizeof(T) == 4 || sizeof(T) == 8)) {
        return first_break<value_order<T>, Direction::ascending>(reinterpret_cast<const key_t<T>*>(a), from, n);
    } else {
        while (from < n && !(radix_key(a[from]) < radix_key(a[from - 1]))) ++from;
        return from;
    }
}

// The first p in [0, k) from which every key of a[p, k) is above `key`, when
// a[0, k) is in order: searched from k back a cache line at a time (the
// lines the merge then moves, read in the order of the move), then by key.
// On keys out of order it still returns some p in [0, k].
template <typename T, typename K>
std::size_t first_above(const T* a, std::size_t k, K key) {
    constexpr std::size_t line = std::max<std::size_t>(1, 64 / sizeof(T));
    while (k >= line && key < radix_key(a[k - line])) k -= line;
    while (k > 0 && key < radix_key(a[k - 1])) --k;
    return k;
}

// Where the rising runs of a[0, n) start, 0 and n included, if there are at
// most kJoinedRunsMax runs and one at least is a restart: the key at the
// step down and the one after it below the key before the step, and the
// key at the step below the one two before it (so neither it nor the key
// before it is a single stray one). Else empty. Sets `first_run` to the
// length of the first run.
template <typename T>
std::vector<std::uint64_t> joined_runs(const T* a, std::size_t n, std::size_t& first_run) {
    std::array<std::uint64_t, kJoinedRunsMax + 1> starts;
    std::size_t count = 0;
    starts[count++] = 0;
    bool restart = false;
    first_run = in_order_until(a, 1, n);
    for (std::size_t i = first_run; i < n; i = in_order_until(a, i + 1, n)) {
        if (count == kJoinedRunsMax) return {};
        starts[count++] = i;
        const auto before = radix_key(a[i - 1]);
        restart |= i >= 2 && i + 1 < n && radix_key(a[i + 1]) < before && radix_key(a[i]) < radix_key(a[i - 2]);
    }
    if (!restart) return {};
    starts[count++] = n;
    return std::vector<std::uint64_t>(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace detail

// Sorts `slice` ascending if it is nearly sorted, using `sort_side` (in
// place, on the calling thread) for the dropped keys, and returns true;
// returns false, with the slice a permutation of itself, when it is not
// nearly sorted or the side buffer cannot be had. The slice is lent: keys
// changed by another thread during the sort end in an unsorted slice, never
// in an access outside the slice and the side buffer.
template <typename T, typename SortSide>
bool drop_merge_sort(std::span<T> slice, SortSide&& sort_side) {
    const std::size_t n = slice.size();
    if (n < kDropMergeMinLength || !detail::looks_nearly_sorted<T>(slice)) return false;
    std::size_t first_run = 0;
    if (std::vector<std::uint64_t> runs = detail::joined_runs(slice.data(), n, first_run); !runs.empty()) {
        try {
            k_way_merge(slice, runs, [](const T& x, const T& y) { return radix_key(x) < radix_key(y); });
        } catch (const std::bad_alloc&) {
            return false;  // before anything moved
        }
        return true;
    }
    const std::size_t capacity = n / kDropMergeSideDivisor;
    std::unique_ptr<T[]> side(new (std::nothrow) T[capacity]);  // never initialised
    if (!side) return false;

    // slice[0, kept) is the sorted subsequence, side[0, dropped) the rest of
    // slice[0, i). A key below the last kept one is dropped, unless it is
    // not below the one kept before that: then the last kept key is the one
    // out of place (a key moved far up) and is dropped instead. After a run
    // of drops a few kept keys above the new one are taken back out instead
    // (a block moved far up).
    T* const a = slice.data();
    // The first run is kept as it lies.
    std::size_t kept = first_run, dropped = 0, run = 0, i = first_run;
    while (i < n) {
        const auto x = radix_key(a[i]);
        if (kept == 0 || !(x < radix_key(a[kept - 1]))) {
            // Kept, with the stretch in order after it.
            const std::size_t end = detail::in_order_until(a, i + 1, n);
            if (kept != i) std::memmove(static_cast<void*>(a + kept), a + i, (end - i) * sizeof(T));
            kept += end - i;
            i = end;
            run = 0;
            continue;
        }
        if (dropped == capacity) break;
        if (kept == 1 || !(x < radix_key(a[kept - 2]))) {
            side[dropped++] = a[kept - 1];
            a[kept - 1] = a[i++];
            run = 0;
            continue;
        }
        // The kept keys above this one, if they are few enough to be a
        // moved block rather than this key a stray one.
        std::size_t above = 0;
        if (++run >= kDropMergeBacktrack && (run & (run - 1)) == 0)
            while (above <= kDropMergeBlock && above < kept && x < radix_key(a[kept - 1 - above])) ++above;
        if (above == 0 || above > kDropMergeBlock || dropped + above > capacity) {
            side[dropped++] = a[i++];
            continue;
        }
        for (; above > 0; --above) side[dropped++] = a[--kept];
        a[kept++] = a[i++];
        run = 0;
    }
    if (i < n) {
        // Not nearly sorted: the dropped keys go back into the gap.
        std::copy(side.get(), side.get() + dropped, a + kept);
        return false;
    }

    sort_side(std::span<T>(side.get(), dropped));
    // Merge from the back: the kept keys move up into the room the dropped
    // ones leave, never over a kept key not yet merged; ties keep the kept
    // key first.
    std::size_t out = n, k = kept, d = dropped;
    while (d > 0) {
        const T next = side[--d];
        const std::size_t p = detail::first_above(a, k, radix_key(next));
        if (p < k) {
            out -= k - p;
            std::memmove(static_cast<void*>(a + out), a + p, (k - p) * sizeof(T));
            k = p;
        }
        a[--out] = next;
    }
    return true;
}

}  // namespace tfs
