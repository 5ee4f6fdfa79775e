#pragma once
// Insertion sort of a small piece held in AVX-512 registers. The sorted
// prefix lives in up to eight 512-bit registers, padded with the largest key;
// inserting x into the sorted p gives q[j] = max(p[j - 1], min(p[j], x)) with
// p[-1] the smallest key, one shift, one min and one max per register and no
// branch; the min does not wait for the shift. Only the registers the prefix has reached take part in a step.
// Keys are compared as unsigned numbers, so the signed types are mapped to
// their radix keys on the way in and back on the way out.
//
// Call only where avx512_enabled() holds.

#include <cstddef>
#include <cstdint>
#include <utility>

#include <immintrin.h>

#include "engine/traits/radixable.hpp"

namespace tfs {

// Eight 512-bit registers: 64 keys of 64 bits, 128 of 32 bits.
inline constexpr std::size_t kRegisterSortRegisters = 8;

template <typename T>
inline constexpr std::size_t kRegisterSortMaxElements = kRegisterSortRegisters * 64 / sizeof(T);

namespace detail {

// The lane operations of one key width. The zero-masked forms with every lane
// selected are the plain instructions; GCC 12 warns about the unmasked
// intrinsics' undefined pass-through operand.
template <std::size_t KeyBytes>
struct KeyLanes;

template <>
struct KeyLanes<4> {
    static constexpr std::size_t lanes = 16;
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i broadcast(std::uint32_t k) {
        return _mm512_set1_epi32(static_cast<int>(k));
    }
    // Lane j of the result is lane j - 1 of `cur`; lane 0 is the last lane of `before`.
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i shift_in(__m512i cur, __m512i before) {
        return _mm512_maskz_alignr_epi32(0xFFFF, cur, before, 15);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i min(__m512i a, __m512i b) {
        return _mm512_maskz_min_epu32(0xFFFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i max(__m512i a, __m512i b) {
        return _mm512_maskz_max_epu32(0xFFFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline void store_first(void* to, __m512i v,
                                                                                   std::size_t count) {
        const auto mask = static_cast<__mmask16>(count >= lanes ? 0xFFFFu : (1u << count) - 1);
        _mm512_mask_storeu_epi32(to, mask, v);
    }
};

template <>
struct KeyLanes<8> {
    static constexpr std::size_t lanes = 8;
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i broadcast(std::uint64_t k) {
        return _mm512_set1_epi64(static_cast<long long>(k));
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i shift_in(__m512i cur, __m512i before) {
        return _mm512_maskz_alignr_epi64(0xFF, cur, before, 7);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i min(__m512i a, __m512i b) {
        return _mm512_maskz_min_epu64(0xFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i max(__m512i a, __m512i b) {
        return _mm512_maskz_max_epu64(0xFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline void store_first(void* to, __m512i v,
                                                                                   std::size_t count) {
        const auto mask = static_cast<__mmask8>(count >= lanes ? 0xFFu : (1u << count) - 1);
        _mm512_mask_storeu_epi64(to, mask, v);
    }
};

// Inserts data[from .. to) into the sorted registers, of which the first
// `Active` can hold keys yet.
template <typename T, std::size_t Active, std::size_t R>
[[gnu::target("avx512f"), gnu::always_inline]] inline void register_insert(__m512i (&reg)[R], const T* data,
                                                                          std::size_t from, std::size_t to) {
    using Lanes = KeyLanes<sizeof(T)>;
    const __m512i smallest = _mm512_setzero_si512();
    for (std::size_t k = from; k < to; ++k) {
        const __m512i x = Lanes::broadcast(radix_key(data[k]));
        __m512i before[Active];
        before[0] = Lanes::shift_in(reg[0], smallest);
        for (std::size_t r = 1; r < Active; ++r) before[r] = Lanes::shift_in(reg[r], reg[r - 1]);
        for (std::size_t r = 0; r < Active; ++r) reg[r] = Lanes::max(before[r], Lanes::min(reg[r], x));
    }
}

// Phase A inserts the elements that fill register A.
template <typename T, std::size_t R, std::size_t... A>
[[gnu::target("avx512f"), gnu::always_inline]] inline void register_insert_phases(__m512i (&reg)[R], const T* data,
                                                                                 std::size_t n,
                                                                                 std::index_sequence<A...>) {
    constexpr std::size_t L = KeyLanes<sizeof(T)>::lanes;
    ((A * L < n ? register_insert<T, A + 1>(reg, data, A * L, (A + 1) * L < n ? (A + 1) * L : n) : void()), ...);
}

template <typename T, std::size_t R>
[[gnu::target("avx512f")]] void register_insertion_sort_fixed(T* data, std::size_t n) {
    using Lanes = KeyLanes<sizeof(T)>;
    constexpr std::size_t L = Lanes::lanes;
    __m512i reg[R];
    for (auto& r : reg) r = _mm512_set1_epi32(-1);  // the largest key: padding stays at the end
    register_insert_phases<T, R>(reg, data, n, std::make_index_sequence<R>{});
    const __m512i flip = Lanes::broadcast(Radixable<T>::sign_flip);
    for (std::size_t r = 0; r < R && r * L < n; ++r) {
        Lanes::store_first(data + r * L, _mm512_xor_si512(reg[r], flip), n - r * L);
    }
}

}  // namespace detail

// Sorts data[0 .. n) ascending; n at most kRegisterSortMaxElements<T>.
template <typename T>
void register_insertion_sort(T* data, std::size_t n) {
    constexpr std::size_t L = detail::KeyLanes<sizeof(T)>::lanes;
    switch ((n + L - 1) / L) {
        case 0:
        case 1: return detail::register_insertion_sort_fixed<T, 1>(data, n);
        case 2: return detail::register_insertion_sort_fixed<T, 2>(data, n);
        case 3: return detail::register_insertion_sort_fixed<T, 3>(data, n);
        case 4: return detail::register_insertion_sort_fixed<T, 4>(data, n);
        case 5: return detail::register_insertion_sort_fixed<T, 5>(data, n);
        case 6: return detail::register_insertion_sort_fixed<T, 6>(data, n);
        case 7: return detail::register_insertion_sort_fixed<T, 7>(data, n);
        default: return detail::register_insertion_sort_fixed<T, 8>(data, n);
    }
}

}  // namespace tfs
