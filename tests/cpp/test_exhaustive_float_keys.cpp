// f64 keys against IEEE 754 totalOrder computed with float operations: every
// special class against every other, every exponent, and (TFS_LARGE_TESTS=1)
// a seeded sample of 10^8 patterns through the key map and through the whole
// float sort. Every f32 pattern is covered by FloatKeysLarge in
// test_float_keys.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "catalogue.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"

namespace {

using tfs::float_to_key;
using tfs::key_to_float;

constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
constexpr int kMantissaBits = 52;
constexpr std::uint64_t kMantissa = (std::uint64_t{1} << kMantissaBits) - 1;
constexpr std::uint64_t kQuietBit = std::uint64_t{1} << (kMantissaBits - 1);
constexpr std::uint64_t kExponentMax = 2047;
// Patterns in the large sample.
constexpr std::size_t kSampleSize = 100'000'000;

double as_double(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t pattern(bool negative, std::uint64_t exponent, std::uint64_t mantissa) {
    return (negative ? kSign : 0) | (exponent << kMantissaBits) | (mantissa & kMantissa);
}

// IEEE 754 totalOrder over two patterns, from float comparisons and the sign
// bit only: negative NaNs (larger payload first), numbers by value with -0.0
// before +0.0, positive NaNs by payload.
bool total_less(std::uint64_t a_bits, std::uint64_t b_bits) {
    const double a = as_double(a_bits), b = as_double(b_bits);
    const auto rank = [](double x) { return std::isnan(x) ? (std::signbit(x) ? 0 : 2) : 1; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (rank(a) == 1) {
        if (a < b) return true;
        if (b < a) return false;
        return std::signbit(a) && !std::signbit(b);
    }
    const std::uint64_t payload_a = a_bits & kMantissa, payload_b = b_bits & kMantissa;
    return std::signbit(a) ? payload_a > payload_b : payload_a < payload_b;
}

// Checks the key map on one pair: it round-trips, and key order is totalOrder.
::testing::AssertionResult keys_agree(std::uint64_t a, std::uint64_t b) {
    if (key_to_float(float_to_key(a)) != a) return ::testing::AssertionFailure() << std::hex << a << " round trip";
    const bool key_less = float_to_key(a) < float_to_key(b);
    if (key_less != total_less(a, b))
        return ::testing::AssertionFailure() << std::hex << a << " vs " << b << ": key order " << key_less;
    if ((float_to_key(a) == float_to_key(b)) != (a == b))
        return ::testing::AssertionFailure() << std::hex << a << " vs " << b << ": equal keys";
    return ::testing::AssertionSuccess();
}

// Every special class of both signs, with the patterns next to each.
std::vector<std::uint64_t> special_patterns() {
    std::vector<std::uint64_t> magnitudes = {
        pattern(false, 0, 0),                              // zero
        pattern(false, 0, 1),                              // smallest subnormal
        pattern(false, 0, kMantissa / 2),                  // a subnormal
        pattern(false, 0, kMantissa),                      // largest subnormal
        pattern(false, 1, 0),                              // smallest normal
        std::bit_cast<std::uint64_t>(1.0),                 // one
        std::bit_cast<std::uint64_t>(1.0 + 0x1p-52),       // next after one
        pattern(false, kExponentMax - 1, kMantissa),       // largest finite
        pattern(false, kExponentMax, 0),                   // infinity
        pattern(false, kExponentMax, 1),                   // smallest signalling NaN payload
        pattern(false, kExponentMax, kQuietBit - 1),       // largest signalling NaN payload
        pattern(false, kExponentMax, kQuietBit),           // default quiet NaN
        pattern(false, kExponentMax, kQuietBit | 1),       // quiet NaN with payload
        pattern(false, kExponentMax, kMantissa),           // largest NaN pattern
    };
    std::vector<std::uint64_t> patterns;
    for (std::uint64_t m : magnitudes)
        for (std::uint64_t sign : {std::uint64_t{0}, kSign}) {
            patterns.push_back(sign | m);
            if (m != 0) patterns.push_back(sign | (m - 1));
            if (m != ~kSign) patterns.push_back(sign | (m + 1));
        }
    std::sort(patterns.begin(), patterns.end());
    patterns.erase(std::unique(patterns.begin(), patterns.end()), patterns.end());
    return patterns;
}

TEST(ExhaustiveF64, EverySpecialClassAgainstEveryOther) {
    const std::vector<std::uint64_t> patterns = special_patterns();
    for (std::uint64_t a : patterns)
        for (std::uint64_t b : patterns) ASSERT_TRUE(keys_agree(a, b));
}

TEST(ExhaustiveF64, EveryExponentWithEdgeMantissas) {
    // Both signs, all 2048 exponents, mantissas at the edges and the middle,
    // sorted in totalOrder: the keys must rise strictly along that order.
    std::vector<std::uint64_t> patterns;
    for (bool negative : {false, true})
        for (std::uint64_t e = 0; e <= kExponentMax; ++e)
            for (std::uint64_t m : {std::uint64_t{0}, std::uint64_t{1}, kQuietBit - 1, kQuietBit, kQuietBit + 1,
                                    kMantissa - 1, kMantissa})
                patterns.push_back(pattern(negative, e, m));
    std::sort(patterns.begin(), patterns.end(), total_less);
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        ASSERT_EQ(key_to_float(float_to_key(patterns[i])), patterns[i]) << std::hex << patterns[i];
        if (i > 0) ASSERT_LT(float_to_key(patterns[i - 1]), float_to_key(patterns[i])) << std::hex << patterns[i];
    }
    EXPECT_EQ(float_to_key(patterns.front()), 0u);  // the largest negative NaN
    EXPECT_EQ(float_to_key(patterns.back()), ~std::uint64_t{0});  // the largest positive NaN
}

// A seeded pattern of the large sample: a quarter each of uniform bits,
// interesting exponents with random mantissas, random exponents with edge
// mantissas, and small multiples of a quarter (many duplicates).
std::uint64_t sample_pattern(std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    const bool negative = (r >> 2) & 1;
    switch (r & 3) {
    case 0:
        return rng();
    case 1: {
        static constexpr std::uint64_t exponents[] = {0, 1, 2, 1022, 1023, 1024, 2045, 2046, kExponentMax};
        return pattern(negative, exponents[(r >> 3) % std::size(exponents)], rng());
    }
    case 2: {
        static constexpr std::uint64_t mantissas[] = {0, 1, 2, kQuietBit - 1, kQuietBit, kQuietBit + 1,
                                                      kMantissa - 1, kMantissa};
        return pattern(negative, (r >> 3) % (kExponentMax + 1), mantissas[(r >> 16) % std::size(mantissas)]);
    }
    default:
        return std::bit_cast<std::uint64_t>(static_cast<double>(static_cast<std::int64_t>((r >> 3) % 2001) - 1000) /
                                            4.0);
    }
}

TEST(ExhaustiveF64Large, SampleThroughTheKeyMapAndTheSort) {
    if (!tfs::testing::large_tests_enabled()) GTEST_SKIP() << "set TFS_LARGE_TESTS=1";
    std::mt19937_64 rng(20240611);
    std::vector<double> values(kSampleSize);
    std::uint64_t previous = 0;
    for (std::size_t i = 0; i < kSampleSize; ++i) {
        const std::uint64_t x = sample_pattern(rng);
        // Against the previous pattern, and against its neighbour patterns.
        ASSERT_TRUE(keys_agree(x, previous)) << "sample " << i;
        ASSERT_TRUE(keys_agree(x, x ^ 1)) << "sample " << i;
        ASSERT_TRUE(keys_agree(x, x ^ kSign)) << "sample " << i;
        values[i] = as_double(x);
        previous = x;
    }
    std::vector<std::uint64_t> before(kSampleSize);
    std::memcpy(before.data(), values.data(), kSampleSize * sizeof(double));
    const auto fingerprint_before = tfs::testing::fingerprint<std::uint64_t>(before);

    tfs::float_key_sort<double>(std::span<double>(values));

    std::vector<std::uint64_t> after(kSampleSize);
    std::memcpy(after.data(), values.data(), kSampleSize * sizeof(double));
    EXPECT_TRUE(tfs::testing::fingerprint<std::uint64_t>(after) == fingerprint_before) << "patterns lost";
    for (std::size_t i = 1; i < kSampleSize; ++i)
        ASSERT_FALSE(total_less(after[i], after[i - 1])) << "position " << i << std::hex << ": " << after[i - 1]
                                                         << " before " << after[i];
    // The exact multiset: both sides sorted by pattern.
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_TRUE(before == after) << "the multiset of patterns changed";
}

}  // namespace
