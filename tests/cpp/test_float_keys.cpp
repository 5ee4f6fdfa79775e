// Float keys: the two transforms, the order they give (IEEE 754 totalOrder
// over bit patterns), whole float sorts, and the failure paths, which must
// leave floats in the slice and never keys.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/failure.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/pool.hpp"

namespace {

using tfs::float_key_t;
using tfs::float_to_key;
using tfs::key_to_float;
using tfs::kMapChunk;

bool large_tests() {
    const char* flag = std::getenv("TFS_LARGE_TESTS");
    return flag != nullptr && std::string(flag) == "1";
}

template <typename F>
float_key_t<F> bits_of(F value) {
    return std::bit_cast<float_key_t<F>>(value);
}
template <typename F>
F float_of(float_key_t<F> bits) {
    return std::bit_cast<F>(bits);
}

// IEEE 754 totalOrder, written with float operations and the sign bit:
// negative NaNs (larger payload first), numbers by value with -0.0 before
// +0.0, positive NaNs by payload.
template <typename F>
bool total_less(F a, F b) {
    const auto rank = [](F x) { return std::isnan(x) ? (std::signbit(x) ? 0 : 2) : 1; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (rank(a) == 1) {
        if (a < b) return true;
        if (b < a) return false;
        return std::signbit(a) && !std::signbit(b);
    }
    return std::signbit(a) ? bits_of(a) > bits_of(b) : bits_of(a) < bits_of(b);
}

// Bit patterns of every special class, both signs.
template <typename F>
std::vector<float_key_t<F>> special_patterns() {
    using U = float_key_t<F>;
    using L = std::numeric_limits<F>;
    constexpr U sign = tfs::kSignBit<U>;
    constexpr int mantissa_bits = L::digits - 1;
    constexpr U quiet = U{1} << (mantissa_bits - 1);
    constexpr U exponent = static_cast<U>(~U{0} ^ sign) ^ ((U{1} << mantissa_bits) - 1);
    std::vector<U> magnitudes = {
        0,                                  // zero
        1,                                  // smallest subnormal
        (U{1} << mantissa_bits) - 1,        // largest subnormal
        U{1} << mantissa_bits,              // smallest normal
        bits_of(F(1)),          bits_of(F(1.5)), bits_of(F(2)), bits_of(L::max()),
        exponent,                           // infinity
        exponent | quiet,                   // the default quiet NaN
        exponent | quiet | 1,               // quiet NaN with payload
        exponent | 1,                       // smallest signalling NaN
        exponent | (quiet - 1),             // largest signalling NaN
        exponent | ((U{1} << mantissa_bits) - 1),  // largest NaN pattern
    };
    std::vector<U> patterns;
    for (U m : magnitudes) {
        patterns.push_back(m);
        patterns.push_back(m | sign);
    }
    return patterns;
}

// Specials plus a strided sweep over the whole pattern space.
template <typename F>
std::vector<float_key_t<F>> sample_patterns() {
    using U = float_key_t<F>;
    std::vector<U> patterns = special_patterns<F>();
    constexpr std::size_t kSteps = 1 << 17;
    const U stride = static_cast<U>(std::numeric_limits<U>::max() / kSteps) | 1;  // odd: hits every low bit
    U x = 0;
    for (std::size_t i = 0; i < kSteps; ++i, x += stride) patterns.push_back(x);
    std::mt19937_64 rng(7);
    for (std::size_t i = 0; i < kSteps; ++i) patterns.push_back(static_cast<U>(rng()));
    return patterns;
}

template <typename F>
class FloatKeys : public ::testing::Test {};
using FloatTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FloatKeys, FloatTypes);

TYPED_TEST(FloatKeys, TransformsAreExactInverses) {
    using U = float_key_t<TypeParam>;
    for (U x : sample_patterns<TypeParam>()) {
        ASSERT_EQ(key_to_float(float_to_key(x)), x) << std::hex << x;
        ASSERT_EQ(float_to_key(key_to_float(x)), x) << std::hex << x;
    }
}

TYPED_TEST(FloatKeys, KeysOrderAsTotalOrder) {
    using F = TypeParam;
    using U = float_key_t<F>;
    std::vector<U> by_total = sample_patterns<F>();
    std::sort(by_total.begin(), by_total.end(), [](U a, U b) { return total_less(float_of<F>(a), float_of<F>(b)); });
    std::vector<U> by_key = sample_patterns<F>();
    std::sort(by_key.begin(), by_key.end(), [](U a, U b) { return float_to_key(a) < float_to_key(b); });
    ASSERT_EQ(by_key, by_total);
}

TYPED_TEST(FloatKeys, ClassesInTheirPlaces) {
    using F = TypeParam;
    using L = std::numeric_limits<F>;
    const F negative_nan = -L::quiet_NaN();
    ASSERT_TRUE(std::signbit(negative_nan));
    const F ordered[] = {negative_nan, -L::infinity(), -L::max(), F(-1), -L::min(), -L::denorm_min(), F(-0.0),
                         F(0.0),       L::denorm_min(), L::min(),  F(1),  L::max(),  L::infinity(),     L::quiet_NaN()};
    for (std::size_t i = 1; i < std::size(ordered); ++i)
        EXPECT_LT(tfs::key_of(ordered[i - 1]), tfs::key_of(ordered[i])) << "position " << i;
}

TEST(FloatKeysLarge, EveryF32PatternRoundTripsInTotalOrder) {
    if (!large_tests()) GTEST_SKIP() << "set TFS_LARGE_TESTS=1";
    // totalOrder enumerates negative patterns from the largest down, then
    // positive patterns upwards; the keys of that sequence are 0, 1, 2, ...
    std::uint32_t expected_key = 0;
    float previous = 0;
    const auto visit = [&](std::uint32_t x) {
        if (float_to_key(x) != expected_key || key_to_float(float_to_key(x)) != x) return false;
        const float value = float_of<float>(x);
        if (expected_key != 0 && !total_less(previous, value)) return false;
        previous = value;
        ++expected_key;
        return true;
    };
    for (std::uint32_t x = 0xFFFFFFFFu; x >= 0x80000000u; --x) ASSERT_TRUE(visit(x)) << std::hex << x;
    for (std::uint32_t x = 0; x <= 0x7FFFFFFFu; ++x) ASSERT_TRUE(visit(x)) << std::hex << x;
    EXPECT_EQ(expected_key, 0u);  // wrapped: all 2^32 keys seen
}

// ---- whole float sorts -----------------------------------------------------

constexpr std::size_t kGuardLen = 16;

// Sorts `patterns` as floats inside guard zones and checks: bit-exact equal to
// the reference totalOrder sort, and nothing outside the slice written.
template <typename F, typename Sort>
void expect_float_sort(const std::vector<float_key_t<F>>& patterns, Sort sort, const std::string& what) {
    using U = float_key_t<F>;
    constexpr U guard = static_cast<U>(0x7FA5A5A5A5A5A5A5ull);  // a NaN in both widths
    std::vector<F> buffer(patterns.size() + 2 * kGuardLen, float_of<F>(guard));
    for (std::size_t i = 0; i < patterns.size(); ++i) buffer[kGuardLen + i] = float_of<F>(patterns[i]);
    sort(std::span<F>(buffer.data() + kGuardLen, patterns.size()));

    std::vector<U> expected = patterns;
    std::sort(expected.begin(), expected.end(), [](U a, U b) { return total_less(float_of<F>(a), float_of<F>(b)); });
    for (std::size_t i = 0; i < kGuardLen; ++i) {
        ASSERT_EQ(bits_of(buffer[i]), guard) << what << ": guard before written";
        ASSERT_EQ(bits_of(buffer[kGuardLen + patterns.size() + i]), guard) << what << ": guard after written";
    }
    for (std::size_t i = 0; i < patterns.size(); ++i)
        ASSERT_EQ(bits_of(buffer[kGuardLen + i]), expected[i]) << what << ": position " << i;
}

template <typename F>
void expect_sorted_as(std::vector<F> values, const std::vector<F>& expected) {
    tfs::float_key_sort(std::span<F>(values));
    ASSERT_EQ(values.size(), expected.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(bits_of(values[i]), bits_of(expected[i])) << "position " << i;
}

TYPED_TEST(FloatKeys, Examples) {
    using F = TypeParam;
    using L = std::numeric_limits<F>;
    expect_sorted_as<F>({F(1.5), F(-0.0), F(0.0), F(-2.0)}, {F(-2.0), F(-0.0), F(0.0), F(1.5)});
    expect_sorted_as<F>({L::quiet_NaN(), -L::infinity(), L::infinity(), F(1)},
                        {-L::infinity(), F(1), L::infinity(), L::quiet_NaN()});
    expect_sorted_as<F>({L::quiet_NaN(), -L::infinity(), -L::quiet_NaN(), F(1)},
                        {-L::quiet_NaN(), -L::infinity(), F(1), L::quiet_NaN()});
    expect_sorted_as<F>({}, {});
    expect_sorted_as<F>({-L::signaling_NaN()}, {-L::signaling_NaN()});
}

// A runner that counts its jobs and their sizes before handing them to the pool.
struct CountingRunner {
    std::vector<std::size_t>* jobs;
    template <typename Task>
    void operator()(std::size_t n, const Task& task) const {
        jobs->push_back(n);
        tfs::pool::parallel_for(n, task);
    }
};

TYPED_TEST(FloatKeys, MapChunksPerPass) {
    using F = TypeParam;
    std::mt19937_64 rng(3);
    for (std::size_t n : {0u, 1u, 2u, 65535u, 65536u, 65537u, 131072u, 131073u}) {
        std::vector<float_key_t<F>> patterns(n);
        for (auto& p : patterns) p = static_cast<float_key_t<F>>(rng());
        std::vector<std::size_t> jobs;
        int key_sorts = 0;
        expect_float_sort<F>(
            patterns,
            [&](std::span<F> s) {
                tfs::float_key_sort_with(
                    s,
                    [&](std::span<float_key_t<F>> keys) {
                        ++key_sorts;
                        tfs::numa_partitioned_sort(keys);
                    },
                    CountingRunner{&jobs});
            },
            "n " + std::to_string(n));
        const std::size_t chunks = (n + kMapChunk - 1) / kMapChunk;
        if (n < 2) {
            EXPECT_TRUE(jobs.empty());
            EXPECT_EQ(key_sorts, 0);
        } else {
            EXPECT_EQ(jobs, std::vector<std::size_t>({chunks, chunks})) << "n " << n;
            EXPECT_EQ(key_sorts, 1);
        }
    }
}

TYPED_TEST(FloatKeys, EveryPatternSurvives) {
    using F = TypeParam;
    std::vector<float_key_t<F>> patterns = sample_patterns<F>();
    std::sort(patterns.begin(), patterns.end());
    patterns.erase(std::unique(patterns.begin(), patterns.end()), patterns.end());
    std::shuffle(patterns.begin(), patterns.end(), std::mt19937_64(11));
    expect_float_sort<F>(patterns, tfs::float_key_sort<F>, "distinct patterns");
}

enum class Mix { kBits, kFinite, kNanHeavy, kZeros, kFewDistinct, kSortedDescending };

template <typename F>
std::vector<float_key_t<F>> make_patterns(Mix mix, std::size_t n, std::uint64_t seed) {
    using U = float_key_t<F>;
    std::mt19937_64 rng(seed);
    const std::vector<U> specials = special_patterns<F>();
    std::uniform_real_distribution<F> finite(F(-1e6), F(1e6));
    std::vector<U> v(n);
    for (auto& x : v) {
        switch (mix) {
        case Mix::kBits: x = static_cast<U>(rng()); break;
        case Mix::kFinite:
        case Mix::kSortedDescending: x = bits_of(finite(rng)); break;
        case Mix::kNanHeavy: x = rng() % 2 ? specials[rng() % specials.size()] : bits_of(finite(rng)); break;
        case Mix::kZeros: x = bits_of(rng() % 2 ? F(0.0) : F(-0.0)); break;
        case Mix::kFewDistinct: x = specials[rng() % 6]; break;
        }
    }
    if (mix == Mix::kSortedDescending)
        std::sort(v.begin(), v.end(), [](U a, U b) { return total_less(float_of<F>(b), float_of<F>(a)); });
    return v;
}

TYPED_TEST(FloatKeys, DifferentialAgainstTotalOrderSort) {
    using F = TypeParam;
    std::vector<std::size_t> sizes = {2, 3, 4, 17, 129, 1000, 65535, 65536, 65537, 131073, 300000};
    if (large_tests()) sizes.push_back(5000000);
    std::uint64_t seed = 100;
    for (std::size_t n : sizes)
        for (Mix mix : {Mix::kBits, Mix::kFinite, Mix::kNanHeavy, Mix::kZeros, Mix::kFewDistinct,
                        Mix::kSortedDescending})
            expect_float_sort<F>(make_patterns<F>(mix, n, seed++), tfs::float_key_sort<F>,
                                 "n " + std::to_string(n) + ", mix " + std::to_string(static_cast<int>(mix)));
}

// ---- failure paths ---------------------------------------------------------

template <typename F>
std::vector<float_key_t<F>> patterns_of(const std::vector<F>& values) {
    std::vector<float_key_t<F>> bits(values.size());
    std::transform(values.begin(), values.end(), bits.begin(), bits_of<F>);
    return bits;
}

template <typename F>
std::vector<float_key_t<F>> sorted_patterns(const std::vector<F>& values) {
    std::vector<float_key_t<F>> bits = patterns_of(values);
    std::sort(bits.begin(), bits.end());
    return bits;
}

template <typename F>
std::vector<F> floats_of(const std::vector<float_key_t<F>>& patterns) {
    std::vector<F> values(patterns.size());
    std::transform(patterns.begin(), patterns.end(), values.begin(), float_of<F>);
    return values;
}

TYPED_TEST(FloatKeys, FailingKeySortLeavesTheFloats) {
    using F = TypeParam;
    using U = float_key_t<F>;
    for (std::size_t n : {2u, 1000u, 65537u, 200000u}) {
        const std::vector<F> original = floats_of<F>(make_patterns<F>(Mix::kNanHeavy, n, n));
        // A key sort that sorts half of the keys, then fails.
        std::vector<F> values = original;
        try {
            tfs::float_key_sort_with(
                std::span<F>(values),
                [](std::span<U> keys) {
                    std::sort(keys.begin(), keys.begin() + keys.size() / 2);
                    tfs::fail("key sort failed");
                },
                [](std::size_t count, const auto& task) { tfs::pool::parallel_for(count, task); });
            FAIL() << "no failure";
        } catch (const tfs::InternalFailure& e) {
            EXPECT_STREQ(e.what(), "key sort failed");
        }
        EXPECT_EQ(sorted_patterns(values), sorted_patterns(original)) << "n " << n;

        // Out of memory in the key sort, before it moved anything.
        values = original;
        EXPECT_THROW(tfs::float_key_sort_with(
                         std::span<F>(values), [](std::span<U>) { throw std::bad_alloc(); },
                         [](std::size_t count, const auto& task) { tfs::pool::parallel_for(count, task); }),
                     std::bad_alloc);
        EXPECT_EQ(patterns_of(values), patterns_of(original)) << "n " << n;
    }
}

// A runner that fails on job `failing_job` after running its first
// `tasks_before_failure` tasks.
struct FailingRunner {
    int failing_job;
    std::size_t tasks_before_failure;
    int* job;
    template <typename Task>
    void operator()(std::size_t n, const Task& task) const {
        if ((*job)++ != failing_job) {
            tfs::pool::parallel_for(n, task);
            return;
        }
        for (std::size_t i = 0; i < std::min(n, tasks_before_failure); ++i) task(i);
        throw std::runtime_error("runner failed");
    }
};

TYPED_TEST(FloatKeys, FailingPassLeavesTheFloats) {
    using F = TypeParam;
    const std::size_t n = 3 * kMapChunk + 5;
    const std::vector<F> original = floats_of<F>(make_patterns<F>(Mix::kBits, n, 5));
    std::vector<F> sorted = original;
    tfs::float_key_sort(std::span<F>(sorted));
    for (std::size_t done : {0u, 1u, 3u}) {
        // The map pass fails: the slice is as it was.
        std::vector<F> values = original;
        int job = 0;
        EXPECT_THROW(tfs::float_key_sort_with(
                         std::span<F>(values),
                         [](std::span<float_key_t<F>> keys) { tfs::numa_partitioned_sort(keys); },
                         FailingRunner{0, done, &job}),
                     std::runtime_error);
        EXPECT_EQ(patterns_of(values), patterns_of(original)) << "map pass, " << done << " chunks done";

        // The unmap pass fails: the slice is sorted all the same.
        values = original;
        job = 0;
        EXPECT_THROW(tfs::float_key_sort_with(
                         std::span<F>(values),
                         [](std::span<float_key_t<F>> keys) { tfs::numa_partitioned_sort(keys); },
                         FailingRunner{1, done, &job}),
                     std::runtime_error);
        EXPECT_EQ(patterns_of(values), patterns_of(sorted)) << "unmap pass, " << done << " chunks done";
    }
}

}  // namespace
