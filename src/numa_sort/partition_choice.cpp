#include "numa_sort/partition_choice.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/random_keys.hpp"
#include "numa_sort/simd_sort.hpp"

namespace tfs::general {
namespace {

// Keys measured: 4 MiB, past every core's L2 cache (2 MiB on Sapphire
// Rapids), so that the scatter writes as it does over a large lane, yet
// some tens of milliseconds in all (38 ms on AMD Zen 3).
constexpr std::size_t kCalibrationKeys = std::size_t(1) << 20;
// Each figure is the least of this many rounds, taken in turn, so that a
// round slowed by another process does not decide.
constexpr int kCalibrationRounds = 2;
// The fine shape's digit for lanes of a few times 1e7 keys.
constexpr unsigned kCalibrationFineBits = 10;
// The coarse shape's digit for two workers.
constexpr unsigned kCalibrationCoarseBits = 4;
// Pieces the coarse shape sorts: a bucket of a lane of about 1e7 keys.
constexpr std::size_t kCalibrationLargePiece = kCalibrationKeys;
// The fine shape is kept unless the coarse one's estimate is this much
// lower: the fine shape's buckets are sorted in cache by whichever worker
// is free, which evens out the workers better than the measurement shows.
constexpr double kCalibrationCoarseMargin = 0.9;
// The split is taken where its estimate is below this share of the better
// digit shape's. Its pieces are sorted out of cache by workers that share
// the memory, which the single-thread estimate misses (AMD Zen 3, two
// threads, u32 to i64 at 1e7: estimated 0.95 of the fine shape's time,
// measured 1.05 to 1.09); but the digit shapes' passes wait at each step
// for a worker just woken, which the estimate misses as well. On AMD Zen 4
// the estimate came to 0.72 to 1.0 from one process to the next (0.89 to
// 0.95 in most), and with the fine shape two threads took 1.15 to 1.57 of
// one thread's time for u32 at 1e6 (int64 0.92 to 1.03), with the split
// 0.56 to 0.81; at 1e7 the two were even. So the split is taken wherever it
// is estimated no slower. Where a scatter costs 6 ns per key from memory
// (Intel Sapphire Rapids), the estimate is about 0.6 of either shape's.
constexpr double kCalibrationSplitMargin = 1.0;

// Floats are partitioned as they are where their pieces' quicksort by value
// takes at most this share of their keys' time: the partition then maps
// each float to its key as it reads it, which costs about what the two
// passes that rewrite the lane save (AMD Zen 3, two threads: f64 pieces
// 0.72 of their keys' time, the lane 0.8 to 0.85 of it at 1e7; f32 level
// pieces, the lane 1.05 to 1.15 of it).
constexpr double kFloatPartitionMargin = 0.85;
// Rounds of each, taken in turn, for that comparison.
constexpr int kFloatPartitionRounds = 5;

using Clock = std::chrono::steady_clock;

double ns_per_key(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalibrationKeys;
}

// One checked scatter of `keys` into `out` by their top `bits` bits, as the
// partition scatters a block; nanoseconds per key.
double time_scatter(std::span<const std::uint32_t> keys, std::span<std::uint32_t> out, unsigned bits) {
    const unsigned shift = 32 - bits;
    const auto bucket = [shift](std::uint32_t k) { return static_cast<std::size_t>(k >> shift); };
    const auto start = Clock::now();
    const std::vector<std::uint64_t> counts = histogram_by<std::uint32_t>(keys, std::size_t(1) << bits, bucket);
    std::vector<std::uint64_t> heads(counts.size());
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < counts.size(); ++d) {
        heads[d] = total - keys.size();
        total += counts[d];
    }
    tfs::detail::scatter_run_by<std::uint32_t, true>(keys.data(), keys.data() + keys.size(), out.data() + out.size(),
                                                heads.data(), bucket);
    return ns_per_key(start);
}

// One SIMD partition step of `keys` around the middle of the key space;
// nanoseconds per key.
double time_split(std::span<std::uint32_t> keys) {
    const auto start = Clock::now();
    const std::size_t below = simd_split(keys, std::uint32_t(1) << 31);
    const double ns = ns_per_key(start);
    check(below <= keys.size(), "split count past the keys");
    return ns;
}

// The SIMD sort of `keys` in pieces of `piece` keys; nanoseconds per key.
double time_pieces(std::span<std::uint32_t> keys, std::size_t piece) {
    const auto start = Clock::now();
    for (std::size_t i = 0; i < keys.size(); i += piece) simd_sort(keys.subspan(i, std::min(piece, keys.size() - i)));
    return ns_per_key(start);
}

}  // namespace

PartitionCalibration calibrate_partition() {
    PartitionCalibration c;
    if (const char* forced = std::getenv("TARVO_FASTSORT_PARTITION")) {
        c.forced = std::strcmp(forced, "fine") == 0 || std::strcmp(forced, "coarse") == 0 ||
                   std::strcmp(forced, "split") == 0;
        c.shape = std::strcmp(forced, "coarse") == 0 ? PartitionShape::coarse : PartitionShape::fine;
        c.split = std::strcmp(forced, "split") == 0;
        if (c.forced) return c;
    }
    const auto start = Clock::now();
    const std::unique_ptr<std::uint32_t[]> keys = random_keys<std::uint32_t>(kCalibrationKeys);
    std::unique_ptr<std::uint32_t[]> out(new std::uint32_t[kCalibrationKeys]);
    const std::span<std::uint32_t> in(keys.get(), kCalibrationKeys);
    const std::span<std::uint32_t> to(out.get(), kCalibrationKeys);
    // Once to touch the destination's pages, then measured.
    time_scatter(in, to, kCalibrationCoarseBits);
    c.coarse_scatter_ns = c.fine_scatter_ns = c.cached_sort_ns = c.large_sort_ns = c.split_ns = 1e9;
    for (int round = 0; round < kCalibrationRounds; ++round) {
        c.coarse_scatter_ns = std::min(c.coarse_scatter_ns, time_scatter(in, to, kCalibrationCoarseBits));
        c.fine_scatter_ns = std::min(c.fine_scatter_ns, time_scatter(in, to, kCalibrationFineBits));
        std::copy(in.begin(), in.end(), to.begin());
        c.cached_sort_ns = std::min(c.cached_sort_ns, time_pieces(to, kParallelMsdBucketTarget));
        std::copy(in.begin(), in.end(), to.begin());
        c.split_ns = std::min(c.split_ns, time_split(to));
        std::copy(in.begin(), in.end(), to.begin());
        c.large_sort_ns = std::min(c.large_sort_ns, time_pieces(to, kCalibrationLargePiece));
    }
    const double fine = c.fine_scatter_ns + c.cached_sort_ns;
    const double coarse = c.coarse_scatter_ns + c.large_sort_ns;
    c.shape = coarse < fine * kCalibrationCoarseMargin ? PartitionShape::coarse : PartitionShape::fine;
    const double split = c.split_ns + c.large_sort_ns;
    c.split = split < std::min(fine, coarse) * kCalibrationSplitMargin;
    c.cost_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return c;
}

namespace {

template <typename F>
bool measure_floats_by_value() {
    if (const char* forced = std::getenv("TARVO_FASTSORT_FLOAT_PARTITION")) {
        if (std::strcmp(forced, "values") == 0) return true;
        if (std::strcmp(forced, "keys") == 0) return false;
    }
    using U = float_key_t<F>;
    constexpr std::size_t n = kParallelMsdBucketTarget;
    const std::unique_ptr<F[]> values = random_keys<F>(n);
    std::unique_ptr<U[]> keys(new U[n]);  // all written below
    for (std::size_t i = 0; i < n; ++i) keys[i] = float_to_key(std::bit_cast<U>(values[i]));
    std::unique_ptr<F[]> work(new F[n]);
    const std::span<F> as_values(work.get(), n);
    const std::span<U> as_keys(reinterpret_cast<U*>(work.get()), n);
    double by_value = 1e9, by_key = 1e9;
    for (int round = -1; round < kFloatPartitionRounds; ++round) {  // the first to choose each quicksort
        std::copy(values.get(), values.get() + n, work.get());
        auto start = Clock::now();
        simd_sort(as_values);
        if (round >= 0) by_value = std::min(by_value, std::chrono::duration<double>(Clock::now() - start).count());
        std::copy(keys.get(), keys.get() + n, as_keys.begin());
        start = Clock::now();
        simd_sort(as_keys);
        if (round >= 0) by_key = std::min(by_key, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return by_value < by_key * kFloatPartitionMargin;
}

}  // namespace

// Without memory to measure with, the lanes are rewritten into keys, as
// they are without a measurement.
template <typename F>
bool partition_floats_by_value() {
    static const bool by_value = [] {
        try {
            return measure_floats_by_value<F>();
        } catch (const std::bad_alloc&) {
            return false;
        }
    }();
    return by_value;
}

template bool partition_floats_by_value<float>();
template bool partition_floats_by_value<double>();

const PartitionCalibration& partition_calibration() {
    static const PartitionCalibration calibration = calibrate_partition();
    return calibration;
}

}  // namespace tfs::general
