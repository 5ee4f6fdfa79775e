// The radix algorithms against std::sort on uniform random keys, in the same
// run. Every iteration sorts a fresh copy of the same input; the copy is made
// outside the timed region. Reports ns per element ("ns_per_elem", shown with
// an SI suffix: "5.1n" is 5.1 ns). Run with --benchmark_repetitions=5
// --benchmark_report_aggregates_only=true and quote medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/utils.hpp"

namespace {

constexpr std::uint64_t kSeed = 42;

template <typename T, typename Sort>
void run_sort(benchmark::State& state, Sort sort) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> input = tfs::testing::catalogue_case<T>("uniform").make(n, kSeed);
    std::vector<T> work(n);
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(input.begin(), input.end(), work.begin());
        state.ResumeTiming();
        sort(std::span<T>(work));
        benchmark::DoNotOptimize(work.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_elem"] = benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(n),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Digit parameters of a full-range 64-bit key, as the stretch sorters derive
// them from the largest key.
tfs::RadixParams full_u64_params(std::span<const std::uint64_t> s, bool aligned) {
    const auto largest = tfs::max_key<std::uint64_t>(s);
    const auto layout = aligned ? tfs::aligned_digit_layout<std::uint64_t>(largest, 8)
                                : tfs::digit_layout<std::uint64_t>(largest, 8);
    return {0, 8, layout.offset, layout.max_level, 256};
}

void std_sort_u32(benchmark::State& s) {
    run_sort<std::uint32_t>(s, [](std::span<std::uint32_t> v) { std::sort(v.begin(), v.end()); });
}
void dlsd_sort_u32(benchmark::State& s) {
    run_sort<std::uint32_t>(s, [](std::span<std::uint32_t> v) { tfs::dlsd_sort<std::uint32_t>(v, 8); });
}
void std_sort_u64(benchmark::State& s) {
    run_sort<std::uint64_t>(s, [](std::span<std::uint64_t> v) { std::sort(v.begin(), v.end()); });
}
void dlsd_sort_u64(benchmark::State& s) {
    run_sort<std::uint64_t>(s, [](std::span<std::uint64_t> v) { tfs::dlsd_sort<std::uint64_t>(v, 8); });
}
void lsd_sort_u64(benchmark::State& s) {
    run_sort<std::uint64_t>(s, [](std::span<std::uint64_t> v) {
        tfs::lsd_sort<std::uint64_t>(v, full_u64_params(v, true));
    });
}
void recursive_radix_sort_u64(benchmark::State& s) {
    run_sort<std::uint64_t>(s, [](std::span<std::uint64_t> v) {
        tfs::recursive_radix_sort_level<std::uint64_t>(v, full_u64_params(v, false));
    });
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(100000)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
}

BENCHMARK(std_sort_u32)->Apply(sizes);
BENCHMARK(dlsd_sort_u32)->Apply(sizes);
BENCHMARK(std_sort_u64)->Apply(sizes);
BENCHMARK(dlsd_sort_u64)->Apply(sizes);
BENCHMARK(lsd_sort_u64)->Apply(sizes);
BENCHMARK(recursive_radix_sort_u64)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
