#pragma once
// The engine's scheme for every slice above the small-slice tier: the
// presorted-run pre-pass with a stretch sorter, then the merge of the blocks
// it leaves.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/algo/k_way_merge.hpp"
#include "engine/algo/verge_sort_heuristic.hpp"

namespace tfs {

// Digit width handed through the pre-pass to every stretch sorter.
inline constexpr std::uint64_t kStretchRadix = 8;

// Sorts `slice` ascending: runs of presorted elements are kept (reversed when
// descending), every other stretch is sorted by
// `stretch_sorter(std::span<T> stretch, std::uint64_t radix)`, and the blocks
// are merged. A slice of k sorted chunks, each longer than min_run_length
// and out of order with the next, makes no stretch_sorter call.
template <typename T, typename StretchSorter>
void two_phase_sort(std::span<T> slice, StretchSorter&& stretch_sorter) {
    std::vector<std::uint64_t> boundaries =
        verge_sort_heuristic(slice, kStretchRadix, std::forward<StretchSorter>(stretch_sorter));
    k_way_merge(slice, boundaries);
}

}  // namespace tfs
