// Sorts longer than 2^31 and 2^32 elements, where 32-bit counts and indices
// would overflow. Opt-in (TFS_HUGE_TESTS=1): they need 8 to 17 GiB and
// minutes. Keys are narrow, so a histogram of the values before and after is
// the exact multiset, and the order is checked element by element.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/topology.hpp"

namespace {

constexpr std::uint64_t kPastInt32 = (std::uint64_t{1} << 31) + 1;
constexpr std::uint64_t kPastUint32 = (std::uint64_t{1} << 32) + 1;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

bool huge_tests_enabled() {
    const char* v = std::getenv("TFS_HUGE_TESTS");
    return v != nullptr && std::string(v) == "1";
}

// MemAvailable of /proc/meminfo in bytes; 0 when it cannot be read.
std::uint64_t available_memory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit)
        if (key == "MemAvailable:") return kib * 1024;
    return 0;
}

// Why a test needing `bytes` of memory cannot run here, if it cannot: huge
// tests were not asked for, or too little memory is free.
std::optional<std::string> huge_skip_reason(std::uint64_t bytes) {
    if (!huge_tests_enabled()) return "set TFS_HUGE_TESTS=1";
    const std::uint64_t have = available_memory();
    if (have < bytes)
        return "needs " + std::to_string(bytes / kGiB) + " GiB of free memory, " + std::to_string(have / kGiB) +
               " GiB available";
    return std::nullopt;
}

// Fills `data` with values whose keys are the element's key range starting at
// `lowest` plus a pseudo-random offset below `range`, and returns the count
// of each offset.
template <typename T>
std::vector<std::uint64_t> fill(std::span<T> data, T lowest, std::uint32_t range) {
    std::vector<std::uint64_t> counts(range, 0);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (T& e : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const auto offset = static_cast<std::uint32_t>((state >> 20) % range);
        ++counts[offset];
        e = static_cast<T>(lowest + static_cast<T>(offset));
    }
    return counts;
}

// Checks that `data` is ascending and holds exactly `counts` of each offset
// from `lowest`.
template <typename T>
void expect_sorted_with_counts(std::span<const T> data, T lowest, const std::vector<std::uint64_t>& counts) {
    std::vector<std::uint64_t> seen(counts.size(), 0);
    std::uint64_t descents = 0, out_of_range = 0;
    for (std::uint64_t i = 0; i < data.size(); ++i) {
        const auto offset = static_cast<std::uint64_t>(data[i] - lowest);
        if (offset >= counts.size()) {
            ++out_of_range;
            continue;
        }
        ++seen[offset];
        if (i > 0 && data[i] < data[i - 1]) ++descents;
    }
    EXPECT_EQ(out_of_range, 0u);
    EXPECT_EQ(descents, 0u);
    EXPECT_TRUE(seen == counts) << "the multiset of values changed";
}

// A simulated machine of `nodes` nodes.
struct FakeTopology {
    std::uint64_t nodes;
    std::optional<tfs::Topology> operator()() const {
        return tfs::Topology{nodes, std::vector<std::uint64_t>(nodes, 1)};
    }
};

template <typename T, typename Sort>
void sort_huge(std::uint64_t n, T lowest, std::uint32_t range, Sort sort, const char* what) {
    const std::unique_ptr<T[]> storage(new T[n]);
    const std::span<T> data(storage.get(), n);
    const std::vector<std::uint64_t> counts = fill<T>(data, lowest, range);
    const auto start = std::chrono::steady_clock::now();
    sort(data);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ huge     ] %s: %llu elements sorted in %.1f s\n", what, static_cast<unsigned long long>(n),
                seconds);
    expect_sorted_with_counts<T>(data, lowest, counts);
}

TEST(HugeSorts, U32PastInt32CountsThroughEngineSort) {
    // Keys below 2^16: the counting path counts more than 2^31 elements.
    if (const auto why = huge_skip_reason(kPastInt32 * 4 + kGiB)) GTEST_SKIP() << *why;
    sort_huge<std::uint32_t>(kPastInt32, 0, 1u << 16, tfs::engine_sort<std::uint32_t>, "u32 engine_sort");
}

TEST(HugeSorts, U32PastInt32CountsThroughTheDriver) {
    // Two chunks of 2^30 + 1, then the merge of the two runs (half the slice
    // of scratch).
    if (const auto why = huge_skip_reason(kPastInt32 * 6 + kGiB)) GTEST_SKIP() << *why;
    sort_huge<std::uint32_t>(
        kPastInt32, 0, 1u << 16,
        [](std::span<std::uint32_t> s) { tfs::partitioned_sort(s, FakeTopology{2}, tfs::engine_sort<std::uint32_t>); },
        "u32 partitioned on 2 nodes");
}

TEST(HugeSorts, I32PastInt32CountsThroughEngineSort) {
    // The lowest 2^16 values of the type: keys below 2^16.
    if (const auto why = huge_skip_reason(kPastInt32 * 4 + kGiB)) GTEST_SKIP() << *why;
    sort_huge<std::int32_t>(kPastInt32, std::numeric_limits<std::int32_t>::min(), 1u << 16,
                            tfs::engine_sort<std::int32_t>, "i32 engine_sort");
}

TEST(HugeSorts, I32PastInt32CountsThroughTheDriver) {
    if (const auto why = huge_skip_reason(kPastInt32 * 6 + kGiB)) GTEST_SKIP() << *why;
    sort_huge<std::int32_t>(
        kPastInt32, std::numeric_limits<std::int32_t>::min(), 1u << 16,
        [](std::span<std::int32_t> s) { tfs::partitioned_sort(s, FakeTopology{2}, tfs::engine_sort<std::int32_t>); },
        "i32 partitioned on 2 nodes");
}

TEST(HugeSorts, U32PastUint32CountsThroughEngineSort) {
    // 16 GiB of keys below 2^8: the counting path counts past 2^32.
    if (const auto why = huge_skip_reason(kPastUint32 * 4 + kGiB)) GTEST_SKIP() << *why;
    sort_huge<std::uint32_t>(kPastUint32, 0, 1u << 8, tfs::engine_sort<std::uint32_t>, "u32 engine_sort");
}

}  // namespace
