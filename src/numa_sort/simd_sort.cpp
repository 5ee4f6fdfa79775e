#include "numa_sort/simd_sort.hpp"

#include <hwy/contrib/sort/vqsort.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "engine/sorts/simd_dispatch.hpp"
#include "numa_sort/random_keys.hpp"

#if defined(TFS_HAVE_AVX2_SORT)
// x86-simd-sort's AVX2 quicksort (simd_sort_avx2.cpp): only to be called
// where the processor runs x86-64-v3.
extern "C" {
void tfs_avx2_sort_u32(std::uint32_t* a, std::size_t n);
void tfs_avx2_sort_i32(std::int32_t* a, std::size_t n);
void tfs_avx2_sort_u64(std::uint64_t* a, std::size_t n);
void tfs_avx2_sort_i64(std::int64_t* a, std::size_t n);
void tfs_avx2_sort_f32(float* a, std::size_t n);
void tfs_avx2_sort_f64(double* a, std::size_t n);
std::size_t tfs_avx2_split_u32(std::uint32_t* a, std::size_t n, std::uint32_t pivot);
std::size_t tfs_avx2_split_i32(std::int32_t* a, std::size_t n, std::int32_t pivot);
std::size_t tfs_avx2_split_u64(std::uint64_t* a, std::size_t n, std::uint64_t pivot);
std::size_t tfs_avx2_split_i64(std::int64_t* a, std::size_t n, std::int64_t pivot);
std::size_t tfs_avx2_split_f32(float* a, std::size_t n, float pivot);
std::size_t tfs_avx2_split_f64(double* a, std::size_t n, double pivot);
}
#endif

#if !defined(HWY_MAJOR)
// Highway 1.0 (Debian 12's, which the builds off x86-64 link) keeps its
// version in highway.h and has no VQSort function: it sorts through a
// Sorter, which holds a small buffer; one per thread.
namespace hwy {
template <typename K, typename Order>
void VQSort(K* keys, std::size_t n, Order order) {
    thread_local const Sorter sorter;
    sorter(keys, n, order);
}
}  // namespace hwy
#endif

namespace tfs::general {
namespace {

// Highway picks the best target the processor runs; where the process has
// turned the AVX-512 code off (TARVO_FASTSORT_SIMD=baseline), its AVX-512
// targets are taken out of that choice, once, before the first sort. Off
// x86-64 Highway's choice (NEON, SVE) stands.
void choose_targets() noexcept {
#if defined(__x86_64__)
    static const bool chosen = [] {
        if (!avx512_enabled()) {
            constexpr std::int64_t avx512 = HWY_AVX3 | HWY_AVX3_DL | HWY_AVX3_ZEN4 | HWY_AVX3_SPR | HWY_AVX10_2;
            hwy::SetSupportedTargetsForTest(hwy::SupportedTargets() & ~avx512);
        }
        return true;
    }();
    (void)chosen;
#endif
}

// The two quicksorts rank differently in cache and past it, so each type
// has two choices: for fewer keys than this, measured on kCachedKeys keys,
// and for more, measured on kLargeKeys (past a core's L2 cache for 64-bit
// keys on AMD Zen 3, yet a few milliseconds in all).
constexpr std::size_t kLargeFrom = std::size_t(1) << 16;
constexpr std::size_t kCachedKeys = std::size_t(1) << 13;
constexpr std::size_t kLargeKeys = std::size_t(1) << 17;
// Each sort's figure is the least of this many rounds, taken in turn.
constexpr int kCachedRounds = 9;
constexpr int kLargeRounds = 2;
// The AVX2 quicksort is taken only when it is at least this much faster:
// where the two are level, vqsort's wider targets and its guarantees stand.
constexpr double kChoiceMargin = 0.97;
// Values of the repeating keys measured: as few as in a column of
// categories, where the two quicksorts rank differently than on random keys
// (AMD Zen 3, f32 at 1e5: vqsort 1.9 ns a key, x86-simd-sort 1.4; on i32
// the other way round, 1.2 against 1.5).
constexpr std::size_t kRepeatedValues = 16;
// Spans shorter than this are sorted by the random keys' choice: the sample
// would cost a few per cent of their sort.
constexpr std::size_t kRepeatsCheckMin = std::size_t(1) << 11;
// Keys sampled to tell whether a span's keys repeat, and the most distinct
// among them that says they do (each seen twice on average, as 16 values
// give about 14).
constexpr std::size_t kRepeatsSample = 32;
constexpr std::size_t kRepeatsMaxDistinct = 16;

template <typename T>
void vqsort(std::span<T> keys) noexcept {
    if constexpr (std::is_unsigned_v<T>) {
        hwy::VQSort(keys.data(), keys.size(), hwy::SortAscending());
    } else {
        detail::simd_sort_native(keys);
    }
}

bool avx2_sort_runs() noexcept {
#if defined(TFS_HAVE_AVX2_SORT)
    static const bool runs = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma");
    }();
    return runs;
#else
    return false;
#endif
}

template <typename T>
void avx2_sort(std::span<T> keys) noexcept {
#if defined(TFS_HAVE_AVX2_SORT)
    if constexpr (std::is_same_v<T, std::uint32_t>) tfs_avx2_sort_u32(keys.data(), keys.size());
    if constexpr (std::is_same_v<T, std::int32_t>) tfs_avx2_sort_i32(keys.data(), keys.size());
    if constexpr (std::is_same_v<T, std::uint64_t>) tfs_avx2_sort_u64(keys.data(), keys.size());
    if constexpr (std::is_same_v<T, std::int64_t>) tfs_avx2_sort_i64(keys.data(), keys.size());
    if constexpr (std::is_same_v<T, float>) tfs_avx2_sort_f32(keys.data(), keys.size());
    if constexpr (std::is_same_v<T, double>) tfs_avx2_sort_f64(keys.data(), keys.size());
#else
    vqsort(keys);
#endif
}

// Measures both quicksorts on n random keys of T and on n keys that repeat,
// or takes the choice that TARVO_FASTSORT_SIMD_SORT forces.
template <typename T>
SimdSortChoice choose_simd_sort(std::size_t n, int rounds) {
    SimdSortChoice c;
    if (!avx2_sort_runs()) return c;
    if (const char* forced = std::getenv("TARVO_FASTSORT_SIMD_SORT")) {
        c.forced = std::strcmp(forced, "vqsort") == 0 || std::strcmp(forced, "x86-simd-sort") == 0;
        c.kind = c.repeats_kind = std::strcmp(forced, "x86-simd-sort") == 0 ? SimdSortKind::avx2 : SimdSortKind::vqsort;
        if (c.forced) return c;
    }
    using Clock = std::chrono::steady_clock;
    const std::unique_ptr<T[]> spread = random_keys<T>(n);
    const std::unique_ptr<T[]> repeating = repeated_keys<T>(n, kRepeatedValues);
    std::unique_ptr<T[]> work(new T[n]);  // copied into before each sort
    const auto time = [&](const T* keys, auto sort) {
        std::copy(keys, keys + n, work.get());
        const auto start = Clock::now();
        sort(std::span<T>(work.get(), n));
        return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(n);
    };
    const auto by_vqsort = [](std::span<T> k) { vqsort(k); };
    const auto by_avx2 = [](std::span<T> k) { avx2_sort(k); };
    c.vqsort_ns = c.avx2_ns = c.repeats_vqsort_ns = c.repeats_avx2_ns = 1e9;
    for (int round = 0; round < rounds; ++round) {
        c.vqsort_ns = std::min(c.vqsort_ns, time(spread.get(), by_vqsort));
        c.avx2_ns = std::min(c.avx2_ns, time(spread.get(), by_avx2));
        c.repeats_vqsort_ns = std::min(c.repeats_vqsort_ns, time(repeating.get(), by_vqsort));
        c.repeats_avx2_ns = std::min(c.repeats_avx2_ns, time(repeating.get(), by_avx2));
    }
    const auto pick = [](double vqsort_ns, double avx2_ns) {
        return avx2_ns < vqsort_ns * kChoiceMargin ? SimdSortKind::avx2 : SimdSortKind::vqsort;
    };
    c.kind = pick(c.vqsort_ns, c.avx2_ns);
    c.repeats_kind = pick(c.repeats_vqsort_ns, c.repeats_avx2_ns);
    return c;
}

// A choice measured by the first caller (any other waits for it); vqsort
// where there is no memory to measure with.
template <typename T>
SimdSortChoice measured_once(std::size_t n, int rounds) noexcept {
    try {
        return choose_simd_sort<T>(n, rounds);
    } catch (...) {
        return SimdSortChoice{};
    }
}

template <typename T>
std::size_t split_below(std::span<T> keys, T pivot) noexcept {
#if defined(TFS_HAVE_AVX2_SORT)
    if (avx2_sort_runs()) {
        if constexpr (std::is_same_v<T, std::uint32_t>) return tfs_avx2_split_u32(keys.data(), keys.size(), pivot);
        if constexpr (std::is_same_v<T, std::int32_t>) return tfs_avx2_split_i32(keys.data(), keys.size(), pivot);
        if constexpr (std::is_same_v<T, std::uint64_t>) return tfs_avx2_split_u64(keys.data(), keys.size(), pivot);
        if constexpr (std::is_same_v<T, std::int64_t>) return tfs_avx2_split_i64(keys.data(), keys.size(), pivot);
        if constexpr (std::is_same_v<T, float>) return tfs_avx2_split_f32(keys.data(), keys.size(), pivot);
        if constexpr (std::is_same_v<T, double>) return tfs_avx2_split_f64(keys.data(), keys.size(), pivot);
    }
#endif
    // Each key read once into a register: the count stays within the span
    // whatever another thread writes.
    std::size_t front = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const T key = keys[i];
        if (key < pivot) std::swap(keys[front++], keys[i]);
    }
    return front;
}

// Whether `keys` repeat, judged on a sample: at most kRepeatsMaxDistinct
// distinct bit patterns among kRepeatsSample keys spread over the span.
// Each key is read once, into a private copy.
template <typename T>
bool keys_repeat(std::span<const T> keys) noexcept {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    std::array<Bits, kRepeatsSample> sample;
    const std::size_t n = keys.size();
    for (std::size_t i = 0; i < sample.size(); ++i)
        sample[i] = std::bit_cast<Bits>(keys[(2 * i + 1) * n / (2 * sample.size())]);
    std::sort(sample.begin(), sample.end());
    std::size_t distinct = 1;
    for (std::size_t i = 1; i < sample.size(); ++i) distinct += sample[i] != sample[i - 1];
    return distinct <= kRepeatsMaxDistinct;
}

template <typename T>
void sort_by_choice(std::span<T> keys) noexcept {
    const SimdSortChoice& choice = simd_sort_choice<T>(keys.size() >= kLargeFrom);
    SimdSortKind kind = choice.kind;
    if (choice.repeats_kind != kind && keys.size() >= kRepeatsCheckMin && keys_repeat<T>(keys))
        kind = choice.repeats_kind;
    if (kind == SimdSortKind::avx2) return avx2_sort(keys);
    vqsort(keys);
}

}  // namespace

const char* simd_sort_target() noexcept {
    choose_targets();
    const std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
    return targets.empty() ? "none" : hwy::TargetName(targets.front());
}

template <typename T>
const SimdSortChoice& simd_sort_choice(bool large) noexcept {
    choose_targets();
    if (large) {
        static const SimdSortChoice choice = measured_once<T>(kLargeKeys, kLargeRounds);
        return choice;
    }
    static const SimdSortChoice choice = measured_once<T>(kCachedKeys, kCachedRounds);
    return choice;
}

template <typename T>
double simd_sort_ns(std::size_t n) noexcept {
    const SimdSortChoice& c = simd_sort_choice<T>(n >= kLargeFrom);
    return c.kind == SimdSortKind::avx2 ? c.avx2_ns : c.vqsort_ns;
}

template double simd_sort_ns<std::uint32_t>(std::size_t) noexcept;
template double simd_sort_ns<std::uint64_t>(std::size_t) noexcept;
template double simd_sort_ns<float>(std::size_t) noexcept;
template double simd_sort_ns<double>(std::size_t) noexcept;

template const SimdSortChoice& simd_sort_choice<std::uint32_t>(bool) noexcept;
template const SimdSortChoice& simd_sort_choice<std::int32_t>(bool) noexcept;
template const SimdSortChoice& simd_sort_choice<std::uint64_t>(bool) noexcept;
template const SimdSortChoice& simd_sort_choice<std::int64_t>(bool) noexcept;
template const SimdSortChoice& simd_sort_choice<float>(bool) noexcept;
template const SimdSortChoice& simd_sort_choice<double>(bool) noexcept;

void simd_sort(std::span<std::uint32_t> keys) noexcept { sort_by_choice(keys); }
void simd_sort(std::span<std::uint64_t> keys) noexcept { sort_by_choice(keys); }
void simd_sort(std::span<std::int32_t> keys) noexcept { sort_by_choice(keys); }
void simd_sort(std::span<std::int64_t> keys) noexcept { sort_by_choice(keys); }
void simd_sort(std::span<float> keys) noexcept { sort_by_choice(keys); }
void simd_sort(std::span<double> keys) noexcept { sort_by_choice(keys); }

std::size_t simd_split(std::span<std::uint32_t> keys, std::uint32_t pivot) noexcept { return split_below(keys, pivot); }
std::size_t simd_split(std::span<std::int32_t> keys, std::int32_t pivot) noexcept { return split_below(keys, pivot); }
std::size_t simd_split(std::span<std::uint64_t> keys, std::uint64_t pivot) noexcept { return split_below(keys, pivot); }
std::size_t simd_split(std::span<std::int64_t> keys, std::int64_t pivot) noexcept { return split_below(keys, pivot); }
std::size_t simd_split(std::span<float> keys, float pivot) noexcept { return split_below(keys, pivot); }
std::size_t simd_split(std::span<double> keys, double pivot) noexcept { return split_below(keys, pivot); }

void prepare_simd_sort() noexcept { choose_targets(); }

}  // namespace tfs::general
