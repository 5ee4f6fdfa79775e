// The radix engine's units one by one beside a bandwidth floor (a memcpy of
// the same bytes), on uniform random keys: the largest-key scan, the
// histogram sweeps, one scatter pass, the fix-up walk and the merge. Each
// changed unit keeps its former body here as `..._reference` and both run in
// the same process. ns_per_elem is the time per element of one call.
//
//   bench_units --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//   TFS_BENCH_HUGE=1 adds 1e8 elements.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/algo/k_way_merge.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/utils.hpp"

namespace {

constexpr std::uint64_t kSeed = 7;

template <typename T>
std::vector<T> uniform(std::size_t n) {
    std::mt19937_64 rng(kSeed);
    std::vector<T> v(n);
    for (auto& e : v) e = static_cast<T>(rng());
    return v;
}

// The scatter pass as it was before line staging: four elements per step,
// every element stored straight to its destination.
template <typename T>
void scatter_by_digit_reference(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads,
                                tfs::key_t<T> mask, unsigned shift) {
    const T* s = src.data();
    T* d = dst.data();
    std::uint64_t* h = heads.data();
    const std::size_t n = src.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const T e0 = s[i], e1 = s[i + 1], e2 = s[i + 2], e3 = s[i + 3];
        const auto d0 = (tfs::radix_key(e0) & mask) >> shift;
        const auto d1 = (tfs::radix_key(e1) & mask) >> shift;
        const auto d2 = (tfs::radix_key(e2) & mask) >> shift;
        const auto d3 = (tfs::radix_key(e3) & mask) >> shift;
        const std::uint64_t t0 = h[d0]++;
        const std::uint64_t t1 = h[d1]++;
        const std::uint64_t t2 = h[d2]++;
        const std::uint64_t t3 = h[d3]++;
        d[t0] = e0;
        d[t1] = e1;
        d[t2] = e2;
        d[t3] = e3;
    }
    for (; i < n; ++i) {
        const T e = s[i];
        d[h[(tfs::radix_key(e) & mask) >> shift]++] = e;
    }
}


// Times `body` once per iteration, with `prepare` run outside the timing.
template <typename Prepare, typename Body>
void timed(benchmark::State& state, std::size_t n, Prepare prepare, Body body) {
    double total = 0;
    for (auto _ : state) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        body();
        benchmark::ClobberMemory();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        total += elapsed.count();
    }
    state.counters["ns_per_elem"] =
        benchmark::Counter(total * 1e9 / (static_cast<double>(state.iterations()) * static_cast<double>(n)));
}

template <typename T>
void memcpy_floor(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> src = uniform<T>(n);
    std::vector<T> dst(n);
    timed(state, n, [] {}, [&] { std::memcpy(dst.data(), src.data(), n * sizeof(T)); });
}

template <typename T>
void max_key(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> src = uniform<T>(n);
    timed(state, n, [] {}, [&] { benchmark::DoNotOptimize(tfs::max_key<T>(std::span<const T>(src))); });
}

// Histograms of the passes that dlsd_sort makes at this length (radix 9,
// three passes from the top) or, for 32-bit keys, of lsd_sort's four levels.
template <typename T>
void histograms(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> src = uniform<T>(n);
    if constexpr (sizeof(T) == 4) {
        const tfs::RadixParams p{0, 8, 0, 4, 256};
        timed(state, n, [] {}, [&] { benchmark::DoNotOptimize(tfs::full_histograms<T>(std::span<const T>(src), p)); });
    } else {
        const tfs::RadixParams p{0, 9, 0, 3, 512};
        timed(state, n, [] {},
              [&] { benchmark::DoNotOptimize(tfs::partial_histograms<T>(std::span<const T>(src), p, 3)); });
    }
}

// One scatter pass by a digit of random keys: 8-bit digits at bit 8 for
// 32-bit keys, 9-bit digits at bit 37 for 64-bit keys (dlsd_sort's first pass).
// Variants: 0 the reference, 1 the engine's pass as chosen on this machine,
// 2 and 3 the write-combining scatter with plain or streaming line stores.
template <typename T, int kVariant>
void scatter(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::vector<T> src = uniform<T>(n);
    std::vector<T> dst(n);
    const unsigned radix = sizeof(T) == 4 ? 8 : 9;
    const unsigned shift = sizeof(T) == 4 ? 8 : 37;
    const tfs::key_t<T> mask = tfs::key_t<T>(((tfs::key_t<T>(1) << radix) - 1) << shift);
    const std::vector<std::uint64_t> hist =
        tfs::digit_histogram<T>(std::span<const T>(src), std::uint64_t(1) << radix, mask, shift);
    std::vector<std::uint64_t> heads(hist.size()), ends(hist.size());
    const tfs::CombiningLines lines(hist.size());
    timed(
        state, n, [&] { tfs::bucket_heads(hist, heads); },
        [&] {
            if constexpr (kVariant == 0) {
                scatter_by_digit_reference<T>(src, dst, heads, mask, shift);
            } else if constexpr (kVariant == 2 || kVariant == 3) {
                std::copy(heads.begin() + 1, heads.end(), ends.begin());
                ends.back() = n;
                const auto bucket = [mask, shift](tfs::key_t<T> k) { return (k & mask) >> shift; };
                tfs::combining_scatter_by<T, kVariant == 3>(src, std::span<T>(dst), heads, ends, lines, bucket);
            } else {
                tfs::scatter_by_digit<T>(src, std::span<T>(dst), heads, mask, shift);
            }
        });
}

// The fix-up walk as it was before it took groups at once: every
// out-of-order element inserted one by one.
template <typename T>
std::vector<tfs::SortRange> dlsd_fixup_reference(std::span<T> slice, tfs::key_t<T> group_mask) {
    using K = tfs::key_t<T>;
    T* data = slice.data();
    const std::uint64_t n = slice.size();
    std::vector<tfs::SortRange> ranges;
    if (n < 2) return ranges;
    auto group = [data, group_mask](std::uint64_t pos) -> K { return tfs::radix_key(data[pos]) & group_mask; };

    // The walk inserts as long as it finds elements out of order; a budget
    // that ordered input never exhausts keeps it linear whatever another
    // thread writes into the slice meanwhile.
    const std::uint64_t budget = tfs::kFixupMaxInsertsPerGroup * n;
    std::uint64_t moves = 0;

    K previous = group(0);
    std::uint8_t counter = 0;
    std::uint64_t i = 1;
    while (i < n) {
        if (!(data[i] < data[i - 1])) {
            ++i;
            continue;
        }
        const K g = group(i);
        counter = g == previous ? std::uint8_t(counter + 1) : std::uint8_t(1);
        moves += tfs::detail::insert_left(data, i);
        if (moves > budget) [[unlikely]]
            tfs::fail(tfs::kFixupOverBudget);
        if (counter < tfs::kFixupDivertCount) {
            previous = g;
            ++i;
            continue;
        }

        // End of the group: first position after i outside it, or n.
        std::uint64_t end;
        {
            std::uint64_t inside = i;
            std::uint64_t probe = std::min(i + tfs::kFixupFirstProbe, n - 1);
            std::uint64_t gap = tfs::kFixupFirstGap;
            bool reached_end = false;
            while (group(probe) == g) {
                if (probe == n - 1) {
                    reached_end = true;
                    break;
                }
                inside = probe;
                probe = n - 1 - probe <= gap ? n - 1 : probe + gap;
                gap *= 2;
            }
            if (reached_end) {
                end = n;
            } else {
                std::uint64_t outside = probe;
                while (outside - inside > 1) {
                    const std::uint64_t mid = inside + (outside - inside) / 2;
                    if (group(mid) == g) {
                        inside = mid;
                    } else {
                        outside = mid;
                    }
                }
                end = outside;
            }
        }

        if (end - i < tfs::kFixupMinDivertedTail) {
            // The element at `end` starts a later group and is not smaller
            // than anything before it.
            for (std::uint64_t j = i + 1; j < end; ++j) {
                if (data[j] < data[j - 1]) moves += tfs::detail::insert_left(data, j);
            }
            if (moves > budget) [[unlikely]]
                tfs::fail(tfs::kFixupOverBudget);
            previous = g;
            i = end + 1;
            continue;
        }

        // Start of the group: first position inside it.
        std::uint64_t start;
        {
            std::uint64_t inside = i;
            std::uint64_t probe = i < tfs::kFixupFirstProbe ? 0 : i - tfs::kFixupFirstProbe;
            std::uint64_t gap = tfs::kFixupFirstGap;
            bool reached_start = false;
            while (group(probe) == g) {
                if (probe == 0) {
                    reached_start = true;
                    break;
                }
                inside = probe;
                probe = probe <= gap ? 0 : probe - gap;
                gap *= 2;
            }
            if (reached_start) {
                start = 0;
            } else {
                std::uint64_t outside = probe;
                while (inside - outside > 1) {
                    const std::uint64_t mid = outside + (inside - outside) / 2;
                    if (group(mid) == g) {
                        inside = mid;
                    } else {
                        outside = mid;
                    }
                }
                start = inside;
            }
        }
        ranges.push_back({start, end});
        previous = g;
        i = end + 1;
    }
    return ranges;
}

// The fix-up walk over keys ordered by their top 27 bits, as dlsd_sort
// leaves 64-bit keys at this length.
template <typename T>
void fixup(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<T> src = uniform<T>(n);
    const tfs::key_t<T> prefix = tfs::key_t<T>(~tfs::key_t<T>(0)) << (sizeof(T) * 8 - 27);
    std::stable_sort(src.begin(), src.end(), [prefix](T a, T b) { return (a & prefix) < (b & prefix); });
    std::vector<T> work(n);
    timed(
        state, n, [&] { std::copy(src.begin(), src.end(), work.begin()); },
        [&] { benchmark::DoNotOptimize(tfs::dlsd_fixup<T>(std::span<T>(work), prefix)); });
}

// The fix-up walk over the keys of standard normal float64 values, ordered by
// as many top bits as dlsd_sort's passes sort at this length: groups of a few
// to a few dozen keys in random order.
template <int kVariant>
void fixup_normal_f64(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 rng(kSeed);
    std::normal_distribution<double> normal;
    std::vector<std::uint64_t> src(n);
    for (auto& v : src) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(normal(rng));
        v = bits ^ ((bits >> 63) != 0 ? ~std::uint64_t(0) : std::uint64_t(1) << 63);
    }
    const tfs::RadixChoice choice = tfs::dlsd_choose_radix(n);
    const std::uint64_t prefix = ~std::uint64_t(0) << (64 - choice.radix * choice.passes);
    std::stable_sort(src.begin(), src.end(), [prefix](auto a, auto b) { return (a & prefix) < (b & prefix); });
    std::vector<std::uint64_t> work(n);
    timed(
        state, n, [&] { std::copy(src.begin(), src.end(), work.begin()); },
        [&] {
            if constexpr (kVariant == 0) {
                benchmark::DoNotOptimize(dlsd_fixup_reference<std::uint64_t>(std::span<std::uint64_t>(work), prefix));
            } else {
                benchmark::DoNotOptimize(tfs::dlsd_fixup<std::uint64_t>(std::span<std::uint64_t>(work), prefix));
            }
        });
}

// The merge of two sorted halves.
template <typename T>
void merge_halves(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<T> src = uniform<T>(n);
    std::sort(src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n / 2));
    std::sort(src.begin() + static_cast<std::ptrdiff_t>(n / 2), src.end());
    std::vector<T> work(n);
    timed(
        state, n, [&] { std::copy(src.begin(), src.end(), work.begin()); },
        [&] {
            std::vector<std::uint64_t> boundaries{0, n / 2, n};
            tfs::k_way_merge(std::span<T>(work), boundaries);
        });
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1000000)->Arg(10000000);
    const char* huge = std::getenv("TFS_BENCH_HUGE");
    if (huge != nullptr && std::string(huge) == "1") b->Arg(100000000);
    b->Unit(benchmark::kMillisecond)->UseManualTime();
}

BENCHMARK(memcpy_floor<std::uint32_t>)->Apply(sizes);
BENCHMARK(memcpy_floor<std::uint64_t>)->Apply(sizes);
BENCHMARK(max_key<std::uint32_t>)->Apply(sizes);
BENCHMARK(max_key<std::uint64_t>)->Apply(sizes);
BENCHMARK(histograms<std::uint32_t>)->Apply(sizes);
BENCHMARK(histograms<std::uint64_t>)->Apply(sizes);
BENCHMARK(scatter<std::uint32_t, 0>)->Name("scatter_reference<u32>")->Apply(sizes);
BENCHMARK(scatter<std::uint32_t, 1>)->Name("scatter<u32>")->Apply(sizes);
BENCHMARK(scatter<std::uint32_t, 2>)->Name("scatter_combining<u32>")->Apply(sizes);
BENCHMARK(scatter<std::uint32_t, 3>)->Name("scatter_combining_stream<u32>")->Apply(sizes);
BENCHMARK(scatter<std::uint64_t, 0>)->Name("scatter_reference<u64>")->Apply(sizes);
BENCHMARK(scatter<std::uint64_t, 1>)->Name("scatter<u64>")->Apply(sizes);
BENCHMARK(scatter<std::uint64_t, 2>)->Name("scatter_combining<u64>")->Apply(sizes);
BENCHMARK(scatter<std::uint64_t, 3>)->Name("scatter_combining_stream<u64>")->Apply(sizes);
BENCHMARK(fixup<std::uint64_t>)->Apply(sizes);
BENCHMARK(fixup_normal_f64<0>)->Name("fixup_normal_f64_reference")->Arg(100000)->Apply(sizes);
BENCHMARK(fixup_normal_f64<1>)->Name("fixup_normal_f64")->Arg(100000)->Apply(sizes);
BENCHMARK(merge_halves<std::uint64_t>)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
