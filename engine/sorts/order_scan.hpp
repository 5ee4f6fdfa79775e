#pragma once
// Scans for the first step against an order: the first position whose key is
// below (ascending) or above (descending) the key before it. Keys are words
// read through a key map, so that signed integers and floats are scanned in
// their own order without being rewritten first. With AVX-512 a step compares
// a whole register of neighbour pairs, with AVX2 two registers; elsewhere
// kOrderScanStep pairs, with one branch per step instead of one per element.
//
// The scans only read, and every loop is bounded by n, so they are safe on a
// lent array that another thread writes meanwhile.

#include <concepts>
#include <cstddef>
#include <limits>
#include <span>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/sorts/simd_dispatch.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Neighbour pairs compared per step of the baseline scan (8 beat 1 by 10 to
// 20% in the fix-up walk on uniform keys from 1e3 to 1e5; 16 gained nothing).
inline constexpr std::size_t kOrderScanStep = 8;

// How a word becomes the key it is ordered by.
enum class KeyMap {
    plain,        // the word itself (unsigned integers, radix keys)
    sign_flip,    // the top bit inverted (two's-complement integers)
    float_total,  // IEEE 754 totalOrder of the float with this bit pattern
};

enum class Direction { ascending, descending };

// The key map under which words of T's key type order like T's values.
template <typename T>
inline constexpr KeyMap value_order = Radixable<T>::is_float    ? KeyMap::float_total
                                      : Radixable<T>::is_signed ? KeyMap::sign_flip
                                                                : KeyMap::plain;

template <KeyMap M, std::unsigned_integral U>
constexpr U mapped_key(U w) {
    constexpr U top = U(1) << (std::numeric_limits<U>::digits - 1);
    if constexpr (M == KeyMap::sign_flip) {
        return U(w ^ top);
    } else if constexpr (M == KeyMap::float_total) {
        // Negative patterns complemented, the others with the top bit set.
        const U negative = U(static_cast<std::make_signed_t<U>>(w) >> (std::numeric_limits<U>::digits - 1));
        return U(w ^ (negative | top));
    } else {
        return w;
    }
}

namespace detail {

// Whether the pair (before, at) steps against direction D.
template <KeyMap M, Direction D, std::unsigned_integral U>
constexpr bool steps_back(U before, U at) {
    if constexpr (D == Direction::ascending)
        return mapped_key<M>(at) < mapped_key<M>(before);
    else
        return mapped_key<M>(before) < mapped_key<M>(at);
}

template <KeyMap M, Direction D, std::unsigned_integral U>
std::size_t first_break_baseline(const U* data, std::size_t i, std::size_t n) {
    while (n - i >= kOrderScanStep) {
        bool any = false;
        for (std::size_t k = 0; k < kOrderScanStep; ++k) any |= steps_back<M, D>(data[i + k - 1], data[i + k]);
        if (any) break;
        i += kOrderScanStep;
    }
    while (i < n && !steps_back<M, D>(data[i - 1], data[i])) ++i;
    return i;
}

#if defined(__x86_64__)
template <KeyMap M, std::unsigned_integral U>
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i mapped_keys(__m512i w) {
    constexpr bool wide = sizeof(U) == 8;
    const __m512i top = wide ? _mm512_set1_epi64(static_cast<long long>(1ULL << 63))
                             : _mm512_set1_epi32(static_cast<int>(1U << 31));
    if constexpr (M == KeyMap::sign_flip) {
        return _mm512_xor_si512(w, top);
    } else if constexpr (M == KeyMap::float_total) {
        // The zero-masked shifts with every lane selected are the plain ones;
        // GCC 12 warns about the unmasked intrinsics' undefined operand.
        const __m512i negative = wide ? _mm512_maskz_srai_epi64(0xFF, w, 63) : _mm512_maskz_srai_epi32(0xFFFF, w, 31);
        return _mm512_xor_si512(w, _mm512_or_si512(negative, top));
    } else {
        return w;
    }
}

template <KeyMap M, Direction D, std::unsigned_integral U>
[[gnu::target("avx512f")]] std::size_t first_break_avx512(const U* data, std::size_t i, std::size_t n) {
    constexpr std::size_t lanes = 64 / sizeof(U);
    // The first few pairs without the vector loads: the fix-up walk mostly
    // asks where the next break is among dense ones.
    if (n - i >= kOrderScanStep) {
        const std::size_t near = first_break_baseline<M, D>(data, i, i + kOrderScanStep);
        if (near < i + kOrderScanStep) return near;
        i += kOrderScanStep;
    }
    while (n - i >= lanes) {
        const __m512i before = mapped_keys<M, U>(_mm512_loadu_si512(data + i - 1));
        const __m512i at = mapped_keys<M, U>(_mm512_loadu_si512(data + i));
        const __m512i low = D == Direction::ascending ? at : before;
        const __m512i high = D == Direction::ascending ? before : at;
        unsigned mask;
        if constexpr (sizeof(U) == 8)
            mask = _mm512_cmplt_epu64_mask(low, high);
        else
            mask = _mm512_cmplt_epu32_mask(low, high);
        if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask));
        i += lanes;
    }
    return first_break_baseline<M, D>(data, i, n);
}

// The words of a register as signed numbers that order like their keys:
// with the top bit inverted, a key compares as unsigned where the signed
// compare of AVX2 applies (plain: the word inverted at the top; sign_flip:
// the word itself; float_total: negative patterns complemented below the
// sign bit).
template <KeyMap M, std::unsigned_integral U>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i signed_order(__m256i w) {
    constexpr bool wide = sizeof(U) == 8;
    const __m256i top = wide ? _mm256_set1_epi64x(static_cast<long long>(1ULL << 63))
                             : _mm256_set1_epi32(static_cast<int>(1U << 31));
    if constexpr (M == KeyMap::plain) {
        return _mm256_xor_si256(w, top);
    } else if constexpr (M == KeyMap::sign_flip) {
        return w;
    } else {
        const __m256i negative = wide ? _mm256_cmpgt_epi64(_mm256_setzero_si256(), w) : _mm256_srai_epi32(w, 31);
        return _mm256_xor_si256(w, _mm256_andnot_si256(top, negative));
    }
}

// All ones in each lane of the register at data + at whose key steps against
// direction D from the key before it.
template <KeyMap M, Direction D, std::unsigned_integral U>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i steps_back_avx2(const U* data, std::size_t at) {
    const __m256i before = signed_order<M, U>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at - 1)));
    const __m256i here = signed_order<M, U>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at)));
    const __m256i low = D == Direction::ascending ? here : before;
    const __m256i high = D == Direction::ascending ? before : here;
    if constexpr (sizeof(U) == 8)
        return _mm256_cmpgt_epi64(high, low);
    else
        return _mm256_cmpgt_epi32(high, low);
}

template <KeyMap M, Direction D, std::unsigned_integral U>
[[gnu::target("avx2")]] std::size_t first_break_avx2(const U* data, std::size_t i, std::size_t n) {
    constexpr std::size_t lanes = 32 / sizeof(U);
    if (n - i >= kOrderScanStep) {
        const std::size_t near = first_break_baseline<M, D>(data, i, i + kOrderScanStep);
        if (near < i + kOrderScanStep) return near;
        i += kOrderScanStep;
    }
    // Two registers a step: a break in either stops the loop.
    while (n - i >= 2 * lanes) {
        const __m256i first = steps_back_avx2<M, D>(data, i), second = steps_back_avx2<M, D>(data, i + lanes);
        if (!_mm256_testz_si256(_mm256_or_si256(first, second), _mm256_or_si256(first, second))) {
            const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(first));
            if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(mask)) / sizeof(U);
            return i + lanes +
                   static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(_mm256_movemask_epi8(second)))) / sizeof(U);
        }
        i += 2 * lanes;
    }
    return first_break_baseline<M, D>(data, i, n);
}
#endif

}  // namespace detail

// The first position i in [from, n) whose key steps against direction D from
// the key at i - 1, or n when none does. Requires 1 <= from.
template <KeyMap M, Direction D, std::unsigned_integral U>
std::size_t first_break(const U* data, std::size_t from, std::size_t n) {
    static_assert(sizeof(U) == 4 || sizeof(U) == 8, "the vector scan has 32- and 64-bit lanes");
    if (from >= n) return n;
#if defined(__x86_64__)
    if (avx512_enabled()) return detail::first_break_avx512<M, D>(data, from, n);
    if (avx2_enabled()) return detail::first_break_avx2<M, D>(data, from, n);
#endif
    return detail::first_break_baseline<M, D>(data, from, n);
}

// Whether the keys of `words` never step against direction D.
template <KeyMap M, Direction D = Direction::ascending, std::unsigned_integral U>
bool in_key_order(std::span<const U> words) {
    return first_break<M, D>(words.data(), 1, words.size()) == words.size();
}

}  // namespace tfs
