#pragma once
// Random keys for the measurements taken once per process (which quicksort,
// which partition shape): the same keys on every run.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace tfs::general {

// n random keys of T: the full range for integers, [-1, 1) for floats.
template <typename T>
std::unique_ptr<T[]> random_keys(std::size_t n) {
    std::unique_ptr<T[]> keys(new T[n]);  // all written below
    std::uint64_t state = 0x2545f4914f6cdd1d;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 6364136223846793005 + 1442695040888963407;
        const std::uint64_t bits = state ^ (state >> 29);
        if constexpr (std::is_floating_point_v<T>) {
            keys[i] = static_cast<T>(static_cast<double>(bits >> 11) * 0x1p-52 - 1.0);
        } else {
            keys[i] = static_cast<T>(bits >> (64 - 8 * sizeof(T)));
        }
    }
    return keys;
}

// n keys of T that take only `values` values, each as often as the others
// on the whole: the first `values` random keys, repeated at random.
template <typename T>
std::unique_ptr<T[]> repeated_keys(std::size_t n, std::size_t values) {
    std::unique_ptr<T[]> keys = random_keys<T>(n);
    std::uint64_t state = 0x9e3779b97f4a7c15;
    for (std::size_t i = values; i < n; ++i) {
        state = state * 6364136223846793005 + 1442695040888963407;
        keys[i] = keys[(state >> 33) % values];
    }
    return keys;
}

}  // namespace tfs::general
