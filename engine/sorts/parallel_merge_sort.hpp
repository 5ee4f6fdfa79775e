#pragma once
// Merge sort for several threads, for keys that no digit splits evenly
// (heavy-tailed, clustered): the slice is cut into one run per worker, each
// run sorted by one worker, then the runs are merged pairwise, round after
// round, between the slice and a scratch buffer. Each round's output is cut
// into equal stretches by co-ranking, so every worker merges as much as any
// other whatever the keys are.

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"

namespace tfs {

// Merge stretches per worker in a round: more evens out the workers where
// one is slowed.
inline constexpr std::size_t kParallelMergeTasksPerWorker = 4;
// Fewer workers than this sort the whole slice on one instead: the merge's
// two extra passes over memory cost more than a second worker saves (two
// cores sharing one memory channel: Zipf u32 at 1e7 1.7 ns per element
// whole, 2.7 merged).
inline constexpr std::size_t kParallelMergeMinWorkers = 4;

namespace detail {

// The number of elements of `a` among the first k of the stable merge of a
// and b (ties taken from a first). Bounded by the lengths alone, whatever
// the keys hold.
template <typename T>
std::size_t merge_co_rank(std::span<const T> a, std::span<const T> b, std::size_t k) {
    std::size_t low = k > b.size() ? k - b.size() : 0;
    std::size_t high = std::min(k, a.size());
    while (low < high) {
        const std::size_t i = low + (high - low) / 2;  // a[i] exists, b[k - i - 1] exists
        if (radix_key(b[k - i - 1]) < radix_key(a[i]))
            high = i;
        else
            low = i + 1;
    }
    return low;
}

// Merges a and b into out (a.size() + b.size() elements), ties from a first.
template <typename T>
void merge_into(std::span<const T> a, std::span<const T> b, T* out) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const T x = a[i], y = b[j];
        const bool take_a = !(radix_key(y) < radix_key(x));
        *out++ = take_a ? x : y;
        i += take_a;
        j += !take_a;
    }
    out = std::copy(a.begin() + static_cast<std::ptrdiff_t>(i), a.end(), out);
    std::copy(b.begin() + static_cast<std::ptrdiff_t>(j), b.end(), out);
}

}  // namespace detail

// Sorts `slice` ascending with up to `workers` threads through `scratch` (at
// least slice.size() elements). `sort_piece(std::span<T>)` sorts one run in
// place on the calling thread; `run(k, task)` as for parallel_msd_sort. The
// slice is lent: keys changed by another thread end in an unsorted slice,
// never in an access outside the slice and the scratch buffer.
template <typename T, typename SortPiece, typename RunTasks>
void parallel_merge_sort(std::span<T> slice, std::span<T> scratch, std::size_t workers, SortPiece&& sort_piece,
                         RunTasks&& run) {
    const std::size_t n = slice.size();
    check(scratch.size() >= n, "merge scratch shorter than the slice");
    const std::size_t runs = std::clamp<std::size_t>(workers, 1, n / 2 + 1);
    std::vector<std::size_t> bounds(runs + 1);
    for (std::size_t r = 0; r <= runs; ++r) bounds[r] = n * r / runs;
    run(runs, [&](std::size_t r) { sort_piece(slice.subspan(bounds[r], bounds[r + 1] - bounds[r])); });

    // One task merges the stretch [first, last) of one pair's output, taking
    // a[a_first, a_last) and the rest from b. The cuts are worked out once
    // per round and each shared by the two tasks that meet there, so the
    // tasks' inputs tile both runs even if other threads change the keys
    // between the searches.
    struct Task {
        std::size_t pair, first, last, a_first, a_last;
    };
    const std::size_t stretch = std::max<std::size_t>(1, n / (workers * kParallelMergeTasksPerWorker));
    std::vector<Task> tasks;
    tasks.reserve(n / stretch + runs + 1);  // every allocation before the first merge
    std::span<T> from = slice, to = scratch.first(n);
    std::size_t count = runs;  // runs in `from`, their bounds in bounds[0, count]
    while (count > 1) {
        const std::size_t pairs = count / 2;
        tasks.clear();
        for (std::size_t p = 0; p < pairs; ++p) {
            const std::size_t begin = bounds[2 * p], middle = bounds[2 * p + 1], end = bounds[2 * p + 2];
            const std::span<const T> a = from.subspan(begin, middle - begin);
            const std::span<const T> b = from.subspan(middle, end - middle);
            std::size_t cut = 0;
            for (std::size_t first = begin; first < end; first += stretch) {
                const std::size_t last = std::min(first + stretch, end);
                const std::size_t k = last - begin;
                // Monotone in both runs whatever the keys: a's cut moves by
                // at most the stretch's length.
                const std::size_t next =
                    last == end ? a.size()
                                : std::clamp(detail::merge_co_rank<T>(a, b, k), cut, cut + (last - first));
                tasks.push_back({p, first, last, cut, next});
                cut = next;
            }
        }
        run(std::min(workers, tasks.size()), [&](std::size_t w) {
            for (std::size_t t = w; t < tasks.size(); t += workers) {
                const Task& task = tasks[t];
                const std::size_t begin = bounds[2 * task.pair], middle = bounds[2 * task.pair + 1];
                const std::size_t b_first = task.first - begin - task.a_first;
                const std::size_t b_last = task.last - begin - task.a_last;
                detail::merge_into<T>(from.subspan(begin + task.a_first, task.a_last - task.a_first),
                                   from.subspan(middle + b_first, b_last - b_first), to.data() + task.first);
            }
        });
        // An odd run out moves across as it is.
        if (count % 2 == 1)
            std::copy(from.begin() + static_cast<std::ptrdiff_t>(bounds[count - 1]), from.end(),
                      to.begin() + static_cast<std::ptrdiff_t>(bounds[count - 1]));
        for (std::size_t r = 0; 2 * r < count; ++r) bounds[r] = bounds[2 * r];
        count = (count + 1) / 2;
        bounds[count] = n;
        std::swap(from, to);
    }
    if (from.data() != slice.data()) {
        const std::size_t blocks = std::min(workers, std::max<std::size_t>(1, n / stretch));
        run(blocks, [&](std::size_t b) {
            const std::size_t begin = n * b / blocks, end = n * (b + 1) / blocks;
            std::copy(from.begin() + static_cast<std::ptrdiff_t>(begin), from.begin() + static_cast<std::ptrdiff_t>(end),
                      slice.begin() + static_cast<std::ptrdiff_t>(begin));
        });
    }
}

}  // namespace tfs
