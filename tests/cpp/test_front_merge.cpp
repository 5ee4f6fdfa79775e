// Pairwise block merge: both merge directions, their tie rules, the in-order
// shortcut, the level loop over many blocks and the shrinking of boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "engine/algo/k_way_merge.hpp"

namespace {

// An element whose order ignores its tag, to observe the merge's tie rules.
struct Tagged {
    int key;
    int tag;
    bool operator<(const Tagged& o) const { return key < o.key; }
    bool operator==(const Tagged&) const = default;
};

constexpr std::size_t kGuard = 16;

// Slice with sentinel guard zones on both sides.
template <typename T>
struct Guarded {
    std::vector<T> storage;
    T sentinel;
    Guarded(const std::vector<T>& data, T s) : storage(data.size() + 2 * kGuard, s), sentinel(s) {
        std::copy(data.begin(), data.end(), storage.begin() + kGuard);
    }
    std::span<T> slice() { return {storage.data() + kGuard, storage.size() - 2 * kGuard}; }
    std::vector<T> contents() { auto s = slice(); return {s.begin(), s.end()}; }
    bool guards_intact() const {
        return std::all_of(storage.begin(), storage.begin() + kGuard, [&](const T& x) { return x == sentinel; }) &&
               std::all_of(storage.end() - kGuard, storage.end(), [&](const T& x) { return x == sentinel; });
    }
};

template <typename T>
void merge_with_exact_buffer(std::span<T> slice, std::uint64_t start, std::uint64_t mid, std::uint64_t end) {
    const std::uint64_t shorter = std::min(mid - start, end - mid);
    auto buffer = std::make_unique<T[]>(shorter);  // exactly sized: overruns show under the sanitizer
    tfs::merge_adjacent_blocks(slice, buffer.get(), shorter, start, mid, end);
}

TEST(MergeAdjacentBlocks, OneAgainstManyBothWays) {
    for (std::size_t n : {2u, 3u, 17u, 1000u}) {
        for (bool single_left : {true, false}) {
            std::vector<std::int64_t> v(n);
            std::iota(v.begin(), v.end(), -static_cast<std::int64_t>(n / 2));
            // The single element belongs in the middle of the other block.
            const std::uint64_t mid = single_left ? 1 : n - 1;
            if (single_left) {
                std::rotate(v.begin(), v.begin() + n / 2, v.begin() + n / 2 + 1);
            } else {
                std::rotate(v.begin() + n / 2, v.begin() + n / 2 + 1, v.end());
            }
            ASSERT_TRUE(std::is_sorted(v.begin(), v.begin() + mid));
            ASSERT_TRUE(std::is_sorted(v.begin() + mid, v.end()));
            auto expected = v;
            std::sort(expected.begin(), expected.end());
            Guarded<std::int64_t> g(v, 0x5a5a5a5a);
            merge_with_exact_buffer(g.slice(), 0, mid, n);
            EXPECT_EQ(g.contents(), expected) << "n=" << n << " single_left=" << single_left;
            EXPECT_TRUE(g.guards_intact());
        }
    }
}

TEST(MergeAdjacentBlocks, BlocksInOrderAreNotCopied) {
    std::vector<std::uint32_t> v{1, 2, 3, 3, 3, 4, 9};
    const auto before = v;
    std::vector<std::uint32_t> buffer(8, 0xdeadbeef);
    tfs::merge_adjacent_blocks(std::span<std::uint32_t>(v), buffer.data(), buffer.size(), 0, 3, 7);
    EXPECT_EQ(v, before);
    EXPECT_EQ(buffer, std::vector<std::uint32_t>(8, 0xdeadbeef));
    // The test needs no buffer at all.
    tfs::merge_adjacent_blocks(std::span<std::uint32_t>(v), static_cast<std::uint32_t*>(nullptr), 0, 0, 4, 7);
    EXPECT_EQ(v, before);
}

TEST(MergeAdjacentBlocks, TiesKeepLeftBeforeRightInBothDirections) {
    // Front merge (left shorter or equal) and back merge (left longer).
    for (int left_len : {3, 4, 6}) {
        std::vector<Tagged> v;
        for (int i = 0; i < left_len; ++i) v.push_back({i / 2, 0});  // 0 0 1 1 2 2
        for (int i = 0; i < 4; ++i) v.push_back({i / 2 + 1, 1});     // 1 1 2 2
        auto expected = v;
        std::stable_sort(expected.begin(), expected.end());
        merge_with_exact_buffer(std::span<Tagged>(v), 0, left_len, v.size());
        EXPECT_EQ(v, expected) << "left_len=" << left_len;
    }
}

TEST(MergeAdjacentBlocks, EqualLengthsMergeFromTheFront) {
    std::vector<std::uint32_t> v{5, 6, 7, 1, 2, 3};
    std::vector<std::uint32_t> buffer(3, 0);
    tfs::merge_adjacent_blocks(std::span<std::uint32_t>(v), buffer.data(), buffer.size(), 0, 3, 6);
    EXPECT_EQ(v, (std::vector<std::uint32_t>{1, 2, 3, 5, 6, 7}));
    EXPECT_EQ(buffer, (std::vector<std::uint32_t>{5, 6, 7}));  // the left block went to the buffer
}

TEST(MergeAdjacentBlocks, TooSmallBufferIsAnInternalFailure) {
    std::vector<std::uint32_t> v{5, 6, 7, 1, 2, 3};
    std::vector<std::uint32_t> buffer(2, 0);
    try {
        tfs::merge_adjacent_blocks(std::span<std::uint32_t>(v), buffer.data(), buffer.size(), 0, 3, 6);
        FAIL() << "no failure raised";
    } catch (const tfs::InternalFailure& f) {
        EXPECT_STREQ(f.what(), "[K-way merge] Buffer too small.");
    }
    EXPECT_THROW(tfs::merge_adjacent_blocks(std::span<std::uint32_t>(v), buffer.data(), 8, 0, 3, 7),
                 tfs::InternalFailure);
}

TEST(KWayMerge, OneBlockOrNoneIsUntouched) {
    std::vector<std::uint32_t> v{3, 1, 2};
    std::vector<std::uint64_t> b{0, 3};
    tfs::k_way_merge(std::span<std::uint32_t>(v), b);
    EXPECT_EQ(v, (std::vector<std::uint32_t>{3, 1, 2}));
    EXPECT_EQ(b, (std::vector<std::uint64_t>{0, 3}));
    std::vector<std::uint64_t> empty;
    tfs::k_way_merge(std::span<std::uint32_t>(v), empty);
    EXPECT_EQ(v, (std::vector<std::uint32_t>{3, 1, 2}));
}

TEST(KWayMerge, TwoBlocksLeaveBoundariesUnchanged) {
    std::vector<std::int32_t> v{-1, 4, 9, -7, -1, 0, 3};
    std::vector<std::uint64_t> b{0, 3, 7};
    tfs::k_way_merge(std::span<std::int32_t>(v), b);
    EXPECT_EQ(v, (std::vector<std::int32_t>{-7, -1, -1, 0, 3, 4, 9}));
    EXPECT_EQ(b, (std::vector<std::uint64_t>{0, 3, 7}));
}

TEST(KWayMerge, ThreeBlocks) {
    std::vector<std::int64_t> v{4, 5, 6, 1, 2, 3, -3, 0, 7};
    std::vector<std::uint64_t> b{0, 3, 6, 9};
    Guarded<std::int64_t> g(v, 99);
    tfs::k_way_merge(g.slice(), b);
    EXPECT_EQ(g.contents(), (std::vector<std::int64_t>{-3, 0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(b, (std::vector<std::uint64_t>{0, 9}));
    EXPECT_TRUE(g.guards_intact());
}

TEST(KWayMerge, EqualValuesAcrossBorders) {
    std::vector<std::uint64_t> v{7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    std::vector<std::uint64_t> b{0, 2, 5, 6, 10};
    tfs::k_way_merge(std::span<std::uint64_t>(v), b);
    EXPECT_EQ(v, std::vector<std::uint64_t>(10, 7));
    std::vector<std::uint32_t> w{2, 5, 5, 1, 5, 5, 5, 0, 2, 5, 9};
    b = {0, 3, 7, 11};
    tfs::k_way_merge(std::span<std::uint32_t>(w), b);
    EXPECT_EQ(w, (std::vector<std::uint32_t>{0, 1, 2, 2, 5, 5, 5, 5, 5, 5, 9}));
}

TEST(KWayMerge, StableAcrossLevels) {
    std::mt19937 rng(5);
    std::vector<Tagged> v;
    std::vector<std::uint64_t> b{0};
    for (int block = 0; block < 9; ++block) {
        const int len = 1 + static_cast<int>(rng() % 40);
        std::vector<Tagged> part;
        for (int i = 0; i < len; ++i) part.push_back({static_cast<int>(rng() % 10), block});
        std::sort(part.begin(), part.end(), [](const Tagged& x, const Tagged& y) { return x.key < y.key; });
        v.insert(v.end(), part.begin(), part.end());
        b.push_back(v.size());
    }
    auto expected = v;
    std::stable_sort(expected.begin(), expected.end());
    tfs::k_way_merge(std::span<Tagged>(v), b);
    EXPECT_EQ(v, expected);
}

TEST(KWayMerge, RandomBlockCountsAgainstReference) {
    std::mt19937_64 rng(2024);
    for (int round = 0; round < 300; ++round) {
        const std::size_t blocks = 1 + rng() % 40;
        std::vector<std::int64_t> v;
        std::vector<std::uint64_t> b{0};
        const bool skewed = round % 3 == 0;
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::size_t len = skewed && i % 2 ? 1 + rng() % 3 : 1 + rng() % 500;
            const std::size_t from = v.size();
            for (std::size_t j = 0; j < len; ++j)
                v.push_back(round % 2 ? static_cast<std::int64_t>(rng()) : static_cast<std::int64_t>(rng() % 21) - 10);
            std::sort(v.begin() + from, v.end());
            b.push_back(v.size());
        }
        auto expected = v;
        std::sort(expected.begin(), expected.end());
        Guarded<std::int64_t> g(v, -123456789);
        tfs::k_way_merge(g.slice(), b);
        ASSERT_EQ(g.contents(), expected) << "round " << round;
        ASSERT_TRUE(g.guards_intact());
        if (blocks >= 3) {
            EXPECT_EQ(b, (std::vector<std::uint64_t>{0, v.size()}));
        } else {
            EXPECT_EQ(b.size(), blocks + 1);
        }
    }
}

}  // namespace
