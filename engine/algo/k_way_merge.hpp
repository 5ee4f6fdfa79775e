#pragma once
// Pairwise bottom-up merge of the sorted blocks that the presorted-run
// pre-pass leaves behind. One scratch buffer serves every merge; each merge
// copies only the shorter of its two blocks.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"

namespace tfs {

namespace detail {

// *a where `first`, else *b, without a branch: elements that fit in a
// register are selected by value, wider ones (128-bit pairs, which the
// compiler would select by a branch) through the selected pointer.
template <typename T>
T select(bool first, const T* a, const T* b) {
    if constexpr (sizeof(T) <= sizeof(std::uint64_t)) {
        const T x = *a, y = *b;
        return first ? x : y;
    } else {
        const auto mask = std::uintptr_t(0) - std::uintptr_t(first);
        return *reinterpret_cast<const T*>((reinterpret_cast<std::uintptr_t>(a) & mask) |
                                           (reinterpret_cast<std::uintptr_t>(b) & ~mask));
    }
}

}  // namespace detail

// Merges the sorted blocks [start, mid) and [mid, end) of `slice` in place,
// stably, in the order `less`. `buffer` holds `capacity` elements of
// scratch, at least the length of the shorter block. Blocks already in order
// cost one comparison and no copy.
template <typename T, typename Less = std::less<>>
void merge_adjacent_blocks(std::span<T> slice, T* buffer, std::uint64_t capacity,
                           std::uint64_t start, std::uint64_t mid, std::uint64_t end, Less less = {}) {
    check(start <= mid && mid <= end && end <= slice.size(), "[K-way merge] Block outside the slice.");
    const std::uint64_t left_len = mid - start;
    const std::uint64_t right_len = end - mid;
    if (left_len == 0 || right_len == 0) return;
    T* const a = slice.data();
    if (!less(a[mid], a[mid - 1])) return;
    check(std::min(left_len, right_len) <= capacity, "[K-way merge] Buffer too small.");

    if (left_len > right_len) {
        // Back merge: the right block waits in the buffer; on ties the right
        // element goes last, which keeps the merge stable.
        std::copy(a + mid, a + end, buffer);
        T* left = a + mid;       // one past the next left element
        T* buf = buffer + right_len;  // one past the next buffered element
        T* out = a + end;        // one past the next write
        // Branch-free step: the larger of the two candidates is selected and
        // only its pointer moves, so random data costs no mispredictions.
        while (left != a + start && buf != buffer) {
            const bool take_left = less(buf[-1], left[-1]);
            *--out = detail::select(take_left, left - 1, buf - 1);
            left -= take_left;
            buf -= !take_left;
        }
        // An exhausted buffer leaves the rest of the left block in place.
        std::copy(buffer, buf, a + start);
    } else {
        // Front merge: the left block waits in the buffer; on ties the left
        // element goes first.
        std::copy(a + start, a + mid, buffer);
        T* buf = buffer;
        T* const buf_end = buffer + left_len;
        T* right = a + mid;
        T* const right_end = a + end;
        T* out = a + start;
        while (buf != buf_end && right != right_end) {
            const bool take_right = less(*right, *buf);
            *out++ = detail::select(take_right, right, buf);
            right += take_right;
            buf += !take_right;
        }
        // An exhausted buffer leaves the rest of the right block in place.
        std::copy(buf, buf_end, out);
    }
}

// Merges the blocks of `slice` that `boundaries` lists (0 first, n last,
// strictly increasing, each block sorted) into one sorted slice. With three
// or more blocks the blocks are merged pairwise from the left, level by level,
// and `boundaries` ends as [0, n]; with one or two blocks it is left unchanged.
// Blocks are in the order `less`. Throws std::bad_alloc, before anything
// moves, when the scratch buffer cannot be had.
template <typename T, typename Less = std::less<>>
void k_way_merge(std::span<T> slice, std::vector<std::uint64_t>& boundaries, Less less = {}) {
    std::uint64_t k = boundaries.size();
    if (k < 3) return;
    if (k == 3) {
        const std::uint64_t start = boundaries[0], mid = boundaries[1], end = boundaries[2];
        const std::uint64_t shorter = std::min(mid - start, end - mid);
        const auto buffer = make_scratch<T>(shorter);
        merge_adjacent_blocks(slice, buffer.get(), shorter, start, mid, end, less);
        return;
    }

    // Two adjacent blocks never hold more than n elements, so the shorter one
    // fits in n/2; the +2 keeps the size positive for tiny slices.
    const std::uint64_t capacity = slice.size() / 2 + 2;
    const auto buffer = make_scratch<T>(capacity);
    while (k >= 3) {
        for (std::uint64_t i = 0; 2 * i + 2 < k; ++i)
            merge_adjacent_blocks(slice, buffer.get(), capacity, boundaries[2 * i], boundaries[2 * i + 1],
                                  boundaries[2 * i + 2], less);
        // Drop the odd entries: each merged pair becomes one block. With an
        // odd block count the last entry sits at an even position and stays.
        std::uint64_t kept = 0;
        for (std::uint64_t i = 0; i < k; i += 2) boundaries[kept++] = boundaries[i];
        if (k % 2 == 0) boundaries[kept++] = boundaries[k - 1];
        boundaries.resize(kept);
        k = kept;
    }
}

}  // namespace tfs
