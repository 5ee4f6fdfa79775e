#pragma once
// In-place mapping between IEEE 754 floats and unsigned keys whose unsigned
// order is the totalOrder of the floats, and the key-mapped sort (of floats,
// or of any words with an order-preserving key map) over replaceable key sort
// and parallel runner.

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>

#include "engine/sorts/order_scan.hpp"

namespace tfs {

// Elements of one map or unmap task: large enough to amortise a task,
// small enough that a pass spreads over the pool.
inline constexpr std::size_t kMapChunk = 65536;
static_assert(kMapChunk > 0);

// Map chunks whose progress marks live on the stack (arrays up to 4M
// elements), so that a small sort allocates nothing for them.
inline constexpr std::size_t kInlineMarkChunks = 64;

// The unsigned key type of each float type.
template <typename F>
struct FloatKey;
template <>
struct FloatKey<float> {
    using type = std::uint32_t;
};
template <>
struct FloatKey<double> {
    using type = std::uint64_t;
};
template <typename F>
using float_key_t = typename FloatKey<F>::type;

template <typename F>
concept KeyedFloat = requires { typename FloatKey<F>::type; } && std::numeric_limits<F>::is_iec559 &&
                     sizeof(F) == sizeof(float_key_t<F>) && alignof(F) == alignof(float_key_t<F>);
static_assert(KeyedFloat<float> && KeyedFloat<double>, "floats must be IEEE 754 binary32/binary64");

// The top bit of a key or float bit pattern.
template <std::unsigned_integral U>
inline constexpr U kSignBit = U{1} << (std::numeric_limits<U>::digits - 1);

// All ones when the top bit of x is set, else zero. The arithmetic shift
// keeps the loops that use it branch-free and vectorisable.
template <std::unsigned_integral U>
constexpr U top_bit_mask(U x) {
    using S = std::make_signed_t<U>;
    return static_cast<U>(static_cast<S>(x) >> (std::numeric_limits<U>::digits - 1));
}

// Key of a float bit pattern: the complement for patterns with the sign bit
// set (negatives, -0.0, negative NaNs), the pattern with the sign bit set
// otherwise. Keys in unsigned order are the floats in IEEE 754 totalOrder:
// the complement reverses the magnitude order of negatives and puts them all
// below every positive pattern.
template <std::unsigned_integral U>
constexpr U float_to_key(U bits) {
    return mapped_key<KeyMap::float_total>(bits);
}

// Float bit pattern of a key; the exact inverse of float_to_key.
template <std::unsigned_integral U>
constexpr U key_to_float(U key) {
    return key ^ (static_cast<U>(~top_bit_mask(key)) | kSignBit<U>);
}

// Key of a float value: float_to_key of its bit pattern.
template <KeyedFloat F>
constexpr float_key_t<F> key_of(F value) {
    return float_to_key(std::bit_cast<float_key_t<F>>(value));
}

namespace float_keys_detail {

// Applies `transform` to every element of `keys[begin, end)` in place.
template <typename U, typename Transform>
void transform_range(U* keys, std::size_t begin, std::size_t end, Transform transform) {
    for (std::size_t i = begin; i < end; ++i) keys[i] = transform(keys[i]);
}

// Applies `transform` to `keys` in map chunks, as one job of `parallel_for`,
// marking each chunk in `done` once it is transformed.
template <typename U, typename Transform, typename ParallelFor>
void transform_pass(std::span<U> keys, std::size_t chunks, bool* done, Transform transform,
                    ParallelFor& parallel_for) {
    parallel_for(chunks, [&](std::size_t i) {
        const std::size_t begin = i * kMapChunk;
        transform_range(keys.data(), begin, std::min(begin + kMapChunk, keys.size()), transform);
        done[i] = true;
    });
}

// Applies `transform` on the calling thread to the chunks whose mark in
// `done` equals `state`. Cannot fail.
template <typename U, typename Transform>
void transform_marked(std::span<U> keys, std::size_t chunks, const bool* done, bool state,
                      Transform transform) noexcept {
    for (std::size_t i = 0; i < chunks; ++i)
        if (done[i] == state)
            transform_range(keys.data(), i * kMapChunk, std::min((i + 1) * kMapChunk, keys.size()),
                            transform);
}

}  // namespace float_keys_detail

// Sorts the unsigned words of `words` in place by their keys: every word is
// rewritten in place into its key (`to_key`), the keys are sorted by
// `sort_keys(std::span<U>)` as unsigned numbers, and the keys are rewritten
// back (`from_key`, the inverse of to_key). Both passes run in chunks of
// kMapChunk elements as one job of `parallel_for(n, task)` each. Fewer than
// two words are left untouched.
//
// Whatever fails (the key sort, or the runner of either pass), `words` holds
// words again when the failure reaches the caller: the same multiset as
// before the call, in some order, never keys.
template <std::unsigned_integral U, typename ToKey, typename FromKey, typename KeySorter, typename ParallelFor>
void keyed_sort_with(std::span<U> words, ToKey to_key, FromKey from_key, KeySorter&& sort_keys,
                     ParallelFor&& parallel_for) {
    using namespace float_keys_detail;
    if (words.size() < 2) return;
    const std::size_t chunks = (words.size() + kMapChunk - 1) / kMapChunk;

    // One mark per map chunk and pass: which chunks a pass has finished when
    // its runner fails part way. Both are allocated before any element is
    // rewritten, so that no allocation can fail while the words hold keys.
    bool inline_marks[2 * kInlineMarkChunks];
    std::unique_ptr<bool[]> heap_marks;
    if (chunks > kInlineMarkChunks) heap_marks.reset(new bool[2 * chunks]);
    bool* const mapped = heap_marks ? heap_marks.get() : inline_marks;
    bool* const unmapped = mapped + chunks;
    std::fill_n(mapped, 2 * chunks, false);
    try {
        transform_pass(words, chunks, mapped, to_key, parallel_for);
    } catch (...) {
        transform_marked(words, chunks, mapped, true, from_key);
        throw;
    }

    try {
        sort_keys(words);
    } catch (...) {
        transform_marked(words, chunks, mapped, true, from_key);
        throw;
    }

    try {
        transform_pass(words, chunks, unmapped, from_key, parallel_for);
    } catch (...) {
        transform_marked(words, chunks, unmapped, false, from_key);
        throw;
    }
}

// Sorts `slice` in place into IEEE 754 totalOrder of its bit patterns:
// keyed_sort_with over the bit patterns, with float_to_key and key_to_float.
// The elements are accessed as keys of the same size and alignment from the
// map pass to the end of the unmap pass, and only through that span.
template <KeyedFloat F, typename KeySorter, typename ParallelFor>
void float_key_sort_with(std::span<F> slice, KeySorter&& sort_keys, ParallelFor&& parallel_for) {
    using U = float_key_t<F>;
    keyed_sort_with(
        std::span<U>(reinterpret_cast<U*>(slice.data()), slice.size()), [](U bits) { return float_to_key(bits); },
        [](U key) { return key_to_float(key); }, std::forward<KeySorter>(sort_keys),
        std::forward<ParallelFor>(parallel_for));
}

}  // namespace tfs
