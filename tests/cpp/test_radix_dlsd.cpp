// The radix choice of the DLSD sort and the fix-up walk on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/register_insertion_sort.hpp"
#include "engine/sorts/simd_dispatch.hpp"

namespace {

using tfs::key_t;
using tfs::SortRange;
namespace tt = tfs::testing;

TEST(DlsdChooseRadix, WorkedExamples) {
    const auto a = tfs::dlsd_choose_radix(1000);
    EXPECT_EQ(a.radix, 7u);
    EXPECT_EQ(a.passes, 2u);
    const auto b = tfs::dlsd_choose_radix(65536);
    EXPECT_EQ(b.radix, 9u);
    EXPECT_EQ(b.passes, 2u);
    const auto c = tfs::dlsd_choose_radix(100000);
    EXPECT_EQ(c.radix, 8u);
    EXPECT_EQ(c.passes, 3u);
    const auto d = tfs::dlsd_choose_radix(200);
    EXPECT_EQ(d.radix, 8u);
    EXPECT_EQ(d.passes, 1u);
}

TEST(DlsdChooseRadix, PassesGrowWithLengthAndStayWithinPartialHistograms) {
    std::uint64_t previous = 0;
    for (std::uint64_t n = 2; n < (std::uint64_t(1) << 43); n = n + n / 3 + 1) {
        const auto c = tfs::dlsd_choose_radix(n);
        EXPECT_TRUE(c.radix >= 7 && c.radix <= 9) << n;
        EXPECT_GE(c.passes, previous) << n;
        EXPECT_LE(c.passes, tfs::kMaxPartialPasses) << n;
        previous = c.passes;
    }
    EXPECT_LE(tfs::dlsd_choose_radix((std::uint64_t(1) << 43) - 1).passes, tfs::kMaxPartialPasses);
}

template <typename T>
std::vector<T> from_keys(const std::vector<key_t<T>>& keys) {
    std::vector<T> out;
    for (auto k : keys) out.push_back(tfs::from_radix_key<T>(k));
    return out;
}

template <typename T>
class DlsdFixup : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(DlsdFixup, KeyTypes);

// Keys of group g (in the top byte) with low part `low`.
template <typename T>
key_t<T> grouped(unsigned g, std::uint64_t low) {
    constexpr unsigned bits = tfs::Radixable<T>::bits;
    return key_t<T>((key_t<T>(g) << (bits - 8)) | key_t<T>(low));
}

template <typename T>
key_t<T> top_byte_mask() {
    return key_t<T>(key_t<T>(0xFF) << (tfs::Radixable<T>::bits - 8));
}

TYPED_TEST(DlsdFixup, SortedSliceIsLeftAlone) {
    using T = TypeParam;
    auto v = tt::catalogue_case<T>("sorted").make(1000, 1);
    const auto before = v;
    EXPECT_TRUE(tfs::dlsd_fixup<T>(v, top_byte_mask<T>()).empty());
    EXPECT_EQ(v, before);
}

TYPED_TEST(DlsdFixup, SmallReversedGroupsAreSortedByInsertion) {
    using T = TypeParam;
    std::vector<key_t<T>> keys;
    for (unsigned g = 1; g < 40; ++g) {
        for (unsigned j = 32; j-- > 0;) keys.push_back(grouped<T>(g, j * 3 + 1));
    }
    auto v = from_keys<T>(keys);
    const auto input = v;
    EXPECT_TRUE(tfs::dlsd_fixup<T>(v, top_byte_mask<T>()).empty());
    tt::expect_sorted_like_reference<T>(v, input, "reversed groups of 32");
}

TYPED_TEST(DlsdFixup, OneReversedGroupOf66IsDivertedAnd65IsNot) {
    using T = TypeParam;
    for (unsigned n : {65u, 66u, 67u, 200u}) {
        std::vector<key_t<T>> keys;
        for (unsigned j = n; j-- > 0;) keys.push_back(grouped<T>(0x42, j));
        auto v = from_keys<T>(keys);
        const auto input = v;
        const auto ranges = tfs::dlsd_fixup<T>(v, top_byte_mask<T>());
        if (n <= 65) {
            EXPECT_TRUE(ranges.empty()) << n;
            tt::expect_sorted_like_reference<T>(v, input, "65 reversed");
        } else {
            ASSERT_EQ(ranges.size(), 1u) << n;
            EXPECT_EQ(ranges[0].start, 0u);
            EXPECT_EQ(ranges[0].end, n);
        }
    }
}

TYPED_TEST(DlsdFixup, LateDetectionFinishesByInsertion) {
    using T = TypeParam;
    // The 33rd out-of-order element of group 2 comes at position 82; with 31
    // more elements its group ends 32 positions later (no range), with 32 more
    // 33 positions later (diverted).
    for (unsigned tail : {31u, 32u}) {
        std::vector<key_t<T>> keys;
        for (unsigned j = 0; j < 10; ++j) keys.push_back(grouped<T>(1, j));
        for (unsigned j = 0; j < 40; ++j) keys.push_back(grouped<T>(2, 1000 + j));
        for (unsigned j = 33; j-- > 0;) keys.push_back(grouped<T>(2, j));
        for (unsigned j = 0; j < tail; ++j) keys.push_back(grouped<T>(2, 500 - j));
        for (unsigned j = 0; j < 10; ++j) keys.push_back(grouped<T>(3, j));
        auto v = from_keys<T>(keys);
        const auto input = v;
        const auto ranges = tfs::dlsd_fixup<T>(v, top_byte_mask<T>());
        if (tail == 31) {
            EXPECT_TRUE(ranges.empty());
            tt::expect_sorted_like_reference<T>(v, input, "late detection");
        } else {
            ASSERT_EQ(ranges.size(), 1u);
            EXPECT_EQ(ranges[0].start, 10u);
            EXPECT_EQ(ranges[0].end, 10u + 40 + 33 + tail);
        }
    }
}

TYPED_TEST(DlsdFixup, GroupRunningToTheLastElement) {
    using T = TypeParam;
    std::vector<key_t<T>> keys;
    for (unsigned j = 0; j < 10; ++j) keys.push_back(grouped<T>(1, j));
    for (unsigned j = 100; j-- > 0;) keys.push_back(grouped<T>(2, j));
    auto v = from_keys<T>(keys);
    const auto ranges = tfs::dlsd_fixup<T>(v, top_byte_mask<T>());
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].start, 10u);
    EXPECT_EQ(ranges[0].end, 110u);
}

TYPED_TEST(DlsdFixup, CounterRestartsWhenTheGroupChanges) {
    using T = TypeParam;
    // 19 out-of-order elements in group 1, then a reversed group 2 of 60: its
    // own 33rd out-of-order element comes too late to divert it. Counted
    // together, the 33rd would have come early enough.
    std::vector<key_t<T>> keys;
    for (unsigned j = 20; j-- > 0;) keys.push_back(grouped<T>(1, j));
    for (unsigned j = 60; j-- > 0;) keys.push_back(grouped<T>(2, j));
    auto v = from_keys<T>(keys);
    const auto input = v;
    EXPECT_TRUE(tfs::dlsd_fixup<T>(v, top_byte_mask<T>()).empty());
    tt::expect_sorted_like_reference<T>(v, input, "counter reset");
    // The same 80 elements in one group are diverted.
    std::vector<key_t<T>> one;
    for (unsigned j = 80; j-- > 0;) one.push_back(grouped<T>(1, j));
    auto w = from_keys<T>(one);
    EXPECT_EQ(tfs::dlsd_fixup<T>(w, top_byte_mask<T>()).size(), 1u);
}

// The contract on many inputs: presort by group, walk, check the ranges and
// the rest, then sort the ranges and compare with std::sort.
TYPED_TEST(DlsdFixup, ContractOverTheCatalogue) {
    using T = TypeParam;
    using K = key_t<T>;
    constexpr unsigned bits = tfs::Radixable<T>::bits;
    for (const auto& c : tt::catalogue<T>()) {
        for (std::size_t n : {2u, 3u, 64u, 65u, 66u, 300u, 5000u}) {
            for (unsigned group_bits : {1u, 4u, 8u, 10u, 16u, bits - 8}) {
                const K mask = K(~K(0) << (bits - group_bits));
                auto v = c.make(n, n + group_bits);
                std::stable_sort(v.begin(), v.end(),
                                 [mask](T a, T b) { return (tfs::radix_key(a) & mask) < (tfs::radix_key(b) & mask); });
                const auto input = v;
                const auto ranges = tfs::dlsd_fixup<T>(v, mask);
                auto group = [&](std::size_t i) { return K(tfs::radix_key(v[i]) & mask); };
                std::vector<bool> in_range(n, false);
                std::uint64_t last_end = 0;
                for (const SortRange& r : ranges) {
                    ASSERT_LE(last_end, r.start);
                    ASSERT_LT(r.start, r.end);
                    ASSERT_LE(r.end, n);
                    last_end = r.end;
                    for (auto i = r.start; i < r.end; ++i) {
                        ASSERT_EQ(group(i), group(r.start)) << "range mixes groups";
                        in_range[i] = true;
                    }
                    if (r.start > 0) ASSERT_NE(group(r.start - 1), group(r.start)) << "range misses its group's start";
                    if (r.end < n) ASSERT_NE(group(r.end), group(r.start)) << "range misses its group's end";
                }
                std::size_t prev = n;
                for (std::size_t i = 0; i < n; ++i) {
                    if (in_range[i]) continue;
                    if (prev != n) ASSERT_LE(v[prev], v[i]) << c.name << " n " << n;
                    prev = i;
                }
                for (const SortRange& r : ranges) std::sort(v.begin() + r.start, v.begin() + r.end);
                if (!tt::expect_sorted_like_reference<T>(v, input, c.name + " bits " + std::to_string(group_bits))) {
                    return;
                }
            }
        }
    }
}

// The register kernel at every length it takes, in a guarded buffer: the
// masked stores of the last register write nothing past the piece.
TYPED_TEST(DlsdFixup, RegisterInsertionSortAtEveryLength) {
    using T = TypeParam;
    if (!tfs::avx512_enabled()) GTEST_SKIP() << "AVX-512 kernels off on this machine";
    for (const auto& c : tt::catalogue<T>()) {
        for (std::size_t n = 0; n <= tfs::kRegisterSortMaxElements<T>; ++n) {
            const auto input = c.make(n, n + 1);
            tt::GuardedBuffer<T> buffer(input);
            tfs::register_insertion_sort(buffer.slice().data(), n);
            if (!tt::expect_sorted_like_reference<T>(buffer, input, c.name + " n " + std::to_string(n))) return;
        }
    }
}

}  // namespace
