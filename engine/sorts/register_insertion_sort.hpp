#pragma once
// Insertion sort of a small piece held in AVX-512 registers. The sorted
// prefix lives in up to eight 512-bit registers, padded with the largest key;
// inserting x into the sorted p gives q[j] = max(p[j - 1], min(p[j], x)) with
// p[-1] the smallest key, one shift, one min and one max per register and no
// branch; the min does not wait for the shift. Only the registers the prefix has reached take part in a step.
// Keys are compared as unsigned numbers, so the signed types are mapped to
// their radix keys on the way in and back on the way out. The same step on a
// window of one register serves the fix-up walk where short groups are
// densely out of order (register_window_walk).
//
// Call only where avx512_enabled() holds. Off x86-64 the two entry points
// are portable stand-ins that are never reached there.

#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#else
#include <algorithm>
#endif

#include "engine/traits/radixable.hpp"

namespace tfs {

// Eight 512-bit registers: 64 keys of 64 bits, 128 of 32 bits.
inline constexpr std::size_t kRegisterSortRegisters = 8;

template <typename T>
inline constexpr std::size_t kRegisterSortMaxElements = kRegisterSortRegisters * 64 / sizeof(T);

#if defined(__x86_64__)
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
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i sub(__m512i a, __m512i b) {
        return _mm512_maskz_sub_epi32(0xFFFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline void store_first(void* to, __m512i v,
                                                                                   std::size_t count) {
        const auto mask = static_cast<__mmask16>(count >= lanes ? 0xFFFFu : (1u << count) - 1);
        _mm512_mask_storeu_epi32(to, mask, v);
    }
    // Lanes 1 .. 15 of `v`, then lane 0 of `last`.
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i drop_first(__m512i v, __m512i last) {
        return _mm512_maskz_alignr_epi32(0xFFFF, last, v, 1);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline std::uint32_t first(__m512i v) {
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_maskz_extracti32x4_epi32(0xF, v, 0)));
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
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i sub(__m512i a, __m512i b) {
        return _mm512_maskz_sub_epi64(0xFF, a, b);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline void store_first(void* to, __m512i v,
                                                                                   std::size_t count) {
        const auto mask = static_cast<__mmask8>(count >= lanes ? 0xFFu : (1u << count) - 1);
        _mm512_mask_storeu_epi64(to, mask, v);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline __m512i drop_first(__m512i v, __m512i last) {
        return _mm512_maskz_alignr_epi64(0xFF, last, v, 1);
    }
    [[gnu::target("avx512f"), gnu::always_inline]] static inline std::uint64_t first(__m512i v) {
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, v, 0)));
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
#endif

// Elements in the window of register_window_walk: one register.
template <typename T>
inline constexpr std::size_t kRegisterWindow = 64 / sizeof(T);

// Where register_window_walk stopped, and the out-of-order bookkeeping it
// carries: the group of the last out-of-order element and how many
// out-of-order elements of that group came one after another.
template <typename T>
struct WindowWalk {
    std::uint64_t stop;
    key_t<T> previous;
    unsigned counter;
};

// Insertion one element at a time with the sorted window of the
// kRegisterWindow<T> elements before it in a register: inserting x is the
// step of the register insertion sort on one register, stored back whole,
// with no branch on the element's order. Starts at `from`, with
// data[from - window .. from) ascending and the largest of everything before
// `from`; stops at the first element that moves a whole window or more, or
// that is out of order and brings its group's count to `group_at` or lies in
// a group that runs a window ahead (such an element is left to the caller
// and not counted), after `idle_limit` elements in a row in order, or at n.
#if defined(__x86_64__)
template <typename T>
[[gnu::target("avx512f")]] WindowWalk<T> register_window_walk(T* data, std::uint64_t from, std::uint64_t n,
                                                               key_t<T> group_mask, key_t<T> previous,
                                                               unsigned counter, unsigned group_at,
                                                               std::uint64_t idle_limit) {
    using Lanes = detail::KeyLanes<sizeof(T)>;
    using K = key_t<T>;
    constexpr std::size_t L = Lanes::lanes;
    const __m512i flip = Lanes::broadcast(Radixable<T>::sign_flip);
    __m512i window = _mm512_xor_si512(_mm512_loadu_si512(data + from - L), flip);
    K top = radix_key(data[from - 1]);
    std::uint64_t i = from;
    std::uint64_t idle = 0;  // elements in order since the last one out of order
    for (; i < n; ++i) {
        const K x = radix_key(data[i]);
        const bool out_of_order = x < top;
        idle = out_of_order ? 0 : idle + 1;
        if (idle == idle_limit) [[unlikely]]
            break;
        const K g = x & group_mask;
        const unsigned next = out_of_order ? (g == previous ? counter + 1 : 1) : counter;
        // A group that runs a window ahead is left to the group path.
        const bool long_group = i + L < n && (radix_key(data[i + L]) & group_mask) == g;
        if (x < Lanes::first(window) || (out_of_order && (next >= group_at || long_group))) [[unlikely]]
            break;
        counter = next;
        previous = out_of_order ? g : previous;
        top = x > top ? x : top;
        const __m512i key = Lanes::broadcast(x);
        window = Lanes::max(window, Lanes::min(Lanes::drop_first(window, key), key));
        _mm512_storeu_si512(data + i + 1 - L, _mm512_xor_si512(window, flip));
    }
    return {i, previous, counter};
}

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
#else
// Stops at once: the caller goes on without the window.
template <typename T>
WindowWalk<T> register_window_walk(T*, std::uint64_t from, std::uint64_t, key_t<T>, key_t<T> previous, unsigned counter,
                                   unsigned, std::uint64_t) {
    return {from, previous, counter};
}

template <typename T>
void register_insertion_sort(T* data, std::size_t n) {
    std::sort(data, data + n, [](T a, T b) { return radix_key(a) < radix_key(b); });
}
#endif

}  // namespace tfs
