// The partitioned driver: chunk layout, the calls it makes per phase, failure
// in a chunk, and whole sorts through both phases with the real engine, run
// as if on machines of several node counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/failure.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/topology.hpp"

namespace {

using tfs::ChunkLayout;
using tfs::chunk_layout;
using tfs::partitioned_sort;
using tfs::Topology;

constexpr std::uint64_t kNodeCounts[] = {2, 3, 4, 8, 17};

bool large_tests() {
    const char* flag = std::getenv("TFS_LARGE_TESTS");
    return flag != nullptr && std::string(flag) == "1";
}

// A topology source for a machine of `nodes` nodes that counts its calls.
struct FakeTopology {
    std::uint64_t nodes;
    int* calls;
    std::optional<Topology> operator()() const {
        ++*calls;
        if (nodes <= 1) return std::nullopt;
        return Topology{nodes, std::vector<std::uint64_t>(nodes, 1)};
    }
};

// One call of the chunk sorter: where its span lay and on which thread.
struct SortCall {
    std::size_t begin;
    std::size_t size;
    std::thread::id thread;
    bool chunks_sorted;  // for whole-slice calls: every phase-1 chunk was sorted
};

constexpr bool operator==(const ChunkLayout& a, const ChunkLayout& b) {
    return a.chunk == b.chunk && a.chunks == b.chunks;
}
static_assert(chunk_layout(10, 2) == ChunkLayout{5, 2});
static_assert(chunk_layout(5, 4) == ChunkLayout{2, 3});
static_assert(chunk_layout(2, 4) == ChunkLayout{1, 2});
static_assert(chunk_layout(7, 0) == ChunkLayout{7, 1});
static_assert(chunk_layout(7, 1) == ChunkLayout{7, 1});
static_assert(chunk_layout(16, 17) == ChunkLayout{1, 16});
static_assert(chunk_layout(100, 8) == ChunkLayout{13, 8});
static_assert(chunk_layout(97, 8) == ChunkLayout{13, 8});
static_assert(chunk_layout(91, 8) == ChunkLayout{12, 8});
static_assert(chunk_layout(std::numeric_limits<std::uint64_t>::max() / 2, 3).chunks == 3);

TEST(ChunkLayout, CoversTheSliceWithAtMostNodeCountChunks) {
    for (std::uint64_t nodes : {1u, 2u, 3u, 4u, 8u, 17u, 64u})
        for (std::uint64_t len = 1; len < 300; ++len) {
            const ChunkLayout layout = chunk_layout(len, nodes);
            ASSERT_GE(layout.chunk, 1u);
            ASSERT_LE(layout.chunks, nodes);
            // Every chunk but the last is full; the last is not empty.
            ASSERT_LT((layout.chunks - 1) * layout.chunk, len);
            ASSERT_GE(layout.chunks * layout.chunk, len);
        }
}

// Runs partitioned_sort on `len` descending values as if on `nodes` nodes
// with a sorter that records its calls and sorts with std::sort.
std::vector<SortCall> record_calls(std::size_t len, std::uint64_t nodes, int& topology_calls) {
    std::vector<std::uint32_t> data(len);
    std::iota(data.rbegin(), data.rend(), 0u);
    const std::span<std::uint32_t> slice(data);
    std::mutex lock;
    std::vector<SortCall> calls;
    const std::optional<ChunkLayout> layout =
        len >= 2 && nodes >= 2 ? std::optional(chunk_layout(len, nodes)) : std::nullopt;
    partitioned_sort(slice, FakeTopology{nodes, &topology_calls}, [&](std::span<std::uint32_t> part) {
        bool chunks_sorted = true;
        if (part.size() == len && layout)
            for (std::size_t b = 0; b < len; b += layout->chunk) {
                const auto chunk = slice.subspan(b, std::min<std::size_t>(layout->chunk, len - b));
                chunks_sorted = chunks_sorted && std::is_sorted(chunk.begin(), chunk.end());
            }
        std::sort(part.begin(), part.end());
        const std::lock_guard guard(lock);
        calls.push_back({static_cast<std::size_t>(part.data() - slice.data()), part.size(),
                         std::this_thread::get_id(), chunks_sorted});
    });
    EXPECT_TRUE(std::is_sorted(data.begin(), data.end()));
    return calls;
}

TEST(PartitionedSort, TinySlicesAskNothing) {
    for (std::size_t len : {0u, 1u}) {
        int topology_calls = 0;
        EXPECT_TRUE(record_calls(len, 4, topology_calls).empty());
        EXPECT_EQ(topology_calls, 0);
    }
}

TEST(PartitionedSort, SingleNodeSortsTheWholeSliceOnceHere) {
    for (std::size_t len : {2u, 3u, 1000u}) {
        int topology_calls = 0;
        const auto calls = record_calls(len, 1, topology_calls);
        EXPECT_EQ(topology_calls, 1);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].begin, 0u);
        EXPECT_EQ(calls[0].size, len);
        EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    }
}

// Phase 1 sorts exactly the chunks of the layout, each once; phase 2 comes
// last, on the calling thread, over the whole slice, with every chunk sorted.
void expect_two_phases(std::size_t len, std::uint64_t nodes,
                       const std::vector<std::pair<std::size_t, std::size_t>>& chunks) {
    int topology_calls = 0;
    std::vector<SortCall> calls = record_calls(len, nodes, topology_calls);
    EXPECT_EQ(topology_calls, 1);
    ASSERT_EQ(calls.size(), chunks.size() + 1) << "len " << len << ", nodes " << nodes;
    const SortCall whole = calls.back();
    EXPECT_EQ(whole.begin, 0u);
    EXPECT_EQ(whole.size, len);
    EXPECT_EQ(whole.thread, std::this_thread::get_id());
    EXPECT_TRUE(whole.chunks_sorted);
    calls.pop_back();
    std::sort(calls.begin(), calls.end(), [](const SortCall& a, const SortCall& b) { return a.begin < b.begin; });
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(calls[i].begin, chunks[i].first) << "chunk " << i;
        EXPECT_EQ(calls[i].size, chunks[i].second) << "chunk " << i;
    }
}

TEST(PartitionedSort, ChunkBordersOfTheExamples) {
    expect_two_phases(10, 2, {{0, 5}, {5, 5}});
    expect_two_phases(5, 4, {{0, 2}, {2, 2}, {4, 1}});
    expect_two_phases(2, 4, {{0, 1}, {1, 1}});
    std::vector<std::pair<std::size_t, std::size_t>> singles;
    for (std::size_t i = 0; i < 16; ++i) singles.push_back({i, 1});
    expect_two_phases(16, 17, singles);
}

TEST(PartitionedSort, ChunkBordersForEveryNodeCount) {
    for (std::uint64_t nodes : kNodeCounts)
        for (std::size_t len : {2u, 3u, 7u, 16u, 17u, 18u, 100u, 1001u, 65537u}) {
            const ChunkLayout layout = chunk_layout(len, nodes);
            std::vector<std::pair<std::size_t, std::size_t>> chunks;
            for (std::size_t b = 0; b < len; b += layout.chunk)
                chunks.push_back({b, std::min<std::size_t>(layout.chunk, len - b)});
            expect_two_phases(len, nodes, chunks);
        }
}

TEST(PartitionedSort, FailingChunkSkipsPhaseTwo) {
    for (std::uint64_t nodes : kNodeCounts) {
        std::vector<std::uint64_t> data(1000);
        std::iota(data.rbegin(), data.rend(), 0u);
        const std::vector<std::uint64_t> before = data;
        int topology_calls = 0;
        std::mutex lock;
        int whole_calls = 0;
        try {
            partitioned_sort(std::span<std::uint64_t>(data), FakeTopology{nodes, &topology_calls},
                             [&](std::span<std::uint64_t> part) {
                                 if (part.size() == data.size()) {
                                     const std::lock_guard guard(lock);
                                     ++whole_calls;
                                     return;
                                 }
                                 if (part.data() != data.data()) tfs::fail("chunk sort failed");
                                 std::sort(part.begin(), part.end());
                             });
            FAIL() << "no failure, nodes " << nodes;
        } catch (const tfs::InternalFailure& e) {
            EXPECT_STREQ(e.what(), "chunk sort failed");
        }
        EXPECT_EQ(whole_calls, 0);
        EXPECT_EQ(topology_calls, 1);
        std::vector<std::uint64_t> after = data, expected = before;
        std::sort(after.begin(), after.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(after, expected) << "elements lost or duplicated";
    }
}

// ---- whole sorts with the real engine -------------------------------------

enum class Shape { kRandom, kSorted, kReversed, kFewDistinct, kAllEqual, kSawtooth, kExtremes };
constexpr Shape kShapes[] = {Shape::kRandom,   Shape::kSorted,   Shape::kReversed, Shape::kFewDistinct,
                             Shape::kAllEqual, Shape::kSawtooth, Shape::kExtremes};

template <typename T>
std::vector<T> make_values(Shape shape, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    using Limits = std::numeric_limits<T>;
    std::vector<T> v(n);
    switch (shape) {
    case Shape::kRandom:
        for (auto& x : v) x = static_cast<T>(rng());
        break;
    case Shape::kSorted:
    case Shape::kReversed:
        for (auto& x : v) x = static_cast<T>(rng());
        std::sort(v.begin(), v.end());
        if (shape == Shape::kReversed) std::reverse(v.begin(), v.end());
        break;
    case Shape::kFewDistinct: {
        const T values[] = {Limits::min(), T(0), T(1), T(42), Limits::max()};
        for (auto& x : v) x = values[rng() % 5];
        break;
    }
    case Shape::kAllEqual:
        std::fill(v.begin(), v.end(), static_cast<T>(rng()));
        break;
    case Shape::kSawtooth:
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<T>(i % 1000) - T(500 * Limits::is_signed);
        break;
    case Shape::kExtremes:
        for (auto& x : v) x = rng() % 2 ? Limits::min() : Limits::max();
        break;
    }
    return v;
}

template <typename T>
constexpr T kGuard = static_cast<T>(0x5A5A5A5A5A5A5A5Aull);
constexpr std::size_t kGuardLen = 16;

// Sorts `values` with `sort` inside guard zones and checks the result against
// std::sort bit for bit, and that nothing outside the slice was written.
template <typename T, typename Sort>
void expect_sorts(const std::vector<T>& values, Sort sort, const std::string& what) {
    std::vector<T> buffer(values.size() + 2 * kGuardLen, kGuard<T>);
    std::copy(values.begin(), values.end(), buffer.begin() + kGuardLen);
    sort(std::span<T>(buffer.data() + kGuardLen, values.size()));
    std::vector<T> expected = values;
    std::sort(expected.begin(), expected.end());
    for (std::size_t i = 0; i < kGuardLen; ++i) {
        ASSERT_EQ(buffer[i], kGuard<T>) << what << ": guard before the slice written";
        ASSERT_EQ(buffer[kGuardLen + values.size() + i], kGuard<T>) << what << ": guard after the slice written";
    }
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + kGuardLen)) << what;
}

template <typename T>
class PartitionedEngineSort : public ::testing::Test {};
using ElementTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(PartitionedEngineSort, ElementTypes);

std::vector<std::size_t> engine_sizes() {
    std::vector<std::size_t> sizes = {0, 1, 2, 3, 5, 10, 17, 100, 129, 257, 1000, 3001, 7001, 30001, 65537, 200000};
    if (large_tests()) sizes.insert(sizes.end(), {2000001, 10000000});
    return sizes;
}

TYPED_TEST(PartitionedEngineSort, EveryShapeAsIfOnSeveralNodes) {
    using T = TypeParam;
    std::uint64_t seed = 1;
    for (std::size_t n : engine_sizes())
        for (Shape shape : kShapes)
            for (std::uint64_t nodes : kNodeCounts) {
                const std::vector<T> values = make_values<T>(shape, n, seed++);
                int topology_calls = 0;
                expect_sorts<T>(
                    values,
                    [&](std::span<T> s) { partitioned_sort(s, FakeTopology{nodes, &topology_calls}, tfs::engine_sort<T>); },
                    "n " + std::to_string(n) + ", shape " + std::to_string(static_cast<int>(shape)) + ", nodes " +
                        std::to_string(nodes));
                EXPECT_EQ(topology_calls, n < 2 ? 0 : 1);
            }
}

TYPED_TEST(PartitionedEngineSort, EveryShapeOnThisMachine) {
    using T = TypeParam;
    std::uint64_t seed = 1000;
    for (std::size_t n : engine_sizes())
        for (Shape shape : kShapes)
            expect_sorts<T>(make_values<T>(shape, n, seed++), tfs::numa_partitioned_sort<T>,
                            "n " + std::to_string(n) + ", shape " + std::to_string(static_cast<int>(shape)));
}

TEST(PartitionedEngineSort, ConcurrentSortsShareThePool) {
    std::vector<std::thread> callers;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            bool all = true;
            for (int round = 0; round < 5; ++round) {
                std::vector<std::int64_t> v = make_values<std::int64_t>(Shape::kRandom, 20000, 77 + t * 10 + round);
                std::vector<std::int64_t> expected = v;
                std::sort(expected.begin(), expected.end());
                int calls = 0;
                partitioned_sort(std::span<std::int64_t>(v), FakeTopology{3, &calls}, tfs::engine_sort<std::int64_t>);
                all = all && v == expected;
            }
            ok[t] = all;
        });
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace
