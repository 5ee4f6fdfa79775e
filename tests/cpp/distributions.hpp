#pragma once
// The one catalogue of input distributions of the tests, the fuzzer and the
// benchmarks (which pick cases by name), deterministic from a seed, with guard
// zones, a multiset fingerprint and the std::sort reference.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "engine/algo/verge_sort_heuristic.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs::testing {

// Whether the larger runs were asked for (TFS_LARGE_TESTS=1).
inline bool large_tests_enabled() {
    const char* v = std::getenv("TFS_LARGE_TESTS");
    return v != nullptr && std::string(v) == "1";
}

// Scales repetitions down when built with AddressSanitizer.
inline constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

// A named input distribution: make(n, seed) returns n elements.
template <typename T>
struct Case {
    std::string name;
    std::function<std::vector<T>(std::size_t n, std::uint64_t seed)> make;
};

namespace detail {

// Deterministic raw key bits (the standard engines are fully specified).
struct Bits {
    explicit Bits(std::uint64_t seed) : engine(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    std::uint64_t next() { return engine(); }
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    std::mt19937_64 engine;
};

// Length of the runs the presorted-run pre-pass keeps in a slice of n.
inline std::size_t block_run_length(std::size_t n) {
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(min_run_length(n), 1, std::max<std::size_t>(n, 1)));
}

}  // namespace detail

// The catalogue for element type T.
template <typename T>
std::vector<Case<T>> catalogue() {
    using Key = key_t<T>;
    using detail::Bits;
    constexpr unsigned bits = Radixable<T>::bits, levels = bits / 8;
    constexpr Key top = Key(Key(1) << (bits - 1));
    std::vector<Case<T>> cases;
    // Keys key(i, n, c, b): c is drawn once per input, b per element.
    const auto keys = [&cases](std::string name, auto key) {
        cases.push_back({std::move(name), [key](std::size_t n, std::uint64_t seed) {
                             Bits b(seed);
                             const Key c = Key(b.next());
                             std::vector<T> v(n);
                             for (std::size_t i = 0; i < n; ++i) v[i] = from_radix_key<T>(Key(key(i, n, c, b)));
                             return v;
                         }});
    };
    // Uniform keys in consecutive sorted runs of run(n, i, b) elements.
    const auto runs = [&cases](std::string name, bool descending, auto run) {
        cases.push_back({std::move(name), [descending, run](std::size_t n, std::uint64_t seed) {
                             Bits b(seed);
                             std::vector<T> v(n);
                             for (auto& e : v) e = from_radix_key<T>(Key(b.next()));
                             for (std::size_t i = 0, len = 0; i < n; i += len) {
                                 len = std::min<std::size_t>(n - i, run(n, i, b));
                                 const auto first = v.begin() + std::ptrdiff_t(i), last = first + std::ptrdiff_t(len);
                                 descending ? std::sort(first, last, std::greater<T>()) : std::sort(first, last);
                             }
                             return v;
                         }});
    };
    keys("uniform", [](std::size_t, std::size_t, Key, Bits& b) { return b.next(); });
    // Element values (not keys) below 2^8 and 2^16, then the lowest keys.
    for (unsigned w : {8u, 16u})
        keys("values_below_2^" + std::to_string(w), [w](std::size_t, std::size_t, Key, Bits& b) {
            return radix_key(static_cast<T>(b.below(std::uint64_t(1) << w)));
        });
    for (unsigned w : {8u, 16u})
        keys("lowest_" + std::to_string(1u << w) + "_values",
             [w](std::size_t, std::size_t, Key, Bits& b) { return b.below(std::uint64_t(1) << w); });
    keys("all_equal", [](std::size_t, std::size_t, Key c, Bits&) { return c; });
    keys("only_minimum", [](std::size_t, std::size_t, Key, Bits&) { return Key(0); });
    runs("sorted", false, [](std::size_t n, std::size_t, Bits&) { return n; });
    runs("reversed", true, [](std::size_t n, std::size_t, Bits&) { return n; });
    for (bool descending : {false, true})  // random runs of 1 .. n / 8 elements
        runs(descending ? "reversed_runs" : "sorted_runs", descending, [](std::size_t n, std::size_t, Bits& b) {
            return 1 + b.below(std::max<std::uint64_t>(2, n / 8));
        });
    keys("few_distinct", [](std::size_t, std::size_t, Key c, Bits& b) { return c ^ Key(b.below(8) * 0x9E3779B97F4A7C15ull); });
    keys("shared_high_bits", [](std::size_t, std::size_t, Key c, Bits& b) {  // the low 12 bits vary
        return (c & Key(~Key(0xFFF))) | (Key(b.next()) & Key(0xFFF));
    });
    keys("mixed_signs", [](std::size_t, std::size_t, Key, Bits& b) {  // around zero; unsigned types wrap
        return radix_key(static_cast<T>(static_cast<std::int64_t>(b.below(1u << 21)) - (1 << 20)));
    });
    keys("sawtooth", [](std::size_t i, std::size_t n, Key c, Bits&) {
        return Key(i % (1 + c % (std::max<std::size_t>(n / 4, 1) + 50))) + (Key(1) << (bits - 2));
    });
    keys("organ_pipe", [](std::size_t i, std::size_t n, Key, Bits&) { return Key(std::min(i, n - 1 - i)) + top - Key(n / 4); });
    runs("two_sorted_halves", false, [](std::size_t n, std::size_t i, Bits&) { return i == 0 ? std::max<std::size_t>(n / 2, 1) : n; });
    // Sorted, one key in a hundred swapped with another, and the largest and
    // smallest swapped at the ends: the key out of place belongs before all.
    cases.push_back({"nearly_sorted", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) e = from_radix_key<T>(Key(b.next()));
                         std::sort(v.begin(), v.end());
                         for (std::size_t s = 0; n > 1 && s < n / 100; ++s) std::swap(v[b.below(n)], v[b.below(n)]);
                         if (n > 1) std::swap(v.front(), v.back());
                         return v;
                     }});
    // Keys differing only inside one 8-bit digit, or sharing every other one.
    for (unsigned w = 0; w < levels; ++w)
        keys("digit_window_" + std::to_string(w), [w](std::size_t, std::size_t, Key c, Bits& b) {
            const Key window = Key(Key(0xFF) << (8 * w));
            return (c & Key(~window)) | (Key(b.next()) & window);
        });
    for (unsigned parity : {0u, 1u})
        keys(parity == 0 ? "one_bucket_at_even_digits" : "one_bucket_at_odd_digits",
             [parity](std::size_t, std::size_t, Key c, Bits& b) {
                 Key fixed = 0;
                 for (unsigned level = parity; level < levels; level += 2) fixed |= Key(Key(0xFF) << (8 * level));
                 return (Key(b.next()) & Key(~fixed)) | (c & fixed);
             });
    // At every level about half the keys that agree so far share the digit.
    keys("dominant_bucket_every_level", [](std::size_t, std::size_t, Key c, Bits& b) {
        unsigned kept = 0;
        while (kept < levels && (b.next() & 1)) ++kept;
        const Key keep = kept == 0 ? Key(0) : Key(~Key(0) << (bits - 8 * kept));
        return (c & keep) | (Key(b.next()) & Key(~keep));
    });
    for (unsigned varying : {8u, 1u})  // top bit set, one value above the lowest bits
        keys(varying == 8 ? "last_digit_only" : "last_bit_only", [varying](std::size_t, std::size_t, Key c, Bits& b) {
            const Key low = Key((Key(1) << varying) - 1);
            return ((c | top) & Key(~low)) | (Key(b.next()) & low);
        });
    // Rising teeth, tooth j crossing the boundary of level 1 + j mod levels.
    keys("sawtooth_across_digits", [](std::size_t i, std::size_t, Key c, Bits&) {
        const std::size_t period = 2 + 2 * (c % 255);
        const unsigned level = 1 + static_cast<unsigned>((i / period) % levels);
        return Key((level == levels ? top : Key(Key(1) << (8 * level))) - Key(period / 2) + Key(i % period));
    });
    // Sorted runs of the pre-pass run length, one shorter, and falling.
    runs("runs_of_min_run_length", false, [](std::size_t n, std::size_t, Bits&) { return detail::block_run_length(n); });
    runs("runs_of_min_run_length_less_one", false,
         [](std::size_t n, std::size_t, Bits&) { return std::max<std::size_t>(detail::block_run_length(n) - 1, 1); });
    runs("falling_runs_of_min_run_length", true, [](std::size_t n, std::size_t, Bits&) { return detail::block_run_length(n); });
    keys("organ_pipes", [](std::size_t i, std::size_t n, Key, Bits&) {  // 0 .. m - 1, m - 1 .. 0 for run length m
        const std::size_t m = detail::block_run_length(n), at = i % (2 * m);
        return Key(Key(at < m ? at : 2 * m - 1 - at) + top - Key(m / 2));
    });
    return cases;
}

// The case called `name`; throws std::invalid_argument when there is none.
template <typename T>
Case<T> catalogue_case(const std::string& name) {
    for (auto& c : catalogue<T>())
        if (c.name == name) return c;
    throw std::invalid_argument("no catalogue case " + name);
}

// The edges of the key map: {min, -1, 0, 1, max} or {0, 1, 2, max - 1, max}.
template <typename T>
std::vector<T> edge_alphabet() {
    constexpr T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    if constexpr (std::is_signed_v<T>) return {lo, T(-1), T(0), T(1), hi};
    else return {T(0), T(1), T(2), T(hi - 1), hi};
}

// Calls visit(sequence) for every sequence over `alphabet` of length 0 .. max_len.
template <typename T, typename Visit>
void for_each_sequence(const std::vector<T>& alphabet, std::size_t max_len, Visit&& visit, std::vector<T> prefix = {}) {
    visit(prefix);
    for (std::size_t i = 0; prefix.size() < max_len && i < alphabet.size(); ++i, prefix.pop_back()) {
        prefix.push_back(alphabet[i]);
        for_each_sequence(alphabet, max_len, visit, prefix);
    }
}

// Count, min, max and wrap-around sum of the keys: a lost or duplicated
// element changes one of them in practice.
template <typename T>
std::array<key_t<T>, 4> fingerprint(std::span<const T> slice) {
    std::array<key_t<T>, 4> f{key_t<T>(slice.size()), std::numeric_limits<key_t<T>>::max(), 0, 0};
    for (const T e : slice) f = {f[0], std::min(f[1], radix_key(e)), std::max(f[2], radix_key(e)), key_t<T>(f[3] + radix_key(e))};
    return f;
}

// A copy of the input between guard zones of sentinels; a sort that writes
// outside its slice changes a guard.
template <typename T>
class GuardedBuffer {
public:
    static constexpr std::size_t kGuard = 64;
    explicit GuardedBuffer(std::span<const T> input) : storage_(input.size() + 2 * kGuard), n_(input.size()) {
        for (std::size_t i = 0; i < kGuard; ++i) {
            storage_[i] = sentinel(i);
            storage_[kGuard + n_ + i] = sentinel(kGuard + i);
        }
        std::copy(input.begin(), input.end(), storage_.begin() + kGuard);
    }
    explicit GuardedBuffer(const std::vector<T>& input) : GuardedBuffer(std::span<const T>(input)) {}
    std::span<T> slice() { return std::span<T>(storage_.data() + kGuard, n_); }
    std::span<const T> slice() const { return std::span<const T>(storage_.data() + kGuard, n_); }
    bool guards_intact() const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (storage_[i] != sentinel(i) || storage_[kGuard + n_ + i] != sentinel(kGuard + i)) return false;
        return true;
    }

private:
    static T sentinel(std::size_t i) { return from_radix_key<T>(static_cast<key_t<T>>(0xA5C3E1F00F1E3C5Aull * (i + 1))); }
    std::vector<T> storage_;
    std::size_t n_;
};

// std::sort of a copy of `original`: the reference a result must equal.
template <typename T>
std::vector<T> sorted_reference(std::span<const T> original) {
    std::vector<T> reference(original.begin(), original.end());
    std::sort(reference.begin(), reference.end());
    return reference;
}

}  // namespace tfs::testing
