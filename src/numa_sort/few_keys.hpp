#pragma once
// Lanes of few keys, for argsort() and sort(): a sample that tells whether
// a few keys bear most of a lane, and which; the one-byte slot of each such
// key, in key order, found by a hash table or, with AVX2, by comparing a
// register of elements with each of the most frequent bit patterns.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/failure.hpp"

namespace tfs::general {

// Keys sampled to find whether a lane holds few keys, and which.
constexpr std::size_t kFewKeysSample = 255;
// Keys seen once in the sample at most: as many in kFewKeysSample estimate
// the share of the lane whose keys the sample missed, which go to the tail
// (here about a fifth).
constexpr std::size_t kFewKeysSampleOnceMax = 48;
// A tail of more than this share of the lane gives up: the sample misled,
// and the tail's own sort would cost as much as the whole lane's.
constexpr std::size_t kFewKeysTailMaxDivisor = 2;
// The slot of keys outside the sample's: one byte names a key's slot.
constexpr std::uint8_t kTailSlot = 0xff;

// A map from values to one-byte slots below kTailSlot, kTailSlot for any
// value not in it: a hash table with open addressing, in L1. Read only once
// built, so every worker shares one.
template <typename U>
class SlotTable {
public:
    SlotTable() { std::fill(std::begin(slot_of_), std::end(slot_of_), kTailSlot); }
    // Value v has slot s (the first one given, where v comes again).
    void add(U v, std::uint8_t s) {
        std::size_t h = hash(v);
        for (; slot_of_[h] != kTailSlot; h = (h + 1) & (kTableSize - 1))
            if (values_[h] == v) return;
        values_[h] = v;
        slot_of_[h] = s;
    }
    std::uint8_t slot(U v) const {
        for (std::size_t h = hash(v);; h = (h + 1) & (kTableSize - 1)) {
            const std::uint8_t s = slot_of_[h];
            if (s == kTailSlot || values_[h] == v) return s;
        }
    }

private:
    static constexpr unsigned kTableBits = 10;  // 4 entries a value at least for 255 values: short probes
    static constexpr std::size_t kTableSize = std::size_t(1) << kTableBits;
    static std::size_t hash(U v) {
        return static_cast<std::size_t>((std::uint64_t(v) * 0x9e3779b97f4a7c15u) >> (64 - kTableBits));
    }
    std::uint8_t slot_of_[kTableSize];
    U values_[kTableSize];  // where slot_of_ is set
};

// The slots of a sample's distinct keys: each its rank among them, so that
// slots are in key order; kTailSlot for any other key. (Comparing a key
// with each of up to 8 took 2.8 times as long as the probe: Zen 3, 4 keys.)
template <typename U>
class KeyTable {
public:
    // `keys` in ascending order, distinct, fewer than kTailSlot.
    explicit KeyTable(std::span<const U> keys) : size_(keys.size()) {
        check(keys.size() < kTailSlot, "too many keys for one-byte slots");
        std::copy(keys.begin(), keys.end(), keys_);
        for (std::size_t s = 0; s < size_; ++s) slots_.add(keys_[s], static_cast<std::uint8_t>(s));
    }
    std::size_t size() const { return size_; }
    U key(std::size_t slot) const { return keys_[slot]; }
    // Key k's slot.
    std::uint8_t slot(U k) const { return slots_.slot(k); }

private:
    SlotTable<U> slots_;
    U keys_[kTailSlot];
    std::size_t size_;
};


// The distinct keys of a lane's sample where they are few: sorts `sample`
// (kFewKeysSample keys) and moves its distinct keys, in order, to its front;
// returns how many, or none where the sample shows too many keys. Every
// 8th key is looked at first: where those are all distinct, so are the
// lane's keys mostly, and the whole sample need not be sorted.
template <typename U>
std::optional<std::size_t> few_sampled_keys(std::array<U, kFewKeysSample>& sample) {
    std::array<U, kFewKeysSample / 8> first;
    for (std::size_t s = 0; s < first.size(); ++s) first[s] = sample[8 * s];
    std::sort(first.begin(), first.end());
    if (std::adjacent_find(first.begin(), first.end()) == first.end()) return std::nullopt;
    std::sort(sample.begin(), sample.end());
    std::size_t keys = 0;
    std::size_t once = 0;
    for (std::size_t i = 0, j = 0; i < kFewKeysSample; i = j) {
        while (j < kFewKeysSample && sample[j] == sample[i]) ++j;
        once += j - i == 1;
        sample[keys++] = sample[i];
    }
    if (once > kFewKeysSampleOnceMax) return std::nullopt;
    return keys;
}

// Contiguous lanes of few keys have each element's slot found by comparing
// it with each of the sample's most frequent bit patterns, at most this
// many, with AVX2, a register of elements at a time, rather than by a probe
// of the hash table per element; the elements that match none are probed
// (Zen 3, one thread, 1e4 to 1e6: 4 keys 0.65 to 0.8 of the time, Zipf
// with exponent 3 0.8 to 0.9; 6 and 8 keys 0.7 to 0.9 of the time of 4
// patterns) ...
constexpr std::size_t kVectorPatterns = 8;
// Counted without slots (sort()'s lanes of few keys), up to this many
// patterns are compared: 16 keys cost about what the SIMD quicksort takes
// on one thread for integers, and less for floats or on two workers (Zen 3,
// distinct16 at 1e7: u32 1.52 against 1.54 ns a key on one thread, 0.89
// against 0.99 on two; f32 1.47 against 1.88 on one).
constexpr std::size_t kCountPatterns = 16;
// ... where those patterns make up at least this share (in eighths) of the
// sample: else too many registers would hold one that matches none ...
constexpr std::size_t kVectorPatternsMinEighths = 7;
// ... and each was seen in the sample at least this many times the number
// of elements a register holds, 2 for 32-bit keys, 4 for 64-bit: a rarer
// pattern costs its compare in every register more than the probes it saves
// (Zen 3, Zipf with exponent 3, one thread: f64 at 1e4 1.15 times slower
// with every pattern seen twice, u32 at 1e6 1.15 times slower without them).
constexpr std::size_t kVectorPatternMinSampledLanes = 16;

// Up to kCountPatterns distinct bit patterns and the slot of each.
template <typename U>
struct PatternSlots {
    std::size_t size = 0;
    std::size_t covered = 0;  // sampled elements that are one of them
    std::array<U, kCountPatterns> patterns;
    std::array<std::uint8_t, kCountPatterns> slots;
};

// The sample's most frequent bit patterns, at most `most` (kVectorPatterns,
// or kCountPatterns where they are only counted), with slot_of(pattern),
// where they make up at least kVectorPatternsMinEighths of it.
template <typename U, std::size_t N, typename SlotOf>
std::optional<PatternSlots<U>> frequent_patterns(std::array<U, N> sample, SlotOf slot_of,
                                                 std::size_t most = kVectorPatterns) {
    std::sort(sample.begin(), sample.end());
    std::array<std::pair<std::size_t, U>, N> runs;  // (count, pattern)
    std::size_t distinct = 0;
    for (std::size_t i = 0, j = 0; i < sample.size(); i = j) {
        while (j < sample.size() && sample[j] == sample[i]) ++j;
        runs[distinct++] = {j - i, sample[i]};
    }
    const std::size_t taken = std::min({distinct, most, kCountPatterns});
    std::partial_sort(runs.begin(), runs.begin() + taken, runs.begin() + distinct,
                      [](const auto& x, const auto& y) { return x.first > y.first; });
    PatternSlots<U> known;
    std::size_t covered = 0;
    constexpr std::size_t lanes = 32 / sizeof(U);
    for (; known.size < taken && runs[known.size].first * lanes >= kVectorPatternMinSampledLanes; ++known.size) {
        covered += runs[known.size].first;
        known.patterns[known.size] = runs[known.size].second;
        known.slots[known.size] = slot_of(runs[known.size].second);
    }
    if (covered * 8 < sample.size() * kVectorPatternsMinEighths) return std::nullopt;
    known.covered = covered;
    return known;
}

#if defined(__x86_64__)
template <typename U>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i broadcast_lanes(U v) {
    if constexpr (sizeof(U) == 8)
        return _mm256_set1_epi64x(static_cast<long long>(v));
    else
        return _mm256_set1_epi32(static_cast<int>(v));
}

template <typename U>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i equal_lanes(__m256i a, __m256i b) {
    if constexpr (sizeof(U) == 8)
        return _mm256_cmpeq_epi64(a, b);
    else
        return _mm256_cmpeq_epi32(a, b);
}

template <typename U>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i subtract_lanes(__m256i a, __m256i b) {
    if constexpr (sizeof(U) == 8)
        return _mm256_sub_epi64(a, b);
    else
        return _mm256_sub_epi32(a, b);
}

// Adds the lanes of each pattern's counters to its slot's count, and clears
// them.
template <typename U>
[[gnu::target("avx2")]] inline void flush_lane_counts(const PatternSlots<U>& known, __m256i* seen,
                                                      std::uint64_t* counts) {
    for (std::size_t k = 0; k < known.size; ++k) {
        alignas(32) U lane_counts[32 / sizeof(U)];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lane_counts), seen[k]);
        for (const U c : lane_counts) counts[known.slots[k]] += c;
        seen[k] = _mm256_setzero_si256();
    }
}

// Writes the slot of each element of [begin, end) of the contiguous `data`
// to `slots` and counts it in `counts`: an element equal to one of `known`
// takes that pattern's slot, a register of elements compared with each
// pattern at once; any other is classified by `other(i, v)`, which returns
// its slot, in index order. Each element is read once.
template <typename U, typename Other>
[[gnu::target("avx2")]] void classify_by_patterns_avx2(const char* data, std::size_t begin, std::size_t end,
                                                       const PatternSlots<U>& known, std::uint8_t* slots,
                                                       std::uint64_t* counts, Other&& other) {
    constexpr std::size_t lanes = 32 / sizeof(U);
    // Lane counters flushed at least this often, so that 32-bit ones never wrap.
    constexpr std::size_t kFlushVectors = std::size_t(1) << 24;
    __m256i pattern[kVectorPatterns], marked[kVectorPatterns], seen[kVectorPatterns];
    check(known.size <= kVectorPatterns, "more patterns than registers to classify by");
    for (std::size_t k = 0; k < known.size; ++k) {
        pattern[k] = broadcast_lanes<U>(known.patterns[k]);
        marked[k] = broadcast_lanes<U>(static_cast<U>(known.slots[k] + 1));  // 0: none matched
        seen[k] = _mm256_setzero_si256();
    }
    // Byte 0 of each lane, gathered into the low bytes of each 128-bit half.
    const __m256i gather = sizeof(U) == 8
                               ? _mm256_setr_epi8(0, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 8, -1,
                                                  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)
                               : _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8,
                                                  12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i one = broadcast_lanes<U>(U(1));
    std::size_t i = begin;
    for (std::size_t vectors = 0; end - i >= lanes; i += lanes) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i * sizeof(U)));
        __m256i slot = _mm256_setzero_si256();
        for (std::size_t k = 0; k < known.size; ++k) {
            const __m256i equal = equal_lanes<U>(v, pattern[k]);
            slot = _mm256_or_si256(slot, _mm256_and_si256(equal, marked[k]));
            seen[k] = subtract_lanes<U>(seen[k], equal);  // an equal lane is all ones: -1
        }
        const auto none = static_cast<std::uint32_t>(_mm256_movemask_epi8(equal_lanes<U>(slot, _mm256_setzero_si256())));
        const __m256i bytes = _mm256_shuffle_epi8(subtract_lanes<U>(slot, one), gather);
        if constexpr (sizeof(U) == 8) {
            const std::uint32_t four = static_cast<std::uint32_t>(_mm256_extract_epi16(bytes, 0)) |
                                       static_cast<std::uint32_t>(_mm256_extract_epi16(bytes, 8)) << 16;
            std::memcpy(slots + i, &four, sizeof four);
        } else {
            const std::uint64_t eight = static_cast<std::uint32_t>(_mm256_extract_epi32(bytes, 0)) |
                                        std::uint64_t(static_cast<std::uint32_t>(_mm256_extract_epi32(bytes, 4))) << 32;
            std::memcpy(slots + i, &eight, sizeof eight);
        }
        if (none != 0) [[unlikely]] {
            alignas(32) U held[lanes];
            _mm256_store_si256(reinterpret_cast<__m256i*>(held), v);
            for (std::size_t j = 0; j < lanes; ++j) {
                if ((none >> (j * sizeof(U)) & 1) == 0) continue;
                const std::uint8_t s = other(i + j, held[j]);
                slots[i + j] = s;
                ++counts[s];
            }
        }
        if (++vectors == kFlushVectors) {
            flush_lane_counts<U>(known, seen, counts);
            vectors = 0;
        }
    }
    flush_lane_counts<U>(known, seen, counts);
    for (; i < end; ++i) {
        U v;
        std::memcpy(&v, data + i * sizeof(U), sizeof(U));
        const std::uint8_t s = other(i, v);
        slots[i] = s;
        ++counts[s];
    }
}

// Counts the slot of each element of [begin, end) of the contiguous `data`
// in `counts`, as classify_by_patterns_avx2 does without the slots: with K
// patterns compared (known's, the first repeated up to K) in registers,
// each element costs a compare, an or and a subtraction per pattern (u32,
// Zipf with exponent 3, six patterns: 0.2 ns a key, a third of the time of
// the classification with slots).
template <typename U, std::size_t K, typename Other>
[[gnu::target("avx2")]] void count_by_patterns_avx2(const char* data, std::size_t begin, std::size_t end,
                                                    const PatternSlots<U>& known, std::uint64_t* counts,
                                                    Other&& other) {
    constexpr std::size_t lanes = 32 / sizeof(U);
    constexpr std::size_t kFlushVectors = std::size_t(1) << 24;  // 32-bit lane counters never wrap
    __m256i pattern[K], seen[K];
    for (std::size_t k = 0; k < K; ++k) {
        pattern[k] = broadcast_lanes<U>(known.patterns[k < known.size ? k : 0]);
        seen[k] = _mm256_setzero_si256();
    }
    std::size_t i = begin;
    for (std::size_t vectors = 0; end - i >= lanes; i += lanes) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i * sizeof(U)));
        __m256i matched = _mm256_setzero_si256();
        for (std::size_t k = 0; k < K; ++k) {
            const __m256i equal = equal_lanes<U>(v, pattern[k]);
            matched = _mm256_or_si256(matched, equal);
            seen[k] = subtract_lanes<U>(seen[k], equal);  // an equal lane is all ones: -1
        }
        const auto none = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(matched));
        if (none != 0) [[unlikely]] {
            alignas(32) U held[lanes];
            _mm256_store_si256(reinterpret_cast<__m256i*>(held), v);
            for (std::size_t j = 0; j < lanes; ++j)
                if ((none >> (j * sizeof(U)) & 1) != 0) ++counts[other(i + j, held[j])];
        }
        if (++vectors == kFlushVectors) {
            flush_lane_counts<U>(known, seen, counts);
            vectors = 0;
        }
    }
    flush_lane_counts<U>(known, seen, counts);
    for (; i < end; ++i) {
        U v;
        std::memcpy(&v, data + i * sizeof(U), sizeof(U));
        ++counts[other(i, v)];
    }
}

// count_by_patterns_avx2 with the fewest registers of patterns that hold
// known's: 1, 2, 4, 8 or 16.
template <typename U, typename Other>
void count_by_patterns(const char* data, std::size_t begin, std::size_t end, const PatternSlots<U>& known,
                       std::uint64_t* counts, Other&& other) {
    static_assert(kCountPatterns <= 16);
    if (known.size <= 1) return count_by_patterns_avx2<U, 1>(data, begin, end, known, counts, other);
    if (known.size <= 2) return count_by_patterns_avx2<U, 2>(data, begin, end, known, counts, other);
    if (known.size <= 4) return count_by_patterns_avx2<U, 4>(data, begin, end, known, counts, other);
    if (known.size <= 8) return count_by_patterns_avx2<U, 8>(data, begin, end, known, counts, other);
    count_by_patterns_avx2<U, 16>(data, begin, end, known, counts, other);
}
#else
// Without AVX2 each element is classified by `other`.
template <typename U, typename Other>
void count_by_patterns(const char* data, std::size_t begin, std::size_t end, const PatternSlots<U>&,
                       std::uint64_t* counts, Other&& other) {
    for (std::size_t i = begin; i < end; ++i) {
        U v;
        std::memcpy(&v, data + i * sizeof(U), sizeof(U));
        ++counts[other(i, v)];
    }
}
#endif

}  // namespace tfs::general
