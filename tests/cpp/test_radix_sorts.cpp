// Differential checks of every radix algorithm against std::sort over the
// whole catalogue, at sizes on both sides of every cut-off, plus exhaustive
// small inputs over the edge values of each type.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/ska_sort.hpp"
#include "engine/sorts/utils.hpp"

namespace {

using tfs::key_t;
using tfs::RadixParams;
namespace tt = tfs::testing;

template <typename T>
constexpr std::uint64_t kBits = tfs::Radixable<T>::bits;

template <typename T>
std::uint64_t significant_bits(std::span<const T> s) {
    return s.empty() ? 0 : tfs::bit_length(tfs::max_key<T>(s));
}

// Sorts each bucket of a slice permuted by ska_permute, after checking that
// every element lies in the bucket of its digit.
template <typename T>
void permute_then_sort_buckets(std::span<T> s, unsigned radix, const RadixParams& p) {
    if (s.empty()) return;
    const auto ms = tfs::msd_mask_and_shift<T>(p);
    const auto hist = tfs::digit_histogram<T>(std::span<const T>(s), p.bucket_count, ms.mask, ms.shift);
    auto ps = tfs::prefix_sums(hist);
    tfs::ska_permute<T>(s, ps.heads, ps.tails, ms.mask, ms.shift);
    for (std::uint64_t b = 0; b < p.bucket_count; ++b) {
        for (std::uint64_t i = ps.sums[b]; i < ps.sums[b + 1]; ++i) {
            ASSERT_EQ((tfs::radix_key(s[i]) & ms.mask) >> ms.shift, b) << "element outside its bucket, radix " << radix;
        }
        std::sort(s.begin() + ps.sums[b], s.begin() + ps.sums[b + 1]);
    }
}

// One way of calling an algorithm on a whole slice.
template <typename T>
struct Runner {
    std::string name;
    std::function<void(std::span<T>)> run;
};

template <typename T>
std::vector<Runner<T>> runners() {
    constexpr std::uint64_t bits = kBits<T>;
    std::vector<Runner<T>> out;
    out.push_back({"lsd_sort/aligned", [](std::span<T> s) {
                       const std::uint64_t b = significant_bits<T>(s);
                       const key_t<T> k = b == 0 ? 0 : key_t<T>(key_t<T>(1) << (b - 1));
                       const auto l = tfs::aligned_digit_layout<T>(k, 8);
                       tfs::lsd_sort<T>(s, RadixParams{0, 8, l.offset, l.max_level, 256});
                   }});
    out.push_back({"lsd_sort/full", [](std::span<T> s) { tfs::lsd_sort<T>(s, RadixParams{0, 8, 0, bits / 8, 256}); }});
    out.push_back({"msd_sort/layout", [](std::span<T> s) {
                       const std::uint64_t b = significant_bits<T>(s);
                       tfs::msd_sort<T>(s, RadixParams{0, 8, bits - b, (b + 7) / 8, 256});
                   }});
    out.push_back({"msd_sort/full", [](std::span<T> s) { tfs::msd_sort<T>(s, RadixParams{0, 8, 0, bits / 8, 256}); }});
    if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::int32_t>) {
        out.push_back({"counting_sort", [](std::span<T> s) {
                           const std::uint64_t b = significant_bits<T>(s);
                           if (b > 16) {
                               std::sort(s.begin(), s.end());  // outside its precondition
                               return;
                           }
                           tfs::counting_sort<T>(s, b <= 8 ? 8 : 16);
                       }});
    }
    if constexpr (bits == 64) {
        out.push_back({"recursive_radix_sort_level", [](std::span<T> s) {
                           const std::uint64_t b = significant_bits<T>(s);
                           tfs::recursive_radix_sort_level<T>(s, RadixParams{0, 8, bits - b, (b + 7) / 8, 256});
                       }});
        out.push_back({"recursive_radix_sort_level/full", [](std::span<T> s) {
                           tfs::recursive_radix_sort_level<T>(s, RadixParams{0, 8, 0, 8, 256});
                       }});
    }
    if constexpr (!std::is_same_v<T, std::uint32_t>) {
        out.push_back({"ska_permute", [](std::span<T> s) {
                           const std::uint64_t b = significant_bits<T>(s);
                           permute_then_sort_buckets<T>(s, 8, RadixParams{0, 8, bits - b, (b + 7) / 8, 256});
                       }});
    }
    if constexpr (!std::is_signed_v<T>) {
        out.push_back({"dlsd_sort", [](std::span<T> s) { tfs::dlsd_sort<T>(s, 8); }});
    }
    // dlsd_core in partial mode as the signed callers use it: offset from the
    // digit layout, 2 passes up to 65536 elements and 3 above; and with one
    // pass of 7 bits.
    out.push_back({"dlsd_core/partial", [](std::span<T> s) {
                       const std::uint64_t b = significant_bits<T>(s);
                       const std::uint64_t passes = s.size() <= 65536 ? 2 : 3;
                       tfs::dlsd_core<T>(s, RadixParams{0, 8, bits - b, passes, 256}, passes, tfs::DlsdMode::partial);
                   }});
    out.push_back({"dlsd_core/partial7x1", [](std::span<T> s) {
                       const std::uint64_t b = significant_bits<T>(s);
                       tfs::dlsd_core<T>(s, RadixParams{0, 7, bits - b, 1, 128}, 1, tfs::DlsdMode::partial);
                   }});
    out.push_back({"dlsd_core/full9", [](std::span<T> s) {
                       const std::uint64_t b = significant_bits<T>(s);
                       tfs::dlsd_core<T>(s, RadixParams{0, 9, bits - b, (b + 8) / 9, 512}, 1, tfs::DlsdMode::full);
                   }});
    // The fix-up walk over one group (mask 0) followed by sorting its ranges.
    out.push_back({"dlsd_fixup/one_group", [](std::span<T> s) {
                       for (const auto& r : tfs::dlsd_fixup<T>(s, 0)) {
                           std::sort(s.begin() + r.start, s.begin() + r.end);
                       }
                   }});
    return out;
}

// The pass boundaries of dlsd_choose_radix below `limit`: lengths n whose
// choice differs from that of n - 1.
std::vector<std::size_t> choice_boundaries(std::uint64_t limit) {
    std::vector<std::size_t> out;
    auto prev = tfs::dlsd_choose_radix(2);
    for (std::uint64_t n = 3; n <= limit; ++n) {
        const auto c = tfs::dlsd_choose_radix(n);
        if (c.radix != prev.radix || c.passes != prev.passes) out.push_back(n);
        prev = c;
    }
    return out;
}

std::vector<std::size_t> default_sizes() {
    std::vector<std::size_t> sizes = {0,   1,   2,   3,   4,   5,   7,   8,    9,    16,   31,    33,   64,
                                      100, 128, 129, 250, 251, 256, 257, 1000, 3000, 3001, 30000, 30001};
    for (std::size_t b : choice_boundaries(40000)) {
        sizes.push_back(b - 1);
        sizes.push_back(b);
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    return sizes;
}

// Sizes large enough to reach the in-place and three-pass paths.
std::vector<std::size_t> large_sizes() {
    std::vector<std::size_t> sizes = {65536, 65537, 128000, 128001};
    const std::uint64_t limit = tt::large_tests_enabled() ? 2000000 : 100000;
    for (std::size_t b : choice_boundaries(limit)) {
        if (b > 40000) {
            sizes.push_back(b - 1);
            sizes.push_back(b);
        }
    }
    if (tt::large_tests_enabled()) {
        sizes.push_back(3000001);
    }
    return sizes;
}

template <typename T>
void check_runners(const tt::Case<T>& c, std::size_t n, std::uint64_t seed) {
    const std::vector<T> input = c.make(n, seed);
    const std::vector<T> reference = tt::sorted_reference<T>(input);
    for (const auto& r : runners<T>()) {
        tt::GuardedBuffer<T> buf(input);
        r.run(buf.slice());
        if (!tt::expect_equals_reference<T>(buf, reference, r.name + " on " + c.name + ", n = " + std::to_string(n))) {
            return;
        }
    }
}

template <typename T>
class RadixSorts : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(RadixSorts, KeyTypes);

TYPED_TEST(RadixSorts, WholeCatalogueAtEveryCutOff) {
    using T = TypeParam;
    const auto sizes = default_sizes();
    for (const auto& c : tt::catalogue<T>()) {
        for (std::size_t n : sizes) {
            check_runners<T>(c, n, n * 31 + 1);
            if (tt::kSanitized && n > 3001) break;
        }
    }
}

TYPED_TEST(RadixSorts, LargeSizes) {
    using T = TypeParam;
    // The whole catalogue only in the large run; a few telling cases otherwise.
    const std::vector<std::string> few = {"uniform", "shared_high_bits", "digit_window_0", "mixed_signs"};
    for (const auto& c : tt::catalogue<T>()) {
        if (!tt::large_tests_enabled() && std::find(few.begin(), few.end(), c.name) == few.end()) continue;
        for (std::size_t n : large_sizes()) {
            check_runners<T>(c, n, n);
            if (tt::kSanitized) break;
        }
    }
}

TYPED_TEST(RadixSorts, ExhaustiveSmallInputs) {
    using T = TypeParam;
    const auto all = runners<T>();
    tt::for_each_sequence<T>(tt::edge_alphabet<T>(), 6, [&](const std::vector<T>& input) {
        for (const auto& r : all) {
            tt::GuardedBuffer<T> buf(input);
            r.run(buf.slice());
            if (!tt::expect_sorted_like_reference<T>(buf, input, r.name)) {
                std::string seq;
                for (T e : input) seq += std::to_string(e) + " ";
                FAIL() << "input: " << seq;
            }
        }
    });
}

// Groups diverted by the fix-up walk reach every sorter of the range stage:
// one large group of equal prefix with random low bits, at range lengths on
// both sides of 251 and 3001.
TYPED_TEST(RadixSorts, DivertedGroupsOfEverySize) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = kBits<T>;
    for (std::size_t group : {250u, 251u, 3000u, 3001u, 30000u, 30001u}) {
        for (unsigned low_bits : {12u, 24u, 40u}) {
            if (low_bits >= bits - 8) continue;
            tt::detail::Bits rnd(group + low_bits);
            std::vector<T> input;
            // A few small groups around one big group; top key bit set so
            // that the layout covers the whole key.
            const K top = K(K(1) << (bits - 1));
            for (int i = 0; i < 100; ++i) input.push_back(tfs::from_radix_key<T>(K(top | K(rnd.next()))));
            const K prefix = K(top | K(K(0x5A) << (bits - 16)));
            const K low = K((K(1) << low_bits) - 1);
            for (std::size_t i = 0; i < group; ++i) {
                input.push_back(tfs::from_radix_key<T>(K(prefix | (K(rnd.next()) & low))));
            }
            for (int i = 0; i < 100; ++i) input.push_back(tfs::from_radix_key<T>(K(top | K(rnd.next()))));
            for (std::uint64_t passes : {1u, 2u}) {
                tt::GuardedBuffer<T> buf(input);
                tfs::dlsd_core<T>(buf.slice(), RadixParams{0, 8, 0, passes, 256}, passes, tfs::DlsdMode::partial);
                tt::expect_sorted_like_reference<T>(buf, input,
                                                    "group " + std::to_string(group) + ", passes " + std::to_string(passes));
            }
            if constexpr (!std::is_signed_v<T>) {
                tt::GuardedBuffer<T> buf(input);
                tfs::dlsd_sort<T>(buf.slice(), 8);
                tt::expect_sorted_like_reference<T>(buf, input, "dlsd_sort, group " + std::to_string(group));
            }
        }
    }
}

TYPED_TEST(RadixSorts, MsdSortFromADeeperLevel) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr std::uint64_t bits = kBits<T>;
    // Keys agree on their top digit; sorting starts at level 1.
    for (std::size_t n : {128u, 129u, 5000u}) {
        auto input = tt::catalogue_case<T>("uniform").make(n, 9);
        for (T& e : input) e = tfs::from_radix_key<T>(K((tfs::radix_key(e) >> 8) | (K(0xC3) << (bits - 8))));
        tt::GuardedBuffer<T> buf(input);
        tfs::msd_sort<T>(buf.slice(), RadixParams{1, 8, 0, bits / 8, 256});
        tt::expect_sorted_like_reference<T>(buf, input, "msd level 1");
    }
}

template <typename T>
class RecursiveRadix : public ::testing::Test {};
using WideTypes = ::testing::Types<std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(RecursiveRadix, WideTypes);

TYPED_TEST(RecursiveRadix, LastLevelAndNarrowLastDigit) {
    using T = TypeParam;
    using K = key_t<T>;
    // Keys differing only in their last byte: one permutation at level 7.
    const auto last = tt::catalogue_case<T>("digit_window_0").make(30001, 4);
    {
        tt::GuardedBuffer<T> buf(last);
        tfs::recursive_radix_sort_level<T>(buf.slice(), RadixParams{7, 8, 0, 8, 256});
        tt::expect_sorted_like_reference<T>(buf, last, "last level");
    }
    // Offset 3: 61 significant bits, the last digit has 5 bits and shift 0.
    auto narrow = tt::catalogue_case<T>("uniform").make(40000, 5);
    for (T& e : narrow) e = tfs::from_radix_key<T>(K(tfs::radix_key(e) >> 3));
    const auto ms = tfs::msd_mask_and_shift<T>(RadixParams{7, 8, 3, 8, 256});
    EXPECT_EQ(ms.shift, 0u);
    EXPECT_EQ(ms.mask, K(0x1F));
    tt::GuardedBuffer<T> buf(narrow);
    tfs::recursive_radix_sort_level<T>(buf.slice(), RadixParams{0, 8, 3, 8, 256});
    tt::expect_sorted_like_reference<T>(buf, narrow, "offset 3");
}

template <typename T>
class SkaPermute : public ::testing::Test {};
using SkaTypes = ::testing::Types<std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(SkaPermute, SkaTypes);

TYPED_TEST(SkaPermute, SingleBucketMovesNothing) {
    using T = TypeParam;
    constexpr std::uint64_t bits = kBits<T>;
    const auto input = tt::catalogue_case<T>("digit_window_0").make(1000, 2);
    // Every key has the same top digit: one bucket holds all.
    std::vector<T> v = input;
    const auto ms = tfs::msd_mask_and_shift<T>(RadixParams{0, 8, 0, bits / 8, 256});
    const auto hist = tfs::digit_histogram<T>(v, 256, ms.mask, ms.shift);
    auto ps = tfs::prefix_sums(hist);
    tfs::ska_permute<T>(v, ps.heads, ps.tails, ms.mask, ms.shift);
    EXPECT_EQ(v, input);
    // One bucket in all (mask 0).
    std::vector<std::uint64_t> heads = {0}, tails = {v.size()};
    tfs::ska_permute<T>(v, heads, tails, 0, 0);
    EXPECT_EQ(v, input);
}

TYPED_TEST(SkaPermute, SignedKeysPutNegativesFirst) {
    using T = TypeParam;
    if constexpr (std::is_signed_v<T>) {
        auto v = tt::catalogue_case<T>("mixed_signs").make(5000, 8);
        const auto ms = tfs::msd_mask_and_shift<T>(RadixParams{0, 8, 0, kBits<T> / 8, 256});
        const auto hist = tfs::digit_histogram<T>(v, 256, ms.mask, ms.shift);
        auto ps = tfs::prefix_sums(hist);
        tfs::ska_permute<T>(v, ps.heads, ps.tails, ms.mask, ms.shift);
        EXPECT_TRUE(std::is_partitioned(v.begin(), v.end(), [](T e) { return e < 0; }));
    }
}

TEST(CountingSort, EveryKeyOnceAndWideCounters) {
    std::vector<std::uint32_t> perm(65536);
    std::iota(perm.begin(), perm.end(), 0u);
    std::reverse(perm.begin(), perm.end());
    std::swap(perm[10], perm[60000]);
    tfs::counting_sort<std::uint32_t>(perm, 16);
    for (std::uint32_t i = 0; i < perm.size(); ++i) ASSERT_EQ(perm[i], i);
    // The wide counters that serve lengths beyond 2^32 - 1.
    for (const auto& c : tt::catalogue<std::int32_t>()) {
        const auto input = c.make(3001, 3);
        const std::uint64_t b = significant_bits<std::int32_t>(input);
        if (b > 16) continue;
        tt::GuardedBuffer<std::int32_t> buf(input);
        tfs::detail::counting_pass<std::int32_t, std::uint64_t>(buf.slice(), b <= 8 ? 8 : 16);
        tt::expect_sorted_like_reference<std::int32_t>(buf, input, c.name);
    }
}

TEST(CountingSort, MoreThanTwoToThe31EqualKeys) {
    if (!tt::large_tests_enabled()) GTEST_SKIP() << "needs 9 GiB; set TFS_LARGE_TESTS=1";
    const std::size_t n = (std::size_t(1) << 31) + 5;
    std::vector<std::uint32_t> v(n, 7);
    v[0] = 200;
    tfs::counting_sort<std::uint32_t>(v, 8);
    EXPECT_EQ(v.back(), 200u);
    EXPECT_EQ(v[n - 2], 7u);
    EXPECT_EQ(v[0], 7u);
}

}  // namespace
