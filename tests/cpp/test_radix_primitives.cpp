// The key mapping, digit layouts and the counting and moving primitives on
// their own, with the internal-failure guards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/failure.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/ska_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace {

using tfs::key_t;
using tfs::RadixParams;
using tfs::testing::failure_message;

template <typename T>
class RadixPrimitives : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(RadixPrimitives, KeyTypes);

TYPED_TEST(RadixPrimitives, KeyOrderIsElementOrder) {
    using T = TypeParam;
    const auto alphabet = tfs::testing::edge_alphabet<T>();
    for (T a : alphabet) {
        EXPECT_EQ(tfs::from_radix_key<T>(tfs::radix_key(a)), a);
        for (T b : alphabet) EXPECT_EQ(a < b, tfs::radix_key(a) < tfs::radix_key(b)) << +a << " " << +b;
    }
    EXPECT_EQ(tfs::radix_key(std::numeric_limits<T>::min()), key_t<T>(0));
    EXPECT_EQ(tfs::radix_key(std::numeric_limits<T>::max()), std::numeric_limits<key_t<T>>::max());
}

TYPED_TEST(RadixPrimitives, MaxKeyScansTheWholeSlice) {
    using T = TypeParam;
    // Every length up to a few scan steps, with the maximum at every position.
    for (std::size_t n = 1; n <= 40; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
            std::vector<T> v(n, std::numeric_limits<T>::min());
            for (std::size_t i = 0; i < n; ++i) v[i] = tfs::from_radix_key<T>(key_t<T>(i));
            v[at] = tfs::from_radix_key<T>(key_t<T>(1000 + at));
            EXPECT_EQ(tfs::max_key<T>(v), key_t<T>(1000 + at)) << n << " " << at;
        }
    }
    for (const auto& c : tfs::testing::catalogue<T>()) {
        const auto v = c.make(1001, 7);
        key_t<T> expected = 0;
        for (T e : v) expected = std::max(expected, tfs::radix_key(e));
        EXPECT_EQ(tfs::max_key<T>(v), expected) << c.name;
    }
}

TYPED_TEST(RadixPrimitives, LayoutsOfAllZeroKeysHaveNoLevels) {
    using T = TypeParam;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    const auto d = tfs::digit_layout<T>(0, 8);
    const auto a = tfs::aligned_digit_layout<T>(0, 8);
    EXPECT_EQ(d.offset, bits);
    EXPECT_EQ(d.max_level, 0u);
    EXPECT_EQ(a.offset, bits);
    EXPECT_EQ(a.max_level, 0u);
    // A signed slice with a non-negative element has its top key bit set.
    if constexpr (std::is_signed_v<T>) {
        EXPECT_EQ(tfs::digit_layout<T>(tfs::radix_key(T(0)), 8).offset, 0u);
    }
}

TYPED_TEST(RadixPrimitives, LayoutsAgreeWithTheirDefinition) {
    using T = TypeParam;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    for (std::uint64_t radix = 1; radix < bits; ++radix) {
        for (std::uint64_t b = 0; b <= bits; ++b) {
            const key_t<T> largest = b == 0 ? 0 : key_t<T>(key_t<T>(1) << (b - 1));
            const auto d = tfs::digit_layout<T>(largest, radix);
            EXPECT_EQ(d.offset, bits - b);
            EXPECT_EQ(d.max_level, (b + radix - 1) / radix);
            const auto a = tfs::aligned_digit_layout<T>(largest, radix);
            // Whole digits cover the significant bits, or the layout starts at
            // the top of the key.
            EXPECT_TRUE(a.offset == 0 || (bits - a.offset) % radix == 0) << radix << " " << b;
            EXPECT_GE(bits - a.offset, b);
            EXPECT_LT(bits - a.offset, b + radix);
            EXPECT_EQ(a.max_level, (bits - a.offset + radix - 1) / radix);
        }
    }
}

TYPED_TEST(RadixPrimitives, TopDownMasksTileTheBitsBelowTheOffset) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    for (std::uint64_t radix : {7u, 8u, 9u}) {
        for (std::uint64_t offset = 0; offset <= bits; ++offset) {
            const std::uint64_t levels = (bits - offset + radix - 1) / radix;
            K covered = 0;
            for (std::uint64_t level = 0; level < levels; ++level) {
                const auto ms = tfs::msd_mask_and_shift<T>(RadixParams{level, radix, offset, levels, 1u << radix});
                EXPECT_EQ(covered & ms.mask, K(0));
                EXPECT_LT(std::uint64_t(ms.mask >> ms.shift), std::uint64_t(1) << radix);
                EXPECT_NE(ms.mask, K(0));
                covered |= ms.mask;
            }
            const K expected = offset >= bits ? K(0) : K(~K(0) >> offset);
            EXPECT_EQ(covered, expected) << radix << " " << offset;
            EXPECT_EQ(tfs::msd_prefix_mask<T>(RadixParams{0, radix, offset, levels, 1u << radix}, levels), expected);
        }
    }
}

TYPED_TEST(RadixPrimitives, BottomUpMasksStartAtBitZero) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    const std::uint64_t levels = bits / 8;
    for (std::uint64_t level = 0; level < levels; ++level) {
        const auto ms = tfs::lsd_mask_and_shift<T>(RadixParams{level, 8, 0, levels, 256});
        EXPECT_EQ(ms.shift, (levels - 1 - level) * 8);
        EXPECT_EQ(ms.mask, K(K(0xFF) << ms.shift));
    }
    // With radix 9 the top digit extends past the key width.
    const std::uint64_t levels9 = (bits + 8) / 9;
    const auto top = tfs::lsd_mask_and_shift<T>(RadixParams{0, 9, 0, levels9, 512});
    EXPECT_EQ(top.shift, (levels9 - 1) * 9);
    EXPECT_EQ(top.mask, K(K(0x1FF) << top.shift));
}

TYPED_TEST(RadixPrimitives, HistogramsCountEveryDigit) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    for (const auto& c : tfs::testing::catalogue<T>()) {
        for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 1027u}) {
            const auto v = c.make(n, 11);
            const std::span<const T> s(v);
            // full_histograms against digit_histogram of each bottom-up level.
            const RadixParams full{0, 8, 0, bits / 8, 256};
            const auto set = tfs::full_histograms<T>(s, full);
            ASSERT_EQ(set.levels, bits / 8);
            for (std::uint64_t level = 0; level < bits / 8; ++level) {
                RadixParams at = full;
                at.level = level;
                const auto ms = tfs::lsd_mask_and_shift<T>(at);
                const auto one = tfs::digit_histogram<T>(s, 256, ms.mask, ms.shift);
                const auto lvl = set.level(level);
                EXPECT_TRUE(std::equal(one.begin(), one.end(), lvl.begin(), lvl.end())) << c.name << " " << level;
                EXPECT_EQ(std::accumulate(one.begin(), one.end(), std::uint64_t(0)), n);
            }
            // partial_histograms against digit_histogram of each top-down level.
            const K largest = n == 0 ? 0 : tfs::max_key<T>(s);
            const auto layout = tfs::digit_layout<T>(largest, 7);
            const std::uint64_t passes = std::min<std::uint64_t>(layout.max_level, 3);
            const RadixParams partial{0, 7, layout.offset, passes, 128};
            const auto pset = tfs::partial_histograms<T>(s, partial, passes);
            for (std::uint64_t level = 0; level < passes; ++level) {
                RadixParams at = partial;
                at.level = level;
                const auto ms = tfs::msd_mask_and_shift<T>(at);
                const auto one = tfs::digit_histogram<T>(s, 128, ms.mask, ms.shift);
                const auto lvl = pset.level(level);
                EXPECT_TRUE(std::equal(one.begin(), one.end(), lvl.begin(), lvl.end())) << c.name << " " << level;
            }
        }
    }
}

TYPED_TEST(RadixPrimitives, PartialHistogramsMatchTheFormulaWhenUnclipped) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    const auto v = tfs::testing::catalogue_case<T>("uniform").make(500, 3);
    const std::uint64_t offset = 2, radix = 9, passes = 3;
    const auto set = tfs::partial_histograms<T>(v, RadixParams{0, radix, offset, passes, 512}, passes);
    const std::uint64_t s = bits - offset - radix * passes;
    std::vector<std::uint64_t> expected(passes * 512);
    for (T e : v) {
        for (std::uint64_t l = 0; l < passes; ++l) {
            ++expected[l * 512 + ((tfs::radix_key(e) >> (s + (passes - 1 - l) * radix)) & K(511))];
        }
    }
    EXPECT_EQ(set.counts, expected);
}

TYPED_TEST(RadixPrimitives, PrefixSumsAndStableScatter) {
    using T = TypeParam;
    using K = key_t<T>;
    const std::vector<std::uint64_t> zeros(256);
    const auto z = tfs::prefix_sums(zeros);
    EXPECT_EQ(z.sums, std::vector<std::uint64_t>(257));
    EXPECT_EQ(z.heads, std::vector<std::uint64_t>(256));
    EXPECT_EQ(z.tails, std::vector<std::uint64_t>(256));

    for (const auto& c : tfs::testing::catalogue<T>()) {
        for (std::size_t n : {1u, 2u, 5u, 8u, 999u}) {
            const auto v = c.make(n, 5);
            for (unsigned shift : {0u, 4u, 8u}) {
                const K mask = K(K(0xFF) << shift);
                const auto hist = tfs::digit_histogram<T>(v, 256, mask, shift);
                auto ps = tfs::prefix_sums(hist);
                ASSERT_EQ(ps.sums.size(), 257u);
                EXPECT_EQ(ps.sums.back(), n);
                EXPECT_TRUE(std::equal(ps.heads.begin(), ps.heads.end(), ps.sums.begin()));
                EXPECT_TRUE(std::equal(ps.tails.begin(), ps.tails.end(), ps.sums.begin() + 1));
                tfs::testing::GuardedBuffer<T> out{std::vector<T>(n)};
                tfs::scatter_by_digit<T>(v, out.slice(), ps.heads, mask, shift);
                EXPECT_EQ(ps.heads, ps.tails);
                EXPECT_TRUE(out.guards_intact());
                // Stable: equal to std::stable_sort by the digit.
                std::vector<T> expected = v;
                std::stable_sort(expected.begin(), expected.end(), [&](T a, T b) {
                    return (tfs::radix_key(a) & mask) < (tfs::radix_key(b) & mask);
                });
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.slice().begin())) << c.name;
            }
        }
    }
}

// Worked examples of the layouts.
TEST(RadixLayoutExamples, SmallKeyAndClippedSeventhBitDigit) {
    const auto d = tfs::digit_layout<std::uint32_t>(0x1234, 8);
    EXPECT_EQ(d.offset, 19u);
    EXPECT_EQ(d.max_level, 2u);
    const auto a = tfs::aligned_digit_layout<std::uint32_t>(0x1234, 8);
    EXPECT_EQ(a.offset, 16u);
    EXPECT_EQ(a.max_level, 2u);

    const auto a7 = tfs::aligned_digit_layout<std::uint32_t>(0x80000000u, 7);
    EXPECT_EQ(a7.offset, 0u);
    EXPECT_EQ(a7.max_level, 5u);
    const auto fifth = tfs::msd_mask_and_shift<std::uint32_t>(RadixParams{4, 7, a7.offset, a7.max_level, 128});
    EXPECT_EQ(fifth.mask, 0xFu);
    EXPECT_EQ(fifth.shift, 0u);
    const auto fourth = tfs::msd_mask_and_shift<std::uint32_t>(RadixParams{3, 7, a7.offset, a7.max_level, 128});
    EXPECT_EQ(fourth.mask, 0x7Fu << 4);
    EXPECT_EQ(fourth.shift, 4u);
}

TEST(RadixFailures, GuardsFireWithTheirMessages) {
    EXPECT_EQ(failure_message([] { tfs::lsd_mask_and_shift<std::uint32_t>(RadixParams{2, 8, 0, 2, 256}); }),
              "assertion failed: p.level < p.max_level");
    EXPECT_EQ(failure_message([] { tfs::lsd_mask_and_shift<std::int64_t>(RadixParams{0, 8, 0, 0, 256}); }),
              "assertion failed: p.level < p.max_level");
    const std::vector<std::uint64_t> v(10, 7);
    EXPECT_EQ(failure_message([&] {
                  tfs::partial_histograms<std::uint64_t>(v, RadixParams{0, 8, 0, 6, 256}, 6);
              }),
              "[Partial histogram] Array size can't be that huge !");
    EXPECT_EQ(failure_message([] { tfs::digit_layout<std::uint32_t>(5, 0); }), "attempt to divide by zero");
    EXPECT_EQ(failure_message([] { tfs::aligned_digit_layout<std::int64_t>(5, 0); }), "attempt to divide by zero");
    // A prefix wider than the key.
    std::vector<std::uint32_t> w(300);
    std::iota(w.rbegin(), w.rend(), 0u);
    EXPECT_EQ(failure_message([&] {
                  tfs::dlsd_core<std::uint32_t>(w, RadixParams{0, 8, 40, 1, 256}, 1, tfs::DlsdMode::partial);
              }),
              "assertion failed: bits >= offset");
    std::vector<std::uint32_t> c(10, 1);
    EXPECT_EQ(failure_message([&] { tfs::counting_sort<std::uint32_t>(c, 12); }),
              "counting sort key width must be 8 or 16");
    // A digit that cannot index the histogram is refused before any count.
    EXPECT_EQ(failure_message([&] { tfs::digit_histogram<std::uint32_t>(c, 128, 0xFF, 0); }),
              "digit exceeds the bucket count");
    std::vector<std::uint64_t> heads(4), tails(3);
    std::vector<std::int64_t> e(3);
    EXPECT_EQ(failure_message([&] { tfs::ska_permute<std::int64_t>(e, heads, tails, 0, 0); }),
              "bucket heads and tails differ in count");
    std::vector<std::uint32_t> shorter(9);
    std::vector<std::uint64_t> h256(256);
    EXPECT_EQ(failure_message([&] { tfs::scatter_by_digit<std::uint32_t>(c, shorter, h256, 0xFF, 0); }),
              "scatter destination differs in length from its source");
    // A failure carries the location of the check.
    try {
        tfs::digit_layout<std::uint32_t>(5, 0);
    } catch (const tfs::InternalFailure& e) {
        EXPECT_NE(std::string(e.where().file_name()).find("utils.hpp"), std::string::npos);
    }
}

}  // namespace
