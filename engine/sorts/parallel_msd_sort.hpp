#pragma once
// Most-significant-digit partition for several threads: the slice is cut into
// a few blocks per worker; the workers count the digit of each block, then
// scatter each block into its own stretch of every bucket in a scratch
// buffer; the buckets are sorted where they lie, one per task, largest
// first, and copied back. The digit is the top bits of the key's distance
// from the smallest key, so keys in a narrow range (small signed values on
// both sides of zero included) still spread over the buckets, and keys in a
// narrow range that wraps around the top of the key space (the same values
// read as unsigned) too; where it would spread them unevenly (clusters,
// peaks), the buckets are runs of a finer digit's values cut from the keys'
// own counts instead.
// A bucket too large for one worker is partitioned again by every worker;
// one whose keys are all equal is left as it is. Keys that no digit splits
// well, judged on a sample first, are merge sorted or sorted whole instead.

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/failure.hpp"
#include "engine/sorts/drop_merge_sort.hpp"
#include "engine/sorts/parallel_merge_sort.hpp"
#include "engine/sorts/register_insertion_sort.hpp"
#include "engine/sorts/simd_dispatch.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Slices below this length are sorted whole by one worker: the passes over
// the slice and the hand-offs cost more than they save.
inline constexpr std::size_t kParallelMsdMinLength = std::size_t(1) << 16;

// How finely a partition cuts the keys. `fine`: buckets of about
// kParallelMsdBucketTarget keys, each sorted within a core's cache, for
// processors on which a scatter into thousands of buckets runs near memory
// speed. `coarse`: a few buckets per worker (a scatter into few buckets
// writes few streams, as a copy does), each sorted by the SIMD sort out of
// cache, for processors on which a scatter into many buckets costs more
// than the SIMD sort's own passes over the keys. `pivots`: no digit at all;
// a slice that is not nearly sorted goes to `sort_whole` (a split around
// pivots), for processors on which that beats either digit.
enum class PartitionShape { fine, coarse, pivots };
// Buckets per worker of the coarse shape: enough for taking the largest
// first to even out the workers' loads.
inline constexpr std::size_t kParallelMsdCoarseBucketsPerWorker = 8;
// Bucket length the digit width aims for: a bucket stays in a core's L2
// cache while it is sorted.
inline constexpr std::size_t kParallelMsdBucketTarget = std::size_t(1) << 15;
// Widest digit: more buckets would scatter into too many pages at once.
inline constexpr unsigned kParallelMsdMaxDigitBits = 12;
// Buckets per worker at least, so that taking the largest first evens out
// the workers' loads.
inline constexpr std::size_t kParallelMsdBucketsPerWorker = 16;
// A bucket longer than this many halves of one worker's share is partitioned
// again by every worker; a shorter one is sorted by one worker whatever its
// length (the SIMD sort needs no cache-sized pieces), which costs less than
// another pass even where it leaves the workers a little uneven.
inline constexpr std::size_t kParallelMsdSplitAgainHalves = 3;
// Widest fine digit (see BucketMap): 2^16 counters of 8 bytes per worker stay
// in its L2 cache, and the map from fine values to buckets in every core's.
inline constexpr unsigned kParallelMsdFineMaxBits = 16;
// Keys per fine value and block at least, on even keys: a finer digit costs
// more to count and to map than its resolution is worth, and the blocks'
// counters (8 bytes each) take at most a byte per key.
inline constexpr std::size_t kParallelMsdKeysPerFineValue = 8;
// Blocks per worker that each pass over the slice is cut into, taken in turn
// by whichever worker is free: a worker woken after a pause may run at half
// speed for its first millisecond (AMD Zen 4 guest), and with one block each
// the others would wait for it at the end of every pass.
inline constexpr std::size_t kParallelMsdBlocksPerWorker = 8;
// Keys sampled to judge the digit before any pass over the slice.
inline constexpr std::size_t kParallelMsdSample = 512;
// A digit that gives one bucket more than this share (in eighths) of the
// sample splits little (heavy-tailed or clustered keys): the slice is merge
// sorted rather than partitioned pass after pass on the one heavy bucket.
// Two halves still split well: one worker sorts each. (Lognormal u32 at
// 1e7, two thirds in one bucket: 3.0 ns per element partitioned on two
// workers, 2.1 whole on one.)
inline constexpr std::size_t kParallelMsdHeavyEighths = 5;
// Fewer distinct keys than this in the sample (each seen eight times on
// average): `sort_piece`, a quicksort that groups equal keys, beats the
// partition's passes outright (Zipf with exponent 2, about 40 in 512).
inline constexpr std::size_t kParallelMsdFewDistinct = 64;
// At most this share (in eighths) of the sample distinct, keys repeat (a few
// thousand values at most): the SIMD sort takes them in few passes, and on
// fewer workers than a merge needs, the partition's passes cost more than
// the second worker saves (a range of 1,000 values, u32 at 1e6 on two
// workers: 1.4 ns per element whole, 1.5 to 2.0 partitioned).
inline constexpr std::size_t kParallelMsdRepeatsEighths = 7;

namespace detail {

// Distinct keys in a sorted sample.
template <typename Sample>
std::size_t distinct_keys(const Sample& sorted) {
    std::size_t distinct = sorted.size() > 0;
    for (std::size_t i = 1; i < sorted.size(); ++i) distinct += sorted[i] != sorted[i - 1];
    return distinct;
}

// Whether keys repeat, by `distinct` of `sampled` keys: few distinct, or at
// most kParallelMsdRepeatsEighths of them.
inline bool keys_repeat(std::size_t distinct, std::size_t sampled) {
    return distinct < kParallelMsdFewDistinct || distinct * 8 <= sampled * kParallelMsdRepeatsEighths;
}

}  // namespace detail
// Slices of this many bytes or more are copied back from the scratch buffer
// past the cache: the slice's lines are then not read only to be
// overwritten (uniform keys at 1e7 and 3e7 on two workers: 0.92 to 1.00 of
// the time). Smaller slices stay in the last-level cache for the passes
// that follow, the keys' map back among them (3e5 keys streamed: 1.05 to
// 1.07 of the time).
inline constexpr std::size_t kParallelMsdStreamMinBytes = std::size_t(8) << 20;
// Keys of at least this many bytes that only the whole range shows to be
// heavy-tailed, on too few workers to merge, are split into the finer
// digit's runs rather than sorted whole: the SIMD sort takes half as many
// of them per instruction as of 32-bit keys (at 1e7 on two workers, the
// runs took 0.63 to 0.88 of the whole sort's time on lognormal u64 keys and
// 0.70 to 0.75 on prices, but 1.02 to 1.11 on the same keys as u32).
inline constexpr std::size_t kParallelMsdHeavyRunsKeyBytes = 8;
// The sample's keys are taken from their widest gap (see KeyRange) when that
// narrows their range by this many bits at least: every bit halves the
// digit's cells, and keys spread over the key space leave no gap that wide.
inline constexpr unsigned kParallelMsdRotateMinBits = 1;

namespace detail {

// The first and last index of block `b` of `blocks` over `n` elements.
inline std::size_t block_start(std::size_t n, std::size_t blocks, std::size_t b) {
    return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * b / blocks);
}

// The smallest and the largest of some keys, each taken as its distance
// from `rot` (key - rot, modulo the key width). Where `rot` lies in a wide
// gap between the keys, those above it and those below it (small values and
// values just below the top of the key space, as integers around zero read
// as unsigned) make one narrow range, which wraps around the top.
template <typename T>
struct KeyRange {
    using K = key_t<T>;
    K rot = 0;
    K lo = std::numeric_limits<K>::max();
    K hi = 0;

    KeyRange() = default;
    explicit KeyRange(K rotation) : rot(rotation) {}
    KeyRange(K rotation, K low, K high) : rot(rotation), lo(low), hi(high) {}

    void add(K k) {
        k = static_cast<K>(k - rot);
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    // Of keys taken from the same `rot`.
    void add(const KeyRange& other) {
        lo = std::min(lo, other.lo);
        hi = std::max(hi, other.hi);
    }
    // Whether the keys lie on both sides of the top of the key space.
    bool wraps() const { return static_cast<K>(lo + rot) > static_cast<K>(hi + rot); }
    // Where a digit's cells start: the smallest key; where the keys wrap,
    // zero. A digit masked to its width then takes the keys below the top
    // first and those above it after them: their range spans at most one
    // cell more than the digit has, and where it does, that cell holds the
    // largest keys below the top and the smallest above it, whose order is
    // their order as keys.
    K origin() const { return wraps() ? 0 : static_cast<K>(lo + rot); }
    // The low bits in which the keys differ from the smallest.
    unsigned varying() const { return static_cast<unsigned>(std::bit_width(static_cast<K>(hi - lo))); }
};

// The baseline sweep: independent lanes, so that the minima and maxima do
// not wait on each other.
template <typename T>
KeyRange<T> key_range_baseline(const T* p, std::size_t n, key_t<T> rot) {
    constexpr std::size_t kLanes = 4;
    KeyRange<T> lanes[kLanes] = {KeyRange<T>(rot), KeyRange<T>(rot), KeyRange<T>(rot), KeyRange<T>(rot)};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) lanes[j].add(radix_key(p[i + j]));
    KeyRange<T> r(rot);
    for (const auto& lane : lanes) r.add(lane);
    for (; i < n; ++i) r.add(radix_key(p[i]));
    return r;
}

// A register of keys per step, with unsigned vector minima and maxima; the
// lanes are then folded within the register.
#if defined(__x86_64__)
template <typename T>
[[gnu::target("avx512f")]] KeyRange<T> key_range_avx512(const T* p, std::size_t n, key_t<T> rot) {
    using K = key_t<T>;
    using Lanes = KeyLanes<sizeof(K)>;
    const __m512i from = Lanes::broadcast(rot);
    __m512i lo = Lanes::broadcast(std::numeric_limits<K>::max());
    __m512i hi = Lanes::broadcast(0);
    std::size_t i = 0;
    for (; i + Lanes::lanes <= n; i += Lanes::lanes) {
        const __m512i k = Lanes::sub(mapped_keys<value_order<T>, K>(_mm512_loadu_si512(p + i)), from);
        lo = Lanes::min(lo, k);
        hi = Lanes::max(hi, k);
    }
    // Lane 0 takes in one more lane per step.
    for (std::size_t j = 1; j < Lanes::lanes; ++j) {
        lo = Lanes::min(lo, Lanes::drop_first(lo, lo));
        hi = Lanes::max(hi, Lanes::drop_first(hi, hi));
    }
    KeyRange<T> r(rot, static_cast<K>(Lanes::first(lo)), static_cast<K>(Lanes::first(hi)));
    r.add(key_range_baseline(p + i, n - i, rot));
    return r;
}
#endif

// The range of the n keys at p, taken from `rot`.
template <typename T>
KeyRange<T> key_range(const T* p, std::size_t n, key_t<T> rot) {
    static_assert(sizeof(key_t<T>) == 4 || sizeof(key_t<T>) == 8, "the vector sweep has 32- and 64-bit lanes");
#if defined(__x86_64__)
    return avx512_enabled() ? key_range_avx512(p, n, rot) : key_range_baseline(p, n, rot);
#else
    return key_range_baseline(p, n, rot);
#endif
}

// A digit counted from a range's origin: ((key - lo) >> shift) & mask. The
// mask keeps a key that another thread wrote outside the range meanwhile
// within the buckets.
template <typename T>
struct RangeDigit {
    key_t<T> lo = 0;
    unsigned shift = 0;
    key_t<T> mask = 0;

    RangeDigit() = default;
    // The top `bits` of the range's varying low bits.
    RangeDigit(const KeyRange<T>& range, unsigned bits)
        : lo(range.origin()), shift(range.varying() - bits), mask(digit_mask<T>(bits)) {}
    std::size_t operator()(key_t<T> k) const { return static_cast<std::size_t>(key_t<T>(k - lo) >> shift & mask); }
};

// How a slice is best shared out, judged on keys sampled at even strides
// before any pass over it: by the digit of the key's distance from the
// smallest; by merging
// runs that each worker sorts (nearly sorted keys, or a digit that leaves
// one bucket most of the keys: heavy-tailed or clustered keys); or not at
// all (few distinct keys, which the SIMD sort groups at memory speed).
enum class Sharing { digit, merge, none };

// Digit width for a partition of n elements over `workers` whose keys
// differ from the smallest in their low `varying` bits.
inline unsigned msd_digit_bits(std::size_t n, std::size_t workers, unsigned varying, PartitionShape shape) {
    const std::size_t wanted = shape == PartitionShape::coarse
                                   ? workers * kParallelMsdCoarseBucketsPerWorker
                                   : std::max(n / kParallelMsdBucketTarget, workers * kParallelMsdBucketsPerWorker);
    const unsigned bits = static_cast<unsigned>(std::bit_width(wanted - 1));
    return std::clamp(bits, 1u, std::min(kParallelMsdMaxDigitBits, varying));
}

// Width of the fine digit for a partition of n elements in `blocks` blocks
// into buckets of a `bits`-bit digit, of keys differing from the smallest in
// their low `varying` bits: as fine as the blocks' length makes worthwhile,
// never coarser than the digit.
inline unsigned msd_fine_bits(std::size_t n, std::size_t blocks, unsigned bits, unsigned varying) {
    const std::size_t per_value = kParallelMsdKeysPerFineValue * blocks;
    const auto worthwhile = static_cast<unsigned>(std::bit_width(std::max<std::size_t>(n / per_value, 1))) - 1;
    return std::min(varying, std::clamp(worthwhile, bits, kParallelMsdFineMaxBits));
}

// The buckets of a partition, from the counts of the fine digit. Where the
// digit of the slice's length spreads the keys well, it is the bucket (the
// top bits of the fine digit); otherwise the buckets are runs of
// consecutive fine values cut from the counts, so that keys bunched in a few
// places (two clusters, a narrow peak) are still spread over all of them and
// no bucket serialises the scatter or leaves one worker the lion's share.
template <typename T>
struct BucketMap {
    RangeDigit<T> fine;
    unsigned drop = 0;                  // the digit: the fine value >> drop
    std::vector<std::uint16_t> runs;    // or else the run of each fine value
    std::size_t buckets = 0;

    std::size_t of_fine(std::size_t f) const { return runs.empty() ? f >> drop : runs[f]; }
    // The digit, where it is the bucket.
    RangeDigit<T> digit() const {
        RangeDigit<T> d = fine;
        d.shift += drop;
        d.mask >>= drop;
        return d;
    }
};

// The buckets for the fine values counted in `totals` and a digit of `bits`
// bits, for `workers`: the digit when none of its buckets holds more than
// half a worker's share of the keys; else runs of at most `target` keys, a
// fine value that holds more taking a run alone.
template <typename T>
void cut_buckets(BucketMap<T>& map, std::span<const std::uint64_t> totals, unsigned bits, std::uint64_t target,
                 std::size_t workers) {
    const auto fine_bits = static_cast<unsigned>(std::bit_width(totals.size()) - 1);
    map.drop = fine_bits - bits;
    std::vector<std::uint64_t> digit(std::size_t(1) << bits, 0);
    for (std::size_t f = 0; f < totals.size(); ++f) digit[f >> map.drop] += totals[f];
    const std::uint64_t n = std::accumulate(digit.begin(), digit.end(), std::uint64_t(0));
    if (*std::max_element(digit.begin(), digit.end()) * 2 * workers <= n) {
        map.buckets = digit.size();
        return;
    }
    map.runs.resize(totals.size());
    std::size_t bucket = 0;
    std::uint64_t filled = 0;
    for (std::size_t f = 0; f < totals.size(); ++f) {
        if (filled > 0 && filled + totals[f] > target) {
            ++bucket;
            filled = 0;
        }
        map.runs[f] = static_cast<std::uint16_t>(bucket);
        filled += totals[f];
    }
    map.buckets = bucket + 1;
}

// The heads of every block's stretches, a row per block. Each row starts a
// cache line of its own: a worker advances a head of its row for every key
// it scatters, and a line that two workers' rows shared would move between
// their cores all the while.
class HeadRows {
  public:
    HeadRows(std::size_t rows, std::size_t width)
        : stride_((width + kPerLine - 1) / kPerLine * kPerLine), storage_(rows * stride_ + kPerLine) {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        first_ = (kLineBytes - address % kLineBytes) % kLineBytes / sizeof(std::uint64_t);
    }
    std::uint64_t* row(std::size_t r) { return storage_.data() + first_ + r * stride_; }

  private:
    static constexpr std::size_t kLineBytes = 64;
    static constexpr std::size_t kPerLine = kLineBytes / sizeof(std::uint64_t);
    std::size_t stride_;
    std::vector<std::uint64_t> storage_;
    std::size_t first_ = 0;
};

// Whether the blocks of a partition of n elements into `buckets` buckets of
// `scratch` scatter through line buffers (see write_combining_scatter.hpp):
// where the scratch lies past the cache, every block's stretch of a bucket
// repays its part lines, and this machine writes memory faster that way
// into as many buckets as a partition has (measured once per key width).
// TARVO_FASTSORT_SCATTER forces either way wherever the scratch's alignment
// lets the line buffers serve.
template <typename T>
bool partition_combines(std::size_t n, std::size_t blocks, std::size_t buckets, const T* scratch) {
    if (!combining_fits(scratch)) return false;
    if (const std::optional<ScatterKind> forced = forced_scatter_kind()) return *forced == ScatterKind::combining;
    return n * sizeof(T) >= kStreamingMinBytes && n >= blocks * buckets * kCombiningMinPerBucket &&
           measured_scatter_kind<scatter_width_t<T>, ScatterUse::partition>() == ScatterKind::combining;
}

// Line buffers for the blocks' combining scatter, one set per worker, each
// taken by one block at a time; or none where the partition scatters
// plainly or memory for them is short. A block that
// finds every set taken (a runner that runs more tasks at once than there
// are workers) scatters plainly: both write the same positions.
struct BlockLines {
    std::vector<std::unique_ptr<CombiningLines>> lines;
    std::unique_ptr<std::atomic<bool>[]> taken;

    BlockLines(bool combining, std::size_t workers, std::size_t buckets) {
        if (!combining) return;
        try {
            for (std::size_t w = 0; w < workers; ++w) lines.push_back(std::make_unique<CombiningLines>(buckets));
            taken = std::make_unique<std::atomic<bool>[]>(workers);
        } catch (const std::bad_alloc&) {
            lines.clear();
        }
    }
    bool empty() const noexcept { return lines.empty(); }

    // A free set of line buffers, or nullptr; give it back with put_back.
    CombiningLines* take(std::size_t& set) noexcept {
        for (set = 0; set < lines.size(); ++set)
            if (!taken[set].exchange(true, std::memory_order_acquire)) return lines[set].get();
        return nullptr;
    }
    void put_back(std::size_t set) noexcept { taken[set].store(false, std::memory_order_release); }
};

// Copies n keys from `from` to `to`, storing the cache lines of `to` that it
// fills whole past the cache (see kParallelMsdStreamMinBytes). Every x86-64
// processor has SSE2's streaming store; elsewhere it is a plain copy.
template <typename T>
void stream_copy(const T* from, T* to, std::size_t n) {
#if defined(__x86_64__)
    constexpr std::size_t kLine = 64;
    constexpr std::size_t kPerLine = kLine / sizeof(T);
    constexpr std::size_t kPerStore = sizeof(__m128i) / sizeof(T);
    const std::size_t misaligned = reinterpret_cast<std::uintptr_t>(to) % kLine;
    const std::size_t head = misaligned % sizeof(T) != 0 ? n : std::min(n, (kLine - misaligned) % kLine / sizeof(T));
    std::copy(from, from + head, to);
    std::size_t i = head;
    for (; i + kPerLine <= n; i += kPerLine)
        for (std::size_t j = i; j < i + kPerLine; j += kPerStore)
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + j), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + j)));
    _mm_sfence();
    std::copy(from + i, from + n, to + i);
#else
    std::copy(from, from + n, to);
#endif
}

template <typename T>
using KeySample = std::array<key_t<T>, kParallelMsdSample>;

// Keys at even strides over the slice.
template <typename T>
KeySample<T> sample_keys(std::span<const T> slice) {
    KeySample<T> sample;
    const std::size_t stride = slice.size() / sample.size();
    for (std::size_t i = 0; i < sample.size(); ++i) sample[i] = radix_key(slice[i * stride]);
    return sample;
}

// Where the keys of the sorted sample leave their widest gap, if taking the
// keys from there (see KeyRange) narrows their range by at least
// kParallelMsdRotateMinBits; otherwise 0.
template <typename T>
key_t<T> sample_rotation(const KeySample<T>& sorted) {
    using K = key_t<T>;
    std::size_t after = 0;
    K widest = 0;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (static_cast<K>(sorted[i] - sorted[i - 1]) > widest) {
            widest = static_cast<K>(sorted[i] - sorted[i - 1]);
            after = i;
        }
    }
    if (widest == 0) return 0;
    const auto plain = std::bit_width(static_cast<K>(sorted.back() - sorted.front()));
    const auto rotated = std::bit_width(static_cast<K>(sorted[after - 1] - sorted[after]));
    // The middle of the gap: keys that the sample missed on either side of
    // it still lie near their own side.
    return rotated + kParallelMsdRotateMinBits <= plain ? static_cast<K>(sorted[after - 1] + widest / 2) : 0;
}

// The range of the sample's keys, taken from `rot`.
template <typename T>
KeyRange<T> sample_range(const KeySample<T>& sample, key_t<T> rot) {
    KeyRange<T> range(rot);
    for (const key_t<T> k : sample) range.add(k);
    return range;
}

// The most keys of the sample that one bucket of the digit of a partition of
// n keys in `range` (not all equal) gets.
template <typename T>
std::size_t largest_sampled_bucket(const KeySample<T>& sample, std::size_t n, std::size_t workers,
                                   const KeyRange<T>& range, PartitionShape shape) {
    const unsigned bits = msd_digit_bits(n, workers, range.varying(), shape);
    const RangeDigit<T> digit(range, bits);
    std::vector<std::uint32_t> counts(std::size_t(1) << bits, 0);
    std::uint32_t largest = 0;
    for (const key_t<T> k : sample) largest = std::max(largest, ++counts[digit(k)]);
    return largest;
}

// Whether a digit whose largest bucket got `largest` keys of the sample
// gives that bucket more than its share.
inline bool heavy_share(std::size_t largest) {
    return largest * 8 > kParallelMsdSample * kParallelMsdHeavyEighths;
}

// Whether such a digit spreads the sample evenly enough over `workers` to be
// the bucket (see BucketMap).
inline bool even_share(std::size_t largest, std::size_t workers) {
    return largest * 2 * workers <= kParallelMsdSample;
}

// `sorted` holds the keys sample_keys() takes from `slice`, sorted; `rot`
// is their sample_rotation().
template <typename T>
Sharing choose_sharing(std::span<const T> slice, const KeySample<T>& sorted, key_t<T> rot, std::size_t workers,
                       PartitionShape shape) {
    const KeyRange<T> range = sample_range<T>(sorted, rot);
    // Nearly sorted: runs that `sort_piece` finishes in about two passes.
    if (looks_nearly_sorted(slice)) return Sharing::merge;
    // The digit the partition would take over the sample's range.
    if (range.lo == range.hi) return Sharing::none;
    if (heavy_share(largest_sampled_bucket<T>(sorted, slice.size(), workers, range, shape))) return Sharing::merge;
    const std::size_t distinct = distinct_keys(sorted);
    if (distinct < kParallelMsdFewDistinct) return Sharing::none;
    if (workers < kParallelMergeMinWorkers && keys_repeat(distinct, sorted.size())) return Sharing::none;
    return Sharing::digit;
}

}  // namespace detail

// Sorts `slice` ascending with up to `workers` threads. `scratch` holds at
// least slice.size() elements. `sort_piece(std::span<T>)` sorts, in place on
// the calling thread, a slice too short to partition and each bucket (in
// the scratch buffer, where no other thread writes). `run(k, task)` runs
// task(i) for every i in [0, k), up to `workers` at once where it can, and
// returns when all have run (or throws what one threw, once none runs). The
// slice is lent: keys changed by another thread during the sort end in an
// InternalFailure or an unsorted slice, never in an access outside the
// slice and the scratch buffer. `shape` says how finely the keys are cut
// (see PartitionShape). `sort_whole(std::span<T>)` sorts the slice where no
// digit would split it well and too few workers would merge it, and every
// slice not nearly sorted with the `pivots` shape (by default sort_piece,
// on the calling thread). Keys in
// order, or in reverse order, throughout are the caller's to settle first:
// nothing here scans for them.
template <typename T, typename SortPiece, typename RunTasks, typename SortWhole>
void parallel_msd_sort(std::span<T> slice, std::span<T> scratch, std::size_t workers, SortPiece&& sort_piece,
                       RunTasks&& run, PartitionShape shape, SortWhole&& sort_whole) {
    using K = key_t<T>;
    const std::size_t n = slice.size();
    check(scratch.size() >= n, "partition scratch shorter than the slice");
    if (n < 2) return;
    if (n < kParallelMsdMinLength || workers < 2) {
        sort_piece(slice);
        return;
    }
    const std::size_t blocks =
        std::clamp<std::size_t>(n / (kParallelMsdMinLength / 4), 1, workers * kParallelMsdBlocksPerWorker);
    auto block = [&](std::size_t b) {
        const std::size_t begin = detail::block_start(n, blocks, b);
        return std::pair{begin, detail::block_start(n, blocks, b + 1)};
    };

    const auto merge = [&] {
        if (workers >= kParallelMergeMinWorkers) return parallel_merge_sort<T>(slice, scratch, workers, sort_piece, run);
        if (detail::looks_nearly_sorted(std::span<const T>(slice))) return sort_piece(slice);  // in about two passes
        sort_whole(slice);
    };
    detail::KeySample<T> sample = detail::sample_keys(std::span<const T>(slice));
    std::sort(sample.begin(), sample.end());
    const K rot = detail::sample_rotation<T>(sample);
    switch (detail::choose_sharing<T>(slice, sample, rot, workers, shape)) {
        case detail::Sharing::none: return sort_whole(slice);
        case detail::Sharing::merge: return merge();
        case detail::Sharing::digit:
            if (shape == PartitionShape::pivots) return sort_whole(slice);
            break;
    }

    // One sweep for the range of the keys.
    std::vector<detail::KeyRange<T>> surveys(blocks);
    run(blocks, [&](std::size_t b) {
        const auto [begin, end] = block(b);
        surveys[b] = detail::key_range(slice.data() + begin, end - begin, rot);
    });
    detail::KeyRange<T> range(rot);
    for (const auto& survey : surveys) range.add(survey);
    if (range.lo == range.hi) return;

    const unsigned varying = range.varying();
    // Outliers that the sample missed widen the range, and so move the digit
    // up: judge the sample again by the digit the pass takes. (Prices in
    // cents, u32 at 1e7: the sample saw 16 varying bits, the slice has 21,
    // and four fifths of the keys fell in the first bucket.) Where one
    // bucket would take most keys, they are merged; but where merge() would
    // sort them whole on one worker, 64-bit keys take the finer digit's runs
    // instead (see kParallelMsdHeavyRunsKeyBytes).
    const std::size_t largest = detail::largest_sampled_bucket<T>(sample, n, workers, range, shape);
    if (detail::heavy_share(largest) &&
        (workers >= kParallelMergeMinWorkers || sizeof(K) < kParallelMsdHeavyRunsKeyBytes))
        return merge();
    const unsigned bits = detail::msd_digit_bits(n, workers, varying, shape);
    // Where the sample finds the digit even, its counts are all there is to
    // take; elsewhere the finer counts that runs are cut from.
    const unsigned fine_bits =
        detail::even_share(largest, workers) ? bits : detail::msd_fine_bits(n, blocks, bits, varying);
    detail::BucketMap<T> map;
    map.fine = detail::RangeDigit<T>(range, fine_bits);
    const std::size_t fine_values = std::size_t(1) << fine_bits;

    // Per block, the count of every fine value; the buckets cut from their
    // totals; then each block's stretch of each bucket, as heads counted
    // from the scratch buffer's end (see scatter_from_end).
    std::vector<std::vector<std::uint64_t>> fine_counts(blocks);
    run(blocks, [&](std::size_t b) {
        const auto [begin, end] = block(b);
        fine_counts[b] = histogram_by<T>(std::span<const T>(slice.data() + begin, end - begin), fine_values, map.fine);
    });
    std::vector<std::uint64_t> totals(fine_values, 0);
    for (const auto& counts : fine_counts)
        for (std::size_t f = 0; f < fine_values; ++f) totals[f] += counts[f];
    detail::cut_buckets(map, totals, bits, (n + (std::size_t(1) << bits) - 1) >> bits, workers);
    const std::size_t buckets = map.buckets;
    std::vector<std::vector<std::uint64_t>> counts(blocks, std::vector<std::uint64_t>(buckets, 0));
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t f = 0; f < fine_values; ++f) counts[b][map.of_fine(f)] += fine_counts[b][f];
    std::vector<std::uint64_t> starts(buckets + 1);
    detail::HeadRows heads(blocks, buckets);
    std::vector<std::uint64_t> stretch_ends(blocks * buckets);  // where each head must end, as heads count
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
        starts[d] = total;
        for (std::size_t b = 0; b < blocks; ++b) {
            heads.row(b)[d] = total - n;
            total += counts[b][d];
            stretch_ends[b * buckets + d] = total - n;
        }
    }
    starts[buckets] = total;
    check(total == n, "partition counts differ from the slice length");

    // From the scatter on, the buckets live in the scratch buffer until they
    // are copied back; a failure copies back the ones still there, so that
    // the slice is a permutation of itself whatever happens. Nothing is
    // allocated between the scatter and that point.
    std::vector<char> returned(buckets, 0);
    std::vector<std::size_t> order;
    order.reserve(buckets);
    T* const scratch_end = scratch.data() + n;
    detail::BlockLines combining(detail::partition_combines<T>(n, blocks, buckets, scratch.data()), workers,
                                 buckets);
    run(blocks, [&](std::size_t b) {
        const auto [begin, end] = block(b);
        std::uint64_t* h = heads.row(b);
        const T* from = slice.data() + begin;
        const T* to = slice.data() + end;
        std::size_t set = 0;
        CombiningLines* const lines = combining.empty() ? nullptr : combining.take(set);
        const auto scatter = [&](auto bucket) {
            if (lines == nullptr) return detail::scatter_run_by<T, true>(from, to, scratch_end, h, bucket);
            // The heads and this block's stretch ends counted from the
            // scratch's start, for the scatter, and back.
            const std::span<std::uint64_t> at(h, buckets);
            const std::span<std::uint64_t> ends(stretch_ends.data() + b * buckets, buckets);
            for (std::size_t d = 0; d < buckets; ++d) at[d] += n, ends[d] += n;
            combining_scatter<T>(std::span<const T>(from, to), scratch.first(n), at, ends, *lines, bucket);
            for (std::size_t d = 0; d < buckets; ++d) at[d] -= n, ends[d] -= n;
            combining.put_back(set);
        };
        if (map.runs.empty()) {
            scatter(map.digit());
        } else {
            const std::uint16_t* runs = map.runs.data();
            scatter([runs, fine = map.fine](K k) { return std::size_t(runs[fine(k)]); });
        }
        // Each head must have reached the end of this block's stretch: then
        // every scratch position was written exactly once.
        std::uint64_t differs = 0;
        for (std::size_t d = 0; d < buckets; ++d) differs |= h[d] ^ stretch_ends[b * buckets + d];
        if (differs != 0) [[unlikely]]
            fail(kScatterCountMismatch);
    });
    auto copy_back = [&](std::size_t d) {
        const T* from = scratch.data() + starts[d];
        const std::size_t length = starts[d + 1] - starts[d];
        if (n * sizeof(T) >= kParallelMsdStreamMinBytes)
            detail::stream_copy(from, slice.data() + starts[d], length);
        else
            std::copy(from, from + length, slice.data() + starts[d]);
        returned[d] = 1;
    };

    try {
        // Buckets too long for one worker are partitioned again, one after
        // the other, with every worker; the rest are sorted one per task.
        for (std::size_t d = 0; d < buckets; ++d) {
            const std::size_t length = starts[d + 1] - starts[d];
            const bool split_again =
                length >= kParallelMsdMinLength && length * workers * 2 > n * kParallelMsdSplitAgainHalves;
            if (!split_again) {
                if (length > 0) order.push_back(d);
                continue;
            }
            const std::span<T> from = scratch.subspan(starts[d], length);
            const std::span<T> to = slice.subspan(starts[d], length);
            run(blocks, [&](std::size_t b) {
                const std::size_t begin = detail::block_start(length, blocks, b);
                const std::size_t end = detail::block_start(length, blocks, b + 1);
                std::copy(from.begin() + begin, from.begin() + end, to.begin() + begin);
            });
            returned[d] = 1;
            parallel_msd_sort<T>(to, from, workers, sort_piece, run, shape);
        }
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return starts[x + 1] - starts[x] > starts[y + 1] - starts[y];
        });
        std::atomic<std::size_t> next{0};
        run(std::min(workers, order.size()), [&](std::size_t) {
            for (std::size_t i = next++; i < order.size(); i = next++) {
                const std::size_t d = order[i];
                sort_piece(scratch.subspan(starts[d], starts[d + 1] - starts[d]));
                copy_back(d);
            }
        });
    } catch (...) {
        for (std::size_t d = 0; d < buckets; ++d)
            if (returned[d] == 0) copy_back(d);
        throw;
    }
}

template <typename T, typename SortPiece, typename RunTasks>
void parallel_msd_sort(std::span<T> slice, std::span<T> scratch, std::size_t workers, SortPiece&& sort_piece,
                       RunTasks&& run, PartitionShape shape = PartitionShape::fine) {
    parallel_msd_sort<T>(slice, scratch, workers, sort_piece, run, shape, [&](std::span<T> s) { sort_piece(s); });
}

}  // namespace tfs
