// engine_sort on the inputs built against radix sorts and the presorted-run
// pre-pass, against uniform random input of the same type and length (u32,
// i32, u64, i64 at 1e6 and 1e7). Every iteration sorts a copy of the uniform
// input and then a copy of the distribution's, so that both meet the same load
// on a shared machine; the time reported is the distribution's, vs_uniform the
// median of the per-iteration ratios. A table of the ratios closes the run; a
// ratio above 3 is marked.
//
//   bench_adversarial [--benchmark_filter=u64/10000000]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "distributions.hpp"
#include "engine/types/engine_sort.hpp"

namespace {

constexpr std::uint64_t kSeed = 20240601;
// Lengths and the iterations (paired sorts) each gets.
struct Length {
    std::size_t n;
    benchmark::IterationCount iterations;
};
constexpr Length kLengths[] = {{1000000, 31}, {10000000, 9}};
// Slowdown against uniform input beyond which a distribution is marked.
constexpr double kAllowedRatio = 3.0;

const char* const kDistributions[] = {
    "one_bucket_at_even_digits", "one_bucket_at_odd_digits",  "dominant_bucket_every_level",
    "last_digit_only",           "last_bit_only",             "sawtooth_across_digits",
    "runs_of_min_run_length",    "runs_of_min_run_length_less_one", "falling_runs_of_min_run_length",
    "organ_pipes"};

// Median ratio of every benchmark by "type/n" and distribution, and the
// median uniform time in seconds by "type/n".
std::map<std::string, std::map<std::string, double>> ratios;
std::map<std::string, double> uniform_seconds;
std::vector<std::string> row_order;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// The catalogue input of `distribution`; one input per slot is kept, so that
// the uniform baseline and the current distribution live side by side.
template <typename T>
const std::vector<T>& cached_input(int slot, const std::string& distribution, std::size_t n) {
    static std::string keys[2];
    static std::vector<T> inputs[2];
    const std::string key = distribution + "/" + std::to_string(n);
    if (keys[slot] != key) {
        inputs[slot].clear();
        inputs[slot].shrink_to_fit();
        inputs[slot] = tfs::testing::catalogue_case<T>(distribution).make(n, kSeed);
        keys[slot] = key;
    }
    return inputs[slot];
}

// Seconds engine_sort takes on a copy of `input`, left in `work`.
template <typename T>
double timed_sort(const std::vector<T>& input, std::vector<T>& work) {
    std::copy(input.begin(), input.end(), work.begin());
    const auto start = std::chrono::steady_clock::now();
    tfs::engine_sort<T>(std::span<T>(work));
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename T>
void run_pair(benchmark::State& state, const std::string& row, const std::string& distribution, std::size_t n) {
    const std::vector<T>& uniform = cached_input<T>(0, "uniform", n);
    const std::vector<T>& input = cached_input<T>(1, distribution, n);
    std::vector<T> work(n);
    std::vector<double> pair_ratios, uniform_times;
    double total_seconds = 0.0;
    for (auto _ : state) {
        const double base = timed_sort<T>(uniform, work);
        if (!std::is_sorted(work.begin(), work.end())) state.SkipWithError("uniform result not sorted");
        const double t = timed_sort<T>(input, work);
        if (!std::is_sorted(work.begin(), work.end())) state.SkipWithError("result not sorted");
        state.SetIterationTime(t);
        total_seconds += t;
        pair_ratios.push_back(t / base);
        uniform_times.push_back(base);
    }
    const double elements = static_cast<double>(state.iterations()) * static_cast<double>(n);
    state.counters["ns_per_elem"] = benchmark::Counter(total_seconds * 1e9 / elements);
    state.counters["vs_uniform"] = benchmark::Counter(median(pair_ratios));
    ratios[row][distribution] = median(pair_ratios);
    uniform_seconds[row] = median(uniform_times);
}

template <typename T>
void register_type(const std::string& type_name) {
    for (const Length& length : kLengths) {
        const std::size_t n = length.n;
        const std::string row = type_name + "/" + std::to_string(n);
        row_order.push_back(row);
        for (const char* d : kDistributions) {
            const std::string distribution = d;
            benchmark::RegisterBenchmark(("engine_sort/" + row + "/" + distribution).c_str(),
                                         [row, distribution, n](benchmark::State& s) {
                                             run_pair<T>(s, row, distribution, n);
                                         })
                ->Unit(benchmark::kMillisecond)
                ->UseManualTime()
                ->Iterations(length.iterations);
        }
    }
}

// The ratio table: one row per type and length, one column per distribution.
void print_ratios() {
    std::printf("\nmedian time / uniform time of the same iteration (marked * above %.1f)\n", kAllowedRatio);
    std::printf("%-14s %10s", "type/n", "uniform ms");
    for (std::size_t i = 0; i < std::size(kDistributions); ++i) std::printf(" %6zu", i + 1);
    std::printf("\n");
    for (const std::string& row : row_order) {
        if (!uniform_seconds.count(row)) continue;
        std::printf("%-14s %10.2f", row.c_str(), uniform_seconds[row] * 1e3);
        for (const char* d : kDistributions) {
            const auto r = ratios[row].find(d);
            if (r == ratios[row].end()) {
                std::printf(" %6s", "-");
                continue;
            }
            std::printf(" %5.2f%s", r->second, r->second > kAllowedRatio ? "*" : " ");
        }
        std::printf("\n");
    }
    for (std::size_t i = 0; i < std::size(kDistributions); ++i) std::printf("%6zu: %s\n", i + 1, kDistributions[i]);
}

}  // namespace

int main(int argc, char** argv) {
    register_type<std::uint32_t>("u32");
    register_type<std::int32_t>("i32");
    register_type<std::uint64_t>("u64");
    register_type<std::int64_t>("i64");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_ratios();
    return 0;
}
