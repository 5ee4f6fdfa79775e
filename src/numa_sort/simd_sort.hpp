#pragma once
// Ascending SIMD quicksort of unsigned keys (Highway's vqsort), for pieces
// that fit in a core's cache and for one-thread sorts, where it beats radix
// passes. Sorts in place without heap memory; whatever the keys are, and
// however they change while it runs, it stays within the span and ends.

#include <cstdint>
#include <span>

namespace tfs::general {

void simd_sort(std::span<std::uint32_t> keys) noexcept;
void simd_sort(std::span<std::uint64_t> keys) noexcept;

// The instruction set the SIMD sort runs in this process, e.g. "AVX2".
const char* simd_sort_target() noexcept;

// The same for elements sorted as they are, by value: signed integers, and
// floats without NaNs (the caller's to check: the sort may rewrite NaNs),
// where -0.0 and +0.0 are equal and so come out in either order.
void simd_sort(std::span<std::int32_t> keys) noexcept;
void simd_sort(std::span<std::int64_t> keys) noexcept;
void simd_sort(std::span<float> keys) noexcept;
void simd_sort(std::span<double> keys) noexcept;

namespace detail {
// The compiled sorts behind the overloads above, for the process's targets.
void simd_sort_native(std::span<std::int32_t> keys) noexcept;
void simd_sort_native(std::span<std::int64_t> keys) noexcept;
void simd_sort_native(std::span<float> keys) noexcept;
void simd_sort_native(std::span<double> keys) noexcept;
}  // namespace detail

// Picks the SIMD targets once (as the sorts above do on first use); for
// other units that dispatch to Highway's code themselves.
void prepare_simd_sort() noexcept;

}  // namespace tfs::general
