// Several std::threads at once on the worker pool, the partitioned driver (on
// simulated machines of 2 to 8 nodes) and the float key passes, failures
// included. Built with ThreadSanitizer it checks that every write made on one
// thread is ordered before its reads on another; built normally, that every
// result is right under contention.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <latch>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.hpp"
#include "engine/failure.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/topology.hpp"

namespace {

namespace tt = tfs::testing;

inline constexpr bool kThreadSanitized =
#if defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

// Caller threads: more than the processors of a small machine, so that jobs
// queue on the pool and interleave.
constexpr int kCallers = 6;
// Rounds per caller thread and the largest slice, smaller under a sanitizer.
constexpr int kRounds = kThreadSanitized || tt::kSanitized ? 10 : 25;
constexpr std::size_t kLargestSlice = kThreadSanitized || tt::kSanitized ? 65537 : 200000;
constexpr std::size_t kSliceLengths[] = {2, 129, 257, 3001, 7001, 30001, 65537, 200000};

// Runs body(caller index) on kCallers threads that start together; returns
// what each returned (true when every check of that thread held).
template <typename Body>
std::vector<int> on_callers(Body body) {
    std::latch start(kCallers);
    std::vector<int> ok(kCallers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t)
        callers.emplace_back([&, t] {
            start.arrive_and_wait();
            ok[t] = body(t) ? 1 : 0;
        });
    for (auto& caller : callers) caller.join();
    return ok;
}

const std::vector<int> kAllOk(kCallers, 1);

// A simulated machine of `nodes` nodes.
struct FakeTopology {
    std::uint64_t nodes;
    std::optional<tfs::Topology> operator()() const {
        return tfs::topology_from(static_cast<std::uint32_t>(nodes - 1), 16);
    }
};

std::size_t slice_length(std::uint64_t pick) {
    std::vector<std::size_t> fitting;
    for (std::size_t n : kSliceLengths)
        if (n <= kLargestSlice) fitting.push_back(n);
    return fitting[pick % fitting.size()];
}

// Declared first: the callers race to create the pool.
TEST(StressPool, FirstUseFromManyThreadsAtOnce) {
    const auto ok = on_callers([](int t) {
        const std::size_t n = 64 + static_cast<std::size_t>(t);
        std::vector<std::uint64_t> out(n, 0);
        tfs::pool::parallel_for(n, [&](std::size_t i) { out[i] = i * 3 + static_cast<std::uint64_t>(t); });
        for (std::size_t i = 0; i < n; ++i)
            if (out[i] != i * 3 + static_cast<std::uint64_t>(t)) return false;
        return true;
    });
    EXPECT_EQ(ok, kAllOk);
}

TEST(StressPool, JobsNestedJobsAndFailuresFromManyThreads) {
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds * 4; ++round) {
            // Written here, read by the tasks; written by the tasks, read here.
            const std::size_t n = 1 + static_cast<std::size_t>((t * 37 + round * 11) % 300);
            std::vector<std::uint32_t> in(n), out(n, 0);
            for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint32_t>(i * 7 + round);
            const bool fails = round % 5 == 3;
            const bool nested = round % 3 == 1;
            try {
                tfs::pool::parallel_for(n, [&](std::size_t i) {
                    if (fails && i == n / 2) throw std::runtime_error("task failed");
                    if (nested && i % 16 == 0) {
                        std::atomic<std::uint32_t> inner{0};
                        tfs::pool::parallel_for(4, [&](std::size_t j) { inner += static_cast<std::uint32_t>(j); });
                        out[i] = in[i] + inner.load() - 6;
                    } else {
                        out[i] = in[i];
                    }
                });
                good = good && !fails && out == in;
            } catch (const std::runtime_error& e) {
                good = good && fails && std::string(e.what()) == "task failed";
            }
        }
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

template <typename T>
bool sort_like_reference(std::span<T> slice, const std::vector<T>& input) {
    const std::vector<T> reference = tt::sorted_reference<T>(input);
    return std::equal(slice.begin(), slice.end(), reference.begin(), reference.end()) &&
           tt::fingerprint<T>(std::span<const T>(slice)) == tt::fingerprint<T>(std::span<const T>(reference));
}

// One partitioned sort of a catalogue case on a machine of 2 to 8 nodes.
template <typename T>
bool partitioned_round(int t, int round) {
    const auto cases = tt::catalogue<T>();
    const auto& c = cases[static_cast<std::size_t>(t * 13 + round * 5) % cases.size()];
    const std::size_t n = slice_length(static_cast<std::uint64_t>(t + round * 3));
    const std::uint64_t nodes = 2 + static_cast<std::uint64_t>((t + round) % 7);
    const std::vector<T> input = c.make(n, static_cast<std::uint64_t>(t * 1000 + round));
    tt::GuardedBuffer<T> buffer(input);
    tfs::partitioned_sort(buffer.slice(), FakeTopology{nodes}, tfs::engine_sort<T>);
    return buffer.guards_intact() && sort_like_reference<T>(buffer.slice(), input);
}

TEST(StressDriver, PartitionedSortsFromManyThreads) {
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round) {
            switch ((t + round) % 4) {
            case 0: good = partitioned_round<std::uint32_t>(t, round) && good; break;
            case 1: good = partitioned_round<std::int32_t>(t, round) && good; break;
            case 2: good = partitioned_round<std::uint64_t>(t, round) && good; break;
            default: good = partitioned_round<std::int64_t>(t, round) && good; break;
            }
        }
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

TEST(StressDriver, FailingChunksBesideSucceedingSorts) {
    // Even callers sort normally; odd callers' chunk sorts fail on the second
    // chunk, which must reach them and leave a permutation of their slice.
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round) {
            const std::size_t n = slice_length(static_cast<std::uint64_t>(round + 3));
            const std::uint64_t nodes = 2 + static_cast<std::uint64_t>((t + round) % 7);
            const std::vector<std::int64_t> input =
                tt::catalogue_case<std::int64_t>("uniform").make(n, static_cast<std::uint64_t>(t * 100 + round));
            std::vector<std::int64_t> data = input;
            const std::span<std::int64_t> slice(data);
            if (t % 2 == 0) {
                tfs::partitioned_sort(slice, FakeTopology{nodes}, tfs::engine_sort<std::int64_t>);
                good = good && sort_like_reference<std::int64_t>(slice, input);
                continue;
            }
            try {
                tfs::partitioned_sort(slice, FakeTopology{nodes}, [&](std::span<std::int64_t> part) {
                    if (part.size() != n && part.data() != slice.data()) tfs::fail("chunk sort failed");
                    tfs::engine_sort<std::int64_t>(part);
                });
                good = false;
            } catch (const tfs::InternalFailure& e) {
                good = good && std::string(e.what()) == "chunk sort failed";
            }
            std::sort(data.begin(), data.end());
            good = good && data == tt::sorted_reference<std::int64_t>(input);
        }
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

// Float bit patterns: a catalogue case of the key type, every special class
// sprinkled in.
template <typename F>
std::vector<F> float_input(std::size_t n, std::uint64_t seed) {
    using U = tfs::float_key_t<F>;
    const auto cases = tt::catalogue<U>();
    const std::vector<U> bits = cases[seed % cases.size()].make(n, seed);
    using L = std::numeric_limits<F>;
    const F specials[] = {-L::quiet_NaN(), L::quiet_NaN(), -L::infinity(), L::infinity(), F(-0.0),
                          F(0.0),          L::denorm_min(), -L::denorm_min(), L::max(),    -L::max()};
    std::vector<F> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = i % 97 == 5 ? specials[(i / 97) % std::size(specials)] : std::bit_cast<F>(bits[i]);
    return v;
}

// Whether `result` holds `input` in totalOrder of the bit patterns.
template <typename F>
bool float_sorted_like_reference(const std::vector<F>& result, const std::vector<F>& input) {
    using U = tfs::float_key_t<F>;
    std::vector<U> expected(input.size()), got(result.size());
    for (std::size_t i = 0; i < input.size(); ++i) expected[i] = tfs::key_of(input[i]);
    for (std::size_t i = 0; i < result.size(); ++i) got[i] = std::bit_cast<U>(result[i]);
    std::sort(expected.begin(), expected.end());
    for (U& k : expected) k = tfs::key_to_float(k);
    return got == expected;
}

template <typename F>
bool float_round(int t, int round) {
    using U = tfs::float_key_t<F>;
    const std::size_t n = slice_length(static_cast<std::uint64_t>(t * 3 + round));
    const std::vector<F> input = float_input<F>(n, static_cast<std::uint64_t>(t * 31 + round));
    std::vector<F> data = input;
    if (round % 2 == 0) {
        tfs::float_key_sort<F>(std::span<F>(data));
    } else {
        const std::uint64_t nodes = 2 + static_cast<std::uint64_t>((t + round) % 7);
        tfs::float_key_sort_with(
            std::span<F>(data),
            [nodes](std::span<U> keys) { tfs::partitioned_sort(keys, FakeTopology{nodes}, tfs::engine_sort<U>); },
            [](std::size_t count, const auto& task) { tfs::pool::parallel_for(count, task); });
    }
    return float_sorted_like_reference<F>(data, input);
}

TEST(StressFloat, KeyPassesAndSortsFromManyThreads) {
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round)
            good = ((t + round) % 2 == 0 ? float_round<float>(t, round) : float_round<double>(t, round)) && good;
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

TEST(StressFloat, FailingKeySortsLeaveFloatsBesideOtherSorts) {
    // Odd callers' key sorts fail after sorting some of the keys; their
    // slices must hold the original float patterns in some order.
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round) {
            const std::size_t n = std::min<std::size_t>(kLargestSlice, 3 * tfs::kMapChunk / 2);
            const std::vector<double> input = float_input<double>(n, static_cast<std::uint64_t>(t + round * 7));
            std::vector<double> data = input;
            if (t % 2 == 0) {
                tfs::float_key_sort<double>(std::span<double>(data));
                good = float_sorted_like_reference<double>(data, input) && good;
                continue;
            }
            try {
                tfs::float_key_sort_with(
                    std::span<double>(data),
                    [](std::span<std::uint64_t> keys) {
                        tfs::engine_sort<std::uint64_t>(keys.first(keys.size() / 2));
                        tfs::fail("key sort failed");
                    },
                    [](std::size_t count, const auto& task) { tfs::pool::parallel_for(count, task); });
                good = false;
            } catch (const tfs::InternalFailure& e) {
                good = good && std::string(e.what()) == "key sort failed";
            }
            std::vector<std::uint64_t> got(n), expected(n);
            for (std::size_t i = 0; i < n; ++i) {
                got[i] = std::bit_cast<std::uint64_t>(data[i]);
                expected[i] = std::bit_cast<std::uint64_t>(input[i]);
            }
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
            good = good && got == expected;
        }
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

TEST(StressDriver, RealDriverAndEngineFromManyThreads) {
    // numa_partitioned_sort with this machine's topology, beside the others.
    const auto ok = on_callers([](int t) {
        bool good = true;
        for (int round = 0; round < kRounds; ++round) {
            const std::size_t n = slice_length(static_cast<std::uint64_t>(t + round));
            const std::vector<std::uint32_t> input =
                tt::catalogue_case<std::uint32_t>("uniform").make(n, static_cast<std::uint64_t>(t * 7 + round));
            std::vector<std::uint32_t> data = input;
            if (round % 2 == 0) {
                tfs::numa_partitioned_sort<std::uint32_t>(std::span<std::uint32_t>(data));
            } else {
                tfs::engine_sort<std::uint32_t>(std::span<std::uint32_t>(data));
            }
            good = sort_like_reference<std::uint32_t>(std::span<std::uint32_t>(data), input) && good;
        }
        return good;
    });
    EXPECT_EQ(ok, kAllOk);
}

}  // namespace
