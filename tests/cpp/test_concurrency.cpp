// Threads at once on the pool, the driver and the float key sort, failures
// included (scripts/sanitize.sh runs this under ThreadSanitizer); and the lent
// array, which another thread may write while it is sorted: a sort must stay
// inside the slice and return, normally or with InternalFailure.

#include <atomic>
#include <bit>
#include <latch>
#include <thread>
#include <tuple>

#include "catalogue.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/parallel_split_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/general_sort.hpp"
#include "numa_sort/simd_sort.hpp"

namespace {

namespace tt = tfs::testing;
using tt::failure_message;
using tt::GuardedBuffer;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true;
#else
constexpr bool kThreadSanitized = false;
#endif
constexpr int kRounds = kThreadSanitized || tt::kSanitized ? 8 : 20;
std::size_t length(int pick) {
    constexpr std::size_t lengths[] = {2, 129, 257, 3001, 7001, 30001, 65537, 200000};
    return lengths[static_cast<std::size_t>(pick) % (kThreadSanitized ? 7 : 8)];
}
auto machine(std::uint64_t nodes) {
    return [nodes] { return tfs::topology_from(static_cast<std::uint32_t>(nodes - 1), 16); };
}

// Runs body(caller) on six threads that start together; each must return true.
template <typename Body>
void on_callers(Body body) {
    constexpr int callers = 6;
    std::latch start(callers);
    std::vector<int> ok(callers, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < callers; ++t) threads.emplace_back([&, t] { start.arrive_and_wait(), ok[t] = body(t); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok, std::vector<int>(callers, 1));
}

// Declared first: the callers race to create the pool.
TEST(ManyCallers, PoolJobsNestedJobsAndFailures) {
    on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds * 4; ++round) {
            const std::size_t n = 1 + static_cast<std::size_t>((t * 37 + round * 11) % 300);
            std::vector<std::uint32_t> in(n), out(n, 0);
            for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint32_t>(i * 7 + round);
            const bool fails = round % 5 == 3, nested = round % 3 == 1;
            try {
                tfs::pool::parallel_for(n, [&](std::size_t i) {
                    if (fails && i == n / 2) throw std::runtime_error("task failed");
                    std::atomic<std::uint32_t> inner{0};
                    if (nested && i % 16 == 0) tfs::pool::parallel_for(4, [&](std::size_t j) { inner += j + 1; });
                    out[i] = in[i] + inner.load() - (nested && i % 16 == 0 ? 10 : 0);
                });
                good = good && !fails && out == in;
            } catch (const std::runtime_error& e) {
                good = good && fails && std::string(e.what()) == "task failed";
            }
        }
        return good;
    });
}

// Partitioned sorts of every type on 2 to 8 nodes, some with a failing chunk.
template <typename T>
bool partitioned_round(int t, int round) {
    const auto cases = tt::catalogue<T>();
    const auto input = cases[std::size_t(t * 13 + round * 5) % cases.size()].make(length(t + round * 3), t * 1000 + round);
    GuardedBuffer<T> buffer(input);
    const bool fails = round % 4 == 3;
    const std::string message = failure_message([&] {
        tfs::partitioned_sort(buffer.slice(), machine(2 + (t + round) % 7), [&](std::span<T> part) {
            if (fails && part.size() != input.size() && part.data() != buffer.slice().data()) tfs::fail("chunk sort failed");
            tfs::engine_sort<T>(part);
        });
    });
    std::vector<T> result(buffer.slice().begin(), buffer.slice().end());
    if (fails && input.size() > 1) std::sort(result.begin(), result.end());
    return buffer.guards_intact() && message == (fails && input.size() > 1 ? "chunk sort failed" : "<no failure>") &&
           result == tt::sorted_reference<T>(input);
}

// Float key passes over a partitioned or a direct key sort.
bool float_round(int t, int round) {
    const auto bits = tt::catalogue<std::uint64_t>()[(t + round) % 20].make(length(t * 3 + round), t * 31 + round);
    std::vector<double> data(bits.size());
    std::memcpy(data.data(), bits.data(), bits.size() * sizeof(double));
    tfs::float_key_sort_with(
        std::span<double>(data),
        [&](std::span<std::uint64_t> keys) {
            round % 2 ? tfs::engine_sort<std::uint64_t>(keys) : tfs::partitioned_sort(keys, machine(2 + t % 7), tfs::engine_sort<std::uint64_t>);
        },
        [](std::size_t count, const auto& task) { tfs::pool::parallel_for(count, task); });
    std::vector<std::uint64_t> keys(bits.size()), got(bits.size());
    std::transform(bits.begin(), bits.end(), keys.begin(), [](std::uint64_t b) { return tfs::float_to_key(b); });
    std::transform(data.begin(), data.end(), got.begin(), [](double d) { return tfs::key_of(d); });
    std::sort(keys.begin(), keys.end());
    return got == keys;
}

TEST(ManyCallers, PartitionedAndFloatSortsBesideFailingChunks) {
    on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round) {
            switch ((t + round) % 6) {
            case 0: good = partitioned_round<std::uint32_t>(t, round) && good; break;
            case 1: good = partitioned_round<std::int32_t>(t, round) && good; break;
            case 2: good = partitioned_round<std::uint64_t>(t, round) && good; break;
            case 3: good = partitioned_round<std::int64_t>(t, round) && good; break;
            case 4: good = float_round(t, round) && good; break;
            default: {  // the real driver on this machine
                auto v = tt::catalogue_case<std::uint32_t>("uniform").make(length(t + round), t + round);
                const auto reference = tt::sorted_reference<std::uint32_t>(v);
                tfs::numa_partitioned_sort<std::uint32_t>(std::span<std::uint32_t>(v));
                good = good && v == reference;
            }
            }
        }
        return good;
    });
}

// Counts that understate or overstate a digit (what a writer causes): the
// scatter (plain and write-combining), the permutation and the fix-up walk stop
// in bounds.
TEST(LyingCounts, ScatterPermutationAndWalkStopInBounds) {
    std::vector<std::uint32_t> half(128, 0);
    std::fill(half.begin() + 64, half.end(), 1u);
    const auto mismatch = tfs::kScatterCountMismatch, overrun = tfs::kScatterOverrun;
    const auto forced = tfs::forced_scatter_kind();
    for (const auto& [src, heads, plain_message, combining_message] : std::initializer_list<std::tuple<std::vector<std::uint32_t>, std::vector<std::uint64_t>, const char*, const char*>>{
             {{1, 0, 1, 1}, {0, 2}, overrun, overrun}, {half, {0, 96, 128, 128}, overrun, overrun},
             {half, {0, 128, 128, 128}, overrun, overrun}, {half, {0, 96}, overrun, overrun},
             {half, {0, 128}, mismatch, overrun}, {{0, 1, 0, 1}, {0, 1}, "<no failure>", mismatch}})
        for (auto kind : {tfs::ScatterKind::plain, tfs::ScatterKind::combining}) {
            tfs::force_scatter_kind(kind);
            GuardedBuffer<std::uint32_t> dst{std::vector<std::uint32_t>(src.size())};
            std::vector<std::uint64_t> h = heads;
            const auto mask = static_cast<std::uint32_t>(h.size() - 1);
            EXPECT_EQ(failure_message([&] { tfs::scatter_by_digit<std::uint32_t>(src, dst.slice(), h, mask, 0); }),
                      kind == tfs::ScatterKind::plain ? plain_message : combining_message);
            EXPECT_TRUE(dst.guards_intact());
        }
    tfs::force_scatter_kind(tfs::ScatterKind::plain);  // which leaves the hole to the check after the pass
    std::vector<std::uint32_t> dst(4);
    std::vector<std::uint64_t> starts{0, 1}, heads = starts;  // claims 1 zero and 3 ones: a hole is left
    tfs::scatter_by_digit<std::uint32_t>(std::vector<std::uint32_t>{0, 1, 0, 1}, dst, heads, 1, 0);
    EXPECT_EQ(failure_message([&] { tfs::check_scatter_filled(starts, heads, 4); }), tfs::kScatterCountMismatch);
    tfs::force_scatter_kind(forced);
    GuardedBuffer<std::uint64_t> buf(std::vector<std::uint64_t>{3, 0, 3, 3, 1, 3});
    std::vector<std::uint64_t> perm_heads{0, 2, 4, 5}, tails{2, 4, 5, 6};
    EXPECT_EQ(failure_message([&] { tfs::ska_permute<std::uint64_t>(buf.slice(), perm_heads, tails, 3, 0); }), tfs::kScatterOverrun);
    EXPECT_TRUE(buf.guards_intact());
    std::vector<std::uint32_t> falling(1000);  // groups falling, not rising
    for (std::size_t i = 0; i < falling.size(); ++i) falling[i] = static_cast<std::uint32_t>(falling.size() - i);
    EXPECT_EQ(failure_message([&] { tfs::dlsd_fixup<std::uint32_t>(falling, ~std::uint32_t(0)); }), tfs::kFixupOverBudget);
}

// Runs `sort` on the catalogue's `input` while a thread writes random
// patterns into the slice (single elements, every 256th write a run of 64):
// it returns or fails with InternalFailure, the guards stay intact, and
// afterwards it sorts the slice.
template <typename T, typename Sort>
void beside_a_writer(const char* name, std::size_t n, Sort sort, const char* input = "uniform") {
    for (int round = 0; round < (tt::kSanitized ? 1 : 2); ++round) {
        GuardedBuffer<T> buf(tt::catalogue_case<T>(input).make(n, n + round));
        std::atomic<bool> stop{false};
        std::thread writer([&, slice = buf.slice()] {
            for (std::uint64_t w = 0, r = n | 1; !stop.load(std::memory_order_relaxed); ++w) {
                r ^= r >> 12, r ^= r << 25, r ^= r >> 27;
                for (std::size_t i = r % n; i < std::min<std::size_t>(n, r % n + (w % 256 ? 1 : 64)); ++i) slice[i] = T(r * i);
            }
        });
        try {
            sort(buf.slice());
        } catch (const tfs::InternalFailure&) {
        }
        stop = true;
        writer.join();
        ASSERT_TRUE(buf.guards_intact()) << name << " wrote outside the slice";
        const std::vector<T> now(buf.slice().begin(), buf.slice().end());
        sort(buf.slice());
        ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, std::span<const T>(now), name));
    }
}

template <typename T, bool merge, std::size_t workers, tfs::PartitionShape shape = tfs::PartitionShape::fine>
void parallel(std::span<T> s) {
    std::vector<T> scratch(s.size());
    const auto pool = [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); };
    merge ? tfs::parallel_merge_sort<T>(s, std::span<T>(scratch), workers, tfs::engine_sort<T>, pool)
          : tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), workers, tfs::engine_sort<T>, pool, shape);
}

TEST(LentArray, EveryPathBesideAWriter) {
    if (kThreadSanitized) GTEST_SKIP() << "the races are the point here";
    static constexpr tfs::RadixParams top{0, 8, 0, 8, 256};
    beside_a_writer<std::uint32_t>("u32 comparison tier", 150, tfs::engine_sort<std::uint32_t>);
    beside_a_writer<std::uint32_t>("u32 DLSD stretches", 50000, tfs::engine_sort<std::uint32_t>);
    beside_a_writer<std::uint32_t>("u32 LSD stretches", 2000000, tfs::engine_sort<std::uint32_t>);
    beside_a_writer<std::uint32_t>("u32 two nodes", 300000, [](std::span<std::uint32_t> s) {
        tfs::partitioned_sort(s, machine(2), tfs::engine_sort<std::uint32_t>);
    });
    beside_a_writer<std::uint32_t>("u32 parallel partition", 1000000, parallel<std::uint32_t, false, 2>);
    beside_a_writer<std::uint32_t>("u32 parallel partition, coarse", 1000000,
                                   parallel<std::uint32_t, false, 2, tfs::PartitionShape::coarse>);
    beside_a_writer<std::uint64_t>("u64 parallel partition into runs", 1000000, parallel<std::uint64_t, false, 2>,
                                   "dominant_bucket_every_level");
    beside_a_writer<std::int64_t>("i64 quicksort split", 1000000, [](std::span<std::int64_t> s) {
        tfs::parallel_split_sort<std::int64_t>(s, 3, tfs::engine_sort<std::int64_t>,
                                               [](std::span<std::int64_t> k, std::int64_t p) { return tfs::general::simd_split(k, p); },
                                               [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
    });
    beside_a_writer<std::int32_t>("i32 LSD stretches", 300000, tfs::engine_sort<std::int32_t>);
    beside_a_writer<std::int32_t>("i32 rollercoaster", 2500000, tfs::engine_sort<std::int32_t>);
    beside_a_writer<std::uint64_t>("u64 DLSD", 1000000, tfs::engine_sort<std::uint64_t>);
    beside_a_writer<std::uint64_t>("u64 parallel merge", 1000000, parallel<std::uint64_t, true, 3>);
    for (const char* input : {"nearly_sorted", "two_sorted_halves"})  // dropped keys; runs merged
        beside_a_writer<std::int64_t>("i64 drop-merge", 1000000, [](std::span<std::int64_t> s) {
            if (!tfs::drop_merge_sort<std::int64_t>(s, tfs::engine_sort<std::int64_t>)) tfs::engine_sort<std::int64_t>(s);
        }, input);
    beside_a_writer<std::uint64_t>("u64 msd_sort", 20000, [](std::span<std::uint64_t> s) { tfs::msd_sort(s, top); });
    beside_a_writer<std::uint64_t>("u64 in-place permutation", 200000,
                                   [](std::span<std::uint64_t> s) { tfs::recursive_radix_sort_level(s, top); });
    beside_a_writer<std::int64_t>("i64 rollercoaster", 1000000, tfs::engine_sort<std::int64_t>);
    // The SIMD quicksorts, in cache and past it (ctest runs this test once
    // more with each forced).
    for (std::size_t n : {5000, 300000}) {
        beside_a_writer<std::uint32_t>("u32 SIMD sort", n, [](std::span<std::uint32_t> s) { tfs::general::simd_sort(s); });
        beside_a_writer<std::int32_t>("i32 SIMD sort", n, [](std::span<std::int32_t> s) { tfs::general::simd_sort(s); });
        beside_a_writer<std::uint64_t>("u64 SIMD sort", n, [](std::span<std::uint64_t> s) { tfs::general::simd_sort(s); });
        beside_a_writer<std::int64_t>("i64 SIMD sort", n, [](std::span<std::int64_t> s) { tfs::general::simd_sort(s); });
    }
    // Floats: the re-sort orders by float key, so only the guards are checked.
    for (int kind = 0; kind < 10; ++kind) {
        const bool wide = kind % 2 == 1;
        const bool simd = kind >= 2;  // by value, as the SIMD quicksort takes NaN-free floats
        const bool split = kind >= 4;  // by value around pivots, on three workers
        const bool lane = kind >= 6;  // sort()'s partition on two workers, as ctest forces it
        const bool few = kind >= 8;   // sort() of four bit patterns, counted
        GuardedBuffer<std::uint64_t> buf(tt::catalogue_case<std::uint64_t>("uniform").make(500000, 1));
        if (few) {
            const std::uint64_t patterns[4] = {0, 0x8000000080000000ull, 0x3ff8000040400000ull, 0x7ff800007fc00000ull};
            for (std::size_t i = 0; i < buf.slice().size(); ++i) buf.slice()[i] = patterns[i * 2654435761u % 4];
        }
        std::atomic<bool> stop{false};
        std::thread writer([&, s = buf.slice()] {
            for (std::uint64_t i = 0; !stop; ++i) s[i * 7919 % s.size()] = i * 0x9E3779B97F4A7C15ull;
        });
        const std::span<double> doubles(reinterpret_cast<double*>(buf.slice().data()), 500000);
        const std::span<float> floats(reinterpret_cast<float*>(buf.slice().data()), 1000000);
        const auto by_value = [](auto values) {
            using F = typename decltype(values)::value_type;
            tfs::parallel_split_sort<F>(
                values, 3, [](std::span<F> s) { tfs::general::simd_sort(s); },
                [](std::span<F> k, F p) { return tfs::general::simd_split(k, p); },
                [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
        };
        const auto sort_lane = [&](tfs::general::Element element) {
            tfs::general::Lanes lanes;
            lanes.data = reinterpret_cast<char*>(buf.slice().data());
            lanes.length = wide ? doubles.size() : floats.size();
            lanes.stride = wide ? 8 : 4;
            tfs::general::sort_lanes(element, lanes, 2);
        };
        try {
            if (lane) sort_lane(wide ? tfs::general::Element::f64 : tfs::general::Element::f32);
            else if (split) wide ? by_value(doubles) : by_value(floats);
            else if (simd) wide ? tfs::general::simd_sort(doubles) : tfs::general::simd_sort(floats);
            else if (wide) tfs::float_key_sort(doubles);
            else tfs::float_key_sort(floats);
        } catch (const tfs::InternalFailure&) {
        }
        stop = true;
        writer.join();
        EXPECT_TRUE(buf.guards_intact());
    }
}

}  // namespace
