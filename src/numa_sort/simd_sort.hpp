#pragma once
// Ascending SIMD quicksort of unsigned keys (Highway's vqsort, or
// x86-simd-sort's AVX2 quicksort where that measures faster), for pieces
// that fit in a core's cache and for one-thread sorts, where it beats radix
// passes. Sorts in place without heap memory; whatever the keys are, and
// however they change while it runs, it stays within the span and ends.

#include <cstddef>
#include <cstdint>
#include <span>

namespace tfs::general {

void simd_sort(std::span<std::uint32_t> keys) noexcept;
void simd_sort(std::span<std::uint64_t> keys) noexcept;

// The instruction set vqsort runs in this process, e.g. "AVX2".
const char* simd_sort_target() noexcept;

// The same for elements sorted as they are, by value: signed integers, and
// floats without NaNs (the caller's to check: the sort may rewrite NaNs),
// where -0.0 and +0.0 are equal and so come out in either order.
void simd_sort(std::span<std::int32_t> keys) noexcept;
void simd_sort(std::span<std::int64_t> keys) noexcept;
void simd_sort(std::span<float> keys) noexcept;
void simd_sort(std::span<double> keys) noexcept;

namespace detail {
// vqsort's compiled sorts behind the overloads above, for the process's
// targets.
void simd_sort_native(std::span<std::int32_t> keys) noexcept;
void simd_sort_native(std::span<std::int64_t> keys) noexcept;
void simd_sort_native(std::span<float> keys) noexcept;
void simd_sort_native(std::span<double> keys) noexcept;
}  // namespace detail

// Which quicksort takes a key type: Highway's vqsort, or x86-simd-sort's
// AVX2 quicksort where the processor runs AVX2 and that sorts faster.
enum class SimdSortKind : unsigned char { vqsort, avx2 };

// A choice for one type and what it rests on: the least nanoseconds per key
// of a few sorts by each, of random keys and of keys that repeat (16
// values), which the two quicksorts rank differently: on this choice's
// spans, the sort samples the keys and takes `repeats_kind` where they
// repeat. Times are zero where the choice was forced with
// TARVO_FASTSORT_SIMD_SORT=vqsort|x86-simd-sort, or where the AVX2
// quicksort cannot run.
struct SimdSortChoice {
    SimdSortKind kind = SimdSortKind::vqsort;
    SimdSortKind repeats_kind = SimdSortKind::vqsort;
    bool forced = false;
    double vqsort_ns = 0;
    double avx2_ns = 0;
    double repeats_vqsort_ns = 0;
    double repeats_avx2_ns = 0;
};

// The choice for T (u32, i32, u64, i64, float, double) for spans of 65536
// keys or more (`large`: measured on 2^17 keys) or fewer (8192 keys, in
// cache), each measured on first use; thread-safe.
template <typename T>
const SimdSortChoice& simd_sort_choice(bool large) noexcept;

// The chosen quicksort's measured nanoseconds per key of T for a span of n
// random keys; zero where the choice was forced.
template <typename T>
double simd_sort_ns(std::size_t n) noexcept;

// Moves the keys of `keys` below `pivot` to its front, in place, and
// returns how many there are: the AVX2 quicksort's vectorised partition step
// where the processor runs AVX2, else a scalar partition. Whatever the keys
// do meanwhile, it stays within the span and returns at most its length.
std::size_t simd_split(std::span<std::uint32_t> keys, std::uint32_t pivot) noexcept;
std::size_t simd_split(std::span<std::int32_t> keys, std::int32_t pivot) noexcept;
std::size_t simd_split(std::span<std::uint64_t> keys, std::uint64_t pivot) noexcept;
std::size_t simd_split(std::span<std::int64_t> keys, std::int64_t pivot) noexcept;
// Floats by value, as the quicksort takes them (NaN-free, the caller's check).
std::size_t simd_split(std::span<float> keys, float pivot) noexcept;
std::size_t simd_split(std::span<double> keys, double pivot) noexcept;

// Picks the SIMD targets once (as the sorts above do on first use); for
// other units that dispatch to Highway's code themselves.
void prepare_simd_sort() noexcept;

}  // namespace tfs::general
