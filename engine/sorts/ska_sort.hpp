#pragma once
// In-place permutation of a slice by one digit, with no copy of the elements.

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Moves every element of `slice` into the bucket of its digit (key & mask) >>
// shift. On entry heads[b] .. tails[b] is bucket b's range, taken from the
// prefix sums of that digit's histogram over this slice; the ranges tile the
// slice. heads is advanced and holds no useful value afterwards. Elements
// inside a bucket end in no particular order.
//
// Buckets are visited in sweeps, largest first; within a sweep a bucket's
// unvisited positions are each swapped to the next free slot of their own
// bucket (an element already home lands at heads[b] <= its position). The
// largest bucket is never visited: it is complete once all others are.
template <typename T>
void ska_permute(std::span<T> slice, std::span<std::uint64_t> heads, std::span<const std::uint64_t> tails,
                 key_t<T> mask, unsigned shift) {
    check(heads.size() == tails.size(), "bucket heads and tails differ in count");
    detail::check_digit_range<T>(mask, shift, heads.size());
    struct Entry {
        std::uint64_t bucket;
        std::uint64_t remaining;
    };
    std::vector<Entry> work;
    work.reserve(heads.size());
    for (std::uint64_t b = 0; b < heads.size(); ++b) work.push_back({b, tails[b] - heads[b]});
    std::sort(work.begin(), work.end(),
              [](const Entry& a, const Entry& b) { return a.remaining < b.remaining; });
    if (!work.empty()) work.pop_back();

    T* data = slice.data();
    std::uint64_t* h = heads.data();
    const std::uint64_t* tl = tails.data();
    auto digit = [mask, shift](T e) { return static_cast<std::uint64_t>((radix_key(e) & mask) >> shift); };
    // A destination at its bucket's tail means more keys of that digit than
    // the histogram counted: the slice changed under the sort. Refusing it
    // keeps every swap inside the slice and bounds the work, since each
    // step advances one head and no head passes its tail.
    auto overrun = [tl](std::uint64_t t, std::uint64_t d) { return t >= tl[d]; };
    std::vector<std::size_t> finished;
    while (!work.empty()) {
        finished.clear();
        for (std::size_t pos = work.size(); pos-- > 0;) {
            const std::uint64_t b = work[pos].bucket;
            const std::uint64_t start = h[b];
            const std::uint64_t end = tl[b];
            if (start >= end) {
                finished.push_back(pos);
                continue;
            }
            std::uint64_t q = start;
            for (; q + 4 <= end; q += 4) {
                const std::uint64_t d0 = digit(data[q]);
                const std::uint64_t d1 = digit(data[q + 1]);
                const std::uint64_t d2 = digit(data[q + 2]);
                const std::uint64_t d3 = digit(data[q + 3]);
                const std::uint64_t t0 = h[d0]++;
                const std::uint64_t t1 = h[d1]++;
                const std::uint64_t t2 = h[d2]++;
                const std::uint64_t t3 = h[d3]++;
                if (overrun(t0, d0) || overrun(t1, d1) || overrun(t2, d2) || overrun(t3, d3)) [[unlikely]]
                    fail(kScatterOverrun);
                std::swap(data[q], data[t0]);
                std::swap(data[q + 1], data[t1]);
                std::swap(data[q + 2], data[t2]);
                std::swap(data[q + 3], data[t3]);
            }
            for (; q < end; ++q) {
                const std::uint64_t d = digit(data[q]);
                const std::uint64_t t = h[d]++;
                if (overrun(t, d)) [[unlikely]]
                    fail(kScatterOverrun);
                std::swap(data[q], data[t]);
            }
        }
        // Noted from the highest position down, so earlier erasures leave the
        // later positions valid.
        for (std::size_t pos : finished) work.erase(work.begin() + static_cast<std::ptrdiff_t>(pos));
    }
}

extern template void ska_permute<std::uint64_t>(std::span<std::uint64_t>, std::span<std::uint64_t>,
                                                std::span<const std::uint64_t>, std::uint64_t, unsigned);
extern template void ska_permute<std::int64_t>(std::span<std::int64_t>, std::span<std::uint64_t>,
                                               std::span<const std::uint64_t>, std::uint64_t, unsigned);
extern template void ska_permute<std::int32_t>(std::span<std::int32_t>, std::span<std::uint64_t>,
                                               std::span<const std::uint64_t>, std::uint32_t, unsigned);

}  // namespace tfs
