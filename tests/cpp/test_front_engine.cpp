// engine_sort of the four key types across every tier bound, the stretch
// sorters on their own, rollercoaster sort at its size tiers, and the cost
// promises of the two-phase scheme (no stretch sorting for presorted chunks).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/rollercoaster_sort.hpp"
#include "engine/types/engine_sort.hpp"
#include "engine/types/signed_integer.hpp"
#include "engine/types/two_phase_sort.hpp"
#include "engine/types/unsigned_integer.hpp"

namespace {

using tfs::testing::catalogue;
using tfs::testing::expect_sorted_like_reference;
using tfs::testing::GuardedBuffer;

// Runs `sort` on a guarded copy of every catalogue case at every length and
// compares with std::sort. Stops at the first failing case.
template <typename T, typename Sort>
void sweep(const std::vector<std::size_t>& lengths, Sort sort, const std::string& what,
           const std::set<std::string>& only = {}) {
    for (const auto& c : catalogue<T>()) {
        if (!only.empty() && !only.count(c.name)) continue;
        for (std::size_t n : lengths) {
            const std::vector<T> input = c.make(n, n * 31 + 7);
            GuardedBuffer<T> buf(input);
            sort(buf.slice());
            if (!expect_sorted_like_reference<T>(buf, std::span<const T>(input),
                                                 what + " " + c.name + " n=" + std::to_string(n)))
                return;
        }
    }
}

// The cases that tell the tiers apart on the largest lengths of the default run.
const std::set<std::string> kLargeSubset{"uniform", "sorted", "reversed", "mixed_signs", "lowest_65536_values",
                                         "lowest_256_values", "two_sorted_halves", "few_distinct",
                                         "sorted_runs"};

template <typename T>
class EngineSortTyped : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(EngineSortTyped, KeyTypes);

TYPED_TEST(EngineSortTyped, CatalogueAcrossTierBounds) {
    using T = TypeParam;
    // Both sides of every tier bound of every type, of the stretch sorters'
    // 128/129, and of the rollercoaster sizes.
    std::vector<std::size_t> lengths{0,    1,    2,    3,    5,    64,   127,  128,  129,  130,
                                     199,  200,  201,  255,  256,  257,  349,  350,  351,  899,
                                     900,  901,  1000, 3000, 3001, 6999, 7000, 7001, 7002, 30001};
    if (!tfs::testing::kSanitized) {
        for (std::size_t n : {65536u, 65537u, 99999u, 100000u, 128000u, 128001u}) lengths.push_back(n);
    }
    sweep<T>(lengths, [](std::span<T> s) { tfs::engine_sort<T>(s); }, "engine_sort");
}

TYPED_TEST(EngineSortTyped, EdgeValuesInEveryTier) {
    using T = TypeParam;
    const std::vector<T> alphabet = tfs::testing::edge_alphabet<T>();
    std::mt19937_64 rng(99);
    for (std::size_t n : {10u, 199u, 200u, 350u, 900u, 7001u, 100000u}) {
        std::vector<T> input(n);
        for (auto& x : input) x = alphabet[rng() % alphabet.size()];
        GuardedBuffer<T> buf(input);
        tfs::engine_sort<T>(buf.slice());
        expect_sorted_like_reference<T>(buf, std::span<const T>(input), "edge values n=" + std::to_string(n));
    }
    // Every short sequence over the alphabet.
    tfs::testing::for_each_sequence(alphabet, 5, [](std::vector<T> seq) {
        const std::vector<T> input = seq;
        tfs::engine_sort<T>(std::span<T>(seq));
        expect_sorted_like_reference<T>(std::span<const T>(seq), std::span<const T>(input), "sequence");
    });
}

TYPED_TEST(EngineSortTyped, SortedAndReversedAboveTheFirstTier) {
    using T = TypeParam;
    for (std::size_t n : {7001u, 50000u}) {
        std::vector<T> v = tfs::testing::catalogue_case<T>("uniform").make(n, 5);
        std::sort(v.begin(), v.end());
        const std::vector<T> sorted = v;
        tfs::engine_sort<T>(std::span<T>(v));
        EXPECT_EQ(v, sorted);
        std::reverse(v.begin(), v.end());
        tfs::engine_sort<T>(std::span<T>(v));
        EXPECT_EQ(v, sorted);
    }
}

TEST(EngineSortSigned, SignedOrder) {
    for (std::size_t n : {2u, 1000u, 10000u}) {
        std::vector<std::int32_t> a(n, 0);
        a[0] = std::numeric_limits<std::int32_t>::max();
        a[n - 1] = std::numeric_limits<std::int32_t>::min();
        if (n > 2) a[n / 2] = -1;
        tfs::engine_sort<std::int32_t>(std::span<std::int32_t>(a));
        EXPECT_EQ(a.front(), std::numeric_limits<std::int32_t>::min());
        EXPECT_EQ(a.back(), std::numeric_limits<std::int32_t>::max());
        EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
        std::vector<std::int64_t> b(n, 0);
        b[0] = std::numeric_limits<std::int64_t>::max();
        b[n - 1] = std::numeric_limits<std::int64_t>::min();
        if (n > 2) b[n / 2] = -1;
        tfs::engine_sort<std::int64_t>(std::span<std::int64_t>(b));
        EXPECT_EQ(b.front(), std::numeric_limits<std::int64_t>::min());
        EXPECT_EQ(b.back(), std::numeric_limits<std::int64_t>::max());
        EXPECT_TRUE(std::is_sorted(b.begin(), b.end()));
        if (n > 2) {
            const auto minus_one = std::find(b.begin(), b.end(), -1);
            ASSERT_NE(minus_one, b.end());
            EXPECT_EQ(*(minus_one + 1), 0);
        }
    }
}

TEST(EngineSortI32, RollercoasterTierBound) {
    // 1999999 takes LSD stretches, 2000000 rollercoaster stretches.
    const std::vector<std::size_t> lengths{1999999, 2000000};
    const bool large = tfs::testing::large_tests_enabled();
    if (tfs::testing::kSanitized && !large) GTEST_SKIP() << "two-million-element sweep skipped under the sanitizer";
    sweep<std::int32_t>(lengths, [](std::span<std::int32_t> s) { tfs::engine_sort<std::int32_t>(s); },
                        "engine_sort", large ? std::set<std::string>{} : kLargeSubset);
}

TEST(EngineSortLarge, UniformAtTenMillion) {
    if (!tfs::testing::large_tests_enabled()) GTEST_SKIP() << "set TFS_LARGE_TESTS=1";
    const std::vector<std::size_t> lengths{10000000};
    const std::set<std::string> cases{"uniform", "mixed_signs", "two_sorted_halves", "few_distinct"};
    sweep<std::uint32_t>(lengths, [](auto s) { tfs::engine_sort<std::uint32_t>(s); }, "u32", cases);
    sweep<std::int32_t>(lengths, [](auto s) { tfs::engine_sort<std::int32_t>(s); }, "i32", cases);
    sweep<std::uint64_t>(lengths, [](auto s) { tfs::engine_sort<std::uint64_t>(s); }, "u64", cases);
    sweep<std::int64_t>(lengths, [](auto s) { tfs::engine_sort<std::int64_t>(s); }, "i64", cases);
}

// ---- Stretch sorters on their own ----

const std::vector<std::size_t> kStretchLengths{0, 1, 2, 100, 128, 129, 130, 255, 256, 257, 1000, 5000};

TEST(StretchSorters, DlsdStretchSorter) {
    sweep<std::uint32_t>(kStretchLengths, [](auto s) { tfs::dlsd_stretch_sorter(s, 8); }, "dlsd u32");
    sweep<std::uint64_t>(kStretchLengths, [](auto s) { tfs::dlsd_stretch_sorter(s, 8); }, "dlsd u64");
}

TEST(StretchSorters, LsdStretchSorter) {
    sweep<std::uint32_t>(kStretchLengths, [](auto s) { tfs::lsd_stretch_sorter(s, 8, 85000); }, "lsd u32");
    sweep<std::int32_t>(kStretchLengths, [](auto s) { tfs::lsd_stretch_sorter(s, 8, 100000); }, "lsd i32");
}

TEST(StretchSorters, RollercoasterStretchSorter) {
    sweep<std::int32_t>(kStretchLengths,
                        [](auto s) { tfs::rollercoaster_stretch_sorter(s, 8, std::optional<std::uint64_t>(100000)); },
                        "rollercoaster i32");
    sweep<std::int64_t>(kStretchLengths, [](auto s) { tfs::rollercoaster_stretch_sorter(s, 8, std::nullopt); },
                        "rollercoaster i64");
}

TEST(StretchSorters, CountingShortcutBounds) {
    // Two-byte keys on both sides of counting16_min_len: counting sort from
    // the bound on, two LSD passes (or rollercoaster levels) below it.
    const std::vector<std::size_t> u32_lengths{84999, 85000};
    const std::set<std::string> two_bytes{"values_below_2^16", "lowest_65536_values", "values_below_2^8",
                                          "lowest_256_values"};
    sweep<std::uint32_t>(u32_lengths, [](auto s) { tfs::lsd_stretch_sorter(s, 8, 85000); }, "lsd u32", two_bytes);
    const std::vector<std::size_t> i32_lengths{99999, 100000};
    sweep<std::int32_t>(i32_lengths, [](auto s) { tfs::lsd_stretch_sorter(s, 8, 100000); }, "lsd i32", two_bytes);
    sweep<std::int32_t>(i32_lengths,
                        [](auto s) { tfs::rollercoaster_stretch_sorter(s, 8, std::optional<std::uint64_t>(100000)); },
                        "rollercoaster i32", two_bytes);
}

TEST(StretchSorters, AllMinimumIsUnchanged) {
    std::vector<std::int32_t> a(1000, std::numeric_limits<std::int32_t>::min());
    tfs::rollercoaster_stretch_sorter(std::span<std::int32_t>(a), 8, std::optional<std::uint64_t>(100000));
    tfs::lsd_stretch_sorter(std::span<std::int32_t>(a), 8, 100000);
    EXPECT_EQ(a, std::vector<std::int32_t>(1000, std::numeric_limits<std::int32_t>::min()));
    std::vector<std::int64_t> b(1000, std::numeric_limits<std::int64_t>::min());
    tfs::rollercoaster_stretch_sorter(std::span<std::int64_t>(b), 8, std::nullopt);
    EXPECT_EQ(b, std::vector<std::int64_t>(1000, std::numeric_limits<std::int64_t>::min()));
    std::vector<std::uint32_t> c(1000, 0);
    tfs::lsd_stretch_sorter(std::span<std::uint32_t>(c), 8, 85000);
    tfs::dlsd_stretch_sorter(std::span<std::uint32_t>(c), 8);
    EXPECT_EQ(c, std::vector<std::uint32_t>(1000, 0));
}

TEST(StretchSorters, CountingShortcutIsForThirtyTwoBitKeysOnly) {
    std::vector<std::int64_t> v(200, 5);
    v[0] = 7;
    try {
        tfs::rollercoaster_stretch_sorter(std::span<std::int64_t>(v), 8, std::optional<std::uint64_t>(1));
        FAIL() << "no failure raised";
    } catch (const tfs::InternalFailure& f) {
        EXPECT_STREQ(f.what(), "counting sort serves 32-bit keys only");
    }
}

// ---- Rollercoaster sort at its size tiers ----

template <typename T>
tfs::RadixParams top_params(std::span<const T> s) {
    const auto layout = tfs::digit_layout<T>(tfs::max_key<T>(s), 8);
    return {0, 8, layout.offset, layout.max_level, 256};
}

template <typename T>
void rollercoaster_sweep(const std::vector<std::size_t>& lengths, const std::set<std::string>& only) {
    for (std::uint64_t depth : {0u, 2u}) {
        for (bool top : {false, true}) {
            sweep<T>(
                lengths,
                [depth, top](std::span<T> s) {
                    if (s.empty()) return;
                    const tfs::RadixParams p = top_params<T>(std::span<const T>(s));
                    if (p.max_level == 0) return;  // all keys 0: already sorted
                    tfs::rollercoaster_sort_level<T>(s, p, depth, top);
                },
                "rollercoaster depth=" + std::to_string(depth) + " top=" + std::to_string(top), only);
        }
    }
}

TEST(Rollercoaster, SizeTiers) {
    std::vector<std::size_t> lengths{2, 255, 256, 257, 3000};
    if (!tfs::testing::kSanitized) {
        for (std::size_t n : {65536u, 65537u, 128000u, 128001u}) lengths.push_back(n);
    }
    rollercoaster_sweep<std::int32_t>(lengths, kLargeSubset);
    rollercoaster_sweep<std::int64_t>(lengths, kLargeSubset);
}

TEST(Rollercoaster, WholeCatalogueAtTheBufferedBounds) {
    const std::vector<std::size_t> lengths{256, 257, 5000};
    rollercoaster_sweep<std::int32_t>(lengths, {});
    rollercoaster_sweep<std::int64_t>(lengths, {});
}

TEST(Rollercoaster, DeeperLevelsAndOffsets) {
    // Keys sharing their top byte sorted from level 1; offsets not a multiple
    // of the radix take the cut-back LSD offset.
    std::mt19937_64 rng(8);
    for (std::size_t n : {257u, 5000u, 70000u}) {
        for (std::uint64_t offset : {0u, 3u}) {
            std::vector<std::int64_t> v(n);
            const std::uint64_t top_bits = std::uint64_t{0x5a} << 56 >> offset;
            for (auto& x : v) {
                const std::uint64_t low = rng() & ((std::uint64_t{1} << (56 - offset)) - 1);
                x = tfs::from_radix_key<std::int64_t>(top_bits | low);
            }
            const auto input = v;
            const tfs::RadixParams p{1, 8, offset, (64 - offset + 7) / 8, 256};
            tfs::rollercoaster_sort_level<std::int64_t>(std::span<std::int64_t>(v), p, 0, false);
            expect_sorted_like_reference<std::int64_t>(std::span<const std::int64_t>(v),
                                                        std::span<const std::int64_t>(input),
                                                        "level 1 offset " + std::to_string(offset));
        }
    }
}

TEST(Rollercoaster, BucketHandOffCoversNonNegativeSmallValues) {
    // Mixed signs: offset 0, so bucket 128 of the top byte holds 0 .. 2^24 - 1
    // and is sorted by the u32 engine on the raw bit patterns.
    std::mt19937 rng(3);
    std::vector<std::int32_t> v(300000);
    for (auto& x : v) {
        const auto roll = rng() % 4;
        x = roll == 0 ? -static_cast<std::int32_t>(rng() % 1000) - 1 : static_cast<std::int32_t>(rng() % (1u << 24));
    }
    const auto input = v;
    tfs::rollercoaster_stretch_sorter(std::span<std::int32_t>(v), 8, std::optional<std::uint64_t>(100000));
    expect_sorted_like_reference<std::int32_t>(std::span<const std::int32_t>(v), std::span<const std::int32_t>(input),
                                               "hand-off");
}

TEST(Rollercoaster, ExaminesPieces) {
    using tfs::PieceOrder;
    auto order = [](std::vector<int> v) { return tfs::examine_piece<int>(std::span<const int>(v)); };
    EXPECT_EQ(order({1, 2, 3}), PieceOrder::ascending);
    EXPECT_EQ(order({3, 2, 1}), PieceOrder::descending);
    EXPECT_EQ(order({5, 5, 3}), PieceOrder::descending);
    EXPECT_EQ(order({5, 5, 5}), PieceOrder::ascending);
    EXPECT_EQ(order({3, 3, 4, 4}), PieceOrder::ascending);
    EXPECT_EQ(order({1, 2, 3, 0}), PieceOrder::unsorted);
    EXPECT_EQ(order({3, 2, 1, 4}), PieceOrder::unsorted);
    for (int n : {43, 44, 45, 100}) {  // both sides of the four-pair scan
        std::vector<int> v(n);
        std::iota(v.begin(), v.end(), 0);
        EXPECT_EQ(order(v), PieceOrder::ascending);
        v.back() = -1;
        EXPECT_EQ(order(v), PieceOrder::unsorted);
        std::iota(v.rbegin(), v.rend(), 0);
        v[1] = v[0];
        EXPECT_EQ(order(v), PieceOrder::descending);
    }
}

TEST(Rollercoaster, PresortedBucketsOnTheTopLevels) {
    // Each top-level bucket ascending, descending, descending with ties, or
    // ascending but for its last element: all end sorted.
    for (int variant = 0; variant < 4; ++variant) {
        std::vector<std::int64_t> v;
        for (std::int64_t bucket = -4; bucket < 4; ++bucket) {
            std::vector<std::int64_t> piece(3000);
            for (std::size_t i = 0; i < piece.size(); ++i)
                piece[i] = bucket * (std::int64_t{1} << 56) + static_cast<std::int64_t>(i / (variant == 2 ? 3 : 1));
            if (variant == 1 || variant == 2) std::reverse(piece.begin(), piece.end());
            if (variant == 3) piece.back() = bucket * (std::int64_t{1} << 56);
            v.insert(v.end(), piece.begin(), piece.end());
        }
        // The pieces already lie in top-digit order, so the permutation moves
        // nothing and each bucket keeps its shape for the examination.
        const auto input = v;
        tfs::rollercoaster_stretch_sorter(std::span<std::int64_t>(v), 8, std::nullopt);
        expect_sorted_like_reference<std::int64_t>(std::span<const std::int64_t>(v),
                                                   std::span<const std::int64_t>(input),
                                                   "variant " + std::to_string(variant));
    }
}

// ---- The two-phase scheme ----

TEST(TwoPhase, SortedChunksMakeNoStretchSorterCall) {
    std::mt19937_64 rng(11);
    for (std::size_t chunks : {2u, 3u, 4u, 7u, 16u}) {
        for (std::size_t n : {20000u, 1000003u}) {
            std::vector<std::uint64_t> v(n);
            for (auto& x : v) x = rng() % 100000;
            const std::size_t chunk = (n + chunks - 1) / chunks;
            if (n - (chunks - 1) * chunk <= tfs::min_run_length(n)) continue;  // chunks must outgrow a run
            for (std::size_t start = 0; start < n; start += chunk)
                std::sort(v.begin() + start, v.begin() + std::min(n, start + chunk));
            const auto input = v;
            std::size_t calls = 0;
            tfs::two_phase_sort(std::span<std::uint64_t>(v), [&calls](std::span<std::uint64_t>, std::uint64_t) {
                ++calls;
            });
            EXPECT_EQ(calls, 0u) << "chunks=" << chunks << " n=" << n;
            expect_sorted_like_reference<std::uint64_t>(std::span<const std::uint64_t>(v),
                                                        std::span<const std::uint64_t>(input), "chunks");
        }
    }
}

TEST(TwoPhase, SortedAndReversedSlicesMakeNoCall) {
    std::vector<std::int32_t> v(100000);
    std::iota(v.begin(), v.end(), -50000);
    std::size_t calls = 0;
    auto counting = [&calls](std::span<std::int32_t>, std::uint64_t) { ++calls; };
    tfs::two_phase_sort(std::span<std::int32_t>(v), counting);
    std::reverse(v.begin(), v.end());
    tfs::two_phase_sort(std::span<std::int32_t>(v), counting);
    EXPECT_EQ(calls, 0u);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

TEST(TwoPhase, StretchesGetTheEngineRadix) {
    std::vector<std::uint32_t> v(5000);
    std::mt19937 rng(1);
    for (auto& x : v) x = rng();
    std::vector<std::uint64_t> radixes;
    tfs::two_phase_sort(std::span<std::uint32_t>(v), [&radixes](std::span<std::uint32_t> s, std::uint64_t r) {
        radixes.push_back(r);
        std::sort(s.begin(), s.end());
    });
    EXPECT_EQ(radixes, std::vector<std::uint64_t>{8});
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
}

}  // namespace
