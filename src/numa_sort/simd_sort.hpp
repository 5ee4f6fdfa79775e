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

// Picks the SIMD targets once (as the sorts above do on first use); for
// other units that dispatch to Highway's code themselves.
void prepare_simd_sort() noexcept;

}  // namespace tfs::general
