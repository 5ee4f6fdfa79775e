#pragma once
// Quicksort split for several threads: the slice is cut into one block per
// worker; each worker moves the keys of its block that lie below a pivot
// (cut from a sample where it halves the estimated work) to the block's front; the keys on the wrong side of the
// whole slice's split are then swapped across, the swaps spread over the
// workers; and the two sides are sorted at once, each by its share of the
// workers, down to one worker per side. Each level reads and writes the
// slice once, in place and without scratch memory, so it suits keys that a
// digit splits badly (many repeats, clusters) and processors where a
// scatter into buckets is dear.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/failure.hpp"

namespace tfs {

// Slices below this length are sorted by one worker: a split costs a pass
// that a slice this short sorts in a few times over.
inline constexpr std::size_t kParallelSplitMinLength = std::size_t(1) << 16;
// Keys sampled for the pivot: a side's share of the keys is then known to
// within a few percent.
inline constexpr std::size_t kParallelSplitSample = 255;

namespace detail {

// A stretch [begin, begin + length) of the slice.
struct Stretch {
    std::size_t begin;
    std::size_t length;
};

// The pivot (keys below it go left) that splits the work of sorting the
// slice's n keys most evenly, judged on its sorted sample, and the left
// side's share of that work. A side's work is taken as its keys times
// log2(2 + its distinct keys), since the quicksort's passes over a side
// grow with the log of its distinct keys, and its distinct keys as at most
// its keys and at most the width of its sampled range: a split by count
// alone leaves the many distinct keys of a skewed tail to one side (Zipf
// u32 at 1e7, halves by count: 4.5 and 18.8 ms to sort; at the 0.75
// quantile 14 and 15). None where all sampled keys are equal.
struct SplitChoice {
    bool usable = false;
    double left_share = 0.5;
};

template <typename T>
std::pair<SplitChoice, T> split_pivot(const std::array<T, kParallelSplitSample>& sorted, std::size_t n) {
    const std::size_t s = sorted.size();
    const auto width = [](T lo, T hi) {  // hi - lo + 1 for integers, lo <= hi; floats: no bound
        if constexpr (std::is_floating_point_v<T>) return std::numeric_limits<double>::infinity();
        else return static_cast<double>(static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo)) + 1.0;
    };
    const auto work = [](double keys, double distinct) { return keys * std::log2(2.0 + std::min(keys, distinct)); };
    std::pair<SplitChoice, T> best{SplitChoice{}, sorted[0]};
    double best_max = 0;
    for (std::size_t c = 1; c < s; ++c) {  // cuts at value boundaries
        if (sorted[c] == sorted[c - 1]) continue;
        const double left_keys = static_cast<double>(n) * static_cast<double>(c) / static_cast<double>(s);
        const double left = work(left_keys, width(sorted[0], sorted[c - 1]));
        const double right = work(static_cast<double>(n) - left_keys, width(sorted[c], sorted[s - 1]));
        if (!best.first.usable || std::max(left, right) < best_max) {
            best = {SplitChoice{true, left / (left + right)}, sorted[c]};
            best_max = std::max(left, right);
        }
    }
    return best;
}

// The sample's order: by value, NaNs (which a writer may put among floats)
// last, so that the sort of the sample sees a strict weak order whatever
// it holds.
template <typename T>
bool sample_less(T a, T b) {
    if constexpr (std::is_floating_point_v<T>) return a < b || (a == a && b != b);
    else return a < b;
}

// Swaps the misplaced keys numbered [from, to) of `left` (stretches before
// the split holding keys that belong after it) with those of `right`.
template <typename T>
void swap_misplaced(T* a, const std::vector<Stretch>& left, const std::vector<Stretch>& right, std::size_t from,
                    std::size_t to) {
    const auto locate = [from](const std::vector<Stretch>& stretches) {
        std::size_t skipped = 0, i = 0;
        while (i < stretches.size() && skipped + stretches[i].length <= from) skipped += stretches[i++].length;
        return std::pair{i, from - skipped};
    };
    auto [li, lo] = locate(left);
    auto [ri, ro] = locate(right);
    for (std::size_t k = from; k < to;) {
        check(li < left.size() && ri < right.size(), "split stretches end early");
        const std::size_t len =
            std::min({left[li].length - lo, right[ri].length - ro, to - k});
        std::swap_ranges(a + left[li].begin + lo, a + left[li].begin + lo + len, a + right[ri].begin + ro);
        k += len;
        lo += len;
        ro += len;
        if (lo == left[li].length) ++li, lo = 0;
        if (ro == right[ri].length) ++ri, ro = 0;
    }
}

}  // namespace detail

// Sorts `slice` ascending with up to `workers` threads. `split(std::span<T>,
// T pivot)` moves the keys of a span below `pivot` to its front, in place on
// the calling thread, and returns how many there are; `sort_piece` and
// `run` are as for parallel_msd_sort. The slice is lent: keys changed by
// another thread end in an unsorted slice, never in an access outside it.
template <typename T, typename SortPiece, typename Split, typename RunTasks>
void parallel_split_sort(std::span<T> slice, std::size_t workers, SortPiece&& sort_piece, Split&& split,
                         RunTasks&& run) {
    const std::size_t n = slice.size();
    if (workers < 2 || n < kParallelSplitMinLength) return sort_piece(slice);
    std::array<T, kParallelSplitSample> sample;
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = slice[(2 * i + 1) * n / (2 * sample.size())];
    std::sort(sample.begin(), sample.end(), detail::sample_less<T>);
    const auto [choice, pivot] = detail::split_pivot(sample, n);
    if (!choice.usable) return sort_piece(slice);

    // Each block's keys below the pivot to its front.
    const std::size_t blocks = workers;
    const auto start = [&](std::size_t b) { return b * n / blocks; };
    std::vector<std::size_t> below(blocks);
    run(blocks, [&](std::size_t b) {
        const std::size_t length = start(b + 1) - start(b);
        below[b] = std::min(split(slice.subspan(start(b), length), pivot), length);
    });
    std::size_t cut = 0;
    for (const std::size_t count : below) cut += count;
    if (cut == 0 || cut == n) return sort_piece(slice);  // the sample misled, or a writer did

    // The stretches on the wrong side of the cut, then the swaps across it.
    std::vector<detail::Stretch> left, right;
    std::size_t misplaced = 0, misplaced_right = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        // [start, mid) below the pivot, [mid, end) not.
        const std::size_t mid = start(b) + below[b], end = start(b + 1);
        if (std::min(end, cut) > mid) left.push_back({mid, std::min(end, cut) - mid});
        const std::size_t from = std::max(start(b), cut);
        if (mid > from) right.push_back({from, mid - from});
    }
    for (const auto& s : left) misplaced += s.length;
    for (const auto& s : right) misplaced_right += s.length;
    check(misplaced == misplaced_right, "split stretches differ in length");
    run(blocks, [&](std::size_t b) {
        detail::swap_misplaced(slice.data(), left, right, misplaced * b / blocks, misplaced * (b + 1) / blocks);
    });

    // The two sides at once, each by its share of the work.
    const auto left_workers = std::clamp<std::size_t>(
        static_cast<std::size_t>(static_cast<double>(workers) * choice.left_share + 0.5), 1, workers - 1);
    run(2, [&](std::size_t side) {
        if (side == 0) parallel_split_sort<T>(slice.first(cut), left_workers, sort_piece, split, run);
        else parallel_split_sort<T>(slice.subspan(cut), workers - left_workers, sort_piece, split, run);
    });
}

}  // namespace tfs
