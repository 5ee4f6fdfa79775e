#pragma once
// Radix keys of the engine's element types. A key is the element read as an
// unsigned integer of its width with the sign bit inverted for signed types,
// so that comparing keys as unsigned numbers gives the element order of the
// type; for floats, the key of IEEE 754 totalOrder (negative patterns
// complemented, the others with the sign bit set). Everything the radix
// algorithms need to know about an element type (key width, signedness, the
// mapping both ways) lives here.

#include <bit>
#include <concepts>
#include <cstdint>
#include <type_traits>

namespace tfs {

template <typename T>
struct Radixable;

namespace detail {

// Shared body of the four specialisations: Elem is the element type, K the
// unsigned key type of the same width.
template <typename Elem, typename K>
struct RadixableBase {
    static_assert(std::unsigned_integral<K> && sizeof(Elem) == sizeof(K));
    // Two's complement is guaranteed since C++20, so the bit cast of a signed
    // value followed by inverting the top bit maps the smallest value to key 0
    // and preserves order.
    using Key = K;
    static constexpr unsigned bits = sizeof(K) * 8;
    static constexpr bool is_signed = std::is_signed_v<Elem>;
    static constexpr bool is_float = false;
    static constexpr Key sign_flip = is_signed ? Key(Key(1) << (bits - 1)) : Key(0);

    static constexpr Key to_key(Elem v) noexcept { return std::bit_cast<Key>(v) ^ sign_flip; }
    static constexpr Elem from_key(Key k) noexcept { return std::bit_cast<Elem>(Key(k ^ sign_flip)); }
};

// Floats in totalOrder: -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
// Keys map to the float's bit pattern, not its value, so NaN payloads and
// the signs of zeros survive the round trip.
template <typename F, typename K>
struct RadixableFloat {
    static_assert(std::is_floating_point_v<F> && std::unsigned_integral<K> && sizeof(F) == sizeof(K));
    using Key = K;
    static constexpr unsigned bits = sizeof(K) * 8;
    static constexpr bool is_signed = false;
    static constexpr bool is_float = true;
    static constexpr Key top = Key(Key(1) << (bits - 1));

    static constexpr Key to_key(F v) noexcept {
        const K w = std::bit_cast<K>(v);
        return Key(w ^ (Key(static_cast<std::make_signed_t<K>>(w) >> (bits - 1)) | top));
    }
    static constexpr F from_key(Key k) noexcept {
        const K negative = Key(static_cast<std::make_signed_t<K>>(Key(~k)) >> (bits - 1));
        return std::bit_cast<F>(Key(k ^ (negative | top)));
    }
};

}  // namespace detail

// The 8- and 16-bit types are sorted by counting alone.
template <>
struct Radixable<std::uint8_t> : detail::RadixableBase<std::uint8_t, std::uint8_t> {};
template <>
struct Radixable<std::int8_t> : detail::RadixableBase<std::int8_t, std::uint8_t> {};
template <>
struct Radixable<std::uint16_t> : detail::RadixableBase<std::uint16_t, std::uint16_t> {};
template <>
struct Radixable<std::int16_t> : detail::RadixableBase<std::int16_t, std::uint16_t> {};
template <>
struct Radixable<std::uint32_t> : detail::RadixableBase<std::uint32_t, std::uint32_t> {};
template <>
struct Radixable<std::int32_t> : detail::RadixableBase<std::int32_t, std::uint32_t> {};
template <>
struct Radixable<std::uint64_t> : detail::RadixableBase<std::uint64_t, std::uint64_t> {};
template <>
struct Radixable<std::int64_t> : detail::RadixableBase<std::int64_t, std::uint64_t> {};
template <>
struct Radixable<float> : detail::RadixableFloat<float, std::uint32_t> {};
template <>
struct Radixable<double> : detail::RadixableFloat<double, std::uint64_t> {};

template <typename T>
using key_t = typename Radixable<T>::Key;

// The unsigned key of `v`; key order is element order.
template <typename T>
constexpr key_t<T> radix_key(T v) noexcept {
    return Radixable<T>::to_key(v);
}

// The element whose key is `k`; inverse of radix_key.
template <typename T>
constexpr T from_radix_key(key_t<T> k) noexcept {
    return Radixable<T>::from_key(k);
}

// Where the digits of a radix algorithm lie. `level` is the digit to start at
// (0 = most significant), `radix` the digit width in bits (1 <= radix < bits),
// `offset` the number of high key bits equal in every key and skipped,
// `max_level` the number of digit levels and `bucket_count` 2^radix.
struct RadixParams {
    std::uint64_t level;
    std::uint64_t radix;
    std::uint64_t offset;
    std::uint64_t max_level;
    std::uint64_t bucket_count;
};

static_assert(radix_key<std::int8_t>(-1) == 0x7fu && radix_key<std::int16_t>(INT16_MIN) == 0u);
static_assert(radix_key<std::int32_t>(INT32_MIN) == 0u);
static_assert(radix_key<std::int32_t>(-1) == 0x7fffffffu);
static_assert(radix_key<std::int32_t>(0) == 0x80000000u);
static_assert(radix_key<std::int64_t>(INT64_MIN) == 0u);
static_assert(radix_key<std::uint64_t>(UINT64_MAX) == UINT64_MAX);
static_assert(from_radix_key<std::int64_t>(radix_key<std::int64_t>(-5)) == -5);
static_assert(radix_key(-0.0) == 0x7fffffffffffffffu && radix_key(0.0) == 0x8000000000000000u);
static_assert(radix_key(-1.0f) < radix_key(-0.5f) && radix_key(1.0f) < radix_key(2.0f));
static_assert(from_radix_key<double>(radix_key(-2.5)) == -2.5 && from_radix_key<float>(radix_key(3.0f)) == 3.0f);

}  // namespace tfs
