// The partitioned driver on simulated machines of 1 to 65536 nodes, the float
// key sort against IEEE 754 totalOrder (a failure leaves floats, never keys),
// the pool, the scratch cache and the node list. Opt-in: TFS_HUGE_TESTS=1
// sorts past 2^31 and 2^32 elements (17 GiB); TFS_LARGE_TESTS=1 every f32.

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <tuple>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "catalogue.hpp"
#include "engine/sorts/scratch_cache.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/topology_linux.hpp"
#include "numa_sort/worker_placement.hpp"

namespace {

namespace tt = tfs::testing;
using tfs::pool::parallel_for;

constexpr bool operator==(const tfs::ChunkLayout& a, const tfs::ChunkLayout& b) { return a.chunk == b.chunk && a.chunks == b.chunks; }
static_assert(tfs::chunk_layout(10, 2) == tfs::ChunkLayout{5, 2} && tfs::chunk_layout(5, 4) == tfs::ChunkLayout{2, 3});
static_assert(tfs::chunk_layout(7, 0) == tfs::ChunkLayout{7, 1} && tfs::chunk_layout(16, 17) == tfs::ChunkLayout{1, 16});
static_assert(tfs::chunk_layout(91, 8) == tfs::ChunkLayout{12, 8});

// partitioned_sort on a machine of highest node `highest`, engine_sort behind a
// recording sorter: the result equals std::sort, guards intact; chunks of
// ceil(n / nodes) tile the slice, then one call sorts it all on this thread.
template <typename T>
void sort_on_machine(const std::vector<T>& input, std::uint32_t highest, const std::string& what) {
    tt::GuardedBuffer<T> buffer(input);
    const std::span<T> slice = buffer.slice();
    std::mutex lock;
    std::vector<std::tuple<std::size_t, std::size_t, bool>> calls;  // begin, size, on this thread
    int topology_calls = 0;
    const auto caller = std::this_thread::get_id();
    tfs::partitioned_sort(slice, [&] { return ++topology_calls, tfs::topology_from(highest, 64); }, [&](std::span<T> part) {
        tfs::engine_sort<T>(part);
        const std::lock_guard guard(lock);
        calls.emplace_back(part.data() - slice.data(), part.size(), std::this_thread::get_id() == caller);
    });
    ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buffer, std::span<const T>(input), what));
    const std::size_t n = input.size();
    const std::uint64_t nodes = highest == 0xFFFFFFFFu ? 1 : highest + 1ull;  // the count wraps to 0
    ASSERT_EQ(topology_calls, n < 2 ? 0 : 1) << what;
    if (n < 2) return;
    ASSERT_EQ(calls.back(), std::tuple(std::size_t{0}, n, true)) << what;
    calls.pop_back();
    std::sort(calls.begin(), calls.end());
    const std::size_t chunk = (n + nodes - 1) / nodes;
    ASSERT_EQ(calls.size(), nodes < 2 ? 0 : (n + chunk - 1) / chunk) << what;
    for (std::size_t i = 0; i < calls.size(); ++i)
        ASSERT_EQ(calls[i], std::tuple(i * chunk, std::min(chunk, n - i * chunk), std::get<2>(calls[i]))) << what << ", chunk " << i;
}

template <typename T>
class Driver : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(Driver, KeyTypes);

TYPED_TEST(Driver, EveryNodeCountAcrossTheTiers) {
    using T = TypeParam;
    for (std::size_t n : {0u, 1u, 2u, 5u, 17u, 129u, 200u, 257u, 350u, 900u, 3001u, 7001u, 30001u, 65537u, 128001u, 1000000u})
        for (const char* name : {"uniform", "runs_of_min_run_length", "reversed", "few_distinct", "organ_pipes"}) {
            const auto input = tt::catalogue_case<T>(name).make(n, n * 7);
            for (std::uint32_t highest : {0u, 1u, 2u, 3u, 7u, 16u, 63u, 0xFFFFFFFFu})
                ASSERT_NO_FATAL_FAILURE(sort_on_machine<T>(input, highest, name + (", n " + std::to_string(n))));
            if (n > 30001) break;  // the first case only above
        }
    for (std::uint32_t highest : {16u, 1000u, 65535u})  // more nodes than elements
        for (std::size_t n = 2; n < 40; n += 3) sort_on_machine<T>(tt::catalogue_case<T>("uniform").make(n, n), highest, "tiny");
}

// A failing chunk reaches the caller, the whole-slice sort does not run, and
// the slice holds its elements.
TEST(DriverFailure, FailingChunkSkipsTheWholeSliceSort) {
    for (std::uint32_t highest : {1u, 2u, 7u, 16u}) {
        std::vector<std::uint64_t> data(1000);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = data.size() - 1 - i;
        int whole = 0;
        EXPECT_EQ(tt::failure_message([&] {
                      tfs::partitioned_sort(std::span<std::uint64_t>(data), [&] { return tfs::topology_from(highest, 64); },
                                            [&](std::span<std::uint64_t> part) {
                                                whole += part.size() == data.size();
                                                if (part.data() != data.data()) tfs::fail("chunk sort failed");
                                                std::sort(part.begin(), part.end());
                                            });
                  }),
                  "chunk sort failed");
        EXPECT_EQ(whole, 0);
        std::sort(data.begin(), data.end());
        for (std::size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], i);
    }
}

// ---- float keys ------------------------------------------------------------

template <typename F>
using U = tfs::float_key_t<F>;

// IEEE 754 totalOrder from float operations and the sign bit: negative NaNs
// (larger payload first), numbers by value with -0.0 before +0.0, positive
// NaNs by payload.
template <typename F>
bool total_less(U<F> a_bits, U<F> b_bits) {
    const F a = std::bit_cast<F>(a_bits), b = std::bit_cast<F>(b_bits);
    const auto rank = [](F x) { return std::isnan(x) ? (std::signbit(x) ? 0 : 2) : 1; };
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (rank(a) == 1) return a < b || (!(b < a) && std::signbit(a) && !std::signbit(b));
    return std::signbit(a) ? a_bits > b_bits : a_bits < b_bits;
}

// Every special class of both signs with its neighbours, a strided sweep of
// the pattern space, and random patterns.
template <typename F>
std::vector<U<F>> sample_patterns() {
    constexpr U<F> sign = tfs::kSignBit<U<F>>, mantissa = (U<F>{1} << (std::numeric_limits<F>::digits - 1)) - 1;
    constexpr U<F> exponent = U<F>(~sign) & U<F>(~mantissa), quiet = (mantissa >> 1) + 1;
    std::vector<U<F>> patterns;
    for (U<F> m : {U<F>(0), mantissa, U<F>(mantissa + 1), std::bit_cast<U<F>>(F(1)), U<F>(exponent - 1), exponent,
                   U<F>(exponent | quiet), U<F>(exponent | mantissa)})
        for (U<F> at : {U<F>(m - 1), m, U<F>(m + 1)}) patterns.insert(patterns.end(), {at, U<F>(at | sign)});
    std::mt19937_64 rng(7);
    for (U<F> i = 0, x = 0; i < 50000; ++i, x += std::numeric_limits<U<F>>::max() / 50000 | 1)
        patterns.insert(patterns.end(), {x, U<F>(rng())});
    return patterns;
}

template <typename F>
class FloatKeys : public ::testing::Test {};
using FloatTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FloatKeys, FloatTypes);

TYPED_TEST(FloatKeys, KeyOrderIsTotalOrder) {
    using F = TypeParam;
    std::vector<U<F>> by_total = sample_patterns<F>(), by_key = by_total;
    std::sort(by_total.begin(), by_total.end(), total_less<F>);
    std::sort(by_key.begin(), by_key.end(), [](U<F> a, U<F> b) { return tfs::float_to_key(a) < tfs::float_to_key(b); });
    ASSERT_EQ(by_key, by_total);
    for (U<F> x : by_key) ASSERT_EQ(tfs::key_to_float(tfs::float_to_key(x)), x);
    using L = std::numeric_limits<F>;
    const F examples[] = {-L::quiet_NaN(), -L::infinity(), F(-2), F(-0.0), F(0.0), F(1.5), L::infinity(), L::quiet_NaN()};
    std::vector<F> v(std::rbegin(examples), std::rend(examples));
    tfs::float_key_sort(std::span<F>(v));
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(std::bit_cast<U<F>>(v[i]), std::bit_cast<U<F>>(examples[i])) << i;
}

// Whole float sorts, bit exact, on both sides of the map chunk, guards intact.
TYPED_TEST(FloatKeys, SortsLikeTotalOrder) {
    using F = TypeParam;
    const auto patterns = sample_patterns<F>();
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<F> finite(F(-1e6), F(1e6));
    for (std::size_t n : {2u, 3u, 129u, 65535u, 65536u, 65537u, 131073u})
        for (int mix = 0; mix < 3; ++mix) {
            std::vector<U<F>> input(n);
            for (auto& x : input)
                x = mix == 0 ? patterns[rng() % patterns.size()] : std::bit_cast<U<F>>(mix == 1 ? finite(rng) : F(rng() % 2 ? 0.0 : -0.0));
            tt::GuardedBuffer<U<F>> buffer(input);
            tfs::float_key_sort<F>(std::span<F>(reinterpret_cast<F*>(buffer.slice().data()), n));
            std::sort(input.begin(), input.end(), total_less<F>);
            ASSERT_TRUE(tt::expect_equals_reference<U<F>>(buffer, input, "n " + std::to_string(n)));
        }
}

// The key sort fails after sorting half the keys or runs out of memory, or
// the map (job 0) or unmap (job 1) pass fails after `done` tasks: the slice
// holds the floats.
TYPED_TEST(FloatKeys, FailuresLeaveTheFloats) {
    using F = TypeParam;
    std::vector<F> original(3 * tfs::kMapChunk + 5);
    std::mt19937_64 rng(5);
    for (auto& x : original) x = std::bit_cast<F>(static_cast<U<F>>(rng()));
    const auto multiset = [](std::vector<F> v) {
        std::sort(v.begin(), v.end(), [](F a, F b) { return std::bit_cast<U<F>>(a) < std::bit_cast<U<F>>(b); });
        return std::vector<U<F>>(reinterpret_cast<U<F>*>(v.data()), reinterpret_cast<U<F>*>(v.data() + v.size()));
    };
    const auto pool = [](std::size_t count, const auto& task) { parallel_for(count, task); };
    std::vector<F> values = original;
    EXPECT_EQ(tt::failure_message([&] {
                  tfs::float_key_sort_with(std::span<F>(values), [](std::span<U<F>> keys) {
                      std::sort(keys.begin(), keys.begin() + keys.size() / 2);
                      tfs::fail("key sort failed");
                  }, pool);
              }),
              "key sort failed");
    EXPECT_EQ(multiset(values), multiset(original));
    values = original;
    EXPECT_THROW(tfs::float_key_sort_with(std::span<F>(values), [](std::span<U<F>>) { throw std::bad_alloc(); }, pool), std::bad_alloc);
    EXPECT_EQ(std::memcmp(values.data(), original.data(), values.size() * sizeof(F)), 0);
    for (int failing : {0, 1})
        for (std::size_t done : {0u, 1u, 3u}) {
            values = original;
            int job = 0;
            const auto runner = [&](std::size_t count, const auto& task) {
                if (job++ != failing) return parallel_for(count, task);
                for (std::size_t i = 0; i < std::min(count, done); ++i) task(i);
                throw std::runtime_error("runner failed");
            };
            const auto keys = [](std::span<U<F>> k) { tfs::numa_partitioned_sort(k); };
            EXPECT_THROW(tfs::float_key_sort_with(std::span<F>(values), keys, runner), std::runtime_error);
            EXPECT_EQ(multiset(values), multiset(original)) << "job " << failing << ", " << done << " done";
        }
}

// ---- pool, scratch cache, node list ---------------------------------------

TEST(Pool, SizeFromTheEnvironment) {
    constexpr std::size_t max = tfs::pool::kMaxThreads;
    const std::tuple<const char*, const char*, std::size_t> table[] = {
        {"1", nullptr, 1},   {"+7", "5", 7},      {"0", "5", 8},         {nullptr, "5", 5},     {"", "5", 5},
        {"x", "5", 5},       {" 3", nullptr, 8},  {"3 ", "5", 5},        {"-3", nullptr, 8},    {"3.0", nullptr, 8},
        {"0x10", nullptr, 8}, {"++3", nullptr, 8}, {"99999999999999999999999", "5", 5},      {nullptr, "0", 8},
        {nullptr, "5x", 8},  {nullptr, "-5", 8},  {"65536", nullptr, max}, {"18446744073709551615", nullptr, max},
        {nullptr, "1000000", max}};
    for (const auto& [num_threads, rs_num_cpus, count] : table)
        EXPECT_EQ(tfs::pool::thread_count_from_env(num_threads, rs_num_cpus, 8), count)
            << (num_threads ? num_threads : "(unset)") << " / " << (rs_num_cpus ? rs_num_cpus : "(unset)");
    EXPECT_EQ(tfs::pool::thread_count_from_env(nullptr, nullptr, 100000), max);
}

// Every index once, nested jobs; a failing task's exception arrives, of its
// type and message, once no task runs any more; a forked child runs jobs on
// its own thread (alarm() turns a hang into a failed exit).
TEST(Pool, JobsFailuresAndFork) {
    const auto each_once = [](std::size_t n) {
        const std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[n + 1]());
        parallel_for(n, [&](std::size_t i) { parallel_for(i % 64 == 0 ? 2 : 1, [&](std::size_t j) { runs[i] += j == 0; }); });
        for (std::size_t i = 0; i <= n; ++i)
            if (runs[i] != (i < n ? 1 : 0)) return false;
        return true;
    };
    for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 4097u, 100003u}) EXPECT_TRUE(each_once(n)) << n;
    for (int kind = 0; kind < 2; ++kind) {
        std::atomic<int> running{0};
        try {
            parallel_for(64, [&](std::size_t i) {
                ++running;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                --running;
                if (i == 5 && kind == 0) throw std::out_of_range("task 5");
                if (i == 5) tfs::fail("chunk went wrong");
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "task 5");
        } catch (const tfs::InternalFailure& e) {
            EXPECT_STREQ(e.what(), "chunk went wrong");
            EXPECT_NE(std::string(e.where().file_name()).find("test_driver.cpp"), std::string::npos);
        }
        EXPECT_EQ(running.load(), 0);
    }
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        ::alarm(20);
        bool thrown = false;
        try {
            parallel_for(10, [](std::size_t i) { i == 4 ? throw std::runtime_error("child") : void(); });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        std::_Exit(each_once(5000) && thrown ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(each_once(1000));
}

// A worker woken after a pause runs beside the caller, not queued behind it
// (a kernel that packs woken threads onto busy processors would queue it),
// and runs free of the bar that kept it off the caller's processor.
TEST(Pool, WorkerWokenAfterAPauseRunsBesideTheCallerAndFree) {
    const std::optional<tfs::pool::CpuMask> home = tfs::pool::CpuMask::of(0);
    ASSERT_TRUE(home);
    if (home->count() < 2 || tfs::pool::thread_count() < 2) GTEST_SKIP() << "one processor";
    const auto job = [&](int& worker_cpu, bool& worker_free) {
        const auto caller = std::this_thread::get_id();
        std::atomic<bool> seen{false};
        parallel_for(2, [&](std::size_t) {
            if (std::this_thread::get_id() != caller) {
                worker_cpu = ::sched_getcpu(), worker_free = tfs::pool::CpuMask::of(0) == home, seen = true;
                return;
            }
            const auto start = std::chrono::steady_clock::now();
            while (!seen && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {}
        });
    };
    int cpu = -1;
    bool free = false;
    job(cpu, free);  // the workers start before the caller is pinned, with its whole mask
    const int caller_cpu = ::sched_getcpu();
    ASSERT_TRUE(home->has(caller_cpu));
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(caller_cpu, &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    // Up to three tries of ten rounds: a load beside the test (another test,
    // a build) may keep the other processor busy for a while, and the kernel
    // then moves the freed worker; without the bar nearly every round ran on
    // the caller's processor.
    constexpr int kRounds = 10;
    int best = 0;
    for (int attempt = 0; attempt < 3 && best < kRounds - 2; ++attempt) {
        int beside = 0;
        for (int round = 0; round < kRounds; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            job(cpu, free);
            beside += cpu != caller_cpu;
            EXPECT_TRUE(free) << round;
        }
        best = std::max(best, beside);
    }
    EXPECT_TRUE(home->apply_to(0));
    EXPECT_GE(best, kRounds - 2);
}

TEST(ScratchCache, KeepsReusesGrowsAndForks) {
    constexpr std::size_t MiB = std::size_t(1) << 20;
    tfs::ScratchCache cache(6 * MiB);
    const tfs::ScratchBlock first = cache.acquire(3 * MiB);
    std::memset(first.data, 0x5A, 3 * MiB);
    cache.release(first);
    EXPECT_EQ(cache.kept_bytes(), 4 * MiB);  // whole 2 MiB granules, at a granule boundary
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.data) % (2 * MiB), 0u);
    const tfs::ScratchBlock again = cache.acquire(1 * MiB);
    EXPECT_EQ(again.data, first.data);
    EXPECT_EQ(static_cast<unsigned char*>(again.data)[3 * MiB - 1], 0x5A);
    const tfs::ScratchBlock grown = cache.acquire(10 * MiB);  // above the limit: 6 MiB kept
    cache.release(again);
    cache.release(grown);
    EXPECT_EQ(cache.kept_bytes(), 6 * MiB);
    const tfs::ScratchBlock back = cache.acquire(10 * MiB);
    EXPECT_GE(back.bytes, 10 * MiB);
    static_cast<unsigned char*>(back.data)[10 * MiB - 1] = 2;
    cache.release(back);
    // A small block given back beside one at the limit stays; the large one
    // loses its tail instead.
    tfs::ScratchCache beside(6 * MiB);
    const tfs::ScratchBlock large = beside.acquire(6 * MiB);
    const tfs::ScratchBlock small = beside.acquire(1 * MiB);
    beside.release(large);
    beside.release(small);
    EXPECT_EQ(beside.kept_bytes(), 6 * MiB);
    const tfs::ScratchBlock small_again = beside.acquire(1 * MiB);
    const tfs::ScratchBlock large_again = beside.acquire(4 * MiB);
    EXPECT_EQ(small_again.data, small.data);
    EXPECT_EQ(large_again.data, large.data);
    beside.release(small_again);
    beside.release(large_again);
    // Beyond the limit, up to the lazy limit, blocks stay mapped with their
    // tails handed to the kernel: the largest resident part goes first, then
    // the largest handed-back tail is cut.
    tfs::ScratchCache lazy(4 * MiB, 12 * MiB);
    const tfs::ScratchBlock a = lazy.acquire(8 * MiB);
    const tfs::ScratchBlock b = lazy.acquire(8 * MiB);
    std::memset(a.data, 0x5A, 8 * MiB);
    std::memset(b.data, 0x5A, 8 * MiB);
    lazy.release(a);
    EXPECT_EQ(lazy.kept_bytes(), 8 * MiB);
    EXPECT_EQ(lazy.resident_bytes(), 4 * MiB);
    lazy.release(b);
    EXPECT_EQ(lazy.kept_bytes(), 12 * MiB);
    EXPECT_EQ(lazy.resident_bytes(), 4 * MiB);
    const tfs::ScratchBlock a_again = lazy.acquire(8 * MiB);
    EXPECT_EQ(a_again.data, a.data);
    EXPECT_EQ(static_cast<unsigned char*>(a_again.data)[4 * MiB - 1], 0x5A);
    std::memset(a_again.data, 1, 8 * MiB);  // the handed-back pages take writes again
    lazy.release(a_again);
    EXPECT_EQ(lazy.kept_bytes(), 12 * MiB);
    const std::size_t fallback = tfs::kScratchCacheDefaultLimit;
    const std::pair<const char*, std::size_t> limits[] = {
        {nullptr, fallback}, {"", fallback},     {"0", 0},           {"1048576", MiB}, {"12k", 12 << 10},
        {"64M", 64 * MiB},   {"2g", 2048 * MiB}, {"lots", fallback}, {"-1", fallback}, {"5MB", fallback}};
    for (const auto& [value, limit] : limits) EXPECT_EQ(tfs::scratch_cache_limit_from(value), limit) << (value ? value : "(unset)");
    tfs::ScratchCache& process = tfs::ScratchCache::process();
    if (process.limit() < 2 * MiB) GTEST_SKIP() << "cache turned off";
    EXPECT_GE(process.lazy_limit(), process.limit());
    process.release(process.acquire(2 * MiB));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(process.kept_bytes() == 0 ? 0 : 1);  // a forked child starts empty
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Topology, NodeListsAndTheirArithmetic) {
    using tfs::topology_linux::parse_highest_node;
    using Listed = std::initializer_list<std::pair<const char*, unsigned>>;
    for (auto [text, highest] : Listed{{"0", 0}, {"0-1\n", 1}, {"0,2-3", 3}, {"0-3,8,12-15\n", 15}, {"4294967295", 0xFFFFFFFF}})
        EXPECT_EQ(parse_highest_node(text), highest) << text;
    for (const char* text : {"", "\n", "0\n\n", "x", "0-", "-1", "0,", ",0", "0,,1", "0-1-2", " 0", "0 ", "1a", "0x1", "+1",
                             "4294967296", "0-99999999999"})
        EXPECT_EQ(parse_highest_node(text), 0u) << '"' << text << '"';
    using tfs::topology_linux::highest_node_in;
    using Mask = std::vector<tfs::topology_linux::NodeMaskWord>;
    for (auto [mask, highest] : std::initializer_list<std::pair<Mask, unsigned>>{
             {{0, 0}, 0}, {{1, 0}, 0}, {{0b1011, 0}, 3}, {{1, 1}, 64}, {{~0ul, 1ul << 63}, 127}})
        EXPECT_EQ(highest_node_in(mask), highest);
    // The nodes a process may allocate on are among the online ones.
    const auto allowed = tfs::topology_linux::read_highest_allowed_node();
    ASSERT_TRUE(allowed.has_value());
    EXPECT_LE(*allowed, tfs::topology_linux::NodeListFile(tfs::topology_linux::kOnlineNodesPath).highest_node());
    EXPECT_FALSE(tfs::topology_from(0, 64).has_value());
    for (auto [highest, processors, each] :
         std::initializer_list<std::tuple<unsigned, unsigned, unsigned>>{{1, 64, 32}, {3, 6, 1}, {2, 2, 0}, {16, 100, 5}})
        EXPECT_EQ(tfs::topology_from(highest, processors)->cores_per_node, std::vector<std::uint64_t>(highest + 1, each));
    // The list file stays open, yet every read sees it as it is now.
    const std::string path = ::testing::TempDir() + "tfs_online_nodes";
    std::ofstream(path) << "0\n";
    const tfs::topology_linux::NodeListFile file(path.c_str());
    for (auto [text, highest] : Listed{{"0-1\n", 1}, {"0,2-3\n", 3}, {"garbage", 0}, {"0-63", 63}}) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(file.highest_node(), highest) << text;
    }
    std::remove(path.c_str());
    EXPECT_EQ(tfs::topology_linux::NodeListFile("/nonexistent/tfs/online").highest_node(), 0u);
}

// ---- opt-in ----------------------------------------------------------------

// n keys below 2^16 above `lowest`, sorted; order and exact counts checked.
template <typename T, typename Sort>
void sort_huge(std::uint64_t n, T lowest, Sort sort) {
    const std::unique_ptr<T[]> data(new T[n]);
    std::vector<std::uint64_t> counts(1 << 16), seen(1 << 16);
    for (std::uint64_t i = 0, state = 1; i < n; ++i) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        ++counts[state >> 48];
        data[i] = static_cast<T>(lowest + static_cast<T>(state >> 48));
    }
    sort(std::span<T>(data.get(), n));
    for (std::uint64_t i = 0; i < n; ++i) {
        ++seen[static_cast<std::uint64_t>(data[i] - lowest) & 0xFFFF];
        ASSERT_TRUE(i == 0 || data[i - 1] <= data[i]) << i;
    }
    EXPECT_TRUE(seen == counts);
}

TEST(Huge, PastInt32AndUint32Counts) {
    const char* flag = std::getenv("TFS_HUGE_TESTS");
    const auto free = std::uint64_t(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    if (flag == nullptr || std::string(flag) != "1" || free < (17ull << 30)) GTEST_SKIP() << "set TFS_HUGE_TESTS=1 (17 GiB)";
    sort_huge<std::int32_t>((1ull << 31) + 1, INT32_MIN, [](std::span<std::int32_t> s) {
        tfs::partitioned_sort(s, [] { return tfs::topology_from(1, 2); }, tfs::engine_sort<std::int32_t>);
    });
    sort_huge<std::uint32_t>((1ull << 32) + 1, 7, tfs::engine_sort<std::uint32_t>);
}

TEST(LargeFloatKeys, EveryF32Pattern) {
    if (!tt::large_tests_enabled()) GTEST_SKIP() << "set TFS_LARGE_TESTS=1";
    // totalOrder runs through the negative patterns downwards, then the
    // positive ones upwards: their keys are 0, 1, 2, ...
    std::uint32_t key = 0;
    for (std::uint32_t x = 0xFFFFFFFFu; x >= 0x80000000u; --x, ++key)
        ASSERT_TRUE(tfs::float_to_key(x) == key && tfs::key_to_float(key) == x) << std::hex << x;
    for (std::uint32_t x = 0; x <= 0x7FFFFFFFu; ++x, ++key)
        ASSERT_TRUE(tfs::float_to_key(x) == key && tfs::key_to_float(key) == x) << std::hex << x;
}

}  // namespace
