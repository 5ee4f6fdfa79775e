// The array is lent: another thread may write into it while it is sorted.
// First the checks that catch counts which no longer match the keys, each
// fed a lie directly; then every sort path run while a mutator thread writes
// random values into the slice. Whatever it writes, a sort stays inside the
// slice and its own memory and returns, normally or with InternalFailure.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "catalogue.hpp"
#include "engine/failure.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/parallel_merge_sort.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/ska_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/pool.hpp"

namespace {

using tfs::testing::GuardedBuffer;
using tfs::testing::failure_message;

// Counts of digits 0 and 1 that understate digit 1: its last element would
// land one past the destination.
TEST(LyingCounts, ScatterStopsAtTheEndOfItsDestination) {
    const std::vector<std::uint32_t> src{1, 0, 1, 1};
    GuardedBuffer<std::uint32_t> dst(std::vector<std::uint32_t>(4));
    std::vector<std::uint64_t> heads{0, 2};  // counted 2 zeros, 2 ones; there are 1 and 3
    EXPECT_EQ(failure_message([&] { tfs::scatter_by_digit<std::uint32_t>(src, dst.slice(), heads, 1, 0); }),
              tfs::kScatterOverrun);
    EXPECT_TRUE(dst.guards_intact());
}

// Long passes run unchecked stretches bounded by the largest head (2
// buckets here; with 4 the pass is too short for them). Digit 1
// understated: its heads reach the end while ones remain. Digit 1 claimed
// empty: its bucket starts at the end, yet ones arrive; the stretches see it
// afterwards.
TEST(LyingCounts, LongScatterStopsAtTheEndOfItsDestination) {
    constexpr std::uint64_t n = 128;
    std::vector<std::uint32_t> src(n, 0);
    std::fill(src.begin() + n / 2, src.end(), 1u);
    struct Lie {
        std::vector<std::uint64_t> heads;
        const char* message;
    };
    for (const Lie& lie : {Lie{{0, 96, n, n}, tfs::kScatterOverrun}, Lie{{0, n, n, n}, tfs::kScatterOverrun},
                           Lie{{0, 96}, tfs::kScatterOverrun}, Lie{{0, n}, tfs::kScatterCountMismatch}}) {
        GuardedBuffer<std::uint32_t> dst{std::vector<std::uint32_t>(n)};
        std::vector<std::uint64_t> heads = lie.heads;
        const auto mask = static_cast<std::uint32_t>(heads.size() - 1);
        EXPECT_EQ(failure_message([&] { tfs::scatter_by_digit<std::uint32_t>(src, dst.slice(), heads, mask, 0); }),
                  lie.message);
        EXPECT_TRUE(dst.guards_intact());
    }
}

// Understating digit 0 by one and overstating digit 1 keeps every index in
// range (the extra zero spills into the ones) but leaves a position unwritten.
TEST(LyingCounts, ScatterThatLeavesAHoleIsRefusedAfterwards) {
    const std::vector<std::uint32_t> src{0, 1, 0, 1};
    std::vector<std::uint32_t> dst(4);
    const std::vector<std::uint64_t> starts{0, 1};  // claims 1 zero and 3 ones; there are 2 of each
    std::vector<std::uint64_t> heads = starts;
    tfs::scatter_by_digit<std::uint32_t>(src, dst, heads, 1, 0);
    EXPECT_EQ(failure_message([&] { tfs::check_scatter_filled(starts, heads, 4); }), tfs::kScatterCountMismatch);
    const std::vector<std::uint64_t> honest{0, 2};
    heads = honest;
    tfs::scatter_by_digit<std::uint32_t>(src, dst, heads, 1, 0);
    tfs::check_scatter_filled(honest, heads, 4);
}

// The permutation swaps within the slice; bucket bounds that understate a
// digit must stop it rather than send a swap past the slice or spin.
TEST(LyingCounts, PermutationStopsAtTheTailOfABucket) {
    const std::vector<std::uint64_t> input{3, 0, 3, 3, 1, 3};
    GuardedBuffer<std::uint64_t> buf(input);
    std::vector<std::uint64_t> heads{0, 2, 4, 5};  // claims 2, 2, 1, 1 of digits 0..3
    const std::vector<std::uint64_t> tails{2, 4, 5, 6};
    EXPECT_EQ(failure_message([&] { tfs::ska_permute<std::uint64_t>(buf.slice(), heads, tails, 3, 0); }),
              tfs::kScatterOverrun);
    EXPECT_TRUE(buf.guards_intact());
}

// A slice that breaks the walk's precondition (groups falling, not rising)
// makes every insertion run to the front; the budget ends the walk.
TEST(LyingCounts, FixupWalkOnUnorderedGroupsRunsOutOfBudget) {
    std::vector<std::uint32_t> slice(1000);
    for (std::size_t i = 0; i < slice.size(); ++i) slice[i] = static_cast<std::uint32_t>(slice.size() - i);
    EXPECT_EQ(failure_message([&] { tfs::dlsd_fixup<std::uint32_t>(slice, ~std::uint32_t(0)); }),
              tfs::kFixupOverBudget);
}

// xorshift64*: fast enough that the mutator writes many values per sort.
struct FastBits {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1Dull;
    }
};

// Writes random bit patterns into a slice from its own thread until
// destroyed: single elements at random positions, and every 256th write a
// run of 64 neighbours, as a bulk copy into the array would.
template <typename T>
class Mutator {
public:
    explicit Mutator(std::span<T> slice, std::uint64_t seed)
        : thread_([this, slice, seed] { run(slice, seed); }) {}
    ~Mutator() {
        stop_.store(true, std::memory_order_relaxed);
        thread_.join();
    }
    Mutator(const Mutator&) = delete;
    Mutator& operator=(const Mutator&) = delete;

private:
    void run(std::span<T> slice, std::uint64_t seed) {
        constexpr std::size_t kRun = 64;
        FastBits bits{seed | 1};
        T* data = slice.data();
        const std::size_t n = slice.size();
        for (std::uint64_t writes = 0; !stop_.load(std::memory_order_relaxed); ++writes) {
            const std::size_t at = bits.next() % n;
            if (writes % 256 == 0) {
                for (std::size_t i = at; i < std::min(n, at + kRun); ++i) data[i] = pattern(bits);
            } else {
                data[at] = pattern(bits);
            }
        }
    }
    static T pattern(FastBits& bits) { return static_cast<T>(bits.next()); }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One sort path under test: a name, the length that puts it in its tier,
// and the call. Float paths sort bit patterns held as unsigned integers;
// `by_float_key` orders their reference by float key (IEEE 754 totalOrder).
template <typename T>
struct Path {
    std::string name;
    std::size_t n;
    std::function<void(std::span<T>)> sort;
    bool by_float_key = false;
};

// Runs `path` while a mutator writes into the slice, a few rounds: the sort
// returns or fails with InternalFailure, the guards stay intact, and once
// the mutator has stopped the same path sorts the slice correctly.
template <typename T>
void sort_under_writes(const Path<T>& path) {
    const int rounds = tfs::testing::kSanitized ? 2 : 4;
    int failed = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::uint64_t seed = 1000 * path.n + static_cast<std::uint64_t>(round);
        GuardedBuffer<T> buf(tfs::testing::detail::uniform<T>(path.n, seed));
        {
            Mutator<T> mutator(buf.slice(), seed);
            try {
                path.sort(buf.slice());
            } catch (const tfs::InternalFailure&) {
                ++failed;
            }
        }
        ASSERT_TRUE(buf.guards_intact()) << path.name << " wrote outside the slice";
        std::vector<T> reference(buf.slice().begin(), buf.slice().end());
        if constexpr (std::is_unsigned_v<T>) {
            if (path.by_float_key)
                std::sort(reference.begin(), reference.end(),
                          [](T a, T b) { return tfs::float_to_key(a) < tfs::float_to_key(b); });
        }
        if (!path.by_float_key) {
            std::sort(reference.begin(), reference.end());
        }
        path.sort(buf.slice());
        ASSERT_TRUE(tfs::testing::expect_equals_reference<T>(buf, reference, path.name + " after the writes"));
    }
    // How often a check fired depends on timing; shown, not asserted.
    std::printf("%-40s %d of %d rounds ended in InternalFailure\n", path.name.c_str(), failed, rounds);
}

template <typename T>
std::function<void(std::span<T>)> engine() {
    return [](std::span<T> s) { tfs::engine_sort<T>(s); };
}

// A two-node machine: both chunks on the pool, then the merge phase.
template <typename T>
std::function<void(std::span<T>)> two_nodes() {
    return [](std::span<T> s) {
        tfs::partitioned_sort(
            s, [] { return std::optional<tfs::Topology>(tfs::Topology{2, {1, 1}}); },
            [](std::span<T> part) { tfs::engine_sort<T>(part); });
    };
}

// The parallel partition on two workers.
template <typename T>
std::function<void(std::span<T>)> two_workers() {
    return [](std::span<T> s) {
        std::vector<T> scratch(s.size());
        tfs::parallel_msd_sort<T>(
            s, std::span<T>(scratch), 2, [](std::span<T> piece) { tfs::engine_sort<T>(piece); },
            [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
    };
}

// The parallel merge sort on three workers (a run left out of a round).
template <typename T>
std::function<void(std::span<T>)> three_way_merge() {
    return [](std::span<T> s) {
        std::vector<T> scratch(s.size());
        tfs::parallel_merge_sort<T>(
            s, std::span<T>(scratch), 3, [](std::span<T> piece) { tfs::engine_sort<T>(piece); },
            [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
    };
}

TEST(ConcurrentWrites, U32Paths) {
    for (const Path<std::uint32_t>& p : std::vector<Path<std::uint32_t>>{
             {"u32 comparison tier", 150, engine<std::uint32_t>()},
             {"u32 DLSD stretches", 50000, engine<std::uint32_t>()},
             {"u32 LSD stretches", 2000000, engine<std::uint32_t>()},
             {"u32 two nodes", 300000, two_nodes<std::uint32_t>()},
             {"u32 parallel partition", 1000000, two_workers<std::uint32_t>()},
         })
        sort_under_writes(p);
}

TEST(ConcurrentWrites, I32Paths) {
    for (const Path<std::int32_t>& p : std::vector<Path<std::int32_t>>{
             {"i32 comparison tier", 800, engine<std::int32_t>()},
             {"i32 LSD stretches", 300000, engine<std::int32_t>()},
             {"i32 rollercoaster", 2500000, engine<std::int32_t>()},
         })
        sort_under_writes(p);
}

TEST(ConcurrentWrites, U64Paths) {
    const tfs::RadixParams top{0, 8, 0, 8, 256};
    for (const Path<std::uint64_t>& p : std::vector<Path<std::uint64_t>>{
             {"u64 comparison tier", 300, engine<std::uint64_t>()},
             {"u64 DLSD", 1000000, engine<std::uint64_t>()},
             {"u64 two nodes", 300000, two_nodes<std::uint64_t>()},
             {"u64 parallel partition", 1000000, two_workers<std::uint64_t>()},
             {"u64 parallel merge", 1000000, three_way_merge<std::uint64_t>()},
             {"u64 msd_sort", 20000, [top](std::span<std::uint64_t> s) { tfs::msd_sort(s, top); }},
             {"u64 in-place permutation", 200000,
              [top](std::span<std::uint64_t> s) { tfs::recursive_radix_sort_level(s, top); }},
         })
        sort_under_writes(p);
}

TEST(ConcurrentWrites, I64Paths) {
    for (const Path<std::int64_t>& p : std::vector<Path<std::int64_t>>{
             {"i64 comparison tier", 5000, engine<std::int64_t>()},
             {"i64 rollercoaster", 1000000, engine<std::int64_t>()},
         })
        sort_under_writes(p);
}

// The float sort of the bit patterns in `s`.
template <typename F, typename U>
void float_sort(std::span<U> s) {
    tfs::float_key_sort(std::span<F>(reinterpret_cast<F*>(s.data()), s.size()));
}

TEST(ConcurrentWrites, FloatPaths) {
    sort_under_writes(Path<std::uint32_t>{"f32 key sort", 1000000, float_sort<float, std::uint32_t>, true});
    sort_under_writes(Path<std::uint64_t>{"f64 key sort", 1000000, float_sort<double, std::uint64_t>, true});
}

}  // namespace
