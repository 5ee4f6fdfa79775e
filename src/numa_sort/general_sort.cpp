#include "numa_sort/general_sort.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "engine/failure.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/drop_merge_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/order_scan.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/parallel_split_sort.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/sorts/simd_dispatch.hpp"
#include "numa_sort/few_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/partition_choice.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/simd_sort.hpp"

namespace tfs::general {
namespace {

// 8-bit lanes from this length are counted (256 counters); shorter ones are
// comparison-sorted.
constexpr std::size_t kCounting8MinLength = 64;
// 16-bit lanes from this length are counted: below it, clearing and walking
// 65536 counters costs more than two 8-bit LSD passes.
constexpr std::size_t kCounting16MinLength = std::size_t(1) << 15;
// 16-bit lanes below this length are comparison-sorted.
constexpr std::size_t kNarrowComparisonMax = 256;
// Lanes of at least this many bytes per worker are partitioned over the
// workers: below it, one thread's SIMD quicksort beats the partition's extra
// passes and hand-offs. With the fine shape (two workers: 512 KiB, u32 lanes
// from 131,072 keys) ...
constexpr std::size_t kParallelMinBytesPerWorker = std::size_t(256) << 10;
// ... and with the coarse shape, chosen where a scatter into many buckets
// costs much: its buckets are sorted out of cache, which saves less.
constexpr std::size_t kParallelCoarseMinBytesPerWorker = std::size_t(1) << 20;
// ... and where the lanes are split around pivots instead (Zen 4, two
// threads, split over one thread's time: 560 KB of keys 0.71 to 1.08, 800 KB
// 0.67 to 0.89, 1.2 to 2 MB 0.60 to 0.71; the coarse shape's cut-off had
// left them to one thread).
constexpr std::size_t kParallelSplitMinBytesPerWorker = std::size_t(384) << 10;
// Lanes of at least this many elements are sampled for few keys: on
// shorter ones the sample and its sort, a few microseconds, cost more than
// the count saves. Each piece counted is at least this long.
constexpr std::size_t kFewKeysSortMinLength = std::size_t(1) << 16;
// Pieces per worker at most, taken in turn by whichever worker is free: a
// worker woken after a pause may run at half speed for its first
// millisecond (see kParallelMsdBlocksPerWorker).
constexpr std::size_t kFewKeysPiecesPerWorker = 4;
// Integer lanes with fewer keys than this, or more than kVectorPatterns,
// are counted only where two workers share the count: on one, the SIMD
// quicksort splits them as fast (Zen 3, u32 at 1e6: two keys 0.40 against
// the count's 0.64 ns a key, four 0.69 against 0.68, eight 0.93 against
// 0.86, sixteen 1.28 against 1.35).
constexpr std::size_t kFewIntegerKeysAloneMin = 5;
// Lanes that two workers would share, whose sample shows fewer bits of
// entropy per key than this, are sorted on one: the SIMD sort's time grows
// by about a pass per bit, so the split or partition pass and two sorts that
// contend for memory save next to nothing there, and a worker woken after a
// pause costs the rest (Zen 4, u32 and u64 of 2^k values at 1e6 and 1e7:
// two workers took 0.9 to 1.3 times one's time for k of 5 and 6, 0.65 to
// 0.85 from k of 8; Zipf with exponent 3, about 1 bit, 1.2 to 1.5 times at
// 1e6). With more workers the pass is shared by more.
constexpr double kParallelMinEntropyBits = 8.0;
constexpr std::size_t kEntropyRuleMaxWorkers = 2;
// Keys sampled for that entropy.
constexpr std::size_t kEntropySample = 255;
// Bit patterns of +infinity: above them (sign bit aside) lie the NaNs.
constexpr std::uint16_t kHalfInfinity = 0x7c00;
constexpr std::uint32_t kFloatInfinity = 0x7f800000;
constexpr std::uint64_t kDoubleInfinity = 0x7ff0000000000000;
// NaT, the smallest int64, which NumPy sorts last.
constexpr std::int64_t kNotATime = std::numeric_limits<std::int64_t>::min();

// Runs `task(i)` for i in [0, n) with at most `workers` at once.
struct Runner {
    std::size_t workers;
    void operator()(std::size_t n, const std::function<void(std::size_t)>& task) const {
        pool::capped_parallel_for(workers, n, task);
    }
};

// Whether a lane of n elements of `size` bytes is split over the workers.
// The partition's shape is measured the first time a lane might be.
bool parallel(std::size_t n, std::size_t size, std::size_t workers) {
    if (workers < 2 || n < kParallelMsdMinLength || n * size < kParallelMinBytesPerWorker * workers) return false;
    const PartitionCalibration& calibration = partition_calibration();
    if (calibration.split) return n * size >= kParallelSplitMinBytesPerWorker * workers;
    return calibration.shape == PartitionShape::fine || n * size >= kParallelCoarseMinBytesPerWorker * workers;
}

// What the last sort_lanes() call on this thread did, for benchmarks.
thread_local const char* t_last_path = "none";

// Rewrites every element in place with `transform`.
template <typename U, typename Transform>
void transform_all(std::span<U> keys, Transform transform) {
    for (U& k : keys) k = transform(k);
}

// Puts `words` in key order when they are in key order, or in reverse key
// order, throughout (reversing them), and says whether it did. The scans
// stop at the first step the other way, so on other words they cost next to
// nothing; they read keys through the map, so words need not be keys yet.
// Equal keys are equal words, so a reversal keeps the order of ties. Every
// sort below that says "unsettled" takes words this found neither: it does
// not scan for order again, a pass over most of a sorted lane with a few
// keys appended.
template <KeyMap M, typename U>
bool settle_monotone(std::span<U> words) {
    if (in_key_order<M>(std::span<const U>(words))) return true;
    if (!in_key_order<M, Direction::descending>(std::span<const U>(words))) return false;
    std::reverse(words.begin(), words.end());
    return true;
}

// Whether a lane that `workers` would share is sorted as fast by one, as
// its sample's entropy shows (see kParallelMinEntropyBits). A key seen c > 1
// times among the s sampled adds (c / s) log2(s / c) bits; a key seen once
// is taken as one of the lane's distinct keys, adding log2(n) / s. Only
// equality counts, so any type's bits serve. Where it says so, the path
// recorded for benchmarks is "one thread".
template <typename U>
bool low_entropy(std::span<const U> words, std::size_t workers) {
    const std::size_t n = words.size();
    if (workers > kEntropyRuleMaxWorkers || n < kEntropySample) return false;
    std::array<U, kEntropySample> sample;
    for (std::size_t i = 0; i < kEntropySample; ++i) sample[i] = words[(2 * i + 1) * n / (2 * kEntropySample)];
    std::sort(sample.begin(), sample.end());
    constexpr double s = kEntropySample;
    double bits = 0;
    for (std::size_t i = 0, j = 0; i < kEntropySample; i = j) {
        while (j < kEntropySample && sample[j] == sample[i]) ++j;
        const double c = static_cast<double>(j - i);
        bits += c == 1 ? std::log2(static_cast<double>(n)) / s : c / s * std::log2(s / c);
    }
    if (bits >= kParallelMinEntropyBits) return false;
    t_last_path = "one thread";
    return true;
}

// Unsigned keys, or signed values as they are, unsettled, on the calling
// thread: nearly sorted ones are drop-merge sorted, the rest go to the SIMD
// quicksort, which takes signed values without the passes that rewrite them
// into keys and back.
template <typename T>
void sort_unsettled_piece(std::span<T> values) {
    if (drop_merge_sort<T>(values, [](std::span<T> side) { simd_sort(side); })) return;
    simd_sort(values);
}

// Sorts unsigned keys on the calling thread: keys in order or in reverse
// order throughout cost a scan; the rest as sort_unsettled_piece.
template <typename U>
void sort_piece(std::span<U> keys) {
    if (settle_monotone<KeyMap::plain>(keys)) return;
    sort_unsettled_piece(keys);
}

// Where the partition finds no digit that splits the keys well (many
// repeats, clusters), the keys are split around pivots instead, each side
// sorted by its share of the workers.
template <typename T, typename SortPiece>
auto split_sort(std::size_t workers, SortPiece sort_piece) {
    return [workers, sort_piece](std::span<T> whole) {
        t_last_path = "split";
        parallel_split_sort<T>(
            whole, workers, sort_piece, [](std::span<T> keys, T pivot) { return simd_split(keys, pivot); },
            Runner{workers});
    };
}

// Unsigned 32- and 64-bit keys, or signed values as they are, unsettled: on
// one thread, or with several, the parallel partition into `scratch` (held
// by the caller since before any element moved).
template <typename T>
void sort_unsettled(std::span<T> values, std::size_t workers, key_t<T>* scratch) {
    if (scratch == nullptr) return sort_unsettled_piece(values);
    const PartitionCalibration& calibration = partition_calibration();
    sort_or_heap_sort(values, [&](std::span<T> s) {
        parallel_msd_sort<T>(s, std::span<T>(reinterpret_cast<T*>(scratch), s.size()), workers,
                             sort_unsettled_piece<T>, Runner{workers},
                             calibration.split ? PartitionShape::pivots : calibration.shape,
                             split_sort<T>(workers, sort_unsettled_piece<T>));
    });
}

// Unsigned 32- and 64-bit keys, as sort_unsettled once settled.
template <typename U>
void sort_keys(std::span<U> keys, std::size_t workers, U* scratch) {
    if (settle_monotone<KeyMap::plain>(keys)) return;
    sort_unsettled(keys, workers, scratch);
}

// A lane whose sample holds at most kCountPatterns distinct bit patterns,
// each seen often, counted where `worth(keys, shared)` says so for that
// many keys, counted by several workers or not: each piece is read once,
// a register of elements compared with each pattern (AVX2), any other
// element's key kept aside (the tail); the tail is sorted on its own; then
// each piece's stretch of the result is written, runs of each pattern with
// the tail's keys between them in order. The SIMD quicksort slows on
// floats that repeat; on integers it keeps pace with one worker's count
// for two to four keys and for nine to sixteen (see
// kFewIntegerKeysAloneMin). `to_key` maps an element's bits to a key in the
// lane's order (totalOrder for floats) and `from_key` back. Returns false,
// having written nothing, where the sample shows other keys, the tail would
// hold more than its share of a piece, or memory for it cannot be had. Each
// element is read once, so a writer meanwhile changes only what is counted.
template <typename U, typename Worth, typename ToKey, typename FromKey>
bool sort_few_keys(std::span<U> words, std::size_t workers, Worth worth, ToKey to_key, FromKey from_key) {
    const std::size_t n = words.size();
    if (n < kFewKeysSortMinLength || !avx2_enabled()) return false;
    std::array<U, kFewKeysSample> sampled;  // as they are
    std::array<U, kFewKeysSample> sample;   // their keys
    for (std::size_t s = 0; s < kFewKeysSample; ++s) {
        sampled[s] = words[(2 * s + 1) * n / (2 * kFewKeysSample)];
        sample[s] = to_key(sampled[s]);
    }
    const std::optional<std::size_t> keys = few_sampled_keys(sample);
    if (!keys || *keys > kCountPatterns) return false;  // as many patterns at least
    const std::size_t pieces =
        std::clamp<std::size_t>(n / kFewKeysSortMinLength, 1, workers * kFewKeysPiecesPerWorker);
    if (!worth(*keys, workers > 1 && pieces > 1)) return false;
    const KeyTable<U> table(std::span<const U>(sample.data(), *keys));
    const std::optional<PatternSlots<U>> patterns =
        frequent_patterns(sampled, [&](U p) { return table.slot(to_key(p)); }, kCountPatterns);
    if (!patterns || patterns->covered < kFewKeysSample) return false;

    const auto start = [&](std::size_t p) { return n * p / pieces; };
    // Each piece's tail in its share of the buffer: [start / d, end / d).
    const std::unique_ptr<U[]> tail(new (std::nothrow) U[n / kFewKeysTailMaxDivisor + 1]);
    if (!tail) return false;
    constexpr std::size_t stride = std::size_t(kTailSlot) + 1;
    std::vector<std::uint64_t> counts(pieces * stride);
    std::vector<std::size_t> found(pieces);
    std::atomic<bool> full{false};
    Runner{workers}(pieces, [&](std::size_t p) {
        const std::size_t begin = start(p), end = start(p + 1);
        U* kept = tail.get() + begin / kFewKeysTailMaxDivisor;
        const std::size_t room = end / kFewKeysTailMaxDivisor - begin / kFewKeysTailMaxDivisor;
        std::size_t count = 0;
        count_by_patterns<U>(reinterpret_cast<const char*>(words.data()), begin, end, *patterns,
                             counts.data() + p * stride, [&](std::size_t, U w) {
                                 const U k = to_key(w);
                                 const std::uint8_t s = table.slot(k);
                                 if (s == kTailSlot) {
                                     if (count < room) kept[count] = k;
                                     ++count;  // past the room: given up below
                                 }
                                 return s;
                             });
        found[p] = count;
        if (count > room) full = true;
    });
    if (full) return false;

    std::array<std::uint64_t, stride> totals{};
    for (std::size_t p = 0; p < pieces; ++p)
        for (std::size_t s = 0; s < stride; ++s) totals[s] += counts[p * stride + s];
    std::size_t m = 0;
    for (std::size_t p = 0; p < pieces; ++p) {
        std::memmove(tail.get() + m, tail.get() + start(p) / kFewKeysTailMaxDivisor, found[p] * sizeof(U));
        m += found[p];
    }
    check(m == totals[kTailSlot], "tail counts differ");
    const std::span<U> tail_keys(tail.get(), m);
    sort_keys<U>(tail_keys, 1, nullptr);

    // The result as stretches: runs of one key, and the tail's keys in order
    // between them.
    struct Stretch {
        std::size_t at, length;
        bool run;
        U key;             // a run's
        std::size_t from;  // a stretch of the tail's first key
    };
    std::vector<Stretch> stretches;
    std::size_t at = 0, j = 0;
    const auto tail_below = [&](std::size_t to) {
        if (to > j) stretches.push_back({at, to - j, false, U{}, j});
        at += to - j;
        j = to;
    };
    for (std::size_t s = 0; s < table.size(); ++s) {
        const U key = table.key(s);
        tail_below(static_cast<std::size_t>(std::lower_bound(tail_keys.begin() + j, tail_keys.end(), key) -
                                            tail_keys.begin()));
        if (totals[s] > 0) stretches.push_back({at, totals[s], true, key, 0});
        at += totals[s];
    }
    tail_below(m);
    check(at == n, "counts differ from the lane length");
    t_last_path = "few keys";
    Runner{workers}(pieces, [&](std::size_t p) {
        const std::size_t begin = start(p), end = start(p + 1);
        for (const Stretch& r : stretches) {
            const std::size_t lo = std::max(begin, r.at), hi = std::min(end, r.at + r.length);
            if (lo >= hi) continue;
            if (r.run) {
                std::fill(words.begin() + lo, words.begin() + hi, from_key(r.key));
            } else {
                const U* source = tail.get() + r.from + (lo - r.at);
                for (std::size_t i = lo; i < hi; ++i) words[i] = from_key(*source++);
            }
        }
    });
    return true;
}

// Sorts words by the order-preserving key map M (to_key, undone by
// from_key): words in key order, or in reverse, throughout are settled
// without rewriting; on one thread `sort_native(words)` then sorts them as
// they are where it can (it says whether it did); others are rewritten into
// keys, sorted as unsigned keys, rewritten back. The rewrites run on the
// workers when the sort does. Nearly sorted words, which the partition would
// leave to one worker, take the one-thread way without the rewrites.
template <KeyMap M, typename U, typename ToKey, typename FromKey, typename SortNative>
void sort_mapped(std::span<U> words, std::size_t workers, U* scratch, ToKey to_key, FromKey from_key,
                 SortNative sort_native) {
    if (settle_monotone<M>(words)) return;
    if (scratch != nullptr && workers < kParallelMergeMinWorkers &&
        tfs::detail::looks_nearly_sorted(std::span<const U>(words), to_key))
        scratch = nullptr;
    if (scratch != nullptr && low_entropy(std::span<const U>(words), workers)) scratch = nullptr;
    if (scratch == nullptr && sort_native(words)) return;
    if (scratch == nullptr) {
        transform_all(words, to_key);
        sort_unsettled_piece(words);
        transform_all(words, from_key);
        return;
    }
    keyed_sort_with(
        words, to_key, from_key, [&](std::span<U> keys) { sort_unsettled<U>(keys, workers, scratch); },
        Runner{workers});
}

// u32, i32, u64, i64 (and the int64 of times). Signed values are sorted as
// they are: the SIMD sort takes them, and the partition reads them through
// their keys, so neither needs passes that rewrite them.
template <typename T>
void sort_wide_integers(std::span<T> slice, std::size_t workers, key_t<T>* scratch) {
    using U = key_t<T>;
    const std::span<U> words(reinterpret_cast<U*>(slice.data()), slice.size());
    constexpr KeyMap map = std::is_signed_v<T> ? KeyMap::sign_flip : KeyMap::plain;
    if (settle_monotone<map>(words)) return;
    constexpr U flip = std::is_signed_v<T> ? kSignBit<U> : U{0};
    const auto worth = [](std::size_t keys, bool shared) {
        return shared || (keys >= kFewIntegerKeysAloneMin && keys <= kVectorPatterns);
    };
    if (sort_few_keys(words, workers, worth, [](U w) { return U(w ^ flip); }, [](U k) { return U(k ^ flip); }))
        return;
    if (scratch != nullptr && low_entropy(std::span<const U>(words), workers)) scratch = nullptr;
    sort_unsettled(slice, workers, scratch);
}

// 8- and 16-bit integers and the keys of halves: short lanes sorted in a
// private copy on the stack, 16-bit lanes of middle length by two 8-bit LSD
// passes, the rest counted. One thread.
template <typename T>
void sort_narrow_integers(std::span<T> slice) {
    constexpr unsigned bits = Radixable<T>::bits;
    constexpr std::size_t stack_max = bits == 8 ? kCounting8MinLength : kNarrowComparisonMax;
    if (slice.size() < stack_max) {
        T local[stack_max];  // no zeroing: only the first n are used, all written
        std::copy(slice.begin(), slice.end(), local);
        std::sort(local, local + slice.size());
        std::copy(local, local + slice.size(), slice.begin());
        return;
    }
    sort_or_heap_sort(slice, [](std::span<T> s) {
        if (bits == 16 && s.size() < kCounting16MinLength)
            lsd_sort<T>(s, RadixParams{0, 8, 0, 2, 256});
        else
            counting_sort<T>(s, bits);
    });
}

// After a sort in total order, NaNs with the sign bit set lead and the
// others trail; moves the leading ones to just before the trailing ones, so
// that every NaN is last (in total order among themselves).
template <typename U>
void move_nans_last(std::span<U> bits, U infinity) {
    const auto is_nan = [infinity](U b) { return U(b & ~kSignBit<U>) > infinity; };
    const auto is_negative_nan = [&](U b) { return (b & kSignBit<U>) != 0 && is_nan(b); };
    std::size_t leading = 0;
    while (leading < bits.size() && is_negative_nan(bits[leading])) ++leading;
    if (leading == 0) return;
    std::size_t end = bits.size();
    while (end > leading && is_nan(bits[end - 1])) --end;
    std::rotate(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(leading),
                bits.begin() + static_cast<std::ptrdiff_t>(end));
}

// Where sort_floats_by_value() may put NaNs: last, or nowhere.
enum class NanPlacement { last, refuse };

// What a lane of floats holds that the SIMD sort does not keep: NaNs (it
// may rewrite their bit patterns) and the signs of zeros (its minima and
// maxima may return either of two equal zeros). Stops within a stretch of
// the first NaN.
struct FloatSurvey {
    bool nan = false;
    std::size_t negative_zeros = 0;
};

// A lane's survey with the compiler's vector types of `Bytes` bytes:
// vector compares, which a scalar loop does not become while comparisons may
// trap. Sixteen bytes serve the baseline x86-64 and NEON.
template <typename F, std::size_t Bytes>
[[gnu::always_inline]] inline FloatSurvey survey_floats_by(std::span<const F> values) {
    using U = float_key_t<F>;
    typedef F Vector __attribute__((vector_size(Bytes)));
    using Mask = decltype(Vector{} != Vector{});
    constexpr std::size_t kLanes = Bytes / sizeof(F);
    constexpr std::size_t kStretch = 1024;
    const std::size_t n = values.size();
    Mask unordered{}, zero{};
    const auto any = [](Mask m) {
        for (std::size_t k = 0; k < kLanes; ++k)
            if (m[k] != 0) return true;
        return false;
    };
    std::size_t i = 0;
    while (n - i >= kLanes && !any(unordered)) {
        const std::size_t end = i + std::min(kStretch, (n - i) / kLanes * kLanes);
        for (; i < end; i += kLanes) {
            Vector v;
            std::memcpy(&v, values.data() + i, sizeof v);
            unordered |= v != v;
            zero |= v == Vector{};
        }
    }
    FloatSurvey survey;
    survey.nan = any(unordered);
    bool zeros = any(zero);
    for (; i < n && !survey.nan; ++i) {
        survey.nan = values[i] != values[i];
        zeros |= values[i] == F(0);
    }
    if (zeros && !survey.nan) {  // rare: then which of them are -0.0
        for (const F v : values) survey.negative_zeros += std::bit_cast<U>(v) == kSignBit<U>;
    }
    return survey;
}

#if defined(__x86_64__)
// A register of 64 bytes at a time (Zen 4, f64 at 1e5, one thread: the
// survey was 7% of the sort's time with sixteen).
template <typename F>
[[gnu::target("avx512f")]] FloatSurvey survey_floats_avx512(std::span<const F> values) {
    return survey_floats_by<F, 64>(values);
}
#endif

template <typename F>
FloatSurvey survey_floats(std::span<const F> values) {
#if defined(__x86_64__)
    if (avx512_enabled()) return survey_floats_avx512(values);
#endif
    return survey_floats_by<F, 16>(values);
}

// survey_floats over `workers` pieces at once, for a lane the workers then
// sort: the survey is a pass from memory, which a second thread speeds up.
template <typename F>
FloatSurvey survey_floats(std::span<const F> values, std::size_t workers) {
    const std::size_t pieces = std::clamp<std::size_t>(values.size() / kFewKeysSortMinLength, 1, workers);
    if (pieces == 1) return survey_floats(values);
    std::vector<FloatSurvey> surveys(pieces);
    Runner{workers}(pieces, [&](std::size_t p) {
        const std::size_t begin = values.size() * p / pieces, end = values.size() * (p + 1) / pieces;
        surveys[p] = survey_floats(values.subspan(begin, end - begin));
    });
    FloatSurvey all;
    for (const FloatSurvey& s : surveys) {
        all.nan |= s.nan;
        all.negative_zeros += s.negative_zeros;
    }
    return all;
}

// After a sort by value, the zeros stand together: writes `negative` of
// them as -0.0 and the rest as +0.0, as the total order has them.
template <typename F>
void restore_zeros(std::span<F> values, std::size_t negative) {
    const auto [first, last] = std::equal_range(values.begin(), values.end(), F(0));
    const auto split = first + static_cast<std::ptrdiff_t>(std::min<std::size_t>(negative, last - first));
    std::fill(first, split, F(-0.0));
    std::fill(split, last, F(0.0));
}

// Floats by value on the calling thread, where that gives the total order:
// unless nearly sorted (which drop-merge sort takes as keys), the SIMD sort
// takes them without the passes that rewrite them into keys and back; the
// zeros' signs are put back afterwards. With NaNs, where the quicksort
// sorts these floats faster than their keys (as measured; also where the
// choice was forced), the NaNs go behind the numbers first and are sorted
// as keys among themselves, as the total order has them once moved last: a
// pass that costs less than the two rewrites (f64 with 1% NaNs, one thread,
// Zen 3: 14.7 against 17.5 ns a key at 1e7; f32, where the u32 quicksort
// wins, 8.3 against 7.0). That is for a whole lane (NanPlacement::last); a
// piece of a lane in totalOrder with NaNs is left to the caller (refuse).
template <typename F>
bool sort_floats_by_value(std::span<F> values, NanPlacement nans) {
    using U = float_key_t<F>;
    const std::span<const F> view(values);
    if (tfs::detail::looks_nearly_sorted(view)) return false;
    FloatSurvey survey = survey_floats(view);
    std::span<F> numbers = values;
    if (survey.nan) {
        if (nans == NanPlacement::refuse) return false;
        const double by_value = simd_sort_ns<F>(values.size());
        if (by_value != 0 && by_value >= simd_sort_ns<U>(values.size())) return false;
        // One pass: the numbers to the front, counting -0.0 on the way.
        std::size_t front = 0;
        survey.negative_zeros = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const F v = values[i];
            survey.negative_zeros += std::bit_cast<U>(v) == kSignBit<U>;
            if (v == v) std::swap(values[front++], values[i]);
        }
        numbers = values.first(front);
        const std::span<U> nans(reinterpret_cast<U*>(values.data()) + front, values.size() - front);
        transform_all(nans, [](U b) { return float_to_key(b); });
        simd_sort(nans);
        transform_all(nans, [](U k) { return key_to_float(k); });
    }
    simd_sort(numbers);
    restore_zeros(numbers, survey.negative_zeros);
    return true;
}

// Floats whose values repeat, on fewer workers than a merge needs: split
// around pivots by value, as the quicksort takes them, where the partition
// would rewrite them into keys and back first, two passes that cost more
// than the split saves on such keys (Zipf f64 at 1e7 on two threads: 1.05
// to 1.21 of one thread's time). Without NaNs only; says whether it did.
template <typename F>
bool split_floats_by_value(std::span<F> values, std::size_t workers) {
    const std::size_t n = values.size();
    if (workers < 2 || workers >= kParallelMergeMinWorkers || n < kParallelSplitMinLength) return false;
    std::array<F, kParallelSplitSample> sample;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        sample[i] = values[(2 * i + 1) * n / (2 * sample.size())];
        if (sample[i] != sample[i]) return false;
    }
    std::sort(sample.begin(), sample.end());
    if (!tfs::detail::keys_repeat(tfs::detail::distinct_keys(sample), sample.size())) return false;
    const std::span<const F> view(values);
    if (tfs::detail::looks_nearly_sorted(view)) return false;
    const FloatSurvey survey = survey_floats(view, workers);
    if (survey.nan) return false;
    t_last_path = "split";
    parallel_split_sort<F>(
        values, workers, [](std::span<F> side) { simd_sort(side); },
        [](std::span<F> keys, F pivot) { return simd_split(keys, pivot); }, Runner{workers});
    restore_zeros(values, survey.negative_zeros);
    return true;
}

// A piece of a float lane into totalOrder, on the calling thread: by value
// where it holds no NaN (every piece but the outermost, where NaNs lie in
// totalOrder), else rewritten into keys and back.
template <typename F>
void sort_float_piece(std::span<F> values) {
    using U = float_key_t<F>;
    if (sort_floats_by_value(values, NanPlacement::refuse)) return;
    float_key_sort_with(values, [](std::span<U> keys) { sort_piece(keys); }, Runner{1});
}

// f32, f64: sorted in totalOrder, then NaNs moved last. With several
// workers, where partition_floats_by_value<F>() says so, the partition
// reads the floats through their keys and moves them as they are, and
// sorts its pieces by value: no passes that rewrite the lane into keys and
// back. Lanes that no digit splits well are then rewritten into keys and
// split around pivots.
template <typename F>
void sort_floats(std::span<F> slice, std::size_t workers, float_key_t<F>* scratch, float_key_t<F> infinity) {
    using U = float_key_t<F>;
    const std::span<U> bits(reinterpret_cast<U*>(slice.data()), slice.size());
    if (settle_monotone<KeyMap::float_total>(bits)) return move_nans_last(bits, infinity);
    const auto always = [](std::size_t, bool) { return true; };
    if (sort_few_keys(bits, workers, always, [](U b) { return float_to_key(b); }, [](U k) { return key_to_float(k); }))
        return move_nans_last(bits, infinity);
    if (scratch != nullptr) {
        if (split_floats_by_value(slice, workers)) return;
        if (!partition_calibration().split && partition_floats_by_value<F>()) {
            const auto split_as_keys = [workers](std::span<F> values) {
                float_key_sort_with(values, split_sort<U>(workers, sort_piece<U>), Runner{workers});
            };
            sort_or_heap_sort(slice, [&](std::span<F> s) {
                parallel_msd_sort<F>(s, std::span<F>(reinterpret_cast<F*>(scratch), s.size()), workers,
                                     sort_float_piece<F>, Runner{workers}, partition_calibration().shape,
                                     split_as_keys);
            });
            return move_nans_last(bits, infinity);
        }
    }
    sort_mapped<KeyMap::float_total, U>(
        bits, workers, scratch, [](U b) { return float_to_key(b); }, [](U k) { return key_to_float(k); },
        [slice](std::span<U>) { return sort_floats_by_value(slice, NanPlacement::last); });
    move_nans_last(bits, infinity);
}

// Memory for one lane's parallel sort, taken before any element moves.
struct LaneScratch {
    std::optional<Scratch<std::uint64_t>> words;

    LaneScratch(Element element, std::size_t n, std::size_t workers) {
        const std::size_t bytes = n * element_size(element);
        // 8- and 16-bit lanes are counted on one thread.
        if (element_size(element) < 4 || !parallel(n, element_size(element), workers)) return;
        words.emplace((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    }
    template <typename T>
    T* as() const {
        return words ? reinterpret_cast<T*>(words->get()) : nullptr;
    }
};

// The n elements at `data` as T.
template <typename T>
std::span<T> lane_of(char* data, std::size_t n) {
    return std::span<T>(reinterpret_cast<T*>(data), n);
}

// Sorts one contiguous, aligned lane of n elements at `data`.
void sort_lane(Element element, char* data, std::size_t n, std::size_t workers, const LaneScratch& scratch) {
    switch (element) {
        case Element::u8: return sort_narrow_integers(lane_of<std::uint8_t>(data, n));
        case Element::i8: return sort_narrow_integers(lane_of<std::int8_t>(data, n));
        case Element::u16: return sort_narrow_integers(lane_of<std::uint16_t>(data, n));
        case Element::i16: return sort_narrow_integers(lane_of<std::int16_t>(data, n));
        case Element::u32:
            return sort_wide_integers(lane_of<std::uint32_t>(data, n), workers, scratch.as<std::uint32_t>());
        case Element::i32:
            return sort_wide_integers(lane_of<std::int32_t>(data, n), workers, scratch.as<std::uint32_t>());
        case Element::u64:
            return sort_wide_integers(lane_of<std::uint64_t>(data, n), workers, scratch.as<std::uint64_t>());
        case Element::i64:
            return sort_wide_integers(lane_of<std::int64_t>(data, n), workers, scratch.as<std::uint64_t>());
        case Element::time64: {
            const std::span<std::int64_t> times = lane_of<std::int64_t>(data, n);
            sort_wide_integers(times, workers, scratch.as<std::uint64_t>());
            std::size_t leading = 0;
            while (leading < n && times[leading] == kNotATime) ++leading;
            std::rotate(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(leading), times.end());
            return;
        }
        case Element::f16: {
            const std::span<std::uint16_t> bits = lane_of<std::uint16_t>(data, n);
            transform_all(bits, [](std::uint16_t b) { return float_to_key(b); });
            sort_narrow_integers(bits);
            transform_all(bits, [](std::uint16_t k) { return key_to_float(k); });
            move_nans_last(bits, kHalfInfinity);
            return;
        }
        case Element::f32:
            return sort_floats(lane_of<float>(data, n), workers, scratch.as<std::uint32_t>(), kFloatInfinity);
        case Element::f64:
            return sort_floats(lane_of<double>(data, n), workers, scratch.as<std::uint64_t>(), kDoubleInfinity);
    }
    fail("unknown element type");
}

// Runs body(t) for every t in [0, tasks), on the pool when more than one.
void run_tasks(std::size_t tasks, const std::function<void(std::size_t)>& body) {
    if (tasks <= 1)
        body(0);
    else
        pool::parallel_for(tasks, body);
}

}  // namespace

std::size_t element_size(Element element) {
    switch (element) {
        case Element::u8:
        case Element::i8: return 1;
        case Element::u16:
        case Element::i16:
        case Element::f16: return 2;
        case Element::u32:
        case Element::i32:
        case Element::f32: return 4;
        case Element::u64:
        case Element::i64:
        case Element::f64:
        case Element::time64: return 8;
    }
    fail("unknown element type");
}

const char* last_sort_path() { return t_last_path; }

void sort_lanes(Element element, const Lanes& lanes, std::size_t workers) {
    check(lanes.outer_dims.size() == lanes.outer_strides.size(), "lane dimensions and strides differ in number");
    std::size_t count = 1;
    for (std::size_t d : lanes.outer_dims) count *= d;
    const std::size_t n = lanes.length;
    t_last_path = "one thread";
    if (count == 0 || n < 2) return;
    workers = std::max<std::size_t>(workers, 1);
    const std::size_t size = element_size(element);

    // Lane i's start: its index spelled in the outer dimensions, last fastest.
    const auto lane_start = [&](std::size_t i) {
        char* start = lanes.data;
        for (std::size_t d = lanes.outer_dims.size(); d-- > 0;) {
            start += static_cast<std::ptrdiff_t>(i % lanes.outer_dims[d]) * lanes.outer_strides[d];
            i /= lanes.outer_dims[d];
        }
        return start;
    };
    const auto in_place = [&](const char* start) {
        return lanes.stride == static_cast<std::ptrdiff_t>(size) && reinterpret_cast<std::uintptr_t>(start) % size == 0;
    };
    bool every_lane_in_place = in_place(lanes.data);
    for (std::size_t d = 0; d < lanes.outer_strides.size(); ++d)
        every_lane_in_place &= lanes.outer_dims[d] == 1 || lanes.outer_strides[d] % static_cast<std::ptrdiff_t>(size) == 0;

    // One worker per lane when there are several; a single lane gets them all.
    const std::size_t lane_workers = count == 1 ? workers : 1;
    const std::size_t tasks = std::min(workers, count);
    const LaneScratch scratch(element, n, lane_workers);
    t_last_path = tasks > 1                     ? "lanes over the threads"
                  : !scratch.words              ? "one thread"
                  : partition_calibration().split                          ? "split"
                  : partition_calibration().shape == PartitionShape::fine ? "partition, fine"
                                                                          : "partition, coarse";
    std::unique_ptr<std::uint64_t[]> copies;  // one lane per task, never initialised
    const std::size_t copy_words = (n * size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
    if (!every_lane_in_place) copies.reset(new std::uint64_t[copy_words * tasks]);

    std::atomic<std::size_t> next{0};
    run_tasks(tasks, [&](std::size_t t) {
        for (std::size_t i = next++; i < count; i = next++) {
            char* start = lane_start(i);
            if (in_place(start)) {
                sort_lane(element, start, n, lane_workers, scratch);
                continue;
            }
            char* copy = reinterpret_cast<char*>(copies.get() + t * copy_words);
            for (std::size_t k = 0; k < n; ++k)
                std::memcpy(copy + k * size, start + static_cast<std::ptrdiff_t>(k) * lanes.stride, size);
            sort_lane(element, copy, n, lane_workers, scratch);
            for (std::size_t k = 0; k < n; ++k)
                std::memcpy(start + static_cast<std::ptrdiff_t>(k) * lanes.stride, copy + k * size, size);
        }
    });
}

void sort_words(std::span<std::uint64_t> words, std::size_t workers, std::uint64_t* scratch) {
    sort_keys<std::uint64_t>(words, workers, workers > 1 && parallel(words.size(), sizeof(std::uint64_t), workers)
                                                 ? scratch
                                                 : nullptr);
}

}  // namespace tfs::general
