// The partitioned driver on simulated machines of 1 to 64 nodes, with the
// real engine_sort behind a recording sorter: every length at a tier bound,
// more nodes than elements, the wrapped node count, and the chunk borders
// recomputed here from the lengths.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "catalogue.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/topology.hpp"

namespace {

namespace tt = tfs::testing;

// Node counts of the simulated machines; 1 is a single-node machine.
constexpr std::uint64_t kNodeCounts[] = {1, 2, 3, 4, 8, 17, 64};
// Processors the simulated machines report.
constexpr std::uint32_t kProcessors = 64;

// Lengths: the smallest ones, both sides of every tier bound and cut-off of
// the engine, and a million.
std::vector<std::size_t> lengths() {
    std::vector<std::size_t> n = {0,    1,    2,    5,     10,    127,   128,   129,   199,   200,
                                  250,  251,  255,  256,   257,   349,   350,   899,   900,   2999,
                                  3000, 3001, 6999, 7000,  7001,  29999, 30000, 30001, 65535, 65536,
                                  65537, 85000, 99999, 100000, 127999, 128000, 128001};
    if (!tt::kSanitized) n.push_back(1000000);
    if (tt::large_tests_enabled()) n.insert(n.end(), {1999999, 2000000});
    return n;
}

// The distributions each length is sorted with; lengths above kLargeLength
// (7001 under the sanitizer) use the first two only.
const char* const kCases[] = {"uniform", "runs_of_min_run_length", "reversed", "few_distinct",
                              "organ_pipes", "mixed_signs"};
constexpr std::size_t kLargeLength = tt::kSanitized ? 7001 : 200000;
constexpr std::size_t kCasesAboveLargeLength = 2;

// Topology source of a machine whose highest node number is `highest`, through
// the arithmetic of the real query.
struct ReportedTopology {
    std::uint32_t highest;
    int* calls;
    std::optional<tfs::Topology> operator()() const {
        ++*calls;
        return tfs::topology_from(highest, kProcessors);
    }
};

// One call of the chunk sorter.
struct SortCall {
    std::size_t begin;
    std::size_t size;
    bool on_caller;
};

// The calls the driver must make for `len` elements on `nodes` nodes, the
// chunk arithmetic done here in full: ceil(len / nodes) per chunk, the last
// chunk shorter, then the whole slice. Single-node machines sort once.
std::vector<SortCall> expected_calls(std::size_t len, std::uint64_t nodes) {
    if (len < 2) return {};
    if (nodes <= 1) return {{0, len, true}};
    const std::size_t chunk = len / nodes + (len % nodes != 0 ? 1 : 0);
    std::vector<SortCall> calls;
    for (std::size_t begin = 0; begin < len; begin += chunk)
        calls.push_back({begin, std::min(chunk, len - begin), false});
    EXPECT_LE(calls.size(), nodes);
    calls.push_back({0, len, true});
    return calls;
}

// Sorts `input` with partitioned_sort on a machine with highest node number
// `highest` and engine_sort behind a recording sorter; checks the result
// against std::sort (bit-exact, fingerprint, guards) and the calls against
// `expected` (chunks in any order, the whole slice last, on this thread).
template <typename T>
void sort_and_check(const std::vector<T>& input, const std::vector<T>& reference, std::uint32_t highest,
                    const std::vector<SortCall>& expected, const std::string& what) {
    tt::GuardedBuffer<T> buffer(input);
    const std::span<T> slice = buffer.slice();
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex lock;
    std::vector<SortCall> calls;
    int topology_calls = 0;
    tfs::partitioned_sort(slice, ReportedTopology{highest, &topology_calls}, [&](std::span<T> part) {
        tfs::engine_sort<T>(part);
        const std::lock_guard guard(lock);
        calls.push_back({static_cast<std::size_t>(part.data() - slice.data()), part.size(),
                         std::this_thread::get_id() == caller});
    });
    tt::expect_equals_reference<T>(buffer, std::span<const T>(reference), what);
    EXPECT_EQ(topology_calls, input.size() < 2 ? 0 : 1) << what;
    ASSERT_EQ(calls.size(), expected.size()) << what;
    if (calls.empty()) return;
    EXPECT_EQ(calls.back().begin, 0u) << what;
    EXPECT_EQ(calls.back().size, input.size()) << what;
    EXPECT_TRUE(calls.back().on_caller) << what << ": the whole slice is sorted on the calling thread";
    auto chunks = std::vector<SortCall>(calls.begin(), calls.end() - 1);
    std::sort(chunks.begin(), chunks.end(), [](const SortCall& a, const SortCall& b) { return a.begin < b.begin; });
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].begin, expected[i].begin) << what << ", chunk " << i;
        EXPECT_EQ(chunks[i].size, expected[i].size) << what << ", chunk " << i;
    }
}

template <typename T>
class SimulatedMachines : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(SimulatedMachines, KeyTypes);

TYPED_TEST(SimulatedMachines, EveryNodeCountAtEveryTierBound) {
    using T = TypeParam;
    for (std::size_t len : lengths()) {
        const std::size_t case_count = len > kLargeLength ? kCasesAboveLargeLength : std::size(kCases);
        for (std::size_t ci = 0; ci < case_count; ++ci) {
            const std::vector<T> input = tt::catalogue_case<T>(kCases[ci]).make(len, len * 7 + ci);
            const std::vector<T> reference = tt::sorted_reference<T>(input);
            for (std::uint64_t nodes : kNodeCounts) {
                const std::string what = std::string(kCases[ci]) + ", n " + std::to_string(len) + ", nodes " +
                                         std::to_string(nodes);
                sort_and_check<T>(input, reference, static_cast<std::uint32_t>(nodes - 1),
                                  expected_calls(len, nodes), what);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

TYPED_TEST(SimulatedMachines, MoreNodesThanElements) {
    using T = TypeParam;
    // Every chunk holds one element, and there are fewer chunks than nodes.
    for (std::uint64_t nodes : {3u, 17u, 64u, 1000u, 65536u})
        for (std::size_t len = 2; len < std::min<std::size_t>(nodes, 70); ++len) {
            const std::vector<T> input = tt::catalogue_case<T>("uniform").make(len, len + nodes);
            const std::vector<T> reference = tt::sorted_reference<T>(input);
            std::vector<SortCall> expected;
            for (std::size_t i = 0; i < len; ++i) expected.push_back({i, 1, false});
            expected.push_back({0, len, true});
            sort_and_check<T>(input, reference, static_cast<std::uint32_t>(nodes - 1), expected,
                              "n " + std::to_string(len) + ", nodes " + std::to_string(nodes));
            if (::testing::Test::HasFailure()) return;
        }
}

TYPED_TEST(SimulatedMachines, WrappedNodeCountIsASingleNode) {
    using T = TypeParam;
    // A highest node number of 0xFFFFFFFF wraps the count to 0: no topology,
    // so the slice is sorted once on the calling thread.
    ASSERT_FALSE(tfs::topology_from(0xFFFFFFFFu, kProcessors).has_value());
    for (std::size_t len : {0u, 1u, 2u, 5u, 10u, 129u, 7001u, 100000u}) {
        const std::vector<T> input = tt::catalogue_case<T>("uniform").make(len, len);
        const std::vector<T> reference = tt::sorted_reference<T>(input);
        sort_and_check<T>(input, reference, 0xFFFFFFFFu, expected_calls(len, 1),
                          "wrapped, n " + std::to_string(len));
    }
}

TYPED_TEST(SimulatedMachines, AdversarialInputsOnSeveralNodes) {
    using T = TypeParam;
    // The inputs built against radix sorts and the pre-pass, cut into chunks.
    const std::vector<std::string> adversarial = {
        "one_bucket_at_even_digits", "one_bucket_at_odd_digits", "dominant_bucket_every_level",
        "last_digit_only",           "last_bit_only",            "sawtooth_across_digits",
        "runs_of_min_run_length",    "runs_of_min_run_length_less_one", "falling_runs_of_min_run_length",
        "organ_pipes"};
    const std::size_t large = tt::kSanitized ? 7001 : 128001;
    for (const std::string& name : adversarial)
        for (std::size_t len : {257u, 7001u, static_cast<unsigned>(large)})
            for (std::uint64_t nodes : {2u, 3u, 8u}) {
                const std::vector<T> input = tt::catalogue_case<T>(name).make(len, len + nodes);
                const std::vector<T> reference = tt::sorted_reference<T>(input);
                sort_and_check<T>(input, reference, static_cast<std::uint32_t>(nodes - 1),
                                  expected_calls(len, nodes),
                                  name + ", n " + std::to_string(len) + ", nodes " + std::to_string(nodes));
                if (::testing::Test::HasFailure()) return;
            }
}

}  // namespace
