#pragma once
// Counting sort of slices whose keys fit in 8 or 16 bits (32-bit slices of
// small keys, and the 8- and 16-bit types): count every
// key, then write the keys back in order. No element buffer.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "engine/failure.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Widest key the counting table serves; 2^16 counters fit in L2.
inline constexpr unsigned kCountingMaxKeyBits = 16;

namespace detail {

// Counts with counters of type Counter (wide enough for the slice length) and
// rewrites the slice from the counts.
template <typename T, typename Counter>
void counting_pass(std::span<T> slice, unsigned key_bits) {
    using K = key_t<T>;
    const std::size_t buckets = std::size_t(1) << key_bits;
    const K mask = K(buckets - 1);
    // Zeroed on purpose: the counters start at 0.
    auto counts = std::make_unique<Counter[]>(buckets);
    Counter* c = counts.get();
    T* data = slice.data();
    const std::size_t n = slice.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++c[radix_key(data[i]) & mask];
        ++c[radix_key(data[i + 1]) & mask];
        ++c[radix_key(data[i + 2]) & mask];
        ++c[radix_key(data[i + 3]) & mask];
    }
    for (; i < n; ++i) ++c[radix_key(data[i]) & mask];
    // The rewrite reads only the counts, so the slice ends holding exactly the
    // counted multiset.
    T* out = data;
    for (std::size_t key = 0; key < buckets; ++key) {
        const Counter run = c[key];
        if (run == 0) continue;
        out = std::fill_n(out, run, from_radix_key<T>(K(key)));
    }
}

}  // namespace detail

// Sorts `slice` ascending. key_bits is 8 or 16 and every key of the slice is
// below 2^key_bits. The counters are as wide as the slice length requires,
// so no count can overflow.
template <typename T>
void counting_sort(std::span<T> slice, unsigned key_bits) {
    check(key_bits == 8 || key_bits == kCountingMaxKeyBits, "counting sort key width must be 8 or 16");
    if (slice.size() <= std::numeric_limits<std::uint32_t>::max()) {
        detail::counting_pass<T, std::uint32_t>(slice, key_bits);
    } else {
        detail::counting_pass<T, std::uint64_t>(slice, key_bits);
    }
}

extern template void counting_sort<std::uint32_t>(std::span<std::uint32_t>, unsigned);
extern template void counting_sort<std::int32_t>(std::span<std::int32_t>, unsigned);

}  // namespace tfs
