// Presorted-run pre-pass: run length, scans, the decision table, the blocks it
// keeps and the stretches it hands to the stretch sorter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "engine/algo/verge_sort_heuristic.hpp"

namespace {

using tfs::LeftScan;
using tfs::RightScan;
using tfs::RunShape;

struct Stretch {
    std::uint64_t start;
    std::uint64_t length;
    bool operator==(const Stretch&) const = default;
};

// A stretch sorter that records where it was called and sorts its stretch.
template <typename T>
struct RecordingSorter {
    const T* base;
    std::vector<Stretch>* calls;
    void operator()(std::span<T> stretch, std::uint64_t radix) const {
        EXPECT_EQ(radix, 8u);
        calls->push_back({static_cast<std::uint64_t>(stretch.data() - base), stretch.size()});
        std::sort(stretch.begin(), stretch.end());
    }
};

struct PrepassResult {
    std::vector<std::uint64_t> boundaries;
    std::vector<Stretch> calls;
};

template <typename T>
PrepassResult run_prepass(std::vector<T>& data) {
    PrepassResult r;
    r.boundaries = tfs::verge_sort_heuristic(std::span<T>(data), 8, RecordingSorter<T>{data.data(), &r.calls});
    return r;
}

// Every block between consecutive boundaries is sorted, the list runs from 0
// to n strictly increasing, and the multiset is unchanged.
template <typename T>
void expect_blocks_sorted(const std::vector<T>& before, const std::vector<T>& after,
                          const std::vector<std::uint64_t>& boundaries) {
    ASSERT_FALSE(boundaries.empty());
    EXPECT_EQ(boundaries.front(), 0u);
    EXPECT_EQ(boundaries.back(), after.size());
    for (std::size_t i = 1; i < boundaries.size(); ++i) {
        ASSERT_LT(boundaries[i - 1], boundaries[i]);
        EXPECT_TRUE(std::is_sorted(after.begin() + boundaries[i - 1], after.begin() + boundaries[i]))
            << "block " << i - 1;
    }
    std::vector<T> a = before, b = after;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    EXPECT_EQ(a, b);
}

std::vector<std::uint32_t> random_u32(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint32_t> v(n);
    for (auto& x : v) x = rng();
    return v;
}

TEST(VergeMinRunLength, FloorOfNOverLog2N) {
    EXPECT_EQ(tfs::min_run_length(200), 26u);
    EXPECT_EQ(tfs::min_run_length(1000), 100u);
    EXPECT_EQ(tfs::min_run_length(100000), 6020u);
    EXPECT_EQ(tfs::min_run_length(2), 2u);
    EXPECT_EQ(tfs::min_run_length(3), 1u);
    EXPECT_EQ(tfs::min_run_length(0), 0u);
    EXPECT_EQ(tfs::min_run_length(1), std::numeric_limits<std::uint64_t>::max());
}

TEST(VergeMinRunLength, SaturatingConversion) {
    EXPECT_EQ(tfs::saturating_u64(-3.5), 0u);
    EXPECT_EQ(tfs::saturating_u64(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(tfs::saturating_u64(std::numeric_limits<double>::infinity()),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(tfs::saturating_u64(1e30), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(tfs::saturating_u64(7.99), 7u);
}

// One-by-one reference scans, written straight from the shape definitions.
template <typename T>
LeftScan reference_left(const std::vector<T>& a, std::uint64_t low, std::uint64_t p) {
    if (p == 0) return {RunShape::Edge, 0, 0};
    auto back = [&](std::uint64_t from, auto ok) {
        while (from > low && ok(a[from - 1], a[from])) --from;
        return from;
    };
    auto nondec = [](T x, T y) { return x <= y; };
    auto noninc = [](T x, T y) { return x >= y; };
    if (a[p - 1] < a[p]) return {RunShape::Rising, back(p, nondec), p};
    if (a[p - 1] > a[p]) return {RunShape::Falling, back(p, noninc), p};
    std::uint64_t q = back(p, [](T x, T y) { return x == y; });
    if (q == low) return {RunShape::Flat, low, q};
    if (a[q - 1] < a[q]) return {RunShape::FlatRising, back(p, nondec), q};
    return {RunShape::FlatFalling, back(p, noninc), q};
}

template <typename T>
RightScan reference_right(const std::vector<T>& a, std::uint64_t p) {
    const std::uint64_t n = a.size();
    if (p == n - 1) return {RunShape::Edge, n, n};
    auto fwd = [&](auto ok) {
        std::uint64_t i = p;
        while (i + 1 < n && ok(a[i], a[i + 1])) ++i;
        return i + 1;
    };
    auto nondec = [](T x, T y) { return x <= y; };
    auto noninc = [](T x, T y) { return x >= y; };
    if (a[p] < a[p + 1]) return {RunShape::Rising, p, fwd(nondec)};
    if (a[p] > a[p + 1]) return {RunShape::Falling, p, fwd(noninc)};
    std::uint64_t m = fwd([](T x, T y) { return x == y; });
    if (m == n) return {RunShape::Flat, m, n};
    if (a[m - 1] < a[m]) return {RunShape::FlatRising, m, fwd(nondec)};
    return {RunShape::FlatFalling, m, fwd(noninc)};
}

// Runs of random direction with plateaus, so that every shape occurs and runs
// end at every offset within a group of four pairs.
std::vector<std::int32_t> shaped_input(std::size_t n, std::mt19937& rng) {
    std::vector<std::int32_t> v(n);
    std::int32_t x = 0;
    int dir = 1;
    for (auto& e : v) {
        const auto roll = rng() % 16;
        if (roll == 0) dir = -dir;
        if (roll > 3) x += dir * static_cast<std::int32_t>(rng() % 3);  // 0 keeps a plateau going
        e = x;
    }
    return v;
}

TEST(VergeScans, BlockScansMatchOneByOneScans) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 400; ++round) {
        const std::size_t n = 2 + rng() % 130;  // straddles the 44-position limit from both sides
        std::vector<std::int32_t> v = shaped_input(n, rng);
        if (round % 5 == 0) std::fill(v.begin(), v.begin() + rng() % n, v[0]);  // long leading plateau
        const std::span<const std::int32_t> view(v);
        for (std::uint64_t p = 0; p < n; ++p) {
            const RightScan r = tfs::scan_right(view, p);
            const RightScan rr = reference_right(v, p);
            ASSERT_EQ(r.shape, rr.shape) << "n=" << n << " p=" << p;
            ASSERT_EQ(r.m, rr.m) << "n=" << n << " p=" << p;
            ASSERT_EQ(r.e, rr.e) << "n=" << n << " p=" << p;
            for (std::uint64_t low : {std::uint64_t{0}, p / 3, p}) {
                if (p > 0 && low == p) continue;  // the pre-pass keeps its probe above L
                const LeftScan l = tfs::scan_left(view, low, p);
                const LeftScan lr = reference_left(v, low, p);
                ASSERT_EQ(l.shape, lr.shape) << "n=" << n << " p=" << p << " low=" << low;
                ASSERT_EQ(l.s, lr.s) << "n=" << n << " p=" << p << " low=" << low;
                ASSERT_EQ(l.q, lr.q) << "n=" << n << " p=" << p << " low=" << low;
            }
        }
    }
}

TEST(VergeScans, ShapesAtEdgesAndPlateaus) {
    const std::vector<int> v{5, 5, 5, 7, 7, 3, 3, 3};
    const std::span<const int> s(v);
    EXPECT_EQ(tfs::scan_left(s, 0, 0).shape, RunShape::Edge);
    EXPECT_EQ(tfs::scan_right(s, 7).shape, RunShape::Edge);
    EXPECT_EQ(tfs::scan_right(s, 7).e, 8u);
    EXPECT_EQ(tfs::scan_left(s, 0, 2).shape, RunShape::Flat);
    const LeftScan l = tfs::scan_left(s, 0, 4);
    EXPECT_EQ(l.shape, RunShape::FlatRising);
    EXPECT_EQ(l.q, 3u);
    EXPECT_EQ(l.s, 0u);
    const RightScan r = tfs::scan_right(s, 3);
    EXPECT_EQ(r.shape, RunShape::FlatFalling);
    EXPECT_EQ(r.m, 5u);
    EXPECT_EQ(r.e, 8u);
    EXPECT_EQ(tfs::scan_right(s, 5).shape, RunShape::Flat);
    EXPECT_EQ(tfs::scan_right(s, 0).shape, RunShape::FlatRising);
    EXPECT_EQ(tfs::scan_right(s, 0).e, 5u);
}

TEST(VergeDecision, EdgeOnBothSidesIsAnInternalFailure) {
    const LeftScan l{RunShape::Edge, 0, 0};
    const RightScan r{RunShape::Edge, 1, 1};
    try {
        tfs::choose_run(l, r, 1);
        FAIL() << "no failure raised";
    } catch (const tfs::InternalFailure& f) {
        EXPECT_STREQ(f.what(), "[Verge sort heuristic] Bad implementation.");
    }
}

TEST(VergeDecision, PeakAndValleyTryTheAscendingSideFirst) {
    // Peak: ascending [s, m) = 10 long, descending [q, e) = 30 long.
    const LeftScan rising{RunShape::Rising, 0, 10};
    const RightScan falling{RunShape::Falling, 10, 40};
    auto run = tfs::choose_run(rising, falling, 10);
    EXPECT_TRUE(run.taken);
    EXPECT_FALSE(run.descending);
    EXPECT_EQ(run.begin, 0u);
    EXPECT_EQ(run.end, 10u);
    run = tfs::choose_run(rising, falling, 11);
    EXPECT_TRUE(run.descending);
    EXPECT_EQ(run.begin, 10u);
    EXPECT_EQ(run.end, 40u);
    EXPECT_FALSE(tfs::choose_run(rising, falling, 31).taken);
    // Valley: ascending [q, e) = 5 long, descending [s, m) = 20 long.
    const LeftScan falling_left{RunShape::FlatFalling, 0, 18};
    const RightScan rising_right{RunShape::FlatRising, 20, 23};
    run = tfs::choose_run(falling_left, rising_right, 5);
    EXPECT_FALSE(run.descending);
    EXPECT_EQ(run.begin, 18u);
    EXPECT_EQ(run.end, 23u);
    run = tfs::choose_run(falling_left, rising_right, 6);
    EXPECT_TRUE(run.descending);
    EXPECT_EQ(run.begin, 0u);
    EXPECT_EQ(run.end, 20u);
}

TEST(VergeDecision, TableOutsidePeaksAndValleys) {
    const RunShape all[] = {RunShape::Rising, RunShape::Falling, RunShape::FlatRising,
                            RunShape::FlatFalling, RunShape::Flat, RunShape::Edge};
    for (RunShape l : all) {
        for (RunShape r : all) {
            const bool peak = tfs::is_rising_class(l) && tfs::is_falling_class(r);
            const bool valley = tfs::is_falling_class(l) && tfs::is_rising_class(r);
            if (peak || valley || (l == RunShape::Edge && r == RunShape::Edge)) continue;
            const bool want_descending =
                tfs::is_falling_class(l) ||
                ((l == RunShape::Flat || l == RunShape::Edge) && tfs::is_falling_class(r));
            const auto run = tfs::choose_run(LeftScan{l, 3, 5}, RightScan{r, 7, 9}, 6);
            EXPECT_TRUE(run.taken);
            EXPECT_EQ(run.begin, 3u);
            EXPECT_EQ(run.end, 9u);
            EXPECT_EQ(run.descending, want_descending);
            EXPECT_FALSE(tfs::choose_run(LeftScan{l, 3, 5}, RightScan{r, 7, 9}, 7).taken);
        }
    }
}

TEST(VergePrepass, AscendingSliceIsOneBlockWithoutSorterCall) {
    std::vector<std::uint32_t> v(5000);
    std::iota(v.begin(), v.end(), 7u);
    const auto before = v;
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 5000}));
    EXPECT_TRUE(r.calls.empty());
    EXPECT_EQ(v, before);
}

TEST(VergePrepass, StrictlyDescendingSliceIsReversed) {
    for (std::size_t n : {200u, 201u, 4099u}) {
        std::vector<std::int64_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int64_t>(n) - static_cast<std::int64_t>(i) - 50;
        auto expected = v;
        std::reverse(expected.begin(), expected.end());
        const auto r = run_prepass(v);
        EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, n}));
        EXPECT_TRUE(r.calls.empty());
        EXPECT_EQ(v, expected);
    }
}

TEST(VergePrepass, AllEqualSliceIsUntouched) {
    std::vector<std::uint64_t> v(3000, 42);
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 3000}));
    EXPECT_TRUE(r.calls.empty());
    EXPECT_EQ(v, std::vector<std::uint64_t>(3000, 42));
}

TEST(VergePrepass, DescendingRunWithPlateausIsReversedAsAWhole) {
    std::vector<std::int32_t> v;
    for (int x = 900; x > -900; x -= 7)
        for (int rep = 0; rep < 1 + (x & 3); ++rep) v.push_back(x);
    auto expected = v;
    std::sort(expected.begin(), expected.end());
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, v.size()}));
    EXPECT_TRUE(r.calls.empty());
    EXPECT_EQ(v, expected);
}

TEST(VergePrepass, SliceWithoutLongRunsIsOneSorterCall) {
    auto v = random_u32(10000, 3);
    const auto before = v;
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 10000}));
    EXPECT_EQ(r.calls, (std::vector<Stretch>{{0, 10000}}));
    expect_blocks_sorted(before, v, r.boundaries);
}

TEST(VergePrepass, PeakTakesTheAscendingSideAlthoughTheDescendingSideIsLonger) {
    // n = 1000, min_run_length 100, first probe at 100: a strict peak with
    // 100 ascending elements before it and 500 descending from it.
    auto v = random_u32(1000, 9);
    for (auto& x : v) x %= 500;
    for (std::uint32_t i = 0; i <= 100; ++i) v[i] = 1000 + i;
    for (std::uint32_t j = 0; j < 500; ++j) v[100 + j] = 1100 - j;
    v[600] = 700;  // ends the descent
    const auto before = v;
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 100, 1000}));
    EXPECT_EQ(r.calls, (std::vector<Stretch>{{100, 900}}));
    expect_blocks_sorted(before, v, r.boundaries);
}

TEST(VergePrepass, RunOfExactlyMinRunLengthIsTakenOneShorterIsNot) {
    // n = 1000, min_run_length 100, first probe at 100 inside the run.
    for (std::uint64_t run_start : {40u, 41u}) {
        auto v = random_u32(1000, 17);
        for (auto& x : v) x %= 1000;
        v[run_start - 1] = 5000;
        for (std::uint64_t i = run_start; i < 140; ++i) v[i] = 2000 + static_cast<std::uint32_t>(i);
        const auto before = v;
        const auto r = run_prepass(v);
        if (run_start == 40) {
            EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 40, 140, 1000}));
            EXPECT_EQ(r.calls, (std::vector<Stretch>{{0, 40}, {140, 860}}));
        } else {
            EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 1000}));
            EXPECT_EQ(r.calls, (std::vector<Stretch>{{0, 1000}}));
        }
        expect_blocks_sorted(before, v, r.boundaries);
    }
}

TEST(VergePrepass, TwoSortedHalves) {
    for (std::size_t n : {1000u, 1001u, 65536u}) {
        std::vector<std::int32_t> v(n);
        const std::size_t half = n / 2;
        for (std::size_t i = 0; i < half; ++i) v[i] = static_cast<std::int32_t>(i) + 1000000;  // junction out of order
        for (std::size_t i = half; i < n; ++i) v[i] = static_cast<std::int32_t>(i) - 1000000;
        const auto before = v;
        auto r = run_prepass(v);
        EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, half, n}));
        EXPECT_TRUE(r.calls.empty());
        EXPECT_EQ(v, before);
        // Junction in order: one run.
        std::iota(v.begin(), v.end(), -5);
        r = run_prepass(v);
        EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, n}));
        EXPECT_TRUE(r.calls.empty());
    }
}

TEST(VergePrepass, RunStartingAtSortedUpToAddsOnlyItsEnd) {
    // A descending first chunk, then an ascending one starting exactly where
    // the first block ends: [0, 600, 1000], no sorter call.
    std::vector<std::uint32_t> v(1000);
    for (std::uint32_t i = 0; i < 600; ++i) v[i] = 10000 - i;
    for (std::uint32_t i = 600; i < 1000; ++i) v[i] = 20000 + i;  // breaks the descent
    const auto r = run_prepass(v);
    EXPECT_EQ(r.boundaries, (std::vector<std::uint64_t>{0, 600, 1000}));
    EXPECT_TRUE(r.calls.empty());
    EXPECT_TRUE(std::is_sorted(v.begin(), v.begin() + 600));
}

TEST(VergePrepass, SortedChunksLongerThanMinRunLengthNeedNoSorter) {
    std::mt19937 rng(77);
    for (int round = 0; round < 50; ++round) {
        const std::size_t n = 2000 + rng() % 200000;
        const std::uint64_t min_run = tfs::min_run_length(n);
        const std::size_t max_chunks = std::min<std::size_t>(16, n / (min_run + 1));
        const std::size_t k = 1 + rng() % max_chunks;
        // Chunk borders: k chunks of more than min_run elements each.
        std::vector<std::uint64_t> borders{0};
        const std::uint64_t base = n / k;
        for (std::size_t c = 1; c < k; ++c) borders.push_back(c * base);
        borders.push_back(n);
        // Every junction is out of order. Ascending chunks repeat values;
        // descending ones are strict (a plateau at the end of a descending
        // chunk lets a valley's rising side reach into the next chunk, which
        // can leave that chunk's last element as a one-element stretch).
        const bool descending = round % 2 == 1;
        std::vector<std::uint64_t> v(n);
        for (std::size_t c = 0; c < k; ++c) {
            const std::uint64_t band = (descending ? c : k - 1 - c) * 10000000;
            for (std::uint64_t i = borders[c]; i < borders[c + 1]; ++i) v[i] = band + rng() % 1000;
            std::sort(v.begin() + borders[c], v.begin() + borders[c + 1]);
            if (descending) {
                for (std::uint64_t i = borders[c]; i < borders[c + 1]; ++i) v[i] += i - borders[c];
                std::reverse(v.begin() + borders[c], v.begin() + borders[c + 1]);
            }
        }
        const auto before = v;
        const auto r = run_prepass(v);
        EXPECT_TRUE(r.calls.empty()) << "n=" << n << " k=" << k << " descending=" << descending;
        EXPECT_EQ(r.boundaries, borders);
        expect_blocks_sorted(before, v, r.boundaries);
    }
}

TEST(VergePrepass, ShapedInputsGiveSortedBlocksAndTilingCalls) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = 2 + rng() % 5000;
        std::vector<std::int32_t> v = shaped_input(n, rng);
        const auto before = v;
        const auto r = run_prepass(v);
        expect_blocks_sorted(before, v, r.boundaries);
        // Every call covers exactly one block.
        for (const Stretch& c : r.calls) {
            const auto it = std::find(r.boundaries.begin(), r.boundaries.end(), c.start);
            ASSERT_NE(it, r.boundaries.end());
            ASSERT_NE(it + 1, r.boundaries.end());
            EXPECT_EQ(*(it + 1), c.start + c.length);
        }
        for (std::size_t i = 1; i < r.calls.size(); ++i) EXPECT_LT(r.calls[i - 1].start, r.calls[i].start);
    }
}

TEST(VergePrepass, FailingSorterPropagates) {
    auto v = random_u32(500, 1);
    auto throwing = [](std::span<std::uint32_t>, std::uint64_t) { tfs::fail("stretch failed"); };
    EXPECT_THROW(tfs::verge_sort_heuristic(std::span<std::uint32_t>(v), 8, throwing), tfs::InternalFailure);
}

}  // namespace
