// engine_sort against std::sort, both measured in the same run, for the four
// key types. One line per (algorithm, type, distribution, n); the ns_per_elem
// counter is the time per element. Uniform inputs at 1e5, 1e6 and 1e7 (and
// 1e8 with TFS_BENCH_HUGE=1), plus sorted, reversed, two sorted halves and
// 256 distinct values at 1e7, and for u64 the keys of normal float64 values.
//
//   bench_engine_sort --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "catalogue.hpp"
#include "engine/types/engine_sort.hpp"

namespace {

constexpr std::uint64_t kSeed = 20240601;
constexpr std::size_t kDistributionLength = 10000000;

// 256 random values, each element drawn from them.
template <typename T>
std::vector<T> distinct_256(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<T> pool(256);
    for (auto& v : pool) v = static_cast<T>(rng());
    std::vector<T> out(n);
    for (auto& v : out) v = pool[rng() % pool.size()];
    return out;
}

// Keys of float64 values drawn from a normal distribution times 1e6, in the
// key order of the float sort (sign bit set for positives, negatives
// complemented): the keys the engine sorts for such a float64 array.
std::vector<std::uint64_t> normal_f64_keys(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<std::uint64_t> out(n);
    for (auto& v : out) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(normal(rng) * 1e6);
        const std::uint64_t flip = (bits >> 63) != 0 ? ~std::uint64_t(0) : std::uint64_t(1) << 63;
        v = bits ^ flip;
    }
    return out;
}

// The input of the benchmark that runs now. Benchmarks run one after the
// other and each calls its function several times; only the latest input is
// kept, so memory stays at one input per type.
template <typename T>
const std::vector<T>& make_input(const std::string& distribution, std::size_t n) {
    static std::string cached_key;
    static std::vector<T> cached;
    const std::string key = distribution + "/" + std::to_string(n);
    if (key != cached_key) {
        cached.clear();
        cached.shrink_to_fit();
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            if (distribution == "normal_f64") {
                cached = normal_f64_keys(n, kSeed);
                cached_key = key;
                return cached;
            }
        }
        cached = distribution == "distinct_256" ? distinct_256<T>(n, kSeed)
                                                : tfs::testing::catalogue_case<T>(distribution).make(n, kSeed);
        cached_key = key;
    }
    return cached;
}

template <typename T, bool kEngine>
void run_sort(benchmark::State& state, const std::vector<T>& input) {
    std::vector<T> work(input.size());
    double total_seconds = 0.0;
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), work.begin());
        // Manual timing leaves the copy of the input out of the measurement.
        const auto start = std::chrono::steady_clock::now();
        if constexpr (kEngine) {
            tfs::engine_sort<T>(std::span<T>(work));
        } else {
            std::sort(work.begin(), work.end());
        }
        benchmark::ClobberMemory();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        total_seconds += elapsed.count();
    }
    if (!std::is_sorted(work.begin(), work.end())) state.SkipWithError("result not sorted");
    const double elements = static_cast<double>(state.iterations()) * static_cast<double>(input.size());
    state.counters["ns_per_elem"] = benchmark::Counter(total_seconds * 1e9 / elements);
}

template <typename T>
void register_type(const std::string& type_name, bool huge) {
    struct Input {
        std::string distribution;
        std::size_t n;
    };
    std::vector<Input> inputs{{"uniform", 100000}, {"uniform", 1000000}, {"uniform", kDistributionLength}};
    if (huge) inputs.push_back({"uniform", 100000000});
    if (std::is_same_v<T, std::uint64_t>) inputs.push_back({"normal_f64", kDistributionLength});
    for (const char* d : {"sorted", "reversed", "two_sorted_halves", "distinct_256"})
        inputs.push_back({d, kDistributionLength});

    for (const Input& in : inputs) {
        const std::string suffix = "/" + type_name + "/" + in.distribution + "/" + std::to_string(in.n);
        const std::string distribution = in.distribution;
        const std::size_t n = in.n;
        // Inputs are made when the benchmark runs, so a filter skips their cost.
        benchmark::RegisterBenchmark(("engine_sort" + suffix).c_str(), [distribution, n](benchmark::State& s) {
            run_sort<T, true>(s, make_input<T>(distribution, n));
        })->Unit(benchmark::kMillisecond)->UseManualTime();
        benchmark::RegisterBenchmark(("std_sort" + suffix).c_str(), [distribution, n](benchmark::State& s) {
            run_sort<T, false>(s, make_input<T>(distribution, n));
        })->Unit(benchmark::kMillisecond)->UseManualTime();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* huge_env = std::getenv("TFS_BENCH_HUGE");
    const bool huge = huge_env != nullptr && std::string(huge_env) == "1";
    register_type<std::uint32_t>("u32", huge);
    register_type<std::int32_t>("i32", huge);
    register_type<std::uint64_t>("u64", huge);
    register_type<std::int64_t>("i64", huge);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
