#pragma once
// The one catalogue of input distributions shared by the tests, the fuzzer and
// the benchmarks, templated over the element type and deterministic from a
// seed, with the framework-free verification helpers: guard zones around the
// slice, a multiset fingerprint and the std::sort reference. catalogue.hpp
// adds the GoogleTest comparisons.

#include <algorithm>
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

// Scales repetition counts down when built with a sanitizer.
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

template <typename T>
using K = key_t<T>;

// Deterministic generator of raw key bits (the standard engines are fully
// specified, so the catalogue is the same on every platform).
class Bits {
public:
    explicit Bits(std::uint64_t seed) : engine_(seed * 0x9E3779B97F4A7C15ull + 0x1234567ull) {}
    std::uint64_t next() { return engine_(); }
    // Uniform in [0, bound) for bound >= 1 (modulo bias is irrelevant here).
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::mt19937_64 engine_;
};

template <typename T>
T from_key(K<T> k) {
    return from_radix_key<T>(k);
}

template <typename T>
T random_value(Bits& bits) {
    return from_key<T>(static_cast<K<T>>(bits.next()));
}

template <typename T>
std::vector<T> uniform(std::size_t n, std::uint64_t seed) {
    Bits bits(seed);
    std::vector<T> v(n);
    for (auto& e : v) e = random_value<T>(bits);
    return v;
}

// Random runs of 1 .. max_run elements, each sorted ascending or descending.
template <typename T>
std::vector<T> runs(std::size_t n, std::uint64_t seed, bool descending) {
    std::vector<T> v = uniform<T>(n, seed);
    Bits bits(seed ^ 0xABCDEFull);
    const std::uint64_t max_run = std::max<std::uint64_t>(2, n / 8);
    std::size_t i = 0;
    while (i < n) {
        const std::size_t len = std::min<std::size_t>(n - i, 1 + bits.below(max_run));
        auto first = v.begin() + static_cast<std::ptrdiff_t>(i);
        auto last = first + static_cast<std::ptrdiff_t>(len);
        if (descending) {
            std::sort(first, last, std::greater<T>());
        } else {
            std::sort(first, last);
        }
        i += len;
    }
    return v;
}


// Length of the runs that the presorted-run pre-pass keeps as blocks in a
// slice of n elements, clamped to [1, max(n, 1)].
inline std::size_t block_run_length(std::size_t n) {
    const std::uint64_t m = min_run_length(n);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(m, 1, std::max<std::size_t>(n, 1)));
}

// Sorted runs of `run` random elements each, independent of each other (so
// that neighbouring runs are out of order), ascending or descending.
template <typename T>
std::vector<T> fixed_runs(std::size_t n, std::uint64_t seed, std::size_t run, bool descending) {
    std::vector<T> v = uniform<T>(n, seed);
    for (std::size_t i = 0; i < n; i += run) {
        auto first = v.begin() + static_cast<std::ptrdiff_t>(i);
        auto last = v.begin() + static_cast<std::ptrdiff_t>(std::min(n, i + run));
        if (descending) {
            std::sort(first, last, std::greater<T>());
        } else {
            std::sort(first, last);
        }
    }
    return v;
}

// Random keys in which every 8-bit digit whose level (counted from the least
// significant) has the parity `fixed_parity` holds one value in all keys:
// every such pass or level finds all keys in one bucket.
template <typename T>
std::vector<T> one_bucket_at_levels(std::size_t n, std::uint64_t seed, unsigned fixed_parity) {
    using Key = K<T>;
    constexpr unsigned levels = Radixable<T>::bits / 8;
    Key fixed_mask = 0;
    for (unsigned level = fixed_parity; level < levels; level += 2)
        fixed_mask = Key(fixed_mask | Key(Key(0xFF) << (8 * level)));
    Bits b(seed);
    const Key fixed = static_cast<Key>(b.next()) & fixed_mask;
    std::vector<T> v(n);
    for (auto& e : v) e = from_key<T>(Key((static_cast<Key>(b.next()) & Key(~fixed_mask)) | fixed));
    return v;
}

// Keys with the top bit set that share every bit above the lowest
// `varying_bits`: full-width keys whose radix passes find one bucket at every
// level but the last.
template <typename T>
std::vector<T> low_bits_only(std::size_t n, std::uint64_t seed, unsigned varying_bits) {
    using Key = K<T>;
    constexpr unsigned bits = Radixable<T>::bits;
    Bits b(seed);
    const Key low = Key((Key(1) << varying_bits) - 1);
    const Key high = Key((static_cast<Key>(b.next()) | Key(Key(1) << (bits - 1))) & Key(~low));
    std::vector<T> v(n);
    for (auto& e : v) e = from_key<T>(Key(high | (static_cast<Key>(b.next()) & low)));
    return v;
}

}  // namespace detail

// The catalogue for element type T. Names are stable; benchmarks pick cases
// by name (catalogue_case).
template <typename T>
std::vector<Case<T>> catalogue() {
    using Key = key_t<T>;
    constexpr unsigned bits = Radixable<T>::bits;
    using detail::Bits;
    using detail::from_key;
    std::vector<Case<T>> cases;
    cases.push_back({"uniform", [](std::size_t n, std::uint64_t seed) { return detail::uniform<T>(n, seed); }});
    cases.push_back({"values_below_2^8", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) e = static_cast<T>(b.below(256));
                         return v;
                     }});
    cases.push_back({"values_below_2^16", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) e = static_cast<T>(b.below(65536));
                         return v;
                     }});
    cases.push_back({"lowest_256_values", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) e = from_key<T>(static_cast<Key>(b.below(256)));
                         return v;
                     }});
    cases.push_back({"lowest_65536_values", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) e = from_key<T>(static_cast<Key>(b.below(65536)));
                         return v;
                     }});
    cases.push_back({"all_equal", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         return std::vector<T>(n, detail::random_value<T>(b));
                     }});
    cases.push_back({"only_minimum", [](std::size_t n, std::uint64_t) {
                         return std::vector<T>(n, std::numeric_limits<T>::min());
                     }});
    cases.push_back({"sorted", [](std::size_t n, std::uint64_t seed) {
                         std::vector<T> v = detail::uniform<T>(n, seed);
                         std::sort(v.begin(), v.end());
                         return v;
                     }});
    cases.push_back({"reversed", [](std::size_t n, std::uint64_t seed) {
                         std::vector<T> v = detail::uniform<T>(n, seed);
                         std::sort(v.begin(), v.end(), std::greater<T>());
                         return v;
                     }});
    cases.push_back({"sorted_runs", [](std::size_t n, std::uint64_t seed) { return detail::runs<T>(n, seed, false); }});
    cases.push_back({"reversed_runs", [](std::size_t n, std::uint64_t seed) { return detail::runs<T>(n, seed, true); }});
    cases.push_back({"few_distinct", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         T pool[8];
                         for (auto& e : pool) e = detail::random_value<T>(b);
                         std::vector<T> v(n);
                         for (auto& e : v) e = pool[b.below(8)];
                         return v;
                     }});
    cases.push_back({"shared_high_bits", [](std::size_t n, std::uint64_t seed) {
                         // Every key has the same top bits; only the low 12 vary.
                         Bits b(seed);
                         const Key low = Key((Key(1) << 12) - 1);
                         const Key high = static_cast<Key>(b.next()) & Key(~low);
                         std::vector<T> v(n);
                         for (auto& e : v) e = from_key<T>(Key(high | (static_cast<Key>(b.next()) & low)));
                         return v;
                     }});
    cases.push_back({"mixed_signs", [](std::size_t n, std::uint64_t seed) {
                         // Values around zero; for unsigned types the negative
                         // half wraps to the top of the range.
                         Bits b(seed);
                         std::vector<T> v(n);
                         for (auto& e : v) {
                             const std::int64_t x = static_cast<std::int64_t>(b.below(1u << 21)) - (1 << 20);
                             e = static_cast<T>(x);
                         }
                         return v;
                     }});
    cases.push_back({"sawtooth", [](std::size_t n, std::uint64_t seed) {
                         Bits b(seed);
                         const std::uint64_t period = 1 + b.below(std::max<std::size_t>(n / 4, 1) + 50);
                         std::vector<T> v(n);
                         for (std::size_t i = 0; i < n; ++i) {
                             v[i] = from_key<T>(Key(Key(i % period) + (Key(1) << (bits - 2))));
                         }
                         return v;
                     }});
    cases.push_back({"organ_pipe", [](std::size_t n, std::uint64_t) {
                         std::vector<T> v(n);
                         for (std::size_t i = 0; i < n; ++i) {
                             v[i] = from_key<T>(Key(std::min(i, n - 1 - i)) + (Key(1) << (bits - 1)) - Key(n / 4));
                         }
                         return v;
                     }});
    cases.push_back({"two_sorted_halves", [](std::size_t n, std::uint64_t seed) {
                         std::vector<T> v = detail::uniform<T>(n, seed);
                         std::sort(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n / 2));
                         std::sort(v.begin() + static_cast<std::ptrdiff_t>(n / 2), v.end());
                         return v;
                     }});
    for (unsigned w = 0; w < bits / 8; ++w) {
        cases.push_back({"digit_window_" + std::to_string(w), [w](std::size_t n, std::uint64_t seed) {
                             // Keys differ only inside bits 8w .. 8w + 7.
                             Bits b(seed);
                             const Key window = Key(Key(0xFF) << (8 * w));
                             const Key base = static_cast<Key>(b.next()) & Key(~window);
                             std::vector<T> v(n);
                             for (auto& e : v) e = from_key<T>(Key(base | (static_cast<Key>(b.next()) & window)));
                             return v;
                         }});
    }
    // Inputs built against radix sorts and the presorted-run pre-pass.
    for (unsigned parity : {0u, 1u}) {
        cases.push_back({parity == 0 ? "one_bucket_at_even_digits" : "one_bucket_at_odd_digits",
                         [parity](std::size_t n, std::uint64_t seed) {
                             return detail::one_bucket_at_levels<T>(n, seed, parity);
                         }});
    }
    cases.push_back({"dominant_bucket_every_level", [](std::size_t n, std::uint64_t seed) {
                         // At every 8-bit level about half of the keys that
                         // agree so far fall into one bucket: a key copies the
                         // top L digits of a fixed key, L geometric.
                         Bits b(seed);
                         const Key pattern = static_cast<Key>(b.next());
                         std::vector<T> v(n);
                         for (auto& e : v) {
                             unsigned kept = 0;
                             while (kept < bits / 8 && (b.next() & 1)) ++kept;
                             const Key keep_mask = kept == 0 ? Key(0) : Key(~Key(0) << (bits - 8 * kept));
                             const Key free_bits = static_cast<Key>(b.next()) & Key(~keep_mask);
                             e = from_key<T>(Key((pattern & keep_mask) | free_bits));
                         }
                         return v;
                     }});
    cases.push_back({"last_digit_only",
                     [](std::size_t n, std::uint64_t seed) { return detail::low_bits_only<T>(n, seed, 8); }});
    cases.push_back({"last_bit_only",
                     [](std::size_t n, std::uint64_t seed) { return detail::low_bits_only<T>(n, seed, 1); }});
    cases.push_back({"sawtooth_across_digits", [](std::size_t n, std::uint64_t seed) {
                         // Ascending teeth that each cross a digit boundary,
                         // tooth j the boundary of 8-bit level 1 + j mod
                         // (levels), the last being the top bit.
                         Bits b(seed);
                         constexpr unsigned levels = bits / 8;
                         const std::size_t period = 2 + 2 * b.below(255);  // half a tooth fits below 2^8
                         std::vector<T> v(n);
                         for (std::size_t i = 0; i < n; ++i) {
                             const unsigned level = 1 + static_cast<unsigned>((i / period) % levels);
                             const Key boundary =
                                 level == levels ? Key(Key(1) << (bits - 1)) : Key(Key(1) << (8 * level));
                             v[i] = from_key<T>(Key(boundary - Key(period / 2) + Key(i % period)));
                         }
                         return v;
                     }});
    cases.push_back({"runs_of_min_run_length", [](std::size_t n, std::uint64_t seed) {
                         return detail::fixed_runs<T>(n, seed, detail::block_run_length(n), false);
                     }});
    cases.push_back({"runs_of_min_run_length_less_one", [](std::size_t n, std::uint64_t seed) {
                         const std::size_t run = std::max<std::size_t>(detail::block_run_length(n) - 1, 1);
                         return detail::fixed_runs<T>(n, seed, run, false);
                     }});
    cases.push_back({"falling_runs_of_min_run_length", [](std::size_t n, std::uint64_t seed) {
                         return detail::fixed_runs<T>(n, seed, detail::block_run_length(n), true);
                     }});
    cases.push_back({"organ_pipes", [](std::size_t n, std::uint64_t) {
                         // Repeated pipes 0, 1, .., m - 1, m - 1, .., 0 with m the
                         // pre-pass run length, centred on the middle key.
                         const std::size_t m = detail::block_run_length(n);
                         std::vector<T> v(n);
                         for (std::size_t i = 0; i < n; ++i) {
                             const std::size_t at = i % (2 * m);
                             const std::size_t height = at < m ? at : 2 * m - 1 - at;
                             v[i] = from_key<T>(Key(Key(height) + (Key(1) << (bits - 1)) - Key(m / 2)));
                         }
                         return v;
                     }});
    return cases;
}

// The case called `name`; throws std::invalid_argument when there is none.
template <typename T>
Case<T> catalogue_case(const std::string& name) {
    for (auto& c : catalogue<T>()) {
        if (c.name == name) return c;
    }
    throw std::invalid_argument("no catalogue case " + name);
}

// Five values that exercise the edges of the key mapping: {min, -1, 0, 1, max}
// for signed types, {0, 1, 2, max - 1, max} for unsigned ones.
template <typename T>
std::vector<T> edge_alphabet() {
    constexpr T lo = std::numeric_limits<T>::min();
    constexpr T hi = std::numeric_limits<T>::max();
    if constexpr (std::is_signed_v<T>) {
        return {lo, T(-1), T(0), T(1), hi};
    } else {
        return {T(0), T(1), T(2), T(hi - 1), hi};
    }
}

// Calls visit(sequence) for every sequence over `alphabet` of each length in
// 0 .. max_len.
template <typename T, typename Visit>
void for_each_sequence(const std::vector<T>& alphabet, std::size_t max_len, Visit&& visit) {
    std::vector<T> seq;
    for (std::size_t len = 0; len <= max_len; ++len) {
        std::vector<std::size_t> digits(len, 0);
        seq.assign(len, alphabet.empty() ? T{} : alphabet[0]);
        while (true) {
            for (std::size_t i = 0; i < len; ++i) seq[i] = alphabet[digits[i]];
            visit(std::vector<T>(seq));
            std::size_t i = 0;
            while (i < len && ++digits[i] == alphabet.size()) digits[i++] = 0;
            if (i == len) break;
        }
    }
}

// Count, min, max and wrap-around sum of the keys: a lost or duplicated
// element changes at least one of them in practice.
template <typename T>
struct Fingerprint {
    std::uint64_t count = 0;
    key_t<T> min = 0;
    key_t<T> max = 0;
    key_t<T> sum = 0;
    bool operator==(const Fingerprint&) const = default;
};

template <typename T>
Fingerprint<T> fingerprint(std::span<const T> slice) {
    Fingerprint<T> f;
    f.count = slice.size();
    f.min = std::numeric_limits<key_t<T>>::max();
    for (const T e : slice) {
        const key_t<T> k = radix_key(e);
        f.min = std::min(f.min, k);
        f.max = std::max(f.max, k);
        f.sum = key_t<T>(f.sum + k);
    }
    return f;
}

// A copy of the input surrounded by guard zones of sentinel elements; a sort
// that writes outside its slice changes a guard.
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
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (storage_[i] != sentinel(i) || storage_[kGuard + n_ + i] != sentinel(kGuard + i)) return false;
        }
        return true;
    }

private:
    static T sentinel(std::size_t i) {
        return from_radix_key<T>(static_cast<key_t<T>>(0xA5C3E1F00F1E3C5Aull * (i + 1)));
    }

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
