#pragma once
// Digit arithmetic and the counting and moving primitives shared by the radix
// algorithms: scratch buffers, the largest key, digit layouts, positioned
// digit masks for the top-down and bottom-up placements, histograms, prefix
// sums and the stable scatter by digit.
//
// Digits: level 0 is the most significant digit of `radix` bits. Top-down
// placement starts the digits right below the `offset` high bits (the last
// digit is clipped to the bits that remain); bottom-up placement starts the
// least significant digit at bit 0. The digit of a key for a positioned mask
// M and shift S is (key & M) >> S.

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/scratch_cache.hpp"
#include "engine/sorts/write_combining_scatter.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Partial histograms count the top digits of at most this many passes; the
// pass chooser never asks for more below 2^43 elements.
inline constexpr std::uint64_t kMaxPartialPasses = 5;

// A scratch buffer of n elements, never initialised (see Scratch). Throws
// std::bad_alloc when memory is exhausted.
template <typename T>
Scratch<T> make_scratch(std::size_t n) {
    return Scratch<T>(n);
}

// 0 for 0, else the position of the highest set bit plus 1.
template <typename K>
std::uint64_t bit_length(K key) {
    static_assert(std::unsigned_integral<K>);
    return static_cast<std::uint64_t>(std::bit_width(key));
}

// 2^radix - 1 in the key type; all ones when radix covers the whole key.
template <typename T>
constexpr key_t<T> digit_mask(std::uint64_t radix) noexcept {
    using K = key_t<T>;
    return radix >= Radixable<T>::bits ? K(~K(0)) : K((K(1) << radix) - 1);
}

// The largest key of a non-empty slice. One sweep: the first key seeds two
// accumulators of one 128-bit vector each (4 x 32-bit or 2 x 64-bit lanes),
// so a step covers 8 32-bit or 4 64-bit keys; the compiler turns the lane
// loops into vector max operations. The rest is compared one by one.
template <typename T>
key_t<T> max_key(std::span<const T> slice) {
    using K = key_t<T>;
    constexpr std::size_t kLanes = 16 / sizeof(K);
    constexpr std::size_t kStep = 2 * kLanes;
    const T* data = slice.data();
    const std::size_t n = slice.size();
    const K first = radix_key(data[0]);
    K acc0[kLanes];
    K acc1[kLanes];
    for (std::size_t j = 0; j < kLanes; ++j) {
        acc0[j] = first;
        acc1[j] = first;
    }
    std::size_t i = 1;
    for (; i + kStep <= n; i += kStep) {
        for (std::size_t j = 0; j < kLanes; ++j) {
            const K a = radix_key(data[i + j]);
            const K b = radix_key(data[i + kLanes + j]);
            acc0[j] = acc0[j] < a ? a : acc0[j];
            acc1[j] = acc1[j] < b ? b : acc1[j];
        }
    }
    K best = first;
    for (std::size_t j = 0; j < kLanes; ++j) {
        best = std::max(best, std::max(acc0[j], acc1[j]));
    }
    for (; i < n; ++i) {
        best = std::max(best, radix_key(data[i]));
    }
    return best;
}

struct DigitLayout {
    std::uint64_t offset;
    std::uint64_t max_level;
};

// Digits start at the highest set bit of `largest`: offset = bits - b and
// max_level = ceil(b / radix) for b = bit_length(largest). radix >= 1.
template <typename T>
DigitLayout digit_layout(key_t<T> largest, std::uint64_t radix) {
    check(radix != 0, "attempt to divide by zero");
    const std::uint64_t b = bit_length(largest);
    return {Radixable<T>::bits - b, (b + radix - 1) / radix};
}

// Digits start at a multiple of `radix` counted from the top of the
// significant bits: the offset is cut back so that whole digits cover the
// bit length of `largest` (0 when they would not fit in the key).
template <typename T>
DigitLayout aligned_digit_layout(key_t<T> largest, std::uint64_t radix) {
    check(radix != 0, "attempt to divide by zero");
    constexpr std::uint64_t bits = Radixable<T>::bits;
    const std::uint64_t b = bit_length(largest);
    std::uint64_t offset;
    if (b % radix == 0) {
        offset = bits - b;
    } else {
        const std::uint64_t covered = (b / radix + 1) * radix;
        offset = covered > bits ? 0 : bits - covered;
    }
    return {offset, (bits - offset + radix - 1) / radix};
}

template <typename T>
struct MaskShift {
    key_t<T> mask;
    unsigned shift;
};

// Top-down placement of digit p.level: it ends at bit offset + (level + 1) *
// radix counted from the top. A digit reaching past the key's low end is
// clipped to the bits that remain (mask 0 when none remain).
template <typename T>
MaskShift<T> msd_mask_and_shift(const RadixParams& p) {
    using K = key_t<T>;
    constexpr std::uint64_t bits = Radixable<T>::bits;
    const std::uint64_t end = p.offset + (p.level + 1) * p.radix;
    if (end <= bits) {
        const unsigned shift = static_cast<unsigned>(bits - end);
        return {K(digit_mask<T>(p.radix) << shift), shift};
    }
    const std::uint64_t clipped = end - bits;
    const K mask = clipped >= p.radix ? K(0) : K(digit_mask<T>(p.radix) >> clipped);
    return {mask, 0};
}

// Bottom-up placement of digit p.level: it starts at bit (max_level - 1 -
// level) * radix, so the least significant level starts at bit 0 and the top
// digit may extend past the key width. Requires level < max_level.
template <typename T>
MaskShift<T> lsd_mask_and_shift(const RadixParams& p) {
    using K = key_t<T>;
    check(p.level < p.max_level, "assertion failed: p.level < p.max_level");
    const std::uint64_t shift = (p.max_level - 1 - p.level) * p.radix;
    if (shift >= Radixable<T>::bits) return {K(0), 0};
    return {K(digit_mask<T>(p.radix) << shift), static_cast<unsigned>(shift)};
}

// The union of the top-down masks of levels 0 .. passes - 1 of `p`: the bits
// that that many top-down passes sort.
template <typename T>
key_t<T> msd_prefix_mask(const RadixParams& p, std::uint64_t passes) {
    key_t<T> prefix = 0;
    for (std::uint64_t level = 0; level < passes; ++level) {
        RadixParams at = p;
        at.level = level;
        prefix |= msd_mask_and_shift<T>(at).mask;
    }
    return prefix;
}

namespace detail {

// Every digit of a positioned mask must index a histogram of bucket_count
// counters; checked once per call instead of per element.
template <typename T>
void check_digit_range(key_t<T> mask, unsigned shift, std::uint64_t bucket_count) {
    check(static_cast<std::uint64_t>(mask >> shift) < bucket_count,
          "digit exceeds the bucket count");
}

}  // namespace detail

// One histogram over the slice of the bucket `bucket(key)`, which must lie
// below bucket_count: bucket_count zeroed 64-bit counters, four elements
// counted per step.
template <typename T, typename Bucket>
std::vector<std::uint64_t> histogram_by(std::span<const T> slice, std::uint64_t bucket_count, Bucket bucket) {
    std::vector<std::uint64_t> hist(bucket_count);
    std::uint64_t* h = hist.data();
    const T* data = slice.data();
    const std::size_t n = slice.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++h[bucket(radix_key(data[i]))];
        ++h[bucket(radix_key(data[i + 1]))];
        ++h[bucket(radix_key(data[i + 2]))];
        ++h[bucket(radix_key(data[i + 3]))];
    }
    for (; i < n; ++i) ++h[bucket(radix_key(data[i]))];
    return hist;
}

// One histogram of the digit (key & mask) >> shift over the slice.
template <typename T>
std::vector<std::uint64_t> digit_histogram(std::span<const T> slice, std::uint64_t bucket_count,
                                           key_t<T> mask, unsigned shift) {
    detail::check_digit_range<T>(mask, shift, bucket_count);
    return histogram_by<T>(slice, bucket_count, [mask, shift](key_t<T> k) { return (k & mask) >> shift; });
}

// A set of histograms, one per level, each of bucket_count counters, stored
// back to back.
struct HistogramSet {
    std::uint64_t bucket_count = 0;
    std::uint64_t levels = 0;
    std::vector<std::uint64_t> counts;

    std::span<const std::uint64_t> level(std::uint64_t l) const {
        return std::span<const std::uint64_t>(counts).subspan(l * bucket_count, bucket_count);
    }
};

namespace detail {

// Calls body(std::integral_constant<std::uint64_t, L>) for the runtime count
// `levels` in 1 .. kMax, so that sweeps over a fixed number of levels are
// unrolled with every mask and shift in a register.
template <std::uint64_t kMax, typename Body>
void with_level_count(std::uint64_t levels, Body&& body) {
    static_assert(kMax >= 1);
    if (levels == kMax) {
        body(std::integral_constant<std::uint64_t, kMax>{});
    } else if constexpr (kMax > 1) {
        with_level_count<kMax - 1>(levels, std::forward<Body>(body));
    }
}

// Counts the bottom-up digits of kLevels levels (of `levels` when kLevels is
// 0) of every key of the slice; `last` is the least significant level's
// histogram, the level above lies `stride` counters before it.
template <typename T, std::uint64_t kLevels>
void count_full_levels(std::span<const T> slice, std::uint64_t* last, std::uint64_t stride, key_t<T> m,
                       unsigned radix, std::uint64_t levels) {
    if constexpr (kLevels != 0) levels = kLevels;
    using K = key_t<T>;
    const T* data = slice.data();
    const std::size_t n = slice.size();
    auto count = [&](K k) {
        std::uint64_t* h = last;
        for (std::uint64_t l = 0; l < levels; ++l) {
            ++h[k & m];
            k >>= radix;
            h -= stride;
        }
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        count(radix_key(data[i]));
        count(radix_key(data[i + 1]));
        count(radix_key(data[i + 2]));
        count(radix_key(data[i + 3]));
    }
    for (; i < n; ++i) count(radix_key(data[i]));
}

// Counts the top-down digits (masks[l], shifts[l]) of kPasses levels of every
// key of the slice into histograms `stride` counters apart.
template <typename T, std::uint64_t kPasses>
void count_partial_levels(std::span<const T> slice, std::uint64_t* h, std::uint64_t stride, const key_t<T>* masks,
                          const unsigned* shifts) {
    using K = key_t<T>;
    K m[kPasses];
    unsigned sh[kPasses];
    for (std::uint64_t l = 0; l < kPasses; ++l) {
        m[l] = masks[l];
        sh[l] = shifts[l];
    }
    const T* data = slice.data();
    const std::size_t n = slice.size();
    auto count = [&](K k) {
        for (std::uint64_t l = 0; l < kPasses; ++l) ++h[l * stride + ((k & m[l]) >> sh[l])];
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        count(radix_key(data[i]));
        count(radix_key(data[i + 1]));
        count(radix_key(data[i + 2]));
        count(radix_key(data[i + 3]));
    }
    for (; i < n; ++i) count(radix_key(data[i]));
}

}  // namespace detail

// Histograms of all p.max_level bottom-up digits (level L shifted by
// (max_level - 1 - L) * radix), counted in one sweep of the slice.
// Requires 1 <= max_level <= bits / 8, which radix >= 8 guarantees.
template <typename T>
HistogramSet full_histograms(std::span<const T> slice, const RadixParams& p) {
    using K = key_t<T>;
    const K m = digit_mask<T>(p.radix);
    detail::check_digit_range<T>(m, 0, p.bucket_count);
    HistogramSet set{p.bucket_count, p.max_level, std::vector<std::uint64_t>(p.max_level * p.bucket_count)};
    if (p.max_level == 0) return set;
    // The least significant level is the last histogram; each shift by radix
    // moves one level up.
    std::uint64_t* const last = set.counts.data() + (p.max_level - 1) * p.bucket_count;
    const unsigned radix = static_cast<unsigned>(p.radix);
    constexpr std::uint64_t kMaxUnrolled = Radixable<T>::bits / 8;
    if (p.max_level > kMaxUnrolled) {
        detail::count_full_levels<T, 0>(slice, last, p.bucket_count, m, radix, p.max_level);
        return set;
    }
    detail::with_level_count<kMaxUnrolled>(p.max_level, [&](auto levels) {
        detail::count_full_levels<T, decltype(levels)::value>(slice, last, p.bucket_count, m, radix, 0);
    });
    return set;
}

// Histograms of the top-down digits of levels 0 .. passes - 1 of `p`, in one
// sweep. These are exactly the digits that top-down passes of `p` distribute
// on, also when the last of them is clipped at the low end of the key.
template <typename T>
HistogramSet partial_histograms(std::span<const T> slice, const RadixParams& p, std::uint64_t passes) {
    using K = key_t<T>;
    if (passes > kMaxPartialPasses) fail("[Partial histogram] Array size can't be that huge !");
    K masks[kMaxPartialPasses];
    unsigned shifts[kMaxPartialPasses];
    for (std::uint64_t l = 0; l < passes; ++l) {
        RadixParams at = p;
        at.level = l;
        const MaskShift<T> ms = msd_mask_and_shift<T>(at);
        detail::check_digit_range<T>(ms.mask, ms.shift, p.bucket_count);
        masks[l] = ms.mask;
        shifts[l] = ms.shift;
    }
    HistogramSet set{p.bucket_count, passes, std::vector<std::uint64_t>(passes * p.bucket_count)};
    if (passes == 0) return set;
    detail::with_level_count<kMaxPartialPasses>(passes, [&](auto levels) {
        detail::count_partial_levels<T, decltype(levels)::value>(slice, set.counts.data(), p.bucket_count, masks,
                                                                 shifts);
    });
    return set;
}

// Bucket bounds of a histogram H of B buckets: sums (B + 1 entries, sums[0] =
// 0, the last the total), heads = sums[0 .. B - 1] (first index of each
// bucket) and tails = sums[1 .. B] (end of each bucket), each its own array.
struct PrefixSums {
    std::vector<std::uint64_t> sums;
    std::vector<std::uint64_t> heads;
    std::vector<std::uint64_t> tails;
};

template <typename Hist>
PrefixSums prefix_sums(const Hist& histogram) {
    const std::span<const std::uint64_t> hist(histogram);
    const std::size_t b = hist.size();
    PrefixSums out;
    out.sums.resize(b + 1);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < b; ++i) {
        out.sums[i] = total;
        total += hist[i];
    }
    out.sums[b] = total;
    out.heads.assign(out.sums.begin(), out.sums.end() - 1);
    out.tails.assign(out.sums.begin() + 1, out.sums.end());
    return out;
}

// Writes the first destination index of each bucket of `hist` into `heads`
// (same length): the heads of prefix_sums without allocating, counted from
// `origin` (heads[d] = start of bucket d - origin, modulo 2^64).
inline void bucket_heads(std::span<const std::uint64_t> hist, std::span<std::uint64_t> heads,
                         std::uint64_t origin = 0) {
    std::uint64_t total = 0 - origin;
    for (std::size_t i = 0; i < hist.size(); ++i) {
        heads[i] = total;
        total += hist[i];
    }
}

// Whether at least two buckets of `hist` are non-empty. A level whose digit is
// the same in every key cannot change the order, so its pass is skipped.
inline bool has_two_buckets(std::span<const std::uint64_t> hist) {
    int non_empty = 0;
    for (std::uint64_t c : hist) {
        non_empty += c != 0;
        if (non_empty >= 2) return true;
    }
    return false;
}

// The messages of the checks that keep a scatter inside its destination,
// kScatterOverrun and kScatterCountMismatch, come with the combining scatter.
// Passes of at least this many times the squared bucket count run mostly
// unchecked stretches (see scatter_by_digit); shorter ones would spend most
// of the pass in the checked tail, and finding the largest head would cost
// more than checking every step.
inline constexpr std::size_t kScatterStretchesMinRatio = 16;

namespace detail {

// The largest of the heads counted from the end (the one nearest the end, as
// signed numbers); four independent chains.
inline std::int64_t largest_head_from_end(std::span<const std::uint64_t> heads) {
    auto at = [&heads](std::size_t b) { return static_cast<std::int64_t>(heads[b]); };
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
    std::int64_t m0 = kLowest, m1 = kLowest, m2 = kLowest, m3 = kLowest;
    std::size_t b = 0;
    for (; b + 4 <= heads.size(); b += 4) {
        m0 = std::max(m0, at(b));
        m1 = std::max(m1, at(b + 1));
        m2 = std::max(m2, at(b + 2));
        m3 = std::max(m3, at(b + 3));
    }
    for (; b < heads.size(); ++b) m0 = std::max(m0, at(b));
    return std::max(std::max(m0, m1), std::max(m2, m3));
}

// Scatters the elements [from, to) through the heads `h` into `base`, four
// per step, each to the bucket `bucket(key)`. kChecked: the heads count from
// `base`, the end of the destination, and are negative inside it (as two's
// complement), so one AND of four destinations tells whether all four lie
// inside: one branch per step, never taken on valid input. Unchecked: the
// caller has made sure that no head can leave the destination.
template <typename T, bool kChecked, typename Bucket>
void scatter_run_by(const T* from, const T* to, T* base, std::uint64_t* h, Bucket bucket) {
    auto inside = [](std::uint64_t t) { return !kChecked || static_cast<std::int64_t>(t) < 0; };
    auto at = [base](std::uint64_t t) -> T& { return base[static_cast<std::int64_t>(t)]; };
    const T* p = from;
    for (; to - p >= 4; p += 4) {
        const T e0 = p[0], e1 = p[1], e2 = p[2], e3 = p[3];
        const auto d0 = bucket(radix_key(e0));
        const auto d1 = bucket(radix_key(e1));
        const auto d2 = bucket(radix_key(e2));
        const auto d3 = bucket(radix_key(e3));
        const std::uint64_t t0 = h[d0]++;
        const std::uint64_t t1 = h[d1]++;
        const std::uint64_t t2 = h[d2]++;
        const std::uint64_t t3 = h[d3]++;
        if (!inside(t0 & t1 & t2 & t3)) [[unlikely]]
            fail(kScatterOverrun);
        at(t0) = e0;
        at(t1) = e1;
        at(t2) = e2;
        at(t3) = e3;
    }
    for (; p != to; ++p) {
        const T e = *p;
        const std::uint64_t t = h[bucket(radix_key(e))]++;
        if (!inside(t)) [[unlikely]]
            fail(kScatterOverrun);
        at(t) = e;
    }
}

// scatter_run_by with the bucket the digit (key & mask) >> shift.
template <typename T, bool kChecked>
void scatter_run(const T* from, const T* to, T* base, std::uint64_t* h, key_t<T> mask, unsigned shift) {
    scatter_run_by<T, kChecked>(from, to, base, h, [mask, shift](key_t<T> k) { return (k & mask) >> shift; });
}

// Writes the lines of [data, data + bytes) back and drops them from every
// cache level, so that the next pass meets them in memory.
inline void evict_from_cache(const void* data, std::size_t bytes) noexcept {
#if defined(__x86_64__)
    const auto* p = static_cast<const char*>(data);
    for (std::size_t i = 0; i < bytes; i += kScatterLineBytes) _mm_clflush(p + i);
    _mm_mfence();
#else
    (void)data, (void)bytes;  // left in the caches: the calibration then favours neither much
#endif
}

// Which scatter passes over keys of type K the faster from memory: one pass
// of each over kCalibrationBytes of random keys by a digit of `bits` bits,
// the combining one with streaming stores. Source and destination are
// evicted from the caches first, and the destination once more within the
// timing, so that each pass reads and writes memory as a pass over an array
// larger than the caches does. Three rounds, the fastest of each kept (the
// first also faults the buffers in).
template <typename K>
[[gnu::noinline]] ScatterKind calibrate_scatter(unsigned bits) {
    static_assert(sizeof(K) >= 4, "calibrated on 32- and 64-bit keys");
    const std::size_t n = kCalibrationBytes / sizeof(K);
    const std::uint64_t buckets = std::uint64_t(1) << bits;
    constexpr unsigned kShift = 8;
    const K mask = K(buckets - 1) << kShift;
    Scratch<K> from(n), to(n);
    const std::span<K> src(from.get(), n), dst(to.get(), n);
    std::vector<std::uint64_t> hist(buckets);
    std::uint64_t r = 0x9E3779B97F4A7C15u;
    for (K& k : src) {
        r ^= r << 13, r ^= r >> 7, r ^= r << 17;
        k = static_cast<K>(r);
        ++hist[(k & mask) >> kShift];
    }
    std::vector<std::uint64_t> heads(buckets), ends(buckets);
    CombiningLines lines(buckets);
    double best[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (int round = 0; round < 3; ++round) {
        for (int kind = 0; kind < 2; ++kind) {
            bucket_heads(hist, heads);
            std::copy(heads.begin() + 1, heads.end(), ends.begin());
            ends.back() = n;
            evict_from_cache(src.data(), src.size_bytes());
            evict_from_cache(dst.data(), dst.size_bytes());
            const auto start = std::chrono::steady_clock::now();
            if (kind == 0) {
                scatter_run<K, false>(src.data(), src.data() + n, dst.data(), heads.data(), mask, kShift);
            } else {
                combining_scatter_by<K, true>(src, dst, heads, ends, lines,
                                              [mask](K k) { return (k & mask) >> kShift; });
            }
            evict_from_cache(dst.data(), dst.size_bytes());
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best[kind] = std::min(best[kind], took.count());
        }
    }
    return best[1] <= kCombiningMaxShare * best[0] ? ScatterKind::combining : ScatterKind::plain;
}

// The kind that TARVO_FASTSORT_SCATTER names, as a number: -1 none, else a
// ScatterKind.
[[gnu::noinline, gnu::cold]] inline int scatter_kind_from_environment() noexcept {
    const char* choice = std::getenv("TARVO_FASTSORT_SCATTER");
    if (choice == nullptr) return -1;
    if (std::strcmp(choice, "plain") == 0) return static_cast<int>(ScatterKind::plain);
    if (std::strcmp(choice, "combining") == 0) return static_cast<int>(ScatterKind::combining);
    return -1;
}

// The forced kind, read from the environment when the library is loaded:
// every pass asks, so it costs one load.
inline std::atomic<int> scatter_kind_override{scatter_kind_from_environment()};

}  // namespace detail

// The scatter forced on every pass ("plain", or "combining" wherever it can
// serve), if any: TARVO_FASTSORT_SCATTER names it for the process, and
// force_scatter_kind changes it (benchmarks compare both in one process).
inline std::optional<ScatterKind> forced_scatter_kind() noexcept {
    const int forced = detail::scatter_kind_override.load(std::memory_order_relaxed);
    if (forced < 0) return std::nullopt;
    return static_cast<ScatterKind>(forced);
}

inline void force_scatter_kind(std::optional<ScatterKind> kind) noexcept {
    detail::scatter_kind_override.store(kind ? static_cast<int>(*kind) : -1, std::memory_order_relaxed);
}

// The key width whose measured scatter serves elements of type T.
template <typename T>
using scatter_width_t = std::conditional_t<sizeof(T) <= 4, std::uint32_t, std::uint64_t>;

// What a scatter serves: a radix pass (256 buckets) or a parallel
// partition's block (a thousand buckets or so, more lines in flight).
enum class ScatterUse { radix_pass, partition };

// The faster scatter on this machine for keys of type K (u32 or u64) from
// memory, for a radix pass or a partition: measured once per process, key
// width and use, on the first scatter into a destination of
// kStreamingMinBytes or more (a few milliseconds). Without memory for the
// calibration the plain scatter stays.
template <typename K, ScatterUse kUse = ScatterUse::radix_pass>
ScatterKind measured_scatter_kind() {
    static const ScatterKind kind = [] {
        try {
            return detail::calibrate_scatter<K>(kUse == ScatterUse::partition ? kPartitionCalibrationBits
                                                                                : kRadixCalibrationBits);
        } catch (const std::bad_alloc&) {
            return ScatterKind::plain;
        }
    }();
    return kind;
}

namespace detail {

// scatter_from_end by the combining scatter, for a pass long enough to
// repay its part lines into a destination past the cache (the caller checks
// both), when the machine does it faster from memory and the heads describe
// buckets that tile the destination (they always do when they come from its
// histogram). TARVO_FASTSORT_SCATTER overrides all but the last condition.
// Returns false, having done nothing, when it does not apply or its tables
// find no memory. Kept out of line, so that the plain scatter's loops stay
// compact.
template <typename T>
[[gnu::noinline]] bool scatter_combining_from_end(std::span<const T> src, std::span<T> dst,
                                                  std::span<std::uint64_t> heads, key_t<T> mask, unsigned shift) {
    const std::uint64_t n = dst.size();
    const std::size_t buckets = heads.size();
    if (buckets == 0 || !combining_fits(dst.data())) return false;
    if (const std::optional<ScatterKind> forced = forced_scatter_kind()) {
        if (*forced == ScatterKind::plain) return false;
    } else if (measured_scatter_kind<scatter_width_t<T>>() != ScatterKind::combining) {
        return false;
    }
    std::vector<std::uint64_t> starts, ends;
    std::optional<CombiningLines> lines;
    try {
        starts.resize(buckets);
        ends.resize(buckets);
        lines.emplace(buckets);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::uint64_t previous = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        starts[b] = heads[b] + n;
        if (starts[b] < previous || starts[b] > n) return false;
        previous = starts[b];
        if (b > 0) ends[b - 1] = starts[b];
    }
    ends[buckets - 1] = n;
    combining_scatter<T>(src, dst, starts, ends, *lines, [mask, shift](key_t<T> k) { return (k & mask) >> shift; });
    for (std::size_t b = 0; b < buckets; ++b) heads[b] = ends[b] - n;
    return true;
}

}  // namespace detail

// Stable distribution of `src` into `dst` (same length) by the digit (key &
// mask) >> shift, with heads counted from the end of `dst`: heads[d] is the
// next destination of digit d minus dst.size() (modulo 2^64), as
// bucket_heads(hist, heads, dst.size()) writes them, and is advanced. Four
// elements per step: the four digits first, then the four destinations taken
// in element order, then the four stores.
//
// The array is lent: its keys may change between the histogram and this
// pass, so no destination is trusted. A destination inside `dst` is negative
// as a signed number, so one AND of four tells whether all four are inside.
// Long passes run in stretches without even that: when the largest head is
// s places from the end, the next s elements cannot take any head past it.
// The largest head is normally the last bucket's, which fills along the
// pass, so the stretches shrink; once one would be shorter than the bucket
// count, finding the largest head costs more than checking, and the rest of
// the pass checks. Empty buckets at the end start at the end: during the
// stretches they start at the destination's start instead (only a changed
// key reaches them) and must still be empty afterwards. A bucket that
// outgrows its count spills into the next bucket at worst, which
// check_scatter_filled() detects afterwards.
//
// Passes into a destination past the cache take the write-combining scatter
// instead where this machine does them faster that way (see
// scatter_combining_from_end); it places every element identically.
template <typename T>
void scatter_from_end(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads, key_t<T> mask,
                      unsigned shift) {
    check(src.size() == dst.size(), "scatter destination differs in length from its source");
    detail::check_digit_range<T>(mask, shift, heads.size());
    const T* s = src.data();
    T* const end = dst.data() + dst.size();
    std::uint64_t* h = heads.data();
    const std::size_t n = src.size();
    const std::size_t buckets = heads.size();
    const bool large = dst.size_bytes() >= kStreamingMinBytes && n >= buckets * kCombiningMinPerBucket;
    if ((large || forced_scatter_kind()) && detail::scatter_combining_from_end<T>(src, dst, heads, mask, shift)) return;
    if (n / kScatterStretchesMinRatio < buckets * buckets) {
        detail::scatter_run<T, true>(s, s + n, end, h, mask, shift);
        return;
    }
    const std::uint64_t start = 0 - static_cast<std::uint64_t>(n);  // the destination's start
    std::size_t trailing = buckets;  // the first of the empty buckets at the end
    while (trailing > 0 && h[trailing - 1] == 0) h[--trailing] = start;
    std::size_t i = 0;
    while (i < n) {
        const std::int64_t largest = detail::largest_head_from_end(heads);
        const std::uint64_t slack = largest < 0 ? static_cast<std::uint64_t>(-largest) : 0;
        if (slack < buckets) break;
        const std::size_t stop = i + std::min<std::uint64_t>(slack, n - i);
        detail::scatter_run<T, false>(s + i, s + stop, end, h, mask, shift);
        i = stop;
    }
    detail::scatter_run<T, true>(s + i, s + n, end, h, mask, shift);
    for (std::size_t b = trailing; b < buckets; ++b) {
        if (h[b] != start) [[unlikely]]
            fail(kScatterCountMismatch);
        h[b] = 0;
    }
}

// scatter_from_end with heads counted from the start of `dst`, as
// prefix_sums gives them.
template <typename T>
void scatter_by_digit(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads,
                      key_t<T> mask, unsigned shift) {
    const std::uint64_t n = dst.size();
    for (std::uint64_t& head : heads) head -= n;
    scatter_from_end<T>(src, dst, heads, mask, shift);
    for (std::uint64_t& head : heads) head += n;
}

// scatter_by_digit for a source that no other thread can write (a private
// copy) and whose histogram `heads` come from: the counts hold, so no head
// can leave the destination and nothing is checked.
template <typename T>
void scatter_counted(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads, key_t<T> mask,
                     unsigned shift) {
    check(src.size() == dst.size(), "scatter destination differs in length from its source");
    detail::check_digit_range<T>(mask, shift, heads.size());
    detail::scatter_run<T, false>(src.data(), src.data() + src.size(), dst.data(), heads.data(), mask, shift);
}

// After a scatter whose heads started as `starts`: each head must have
// reached the start of the next bucket (the last one `end`, the
// destination's end in the heads' counting), which holds exactly when every
// destination position was written once.
inline void check_scatter_filled(std::span<const std::uint64_t> starts, std::span<const std::uint64_t> heads,
                                 std::uint64_t end) {
    const std::size_t buckets = heads.size();
    if (buckets == 0) return;
    std::uint64_t differs = heads[buckets - 1] ^ end;
    for (std::size_t b = 0; b + 1 < buckets; ++b) differs |= heads[b] ^ starts[b + 1];
    if (differs != 0) [[unlikely]]
        fail(kScatterCountMismatch);
}

}  // namespace tfs
