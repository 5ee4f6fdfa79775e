#include "numa_sort/argsort.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/failure.hpp"
#include "engine/algo/k_way_merge.hpp"
#include "engine/sorts/drop_merge_sort.hpp"
#include "engine/sorts/order_scan.hpp"
#include "engine/sorts/scratch_cache.hpp"
#include "engine/sorts/simd_dispatch.hpp"
#include "engine/sorts/utils.hpp"
#include "engine/sorts/write_combining_scatter.hpp"
#include "numa_sort/few_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/simd_sort.hpp"
#include "numa_sort/simd_sort_128.hpp"

namespace tfs::general {
namespace {

// 8-bit lanes from this length are counted (256 counters); shorter ones sort
// (key, index) words.
constexpr std::size_t kCounting8MinLength = 64;
// 16-bit lanes from this length take two 8-bit LSD passes; shorter ones
// sort (key, index) words.
constexpr std::size_t kLsd16MinLength = 64;
// 16-bit lanes from this length up to the next are counted (65536
// counters) in one pass: below it the counters cost more than the second
// pass (Zen 3, one thread, ns per key counted / by LSD: 3e4 5.1 / 3.6,
// 1e5 4.0 / 4.6); from the next, the single pass's scatter over the whole
// lane misses the cache on every key where the LSD passes' 256 streams do
// not (4e6 keys: 9.6 ns counted, 7.4 by LSD; one or two threads alike).
constexpr std::size_t kCounting16MinLength = std::size_t(1) << 16;
constexpr std::size_t kCounting16MaxLength = std::size_t(1) << 21;
// Lanes from this length have their passes (reading keys, counting,
// scattering, writing indices) and their buckets split over the workers:
// below it a hand-off costs more than the work.
constexpr std::size_t kParallelPassMinLength = std::size_t(1) << 16;
// Keys that share a 64-bit word with their index are partitioned from this
// length, where the partition gives their buckets 32-bit words; shorter
// lanes sort the 64-bit words whole.
constexpr std::size_t kPartitionMinLength = std::size_t(1) << 14;
// Keys too wide to share a 64-bit word with their index are partitioned, and
// buckets too wide for 64-bit words partitioned again, from this length:
// shorter ones sort 128-bit words, which from here on cost more than the
// partition's passes and 64-bit sorts (1e4 keys, one thread: uniform i64
// 11.9 ns per key against 25.3, normal f64 20.1 against 26.5).
constexpr std::size_t kWidePartitionMinLength = 1024;
// Buckets of the partition hold about this many (2^n) pairs: their words
// stay in a core's L2 cache while sorted.
constexpr unsigned kBucketLengthBits = 12;
// Widest partition digit: more buckets would scatter into too many pages.
constexpr unsigned kMaxDigitBits = 16;
// Widest digit taken for buckets' length alone, or for their words to fit
// 32 bits, where the keys' range does not call for more: from 11 bits a
// scatter past the caches misses on every store (AMD Zen 4, 1e6 64-bit
// words: 1.1 ns a key at 10 bits, 6.3 at 11; uniform u32 argsort at 1e6,
// one thread, 0.8 of the time at 10 bits against 11).
constexpr unsigned kMaxScatterBits = 10;
// Most buckets of the log-scale digit, for the same reason; skewed keys
// leave most of them empty or rare, so more than 2^kMaxScatterBits pay
// (Zen 4, two threads, 1e6: Zipf u32 0.72 and lognormal f64 0.79 of the
// time with n / kLogBucketMinLength buckets).
constexpr std::size_t kMaxLogBuckets = std::size_t(1) << 12;
// Buckets of at most this many pairs whose keys and ranks fit in 32 bits
// sort 32-bit words in a buffer of each worker's (256 KiB, in its L2
// cache); longer ones sort 64-bit words.
constexpr std::size_t kRankWordsMax = std::size_t(1) << 16;
// Widest digit taken to make buckets' keys and ranks fit in 32 bits: keys
// and indices that fit in 64 bits only with a wider one sort as 64-bit words
// whole, which costs less than the partition's passes before the same
// 64-bit sorts of buckets (i64 keys over 2^40 values, 1e5 to 1e7 of them,
// one thread: 0.92 of the time).
constexpr unsigned kMaxRankDigitBits = 14;
// Buckets of at least this many pairs whose keys and ranks take up to this
// many bits more than 32 are split by those top bits of their keys' spread,
// in cache, into parts whose words fit 32 bits (uniform u32 at 1e7, one
// thread: 0.9 of the time of sorting the bucket's 64-bit words).
constexpr std::size_t kNarrowSplitMinLength = 512;
constexpr unsigned kNarrowSplitMaxBits = 8;
// A lane's buffers from this size come from the scratch cache: from the
// heap, a lane's buffers and the result beside them outgrew its trim
// threshold, so that it went back to the kernel after every call and came
// back as page faults (16-bit lanes of 6e4, one thread: 13 against 4.4 ns
// a key).
constexpr std::size_t kLaneCachedMinBytes = std::size_t(128) << 10;
// Lanes of 32- and 64-bit keys from this length are first tried as few
// keys and a tail (few_keys_argsort): in a shorter lane its sample costs
// more than it saves (uniform i64, 3e3 keys: 1.1 times the time).
constexpr std::size_t kFewKeysMinLength = std::size_t(1) << 12;
// Keys copied at a time before their range is taken from the copy.
constexpr std::size_t kRangeBlock = 1024;
// Keys sampled to choose the partition's digit.
constexpr std::size_t kDigitSample = 255;
// Pairs a bucket of the log-scale digit holds on average at least: more
// buckets cost more in sums over their counters than they save.
constexpr std::size_t kLogBucketMinLength = 16;
// Fewest mantissa bits of a log-scale digit: with fewer, its buckets span
// too many keys each.
constexpr unsigned kMinMantissaBits = 4;
// The two-sided digit (GapDigit) is tried where the widest gap in the sample
// spans more than 1/kGapSpanShare of its range, and taken where it crowds
// the sample's buckets less than the top bits by this factor at least.
constexpr std::uint64_t kGapSpanShare = 2;
constexpr std::size_t kGapCrowdingMargin = 2;
// Stretches of a piece counted and scattered at once (by_strands), each
// with its own counters, where one key is heavy (Zen 3, 4 keys: 2.4 ns per
// key for the scatter with one) and the buckets are few: with more, the
// stretches' heads together outgrow a scatter's width (Zen 4, Zipf 1.2 at
// 1e6 with 2,377 log-scale buckets, one thread: 0.65 of the time in one
// stretch; with 256 buckets of the top bits, f64, 1.15 times).
constexpr std::size_t kStrands = 4;
// Lanes of few keys with at most this many slots (the tail's among them)
// have their indices written slot by slot, each slot's found by a scan of
// the slot bytes, rather than scattered element by element, whose heads
// wait on each other where few keys repeat (Zen 3, one thread, u32 / f64 at
// 1e4: 2 keys 3.0 / 3.6 against 4.6 / 6.2 ns a key, 4 keys 4.3 / 7.0
// against 5.4 / 7.6; since the scans pack with AVX2, 5 and 6 keys at 1e4
// and 1e5 0.7 to 0.9 of the scatter's time, 8 keys 1.15 times slower).
constexpr std::size_t kSlotScanMaxSlots = 7;
// Lanes of at least kDenseSlotScanMinLength keys write up to
// kDenseSlotScanMaxSlots slots so as well where each key's holds at least
// 1/kPackedSlotMinShare of the piece: there the scatter's many heads miss
// the cache (Zen 3, 6 and 8 keys at 1e6 and 1e7: 0.75 to 0.8 of the time).
constexpr std::size_t kDenseSlotScanMaxSlots = 9;
constexpr std::size_t kDenseSlotScanMinLength = std::size_t(1) << 19;
// Lanes of that length whose pieces scatter indices to at most this many
// slots do it in one stretch rather than kStrands: with no slot heavy (those
// take a scan), a head seldom waits on the one before, and the stretches'
// heads together make stores wait (Zen 4, u32 at 1e6 and 1e7, one thread:
// 8, 12 and 16 keys 0.5 to 0.9 of the time; 24 keys even, 40 keys 1.2
// times slower).
constexpr std::size_t kOneStretchMaxSlots = 17;
// Lanes of more few keys than that write the indices of a piece's heaviest
// slot by a scan as well, where it holds at least this many quarters of the piece,
// and scatter the others' (Zen 3, one thread, 1e4 to 1e6: Zipf with exponent
// 3 0.65 to 0.75 of the time; with exponent 2 and random signs, two slots of
// 30%, 0.9 to 1.0).
constexpr std::size_t kHeavySlotScanMinQuarters = 1;
// A slot's indices are packed with AVX2 where it holds at least
// 1/kPackedSlotMinShare of the stretch scanned: a sparser slot's few set
// bits cost less found one at a time.
constexpr std::size_t kPackedSlotMinShare = 16;
// Counters added after each stretch's: stretches of counters a multiple of
// 4 KiB apart would alias in the store buffer and wait on each other.
constexpr std::size_t kStrandPad = 16;
// The partition's scatter goes through line buffers from this many buckets
// (with pairs past the cache, where the machine is measured to gain by
// them): with fewer, a plain store's line stays in the first-level cache
// until it fills. (AMD Zen 4 gains only past 2^kMaxScatterBits buckets:
// 1e7 keys into 1024, two threads, 0.75 to 0.95 of the time with plain
// stores; uniform i64 into 8192, 1.13 times.)
constexpr std::size_t kCombiningMinBuckets = 1024;
// Equal keys in the partition's sample from which one key counts as heavy.
constexpr std::size_t kHeavyKeySample = 16;
// Buckets per worker at least, so that the workers' loads even out.
constexpr std::size_t kBucketsPerWorker = 16;
// Bit patterns of +infinity: above them (sign bit aside) lie the NaNs.
constexpr std::uint16_t kHalfInfinity = 0x7c00;
constexpr std::uint32_t kFloatInfinity = 0x7f800000;
constexpr std::uint64_t kDoubleInfinity = 0x7ff0000000000000;
// A double's stored mantissa bits, and the biased exponent of 1.0.
constexpr unsigned kDoubleMantissaBits = 52;
constexpr unsigned kDoubleOneExponent = 1023;

using Index = std::int64_t;  // NumPy's intp on the 64-bit platforms built for
static_assert(sizeof(Index) == sizeof(std::ptrdiff_t));

// Keys whose unsigned order, ties broken by index, is NumPy's stable order.
template <typename U>
U signed_key(U v) {
    return U(v ^ kSignBit<U>);
}
// Floats: -0.0 as +0.0, every NaN the largest key (above +infinity's).
template <typename U>
U float_key(U bits, U infinity) {
    const U magnitude = U(bits & ~kSignBit<U>);
    const U key = float_to_key(magnitude == 0 ? U(0) : bits);
    return magnitude > infinity ? std::numeric_limits<U>::max() : key;
}
// Times: NaT, the smallest int64, becomes the largest key; every other value
// moves down by one, keeping its order.
std::uint64_t time_key(std::uint64_t v) {
    return signed_key(v) - 1;
}

// Calls f(U{}, map) with the unsigned type U of the element's bits and the
// map from those bits to keys.
template <typename F>
void with_key_map(Element element, F&& f) {
    using std::uint16_t, std::uint32_t, std::uint64_t, std::uint8_t;
    switch (element) {
        case Element::u8: return f(uint8_t{}, [](uint8_t v) { return v; });
        case Element::i8: return f(uint8_t{}, [](uint8_t v) { return signed_key(v); });
        case Element::u16: return f(uint16_t{}, [](uint16_t v) { return v; });
        case Element::i16: return f(uint16_t{}, [](uint16_t v) { return signed_key(v); });
        case Element::f16: return f(uint16_t{}, [](uint16_t v) { return float_key(v, kHalfInfinity); });
        case Element::u32: return f(uint32_t{}, [](uint32_t v) { return v; });
        case Element::i32: return f(uint32_t{}, [](uint32_t v) { return signed_key(v); });
        case Element::f32: return f(uint32_t{}, [](uint32_t v) { return float_key(v, kFloatInfinity); });
        case Element::u64: return f(uint64_t{}, [](uint64_t v) { return v; });
        case Element::i64: return f(uint64_t{}, [](uint64_t v) { return signed_key(v); });
        case Element::f64: return f(uint64_t{}, [](uint64_t v) { return float_key(v, kDoubleInfinity); });
        case Element::time64: return f(uint64_t{}, [](uint64_t v) { return time_key(v); });
    }
    fail("unknown element type");
}

// One lane of the input (read only) and of the indices.
struct LaneIn {
    const char* data;
    std::ptrdiff_t stride;  // bytes
    std::size_t n;
};
struct LaneOut {
    char* data;
    std::ptrdiff_t stride;  // bytes
};

// Calls f(i, bits) for the elements [begin, end) of a lane, each read once.
template <typename U, typename F>
void for_each_element(const LaneIn& in, std::size_t begin, std::size_t end, F f) {
    const auto walk = [&](auto stride) {
        for (std::size_t i = begin; i < end; ++i) {
            U v;
            std::memcpy(&v, in.data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(U));
            f(i, v);
        }
    };
    if (in.stride == static_cast<std::ptrdiff_t>(sizeof(U)))
        walk(std::integral_constant<std::ptrdiff_t, sizeof(U)>{});
    else
        walk(in.stride);
}

// Copies the keys of elements [begin, end) of a lane to `keys` and returns
// the smallest and the largest, taken a block at a time from the copy while
// it is in the first-level cache: folded into the copy's loop, the bounds
// went through memory on every key.
template <typename U, typename K, typename Map>
[[gnu::always_inline]] inline std::pair<K, K> copy_keys(const LaneIn& in, std::size_t begin, std::size_t end, Map map,
                                                         K* keys) {
    K lo = std::numeric_limits<K>::max();
    K hi = 0;
    for (std::size_t block = begin; block < end; block += kRangeBlock) {
        const std::size_t block_end = std::min(block + kRangeBlock, end);
        if (in.stride == static_cast<std::ptrdiff_t>(sizeof(U))) {
            // Apart from the lane (the copy lies in fresh memory): a loop
            // the compiler vectorises.
            const char* __restrict from = in.data + block * sizeof(U);
            K* __restrict to = keys + block;
            for (std::size_t j = 0; j < block_end - block; ++j) {
                U v;
                std::memcpy(&v, from + j * sizeof(U), sizeof(U));
                to[j] = static_cast<K>(map(v));
            }
        } else {
            for_each_element<U>(in, block, block_end,
                                [keys, map](std::size_t i, U v) { keys[i] = static_cast<K>(map(v)); });
        }
        for (std::size_t i = block; i < block_end; ++i) {
            lo = std::min(lo, keys[i]);
            hi = std::max(hi, keys[i]);
        }
    }
    return {lo, hi};
}
#if defined(__x86_64__)
// The same with AVX2, whose 64-bit compares the baseline lacks.
template <typename U, typename K, typename Map>
[[gnu::target("avx2")]] std::pair<K, K> copy_keys_avx2(const LaneIn& in, std::size_t begin, std::size_t end, Map map,
                                                        K* keys) {
    return copy_keys<U>(in, begin, end, map, keys);
}
#endif

// Writes index(j) to positions [begin, end) of the lane of indices.
template <typename F>
void write_indices(const LaneOut& out, std::size_t begin, std::size_t end, F&& index) {
    if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index))) {
        Index* to = reinterpret_cast<Index*>(out.data);
        for (std::size_t j = begin; j < end; ++j) to[j] = index(j);
        return;
    }
    for (std::size_t j = begin; j < end; ++j)
        *reinterpret_cast<Index*>(out.data + static_cast<std::ptrdiff_t>(j) * out.stride) = index(j);
}

// Pieces a pass over n elements is split into with `workers`.
std::size_t pieces_of(std::size_t n, std::size_t workers) {
    return workers > 1 && n >= kParallelPassMinLength ? workers : 1;
}

// Runs body(begin, end, piece) over `pieces` even pieces of [0, n).
template <typename Body>
void in_pieces(std::size_t n, std::size_t pieces, Body&& body) {
    const auto piece = [&](std::size_t p) {
        body(n * p / pieces, n * (p + 1) / pieces, p);
    };
    if (pieces == 1)
        piece(0);
    else
        pool::capped_parallel_for(pieces, pieces, piece);
}

// How a lane is sorted: its indices counted (8- and 16-bit keys) or moved
// by two LSD passes (16-bit keys), as words key << 32 | index (short lanes
// of keys of up to 32 bits), or as 64-bit keys with their index
// (wide_argsort).
enum class Way { counting, lsd, words, wide };

Way way_of(Element element, std::size_t n) {
    const std::size_t size = element_size(element);
    if (size == 2 && n >= kLsd16MinLength && (n < kCounting16MinLength || n >= kCounting16MaxLength) &&
        n <= std::numeric_limits<std::uint32_t>::max())
        return Way::lsd;
    if (size <= 2 && n >= (size == 1 ? kCounting8MinLength : kCounting16MinLength)) return Way::counting;
    if (size <= 4 && n < kPartitionMinLength) return Way::words;
    return Way::wide;
}

// Words of 64 bits that hold the 16-bit keys of an LSD argsort of n.
std::size_t lsd16_key_words(std::size_t n) {
    return (n + 3) / 4;
}

// Memory for one lane at a time, none of it initialised, taken before the
// lane is read: `words` (keys, then the words sorted) where the lane of
// indices cannot hold them (it is not contiguous, or the keys of the
// counting sort must outlive the indices' writes), `pairs` (the partition's
// (index, key) pairs, the few keys' slots, or the parallel word sort's
// scratch) and `counts` (counters of the counting sort). The partition's
// counters, bucket starts and the workers' 32-bit words are taken as one
// block when it first runs (partition()), which the scratch cache keeps
// between calls: as separate heap buffers (half a megabyte a worker) they
// made the heap outgrow its trim threshold, so that it went back to the
// kernel after every call and came back as page faults (u32 lanes of 1e5,
// one thread: 2.6 ns a key).
struct LaneMemory {
    std::optional<Scratch<std::uint64_t>> words;
    std::optional<Scratch<Word128>> pairs;
    std::optional<Scratch<std::uint64_t>> counts;
    std::optional<Scratch<std::uint64_t>> partition_block;
    std::uint64_t* partition_counts = nullptr;  // a worker's kStrands (2^kMaxDigitBits + 1 + kStrandPad) each
    std::uint64_t* starts = nullptr;            // 2^kMaxDigitBits + 1
    std::uint32_t* ranks = nullptr;             // a worker's kRankWordsMax each
    std::size_t workers;

    void partition() {
        if (partition_block) return;
        constexpr std::size_t digits = (std::size_t(1) << kMaxDigitBits) + 1;
        partition_block.emplace(workers * kStrands * (digits + kStrandPad) + digits + workers * kRankWordsMax / 2,
                                kLaneCachedMinBytes);
        partition_counts = partition_block->get();
        starts = partition_counts + workers * kStrands * (digits + kStrandPad);
        ranks = reinterpret_cast<std::uint32_t*>(starts + digits);
    }

    LaneMemory(Element element, std::size_t n, std::size_t workers, bool contiguous_indices) : workers(workers) {
        if (n < 2) return;
        const Way way = way_of(element, n);
        const std::size_t key_words = (n * element_size(element) + 7) / 8;
        if (way == Way::counting) words.emplace(key_words, kLaneCachedMinBytes);  // the keys' copy
        if (way == Way::lsd)
            words.emplace(lsd16_key_words(n) + n, kLaneCachedMinBytes);  // keys, then records of up to 64 bits
        else if (way != Way::counting && !contiguous_indices)
            words.emplace(n, kLaneCachedMinBytes);
        switch (way) {
            case Way::counting:
                counts.emplace(pieces_of(n, workers) << (8 * element_size(element)), kLaneCachedMinBytes);
                break;
            case Way::lsd: break;
            case Way::words:  // the few keys' slots and tail
                if (n >= kFewKeysMinLength) pairs.emplace(n, kLaneCachedMinBytes);
                break;
            case Way::wide: pairs.emplace(n, kLaneCachedMinBytes); break;
        }
    }
    // Where the words go: the lane of indices itself where it is contiguous
    // (each word lies where its position's index is written).
    std::uint64_t* words_for(const LaneOut& out) const {
        return words ? words->get() : reinterpret_cast<std::uint64_t*>(out.data);
    }
};

// Writes each index i of [begin, end) at heads[keys[i]]++, the counting
// sort's scatter.
template <typename K>
void scatter_indices(const LaneOut& out, std::size_t begin, std::size_t end, const K* keys, std::uint64_t* heads) {
    if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index))) {
        Index* to = reinterpret_cast<Index*>(out.data);
        for (std::size_t i = begin; i < end; ++i) to[heads[keys[i]]++] = static_cast<Index>(i);
    } else {
        for (std::size_t i = begin; i < end; ++i)
            *reinterpret_cast<Index*>(out.data + static_cast<std::ptrdiff_t>(heads[keys[i]]++) * out.stride) =
                static_cast<Index>(i);
    }
}

// Calls step(q, i) for every i of [begin, end), cut into `strands` even
// stretches q: the stretches' i in turn, then the longer ones' last. A
// counting pass over stretches at once, each with counters of its own,
// does not wait on one counter where most keys are one key.
template <std::size_t strands, typename Step>
void by_strands(std::size_t begin, std::size_t end, Step&& step) {
    std::array<std::size_t, strands + 1> starts;
    for (std::size_t q = 0; q <= strands; ++q) starts[q] = begin + (end - begin) * q / strands;
    const std::size_t length = starts[1] - starts[0];  // the shortest stretch
    for (std::size_t j = 0; j < length; ++j)
        for (std::size_t q = 0; q < strands; ++q) step(q, starts[q] + j);
    for (std::size_t q = 0; q < strands; ++q)
        for (std::size_t i = starts[q] + length; i < starts[q + 1]; ++i) step(q, i);
}

// Calls write(i) for every i of [begin, end) whose slot is s (or, with
// kEqual false, is not s), in order: 32 slots compared at once with SSE2
// (every x86-64), one at a time elsewhere.
template <bool kEqual = true, typename Write>
void for_each_in_slot(const std::uint8_t* slots, std::size_t begin, std::size_t end, std::uint8_t s, Write&& write) {
    std::size_t i = begin;
#if defined(__x86_64__)
    const __m128i want = _mm_set1_epi8(static_cast<char>(s));
    for (; end - i >= 32; i += 32) {
        const auto* p = reinterpret_cast<const __m128i*>(slots + i);
        const auto low = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p), want)));
        const auto high = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(p + 1), want)));
        const std::uint32_t equal = low | high << 16;
        for (std::uint32_t mask = kEqual ? equal : ~equal; mask != 0; mask &= mask - 1) write(i + std::countr_zero(mask));
    }
#endif
    for (; i < end; ++i)
        if ((slots[i] == s) == kEqual) write(i);
}

#if defined(__x86_64__)
// kPackLanes[m]: the 32-bit halves of the 64-bit lanes set in the 4-bit mask
// m, in order: the permutation that packs those lanes to a register's front.
constexpr auto kPackLanes = [] {
    std::array<std::array<std::int32_t, 8>, 16> table{};
    for (unsigned m = 0; m < 16; ++m) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            if ((m >> lane & 1) == 0) continue;
            table[m][2 * at] = static_cast<std::int32_t>(2 * lane);
            table[m][2 * at + 1] = static_cast<std::int32_t>(2 * lane + 1);
            ++at;
        }
    }
    return table;
}();

// The contiguous case of write_slot with AVX2, from i on while 32 places or
// more remain before `limit`: each four indices' matching ones packed to a
// register's front and stored at once, the next store over the rest. No
// branch depends on the slots, where the scan for set bits mispredicts at
// the end of every 32 slots (Zen 3, 4 keys at 1e5: 55% of the argsort).
// Returns where the next index goes; i is where the scan stopped.
[[gnu::target("avx2,popcnt")]] Index* write_slot_avx2(const std::uint8_t* slots, std::size_t& i, std::size_t end,
                                                     std::uint8_t s, Index* to, const Index* limit) {
    const __m256i want = _mm256_set1_epi8(static_cast<char>(s));
    const __m256i four = _mm256_set1_epi64x(4);
    __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<long long>(i)), _mm256_setr_epi64x(0, 1, 2, 3));
    for (; end - i >= 32 && limit - to >= 32; i += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(slots + i));
        auto equal = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, want)));
        for (unsigned g = 0; g < 8; ++g, equal >>= 4) {
            const unsigned m = equal & 15;
            const __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kPackLanes[m].data()));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_permutevar8x32_epi32(index, order));
            to += std::popcount(m);
            index = _mm256_add_epi64(index, four);
        }
    }
    return to;
}
#endif

// Writes every i of [begin, end) whose slot is s, in order, from `place` on,
// `step` bytes apart: `count` of them, as many as the slot holds there.
[[gnu::noinline]] void write_slot(const std::uint8_t* slots, std::size_t begin, std::size_t end, std::uint8_t s,
                                  char* place, std::ptrdiff_t step, std::size_t count) {
    if (step == static_cast<std::ptrdiff_t>(sizeof(Index))) {
        Index* to = reinterpret_cast<Index*>(place);
        const Index* const limit = to + count;
        std::size_t i = begin;
#if defined(__x86_64__)
        if (avx2_enabled() && count * kPackedSlotMinShare >= end - begin)
            to = write_slot_avx2(slots, i, end, s, to, limit);
#endif
        for_each_in_slot(slots, i, end, s, [&](std::size_t j) {
            check(to < limit, "a slot holds more indices than counted");
            *to++ = static_cast<Index>(j);
        });
        return;
    }
    for_each_in_slot(slots, begin, end, s, [&](std::size_t i) {
        *reinterpret_cast<Index*>(place) = static_cast<Index>(i);
        place += step;
    });
}

// Stable counting sort of the indices of 8- and 16-bit keys: the keys are
// copied first, so that the counts and the scatter see the same keys.
template <typename U, typename Map>
void counting_argsort(const LaneIn& in, Map map, const LaneOut& out, std::size_t workers, LaneMemory& memory) {
    constexpr std::size_t values = std::size_t(1) << (8 * sizeof(U));
    const std::size_t n = in.n;
    U* keys = reinterpret_cast<U*>(memory.words->get());
    std::uint64_t* counts = memory.counts->get();
    const std::size_t pieces = pieces_of(n, workers);
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t* c = counts + p * values;
        std::fill(c, c + values, 0);
        // Keys are stored a batch at a time before they are counted: a byte
        // store may alias the counters, so one at a time each increment
        // waits for the store before it (8-bit keys: 1.35 against 0.85 ns
        // per key, Zen 3). They are counted from the copy, never from a
        // second read of the lane, which another thread may be writing.
        constexpr std::size_t batch = 8;
        std::size_t i = begin;
        for (; i + batch <= end; i += batch) {
            for_each_element<U>(in, i, i + batch, [keys, map](std::size_t j, U v) { keys[j] = map(v); });
            for (std::size_t j = i; j < i + batch; ++j) ++c[keys[j]];
        }
        for_each_element<U>(in, i, end, [keys, c, map](std::size_t j, U v) {
            const U key = map(v);
            keys[j] = key;
            ++c[key];
        });
    });
    std::uint64_t total = 0;
    for (std::size_t v = 0; v < values; ++v) {
        for (std::size_t p = 0; p < pieces; ++p) {
            const std::uint64_t c = counts[p * values + v];
            counts[p * values + v] = total;
            total += c;
        }
    }
    check(total == n, "counts differ from the lane length");
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        scatter_indices(out, begin, end, keys, counts + p * values);
    });
}

void argsort_lane(Element element, const LaneIn& in, const LaneOut& out, std::size_t workers, LaneMemory& memory,
                  bool try_few_keys);

// Stable argsort of a lane where a few keys, those of a sample, hold most
// elements: each element's slot (its key's, or the tail's) is stored as a
// byte and counted, the tail's keys kept aside; those are sorted as a lane
// of their own, which places each few key's run after the tail's smaller keys;
// the indices are scattered by slot as the counting sort does (the tail's
// beside its keys), and the tail's then written between the runs. Each
// piece is counted and scattered as kStrands stretches at once, each with
// counters of its own: with few keys one counter would take most
// increments, each waiting for the one before. Returns false, having
// written nothing, where the sample shows too many keys or the tail holds
// more than its share.
template <typename U, typename Map>
bool few_keys_argsort(Element element, const LaneIn& in, Map map, const LaneOut& out, std::size_t workers,
                      LaneMemory& memory) {
    const std::size_t n = in.n;
    std::array<U, kFewKeysSample> sample;
    std::array<U, kFewKeysSample> sampled_patterns;
    for (std::size_t s = 0; s < kFewKeysSample; ++s) {
        const std::size_t i = (2 * s + 1) * n / (2 * kFewKeysSample);
        for_each_element<U>(in, i, i + 1, [&](std::size_t, U v) {
            sampled_patterns[s] = v;
            sample[s] = map(v);
        });
    }
    const std::optional<std::size_t> keys = few_sampled_keys(sample);
    if (!keys) return false;
    const KeyTable<U> table(std::span<const U>(sample.data(), *keys));
    // Float keys are mapped only where the sample did not see their bit
    // pattern (the tail's, another -0.0 or NaN): Zen 3, one thread, four
    // f64 keys, the map cost 1.7 ns a key.
    std::optional<SlotTable<U>> patterns;
    if (element == Element::f32 || element == Element::f64) {
        patterns.emplace();
        for (const U p : sampled_patterns) patterns->add(p, table.slot(map(p)));
    }
    // A contiguous lane whose most frequent bit patterns make up most of
    // the sample is classified by comparing its elements with each.
    std::optional<PatternSlots<U>> vector_patterns;
    if (avx2_enabled() && in.stride == static_cast<std::ptrdiff_t>(sizeof(U)))
        vector_patterns = frequent_patterns(sampled_patterns, [&](U p) { return table.slot(map(p)); });

    // In the pairs' memory (16 bytes a key): the slots, then the tail's keys
    // (each piece finds its own in its stretch, up to 8 bytes a key), then
    // the tail's indices and sorted order: 13 bytes a key at most with the
    // slots, where the tail is at most half the lane.
    auto* slots = reinterpret_cast<std::uint8_t*>(memory.pairs->get());
    U* tail_keys = reinterpret_cast<U*>(memory.pairs->get() + (n + sizeof(Word128) - 1) / sizeof(Word128));
    const std::size_t pieces = pieces_of(n, workers);
    constexpr std::size_t strands = kStrands;
    constexpr std::size_t stride = std::size_t(kTailSlot) + 1 + kStrandPad;
    std::vector<std::uint64_t> counts(pieces * strands * stride);  // by piece, strand and slot
    const auto counters = [&](std::size_t p, std::size_t q) { return counts.data() + (p * strands + q) * stride; };
    std::vector<std::size_t> tail_found(pieces);
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        // The tail's keys kept as read, so that the lane is read once.
        U* found = tail_keys + begin;
        std::size_t count = 0;
        const auto classify = [&](auto slot_of) {
            for_each_element<U>(in, begin, end, [&](std::size_t i, U v) {
                const std::uint8_t s = slot_of(v);
                slots[i] = s;
                if (s == kTailSlot) found[count++] = v;
            });
        };
#if defined(__x86_64__)
        if (vector_patterns) {
            // Each strand's stretch counted on its own (by_strands' stretches).
            for (std::size_t q = 0; q < strands; ++q)
                classify_by_patterns_avx2<U>(in.data, begin + (end - begin) * q / strands,
                                             begin + (end - begin) * (q + 1) / strands, *vector_patterns, slots,
                                             counters(p, q), [&](std::size_t, U v) {
                                                 const std::uint8_t s = table.slot(map(v));
                                                 if (s == kTailSlot) found[count++] = v;
                                                 return s;
                                             });
            tail_found[p] = count;
            return;
        }
#endif
        if (patterns) {
            classify([&](U v) {
                const std::uint8_t s = patterns->slot(v);
                return s != kTailSlot ? s : table.slot(map(v));
            });
        } else {
            classify([&](U v) { return table.slot(map(v)); });
        }
        tail_found[p] = count;
        std::uint64_t* c = counters(p, 0);
        by_strands<strands>(begin, end, [&](std::size_t q, std::size_t i) { ++c[q * stride + slots[i]]; });
    });

    std::size_t m = 0;
    for (std::size_t p = 0; p < pieces; ++p) {
        std::memmove(tail_keys + m, tail_keys + n * p / pieces, tail_found[p] * sizeof(U));
        m += tail_found[p];
    }
    if (m > n / kFewKeysTailMaxDivisor) return false;
    Index* tail_indices = reinterpret_cast<Index*>(tail_keys) + (m * sizeof(U) + 7) / 8;
    Index* tail_order = tail_indices + m;
    std::vector<std::uint64_t> tail_heads(pieces * strands);
    std::uint64_t at = 0;
    for (std::size_t k = 0; k < pieces * strands; ++k)
        tail_heads[k] = std::exchange(at, at + counters(k / strands, k % strands)[kTailSlot]);
    check(at == m, "tail counts differ");
    if (m > 0) {
        LaneMemory tail_memory(element, m, workers, true);
        argsort_lane(element, LaneIn{reinterpret_cast<const char*>(tail_keys), sizeof(U), m},
                     LaneOut{reinterpret_cast<char*>(tail_order), sizeof(Index)}, workers, tail_memory, false);
    }

    // Where each key's run starts: after the tail's smaller keys.
    std::array<std::uint64_t, kTailSlot> run_starts;
    std::uint64_t position = 0;
    std::size_t run = 0;
    const auto start_runs_below = [&](auto below) {
        for (; run < table.size() && below(table.key(run)); ++run) {
            run_starts[run] = position;
            for (std::size_t k = 0; k < pieces * strands; ++k) position += counters(k / strands, k % strands)[run];
        }
    };
    const auto sorted_tail = [&](std::size_t j) {
        const auto t = static_cast<std::size_t>(tail_order[j]);
        check(t < m, "tail order out of range");
        return t;
    };
    for (std::size_t j = 0; j < m; ++j, ++position) {
        const U k = map(tail_keys[sorted_tail(j)]);
        start_runs_below([k](U key) { return key < k; });
    }
    start_runs_below([](U) { return true; });
    check(position == n, "counts differ from the lane length");

    // Where each strand's next index of each slot goes, as an address: in
    // its run, piece by piece and strand by strand, or after the tail's
    // keys, in index order. Branch-free: a test for the tail in the scatter
    // cost 1.8 times its time (Zen 3, 4 keys).
    std::vector<char*> places(pieces * strands * stride);
    for (std::size_t k = 0; k < pieces * strands; ++k)
        places[k * stride + kTailSlot] = reinterpret_cast<char*>(tail_indices + tail_heads[k]);
    for (std::size_t s = 0; s < table.size(); ++s) {
        std::uint64_t head = run_starts[s];
        for (std::size_t k = 0; k < pieces * strands; ++k) {
            places[k * stride + s] = out.data + static_cast<std::ptrdiff_t>(head) * out.stride;
            head += counters(k / strands, k % strands)[s];
        }
    }
    std::array<std::ptrdiff_t, kTailSlot + 1> steps;
    steps.fill(out.stride);
    steps[kTailSlot] = sizeof(Index);
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        char** heads = places.data() + p * strands * stride;
        const auto in_piece = [&](std::size_t t) {
            std::uint64_t total = 0;
            for (std::size_t q = 0; q < strands; ++q) total += counters(p, q)[t];
            return static_cast<std::size_t>(total);
        };
        const auto dense = [&] {
            if (n < kDenseSlotScanMinLength || table.size() + 1 > kDenseSlotScanMaxSlots) return false;
            for (std::size_t s = 0; s < table.size(); ++s)
                if (in_piece(s) * kPackedSlotMinShare < end - begin) return false;
            return true;  // a sparse tail costs a scan for set bits
        };
        if (table.size() + 1 <= kSlotScanMaxSlots || dense()) {
            // A slot's stretches follow one another: the first strand's head
            // is the piece's.
            for (std::size_t s = 0; s < table.size(); ++s)
                write_slot(slots, begin, end, static_cast<std::uint8_t>(s), heads[s], steps[s], in_piece(s));
            if (m > 0)
                write_slot(slots, begin, end, kTailSlot, heads[kTailSlot], steps[kTailSlot], in_piece(kTailSlot));
            return;
        }
        // A slot that holds much of the piece is written by a scan too; the
        // others' indices are found by a scan for any other slot and
        // scattered, each slot's from its first strand's head on as above.
        std::size_t heavy = 0;
        std::size_t heaviest = 0;
        for (std::size_t t = 0; t <= kTailSlot; ++t) {
            const std::size_t total = in_piece(t);
            if (total > heaviest) heaviest = total, heavy = t;
        }
        if (heaviest * 4 >= (end - begin) * kHeavySlotScanMinQuarters) {
            const auto s = static_cast<std::uint8_t>(heavy);
            write_slot(slots, begin, end, s, heads[s], steps[s], heaviest);
            for_each_in_slot<false>(slots, begin, end, s, [&](std::size_t i) {
                const std::uint8_t other = slots[i];
                *reinterpret_cast<Index*>(heads[other]) = static_cast<Index>(i);
                heads[other] += steps[other];
            });
            return;
        }
        // Past the caches, up to kOneStretchMaxSlots slots scatter in one
        // stretch, from each slot's first strand's head as above.
        const bool one_stretch = n >= kDenseSlotScanMinLength && table.size() + 1 <= kOneStretchMaxSlots;
        const auto scatter = [&](auto stretches, auto step) {
            by_strands<decltype(stretches)::value>(begin, end, [&](std::size_t q, std::size_t i) {
                const std::uint8_t s = slots[i];
                char*& place = heads[q * stride + s];
                *reinterpret_cast<Index*>(place) = static_cast<Index>(i);
                place += step(s);
            });
        };
        const auto scatter_by = [&](auto step) {
            if (one_stretch)
                scatter(std::integral_constant<std::size_t, 1>{}, step);
            else
                scatter(std::integral_constant<std::size_t, strands>{}, step);
        };
        if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index)))
            scatter_by([](std::uint8_t) { return static_cast<std::ptrdiff_t>(sizeof(Index)); });
        else
            scatter_by([&](std::uint8_t s) { return steps[s]; });
    });

    // The tail's indices into their places between the runs.
    position = 0;
    run = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const std::size_t t = sorted_tail(j);
        const U k = map(tail_keys[t]);
        start_runs_below([k](U key) { return key < k; });
        *reinterpret_cast<Index*>(out.data + static_cast<std::ptrdiff_t>(position++) * out.stride) = tail_indices[t];
    }
    return true;
}

// Stable argsort of 16-bit keys in two 8-bit LSD passes, fewer than 2^32 of
// them: the indices are scattered by the low byte, each with its key's high
// byte above it in one record (Record: 32 bits where an index takes 24,
// else 64), then by the high byte into place. The lane's words memory holds
// the keys, then the records.
template <typename Record, typename Map>
void lsd16_argsort(const LaneIn& in, Map map, const LaneOut& out, LaneMemory& memory) {
    constexpr unsigned index_bits = sizeof(Record) == 4 ? 24 : 32;
    const std::size_t n = in.n;
    auto* keys = reinterpret_cast<std::uint16_t*>(memory.words->get());
    auto* moved = reinterpret_cast<Record*>(memory.words->get() + lsd16_key_words(n));
    std::uint32_t low[256] = {};
    std::uint32_t high[256] = {};
    for_each_element<std::uint16_t>(in, 0, n, [&](std::size_t i, std::uint16_t v) {
        const std::uint16_t k = map(v);
        keys[i] = k;
        ++low[k & 0xff];
        ++high[k >> 8];
    });
    std::uint32_t low_total = 0;
    std::uint32_t high_total = 0;
    for (std::size_t d = 0; d < 256; ++d) {
        low_total += std::exchange(low[d], low_total);
        high_total += std::exchange(high[d], high_total);
    }
    check(low_total == n && high_total == n, "counts differ from the lane length");
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t k = keys[i];
        moved[low[k & 0xff]++] = Record(k >> 8) << index_bits | Record(i);
    }
    constexpr Record index_mask = (Record(1) << index_bits) - 1;
    const auto index = [&](std::size_t j) { return static_cast<Index>(moved[j] & index_mask); };
    if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index))) {
        Index* to = reinterpret_cast<Index*>(out.data);
        for (std::size_t j = 0; j < n; ++j) to[high[moved[j] >> index_bits]++] = index(j);
    } else {
        for (std::size_t j = 0; j < n; ++j) {
            const auto at = static_cast<std::ptrdiff_t>(high[moved[j] >> index_bits]++);
            *reinterpret_cast<Index*>(out.data + at * out.stride) = index(j);
        }
    }
}

// Short lanes of keys of at most 32 bits: words key << 32 | index, sorted
// on the calling thread as sort() sorts u64 keys; their low halves are the
// indices.
template <typename U, typename Map>
void word_argsort(const LaneIn& in, Map map, const LaneOut& out, LaneMemory& memory) {
    const std::size_t n = in.n;
    std::uint64_t* words = memory.words_for(out);
    for_each_element<U>(in, 0, n, [words, map](std::size_t i, U v) {
        words[i] = std::uint64_t(map(v)) << 32 | std::uint64_t(i);
    });
    sort_words(std::span<std::uint64_t>(words, n), 1, nullptr);
    write_indices(out, 0, n, [words](std::size_t j) { return static_cast<Index>(words[j] & 0xffffffffu); });
}

// Keys from `low` up to 2^bits - 1 above it: all that a bucket may hold,
// where its digit fixes that.
struct KeyRange {
    std::uint64_t low;
    unsigned bits;
};

// A key with its index, as the partition scatters it: one word
// (key - smallest) << index bits | index where both fit in 64 bits, else a
// 128-bit word with the key high. Either sorts as (key, index).
struct PackedPair {
    using Record = std::uint64_t;
    std::uint64_t lo;
    unsigned index_bits;

    Record make(std::uint64_t i, std::uint64_t k) const { return (k - lo) << index_bits | i; }
    std::uint64_t key(Record r) const { return r >> index_bits; }
    // The smallest key of a bucket's range as its records hold it.
    std::uint64_t low_of(const KeyRange& range) const { return range.low - lo; }
    Index index(Record r) const { return static_cast<Index>(r & ((std::uint64_t(1) << index_bits) - 1)); }
};
struct WidePair {
    using Record = Word128;
    Record make(std::uint64_t i, std::uint64_t k) const { return Record{i, k}; }
    std::uint64_t key(const Record& r) const { return r.hi; }
    std::uint64_t low_of(const KeyRange& range) const { return range.low; }
    Index index(const Record& r) const { return static_cast<Index>(r.lo); }
};
// Or, for keys too wide for that but partitioned by enough top bits of
// their spread, the word of the key's distance from its bucket's start
// (the bits below the digit) and its index.
struct TrimmedPair {
    using Record = std::uint64_t;
    std::uint64_t lo;
    unsigned shift;  // the digit's
    unsigned index_bits;

    Record make(std::uint64_t i, std::uint64_t k) const {
        return ((k - lo) & ((std::uint64_t(1) << shift) - 1)) << index_bits | i;
    }
    std::uint64_t key(Record r) const { return r >> index_bits; }
    std::uint64_t low_of(const KeyRange&) const { return 0; }
    Index index(Record r) const { return static_cast<Index>(r & ((std::uint64_t(1) << index_bits) - 1)); }
};

// A key's bucket in the partition: the top bits of its distance from the
// smallest key, for keys spread over their range.
struct TopBitsDigit {
    std::uint64_t lo;
    unsigned shift;
    std::size_t buckets;

    std::size_t operator()(std::uint64_t k) const { return static_cast<std::size_t>((k - lo) >> shift); }
    std::optional<KeyRange> range(std::size_t d) const { return KeyRange{lo + (std::uint64_t(d) << shift), shift}; }
};

// Or for skewed keys (a few heavy ones, a long tail, both sides of a mode),
// its distance from a centre key on a log scale: the exponent of the
// distance as a double and the `mantissa_bits` below its leading one (a
// double's bits rise with its value, so the buckets keep the keys' order;
// distances under 2^(mantissa_bits + 1) each have their own), counted up
// from the centre's bucket for keys above it and down for keys below.
struct LogDigit {
    std::uint64_t centre;
    unsigned mantissa_bits;
    std::size_t below;  // buckets below the centre's
    std::size_t buckets;

    LogDigit(std::uint64_t lo, std::uint64_t centre, std::uint64_t hi, unsigned mantissa_bits)
        : centre(centre),
          mantissa_bits(mantissa_bits),
          below(centre > lo ? code(centre - 1 - lo) + 1 : 0),
          buckets(below + code(hi - centre) + 1) {}

    // 0 for 0, 2^mantissa_bits for 1, at most 65 << mantissa_bits. Without
    // branches (and without bit_width, whose bsr waits on its register's
    // last value): 1.5 against 4.3 ns a key, Zen 3.
    std::uint64_t code(std::uint64_t distance) const {
        const auto bits = std::bit_cast<std::uint64_t>(static_cast<double>(distance));
        const std::uint64_t one = std::uint64_t(kDoubleOneExponent - 1) << mantissa_bits;
        return std::max(bits >> (kDoubleMantissaBits - mantissa_bits), one) - one;
    }
    std::size_t operator()(std::uint64_t k) const {
        const bool up = k >= centre;
        const std::uint64_t c = code(up ? k - centre : centre - 1 - k);
        // below + c above the centre, below - 1 - c under it.
        return static_cast<std::size_t>(below + (c ^ (up ? 0 : ~std::uint64_t(0))));
    }
    std::optional<KeyRange> range(std::size_t) const { return std::nullopt; }
};

// Or for keys in two clusters far apart (floats of both signs, whose small
// magnitudes between them are few, and whose bits are already on a log
// scale), the top bits of the distance from each side's first sampled key
// over that side's sampled range, the side's buckets in proportion to its
// share of the sample. Keys beyond a side's range go to its end bucket.
struct GapDigit {
    // By side (0 low, 1 high), read at an index rather than chosen by a
    // branch: which side a key falls on is as random as the keys' signs.
    std::array<std::uint64_t, 2> start;
    std::array<unsigned, 2> shift;
    std::array<std::size_t, 2> first;  // the side's first bucket
    std::array<std::uint64_t, 2> span;  // its buckets but one
    std::size_t buckets;

    // Sides [low_start, low_end] and [high_start, high_end] of a sample's
    // keys, with about `total` buckets between them.
    GapDigit(std::uint64_t low_start, std::uint64_t low_end, std::uint64_t high_start, std::uint64_t high_end,
             double low_share, std::size_t total)
        : start{low_start, high_start} {
        const auto low_wanted = static_cast<std::size_t>(static_cast<double>(total) * low_share);
        const std::array<std::uint64_t, 2> range{low_end - low_start, high_end - high_start};
        const std::array<std::size_t, 2> wanted{low_wanted, total - std::min(total, low_wanted)};
        for (std::size_t side = 0; side < 2; ++side) {
            const auto width = static_cast<unsigned>(std::bit_width(range[side]));
            const auto bits = static_cast<unsigned>(std::bit_width(std::max<std::size_t>(wanted[side], 1) - 1));
            shift[side] = width > bits ? width - bits : 0;
            span[side] = range[side] >> shift[side];
        }
        first = {0, static_cast<std::size_t>(span[0]) + 1};
        buckets = first[1] + static_cast<std::size_t>(span[1]) + 1;
    }
    std::size_t operator()(std::uint64_t k) const {
        const std::size_t side = k >= start[1];
        const std::uint64_t above = k - start[side];
        const std::uint64_t inside = above & (std::uint64_t(0) - std::uint64_t(k >= start[side]));
        return first[side] + static_cast<std::size_t>(std::min(inside >> shift[side], span[side]));
    }
    // The end buckets of each side also take the keys beyond its range.
    std::optional<KeyRange> range(std::size_t d) const {
        const std::size_t side = d >= first[1];
        const std::size_t step = d - first[side];
        if (step == span[side] || (side == 0 && step == 0)) return std::nullopt;
        return KeyRange{start[side] + (std::uint64_t(step) << shift[side]), shift[side]};
    }
};

// Sum over buckets of the squared number of sampled keys in each: the
// pairs a bucket sort would compare, up to a factor.
template <typename Digit>
std::size_t crowding(const std::array<std::uint64_t, kDigitSample>& sorted_sample, const Digit& digit) {
    std::size_t sum = 0;
    for (std::size_t i = 0, j = 0; i < sorted_sample.size(); i = j) {
        const std::size_t d = digit(sorted_sample[i]);
        for (j = i + 1; j < sorted_sample.size() && digit(sorted_sample[j]) == d; ++j) {}
        sum += (j - i) * (j - i);
    }
    return sum;
}

// Calls with(digit) with the digit for keys in [lo, hi] whose sample is
// `sorted_sample`: the log-scale one around the sample's median, with as
// many mantissa bits as `log_buckets` allow, where it crowds the sample's
// buckets less by half than `top`; else `top`.
template <typename With>
void with_digit(const std::array<std::uint64_t, kDigitSample>& sorted_sample, std::uint64_t lo, std::uint64_t hi,
                const TopBitsDigit& top, std::size_t log_buckets, With&& with) {
    const std::uint64_t centre = sorted_sample[kDigitSample / 2];
    unsigned mantissa_bits = std::min(static_cast<unsigned>(std::bit_width(hi - lo)), kMaxDigitBits);
    while (mantissa_bits > 0 && LogDigit(lo, centre, hi, mantissa_bits).buckets > log_buckets) --mantissa_bits;
    const LogDigit log(lo, centre, hi, mantissa_bits);
    // The log digit costs more a key: it must halve the crowding to be taken.
    const std::size_t log_crowd =
        mantissa_bits >= kMinMantissaBits ? 2 * crowding(sorted_sample, log) : std::numeric_limits<std::size_t>::max();
    const std::size_t best = crowding(sorted_sample, top);
    // The widest gap between neighbours in the sample, where it spans most
    // of the sample's range: two clusters apart.
    std::size_t g = 0;
    for (std::size_t i = 1; i + 1 < kDigitSample; ++i)
        if (sorted_sample[i + 1] - sorted_sample[i] > sorted_sample[g + 1] - sorted_sample[g]) g = i;
    const std::uint64_t first = sorted_sample.front();
    const std::uint64_t last = sorted_sample.back();
    if (sorted_sample[g + 1] - sorted_sample[g] > (last - first) / kGapSpanShare) {
        const GapDigit gap(first, sorted_sample[g], sorted_sample[g + 1], last,
                           static_cast<double>(g + 1) / kDigitSample, top.buckets);
        const std::size_t crowd = crowding(sorted_sample, gap);
        if (crowd * kGapCrowdingMargin < best && log_crowd >= crowd) return with(gap);
    }
    if (log_crowd < best) return with(log);
    with(top);
}

// Buckets for the log-scale digit of n keys: kLogBucketMinLength keys each
// on average, at most kMaxLogBuckets, at least as many as `top` has.
std::size_t log_buckets_for(std::size_t n, const TopBitsDigit& top) {
    return std::max(top.buckets, std::min(kMaxLogBuckets, n / kLogBucketMinLength));
}

// Sorts the m pairs of one bucket, whose first index position is `first`,
// and writes their indices there. The pairs are in index order, so a rank
// within the bucket orders ties as the index does: where the spread of the
// bucket's keys and the width of a rank fit in 32 or 64 bits, words
// (key - smallest) << rank bits | rank are sorted in `ranks` (a worker's
// kRankWordsMax) or in `words` (m of them, where the indices go or apart).
// Where they do not, a long bucket is partitioned again by the top bits of
// the spread, its words (the rest of the spread, and the rank) scattered
// into `words` with `counts` (2^kMaxDigitBits + 1), each part sorted on its
// own; a short one sorts its pairs themselves.
template <typename Pair>
void sort_bucket(const Pair& pair, typename Pair::Record* pairs, std::size_t m, std::uint64_t* words,
                 std::uint32_t* ranks, std::uint64_t* counts, const LaneOut& out, std::size_t first,
                 std::optional<KeyRange> range) {
    // The keys' range from the digit where it fixes one (that saves a pass
    // over the pairs); their smallest and largest key otherwise.
    std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t hi = 0;
    if (range && range->bits < 64) {
        lo = pair.low_of(*range);
        hi = lo + std::min((std::uint64_t(1) << range->bits) - 1, std::numeric_limits<std::uint64_t>::max() - lo);
    } else {
        for (std::size_t j = 0; j < m; ++j) {
            lo = std::min(lo, pair.key(pairs[j]));
            hi = std::max(hi, pair.key(pairs[j]));
        }
    }
    const LaneOut at{out.data + static_cast<std::ptrdiff_t>(first) * out.stride, out.stride};
    const auto index_of_pair = [&](std::size_t j) { return pair.index(pairs[j]); };
    const auto spread = static_cast<unsigned>(std::bit_width(hi - lo));
    const auto rank_bits = static_cast<unsigned>(std::bit_width(m - 1));
    if (spread == 0 || m < 2) return write_indices(at, 0, m, index_of_pair);
    const std::uint64_t rank_mask = (std::uint64_t(1) << rank_bits) - 1;
    const auto ranked = [&]<typename W>(W* w) {
        for (std::size_t j = 0; j < m; ++j) w[j] = static_cast<W>((pair.key(pairs[j]) - lo) << rank_bits | j);
        simd_sort(std::span<W>(w, m));
        write_indices(at, 0, m, [&](std::size_t j) { return index_of_pair(w[j] & rank_mask); });
    };
    if (spread + rank_bits <= 32 && m <= kRankWordsMax) return ranked(ranks);
    const unsigned over = spread + rank_bits - std::min(spread + rank_bits, 32u);  // bits past 32
    const bool narrow = over <= kNarrowSplitMaxBits && m >= kNarrowSplitMinLength && m <= kRankWordsMax;
    // A long bucket (heavy keys) is partitioned again even where its words
    // fit: parts of one key each are then left in rank order.
    if (!narrow && spread + rank_bits <= 64 && m <= kRankWordsMax) return ranked(words);
    const unsigned digit_bits = std::min(
        std::max(spread + rank_bits - std::min(spread + rank_bits, 64u),
                 rank_bits > kBucketLengthBits ? rank_bits - kBucketLengthBits : 1u),
        spread + rank_bits <= 64 ? std::min(kMaxDigitBits, spread) : kMaxDigitBits + 1);
    if (m < kWidePartitionMinLength || digit_bits > std::min(kMaxDigitBits, spread)) {
        simd_sort(std::span<typename Pair::Record>(pairs, m));
        return write_indices(at, 0, m, index_of_pair);
    }
    const unsigned shift = spread - digit_bits;
    const TopBitsDigit top{0, shift, std::size_t(1) << digit_bits};
    // Parts by digit of the key's distance from lo, each sorting words W of
    // the distance's `kept` bits and the rank, in `to`.
    const auto split = [&]<typename W>(const auto& digit, std::uint64_t kept, W* to) {
        const std::size_t parts = digit.buckets;
        std::fill(counts, counts + parts + 1, 0);
        for (std::size_t j = 0; j < m; ++j) ++counts[digit(pair.key(pairs[j]) - lo) + 1];
        for (std::size_t d = 0; d < parts; ++d) counts[d + 1] += counts[d];
        check(counts[parts] == m, "bucket counts differ from the bucket length");
        // counts[d] walks part d's stretch; afterwards it is part d + 1's start.
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint64_t k = pair.key(pairs[j]) - lo;
            to[counts[digit(k)]++] = static_cast<W>((k & kept) << rank_bits | j);
        }
        std::size_t begin = 0;
        for (std::size_t d = 0; d < parts; ++d) {
            const std::size_t end = counts[d];
            const std::span<W> part(to + begin, end - begin);
            if (!std::is_sorted(part.begin(), part.end())) simd_sort(part);
            write_indices(at, begin, end, [&](std::size_t j) { return index_of_pair(to[j] & rank_mask); });
            begin = end;
        }
    };
    // Words a few bits short of the distance and the rank take 32-bit words
    // in parts by those top bits of the distance.
    if (narrow) {
        const unsigned kept = spread - over;
        return split(TopBitsDigit{0, kept, std::size_t(1) << over}, (std::uint64_t(1) << kept) - 1, ranks);
    }
    // Words too narrow for the whole distance keep the bits below the digit.
    if (spread + rank_bits > 64) return split(top, (std::uint64_t(1) << shift) - 1, words);
    // Where they hold it, a skewed bucket (two clusters of keys, say) may
    // take the log scale around its own median.
    std::array<std::uint64_t, kDigitSample> sample;
    for (std::size_t s = 0; s < kDigitSample; ++s)
        sample[s] = pair.key(pairs[(2 * s + 1) * m / (2 * kDigitSample)]) - lo;
    std::sort(sample.begin(), sample.end());
    with_digit(sample, 0, hi - lo, top, log_buckets_for(m, top),
               [&](const auto& digit) { split(digit, ~std::uint64_t(0), words); });
}

// Partitions the n keys (their index is their position) by their digit
// (TopBitsDigit, LogDigit or GapDigit) into pairs, stably (each piece's
// stretch of a bucket after the previous piece's), and sorts each bucket on
// its own (sort_bucket), the buckets spread over the workers. The keys'
// memory (where the indices go, or apart) then holds the buckets' words.
// Where `digits` is given (n of them), the count keeps each key's digit
// there and the scatter reads it back rather than computing it again.
// `rising`: the sampled keys rise along the lane.
template <std::size_t strands, typename Pair, typename K, typename Digit>
void partition_argsort(const Pair& pair, const K* keys, std::uint16_t* digits, std::size_t n, const Digit& digit,
                       const LaneOut& out, std::size_t workers, LaneMemory& memory, bool rising) {
    memory.partition();
    using Record = typename Pair::Record;
    Record* pairs = reinterpret_cast<Record*>(memory.pairs->get());

    const std::size_t pieces = pieces_of(n, workers);
    const std::size_t buckets = digit.buckets;

    // Counters by piece, stretch (by_strands) and bucket.
    std::uint64_t* counts = memory.partition_counts;
    const std::size_t stride = buckets + kStrandPad;
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t* c = counts + p * strands * stride;
        std::fill(c, c + strands * stride, 0);
        by_strands<strands>(begin, end, [&](std::size_t q, std::size_t i) {
            const std::size_t d = digit(keys[i]);
            if (digits) digits[i] = static_cast<std::uint16_t>(d);
            ++c[q * stride + d];
        });
    });
    std::uint64_t* starts = memory.starts;
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
        starts[d] = total;
        for (std::size_t pq = 0; pq < pieces * strands; ++pq) total += std::exchange(counts[pq * stride + d], total);
    }
    starts[buckets] = total;
    check(total == n, "partition counts differ from the lane length");
    // Many buckets and pairs past the cache: through line buffers, whole
    // lines streamed out (each piece's stretch of a bucket ends where the
    // next piece's starts, or the next bucket), where the buckets outgrow a
    // plain scatter's width (unless the keys rise along the lane, filling
    // few buckets at a time) or this machine writes memory faster so into
    // as many buckets as a partition has (measured once, as for the
    // engine's partition). TARVO_FASTSORT_SCATTER forces either way.
    const std::optional<ScatterKind> forced = forced_scatter_kind();
    const bool line_buffers_pay =
        (buckets > (std::size_t(1) << kMaxScatterBits) && !rising) ||
        measured_scatter_kind<scatter_width_t<Record>, ScatterUse::partition>() == ScatterKind::combining;
    const bool combining = strands == 1 && combining_fits(pairs) &&
                           (forced ? *forced == ScatterKind::combining
                                   : buckets >= kCombiningMinBuckets && n * sizeof(Record) >= kStreamingMinBytes &&
                                         line_buffers_pay);
    std::vector<std::uint64_t> ends;
    std::vector<std::unique_ptr<CombiningLines>> lines;
    if (combining) {
        ends.resize(pieces * buckets);
        for (std::size_t p = 0; p < pieces; ++p)
            for (std::size_t d = 0; d < buckets; ++d)
                ends[p * buckets + d] = p + 1 < pieces ? counts[(p + 1) * stride + d] : starts[d + 1];
        for (std::size_t p = 0; p < pieces; ++p) lines.push_back(std::make_unique<CombiningLines>(buckets));
    }
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t* heads = counts + p * strands * stride;
        if (combining) {
            combining_scatter_items<Record>(
                end - begin, std::span<Record>(pairs, n), std::span<std::uint64_t>(heads, buckets),
                std::span<const std::uint64_t>(ends.data() + p * buckets, buckets), *lines[p], [&](std::size_t j) {
                    const std::size_t i = begin + j;
                    const std::uint64_t k = keys[i];
                    return std::pair<Record, std::uint64_t>{pair.make(i, k), digits ? digits[i] : digit(k)};
                });
            return;
        }
        by_strands<strands>(begin, end, [&](std::size_t q, std::size_t i) {
            const std::uint64_t k = keys[i];
            pairs[heads[q * stride + (digits ? digits[i] : digit(k))]++] = pair.make(i, k);
        });
    });
    std::atomic<std::size_t> next{0};
    std::uint64_t* words = memory.words_for(out);
    pool::capped_parallel_for(workers, workers, [&](std::size_t w) {
        std::uint64_t* bucket_counts = counts + w * ((std::size_t(1) << kMaxDigitBits) + 1);
        std::uint32_t* ranks = memory.ranks + w * kRankWordsMax;
        for (std::size_t d = next++; d < buckets; d = next++) {
            const std::size_t first = starts[d];
            const std::size_t m = starts[d + 1] - first;
            if (m > 0) sort_bucket(pair, pairs + first, m, words + first, ranks, bucket_counts, out, first, digit.range(d));
        }
    });
}

// The indices of a nearly sorted lane of n keys (n >= 2) in `order`: sorted
// runs joined end to end (a few, one of them a restart) merged as runs of
// positions; else the drop-merge sort on positions. One scan keeps the
// keys in order as runs of positions and drops the others, as (index, key)
// words, into `side` (as many as it has room for), by the engine's drop-merge
// rules: a key below the last kept one is dropped, unless it is not below
// the one kept before that (the last kept one is then dropped instead), and
// after a run of drops up to kDropMergeBlock kept keys above it are taken
// back out. The side is sorted, and a forward merge, cut into `pieces`
// parts each merged by a worker, writes each run's positions with the
// dropped indices between them. Returns false, with
// `order` unwritten, where the side would outgrow its room or the runs'
// merge its scratch memory cannot be had.
template <typename K>
bool drop_merge_argsort(const K* keys, std::size_t n, std::span<Word128> side, std::uint64_t* order,
                        std::size_t pieces) {
    std::size_t first_run = 0;
    if (std::vector<std::uint64_t> joined = tfs::detail::joined_runs(keys, n, first_run); !joined.empty()) {
        std::iota(order, order + n, std::uint64_t(0));
        try {
            k_way_merge(std::span<std::uint64_t>(order, n), joined, [keys](std::uint64_t a, std::uint64_t b) {
                return keys[a] < keys[b] || (keys[a] == keys[b] && a < b);
            });
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    struct Run {
        std::size_t begin, end;
    };
    std::vector<Run> runs;  // the kept positions, in order
    std::size_t kept = 0, dropped = 0;
    const auto keep = [&](std::size_t begin, std::size_t end) {
        if (!runs.empty() && runs.back().end == begin)
            runs.back().end = end;
        else
            runs.push_back({begin, end});
        kept += end - begin;
    };
    const auto drop_last_kept = [&] {
        const std::size_t p = --runs.back().end;
        side[dropped++] = Word128{p, keys[p]};
        if (runs.back().begin == p) runs.pop_back();
        --kept;
    };
    const auto last_kept = [&](std::size_t back) {  // `back` kept positions before the last
        auto r = runs.end() - 1;
        for (; back >= r->end - r->begin; --r) back -= r->end - r->begin;
        return r->end - 1 - back;
    };
    std::size_t i = 0, run = 0;
    while (i < n) {
        const K x = keys[i];
        if (kept == 0 || !(x < keys[last_kept(0)])) {
            // Kept, with the stretch in order after it.
            const std::size_t end = first_break<KeyMap::plain, Direction::ascending>(keys, i + 1, n);
            keep(i, end);
            i = end;
            run = 0;
            continue;
        }
        if (dropped == side.size()) return false;
        if (kept == 1 || !(x < keys[last_kept(1)])) {
            drop_last_kept();
            keep(i, i + 1);
            ++i;
            run = 0;
            continue;
        }
        // The kept keys above this one, if they are few enough to be a
        // moved block rather than this key a stray one.
        std::size_t above = 0;
        if (++run >= kDropMergeBacktrack && (run & (run - 1)) == 0)
            while (above <= kDropMergeBlock && above < kept && x < keys[last_kept(above)]) ++above;
        if (above == 0 || above > kDropMergeBlock || dropped + above > side.size()) {
            side[dropped++] = Word128{i, x};
            ++i;
            continue;
        }
        for (; above > 0; --above) drop_last_kept();
        keep(i, i + 1);
        ++i;
        run = 0;
    }
    simd_sort(side.first(dropped));
    // Each dropped (key, index) after the kept positions whose (key,
    // position) is below it: the merge cut into `pieces` parts of even
    // numbers of kept positions, each merged by a worker from the first
    // dropped word above the kept position it starts at.
    std::vector<std::size_t> run_ranks(runs.size() + 1, 0);  // kept positions before each run
    for (std::size_t r = 0; r < runs.size(); ++r) run_ranks[r + 1] = run_ranks[r] + (runs[r].end - runs[r].begin);
    const std::span<const Word128> sorted_side = side.first(dropped);
    const auto cut = [&](std::size_t part) {  // (first run, first kept position, first dropped word)
        const std::size_t rank = kept * part / pieces;
        if (rank == kept) return std::array<std::size_t, 3>{runs.size(), 0, dropped};
        const std::size_t r =
            static_cast<std::size_t>(std::upper_bound(run_ranks.begin(), run_ranks.end(), rank) - run_ranks.begin()) - 1;
        const std::size_t p = runs[r].begin + (rank - run_ranks[r]);
        const K key = keys[p];
        const auto below = [&](const Word128& w) { return w.hi < key || (w.hi == key && w.lo < p); };
        return std::array<std::size_t, 3>{
            r, p, static_cast<std::size_t>(std::partition_point(sorted_side.begin(), sorted_side.end(), below) -
                                           sorted_side.begin())};
    };
    pool::capped_parallel_for(pieces, pieces, [&](std::size_t part) {
        const auto [run, first, d_begin] = cut(part);
        const auto [end_run, last, d_end] = cut(part + 1);
        std::size_t o = (run < runs.size() ? run_ranks[run] + (first - runs[run].begin) : kept) + d_begin;
        std::size_t d = d_begin;
        for (std::size_t r = run; r <= end_run && r < runs.size(); ++r) {
            std::size_t p = r == run ? first : runs[r].begin;
            const std::size_t end = r == end_run ? last : runs[r].end;
            for (; d < d_end; ++d) {
                const Word128 next = side[d];
                std::size_t q = p;
                while (q < end && (keys[q] < next.hi || (keys[q] == next.hi && q < next.lo))) ++q;
                if (q == end) break;
                for (; p < q; ++p) order[o++] = p;
                order[o++] = next.lo;
            }
            for (; p < end; ++p) order[o++] = p;
        }
        for (; d < d_end; ++d) order[o++] = side[d].lo;
        const std::size_t part_end = end_run < runs.size() ? run_ranks[end_run] + (last - runs[end_run].begin) + d_end : n;
        check(o == part_end, "drop-merge wrote other than its part's length");
    });
    return true;
}

// Keys read once into `words`, with their range. Where the spread of the
// keys and the width of an index fit in 64 bits, words
// (key - smallest) << index bits | index are sorted as sort() sorts u64
// keys, unless the lane is long and a partition gives its buckets 32-bit
// words; where they do not fit, short lanes sort 128-bit (key, index)
// words. Long lanes are partitioned (partition_argsort) by enough top bits
// of the spread that buckets of about 2^kBucketLengthBits pairs, or twice
// the average length, take their ranks and the rest of the spread in 64
// bits, or in 32 where a few more bits do (up to kMaxScatterBits); keys too
// wide for a word with their index take one after the digit's bits where
// it can have enough.
template <typename U, typename Map>
void wide_argsort(const LaneIn& in, Map map, const LaneOut& out, std::size_t workers, LaneMemory& memory) {
    const std::size_t n = in.n;
    // Keys of 32-bit elements fit in 32 bits and are kept so, in the first
    // half of the words' memory: the passes over them read half as much.
    using K = std::conditional_t<sizeof(U) <= 4, std::uint32_t, std::uint64_t>;
    K* const keys = reinterpret_cast<K*>(memory.words_for(out));
    const std::size_t pieces = pieces_of(n, workers);
    std::vector<std::uint64_t> lows(pieces, std::numeric_limits<std::uint64_t>::max());
    std::vector<std::uint64_t> highs(pieces, 0);
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::pair<K, K> range;
#if defined(__x86_64__)
        if (avx2_enabled())
            range = copy_keys_avx2<U>(in, begin, end, map, keys);
        else
#endif
            range = copy_keys<U>(in, begin, end, map, keys);
        lows[p] = range.first;
        highs[p] = range.second;
    });
    const std::uint64_t lo = *std::min_element(lows.begin(), lows.end());
    const std::uint64_t hi = *std::max_element(highs.begin(), highs.end());
    const auto spread = static_cast<unsigned>(std::bit_width(hi - lo));
    const auto index_bits = static_cast<unsigned>(std::bit_width(n - 1));
    const bool packed = spread + index_bits <= 64;
    if (spread == 0) return write_indices(out, 0, n, [](std::size_t j) { return static_cast<Index>(j); });

    // Keys in order cost a scan, and so do keys in falling order (runs of
    // equal keys each keep their order); nearly sorted keys, the drop-merge
    // sort on positions, below.
    if (std::is_sorted(keys, keys + n)) return write_indices(out, 0, n, [](std::size_t j) { return static_cast<Index>(j); });
    if (std::adjacent_find(keys, keys + n, std::less<>()) == keys + n) {
        // Runs of equal keys from the last, each in its order, into the
        // pairs' memory first: the keys may lie in the lane of indices.
        auto* order = reinterpret_cast<Index*>(memory.pairs->get());
        std::size_t j = 0;
        for (std::size_t end = n; end > 0;) {
            std::size_t begin = end - 1;
            while (begin > 0 && keys[begin - 1] == keys[end - 1]) --begin;
            for (std::size_t i = begin; i < end; ++i) order[j++] = static_cast<Index>(i);
            end = begin;
        }
        return write_indices(out, 0, n, [order](std::size_t k) { return order[k]; });
    }
    // Words (key - lo) << index bits | index where they fit, else 128-bit
    // (index, key) words: built, and the indices written from them, by every
    // worker.
    const std::uint64_t mask = (std::uint64_t(1) << index_bits) - 1;
    const auto pack = [&](std::uint64_t* words) {
        in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t i = begin; i < end; ++i) words[i] = (std::uint64_t(keys[i]) - lo) << index_bits | i;
        });
    };
    const auto pair_up = [&](Word128* pairs) {
        in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t i = begin; i < end; ++i) pairs[i] = Word128{i, keys[i]};
        });
    };
    const auto write_from = [&](auto index_of) {
        in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
            write_indices(out, begin, end, index_of);
        });
    };
    const auto unpack = [&](const std::uint64_t* words) {
        write_from([words, mask](std::size_t j) { return static_cast<Index>(words[j] & mask); });
    };
    const auto unpair = [&](const Word128* pairs) {
        write_from([pairs](std::size_t j) { return static_cast<Index>(pairs[j].lo); });
    };
    // Nearly sorted keys: their indices by the drop-merge sort, in the
    // pairs' memory, the dropped ones' words after them; written out by
    // every worker.
    if (n >= kDropMergeMinLength &&
        tfs::detail::looks_nearly_sorted(std::span<const K>(keys, n), [](K k) { return k; })) {
        auto* order = reinterpret_cast<std::uint64_t*>(memory.pairs->get());
        const std::span<Word128> side(memory.pairs->get() + (n + 1) / 2, n / kDropMergeSideDivisor);
        if (drop_merge_argsort(keys, n, side, order, pieces))
            return write_from([order](std::size_t j) { return static_cast<Index>(order[j]); });
    }

    const auto fit = [&](unsigned bits) { return (spread + index_bits + 2 - std::min(spread + index_bits, bits)) / 2; };
    if (n < (packed ? kPartitionMinLength : kWidePartitionMinLength) || (packed && fit(32) > kMaxRankDigitBits)) {
        if (packed) {
            // The words in place of 64-bit keys; of 32-bit ones, in the
            // pairs' memory (room for 2n words), the rest of it the sort's.
            auto* pair_words = reinterpret_cast<std::uint64_t*>(memory.pairs->get());
            std::uint64_t* words = pair_words;
            std::uint64_t* scratch = pair_words + n;
            if constexpr (sizeof(K) == sizeof(std::uint64_t)) {
                words = keys;
                scratch = pair_words;
            }
            pack(words);
            sort_words(std::span<std::uint64_t>(words, n), workers, scratch);
            return unpack(words);
        }
        Word128* pairs = memory.pairs->get();
        pair_up(pairs);
        simd_sort(std::span<Word128>(pairs, n));
        return unpair(pairs);
    }

    // A sample of the keys at even strides: whether they rise along the
    // lane, then (sorted) the digit's shape and whether one key is heavy.
    std::array<std::uint64_t, kDigitSample> sample;
    for (std::size_t s = 0; s < kDigitSample; ++s) sample[s] = keys[(2 * s + 1) * n / (2 * kDigitSample)];
    const bool rising = std::is_sorted(sample.begin(), sample.end());
    std::sort(sample.begin(), sample.end());
    bool heavy = false;  // a key of kHeavyKeySample in the sample
    for (std::size_t i = 0; i + kHeavyKeySample <= kDigitSample && !heavy; ++i)
        heavy = sample[i] == sample[i + kHeavyKeySample - 1];

    const unsigned spread_out = static_cast<unsigned>(std::bit_width(workers * kBucketsPerWorker - 1));
    // Enough bits for buckets of cached length whose words fit 32 bits (at
    // most kMaxScatterBits: longer buckets are split again in cache), and
    // for the workers; more only where the words would not fit 64 bits.
    unsigned digit_bits = index_bits > kBucketLengthBits ? index_bits - kBucketLengthBits : 1u;
    if (fit(32) <= kMaxRankDigitBits) digit_bits = std::max(digit_bits, fit(32));
    digit_bits = std::max({std::min(digit_bits, kMaxScatterBits), fit(64), spread_out});
    // Keys too wide to share a word with their index share one with it
    // after the digit's bits (TrimmedPair) where up to kMaxScatterBits take
    // those, or up to kMaxDigitBits where the keys rise along the lane (a
    // scatter then fills few buckets at a time).
    const unsigned trimmed = spread + index_bits - std::min(spread + index_bits, 64u);
    if (!packed && trimmed <= (rising ? kMaxDigitBits : kMaxScatterBits)) digit_bits = std::max(digit_bits, trimmed);
    digit_bits = std::min({digit_bits, kMaxDigitBits, spread});
    const auto partition = [&](const auto& digit) {
        const auto run = [&]<std::size_t strands>(std::integral_constant<std::size_t, strands>) {
            constexpr bool top_bits = std::is_same_v<std::decay_t<decltype(digit)>, TopBitsDigit>;
            // Digits dearer than a shift are kept from the count for the
            // scatter where there is room for them: past 32-bit keys.
            std::uint16_t* const digits =
                sizeof(K) == 4 && !top_bits ? reinterpret_cast<std::uint16_t*>(keys + n) : nullptr;
            if (packed) {
                partition_argsort<strands>(PackedPair{lo, index_bits}, keys, digits, n, digit, out, workers, memory,
                                           rising);
                return;
            }
            if constexpr (top_bits) {
                if (digit.shift + index_bits <= 64) {
                    partition_argsort<strands>(TrimmedPair{lo, digit.shift, index_bits}, keys, digits, n, digit, out,
                                               workers, memory, rising);
                    return;
                }
            }
            partition_argsort<strands>(WidePair{}, keys, digits, n, digit, out, workers, memory, rising);
        };
        // Each stretch's heads are streams of their own: stretches only
        // while all of them stay within a scatter's width.
        if (heavy && digit.buckets * kStrands <= (std::size_t(1) << kMaxScatterBits))
            run(std::integral_constant<std::size_t, kStrands>{});
        else
            run(std::integral_constant<std::size_t, 1>{});
    };
    const TopBitsDigit top{lo, spread - digit_bits, std::size_t(1) << digit_bits};
    // Skewed keys may take the log scale around their sample's median.
    with_digit(sample, lo, hi, top, log_buckets_for(n, top), partition);
}

// Neighbours compared at once for ties in a falling lane, before the
// compares that find where a run of equal keys begins and ends.
constexpr std::size_t kTieBlock = 64;

// The indices of a contiguous lane of two runs in order (two sorted arrays
// joined at m), merged, the first run's keys first among equal ones,
// comparing without branches; on the workers, each piece's share of either
// run found along the merge path.
template <typename U, typename Map>
void merge_two_runs(std::span<const U> words, std::size_t m, bool floats, Map map, const LaneOut& out,
                    std::size_t workers, LaneMemory& memory) {
    const std::size_t n = words.size();
    // The argsort's key, computed without branches (for floats map's tests
    // of zeros and NaNs became branches, mispredicted on random keys):
    // zeros as +0.0, NaNs above every number.
    const auto key = [&](U v) -> U {
        if (!floats) return static_cast<U>(map(v));
        const U magnitude = U(v & ~kSignBit<U>);
        const U zero = U(U(0) - U(magnitude == 0));
        const U nan = U(U(0) - U(magnitude > (sizeof(U) == 4 ? U(kFloatInfinity) : U(kDoubleInfinity))));
        return U((float_to_key(v) & ~zero) | (kSignBit<U> & zero) | nan);
    };
    // Float keys are mapped in one pass first where the lane's pair
    // memory can hold them (f32 at 1e4: 5.5 against 3.0 ns a key).
    const std::size_t pieces = pieces_of(n, workers);
    U* const mapped = floats && memory.pairs ? reinterpret_cast<U*>(memory.pairs->get()) : nullptr;
    if (mapped != nullptr)
        in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
            for (std::size_t t = begin; t < end; ++t) mapped[t] = key(words[t]);
        });
    const auto key_at = [&](std::size_t t) { return mapped != nullptr ? mapped[t] : key(words[t]); };
    // How many of the first p indices come from the first run: the
    // merge path's split, by bisection (a writer meanwhile moves it,
    // never out of range, so the pieces still cover the lane once).
    const auto first_run_share = [&](std::size_t p) {
        std::size_t lo = p > n - m ? p - (n - m) : 0, hi = std::min(p, m);
        while (lo < hi) {
            const std::size_t a = lo + (hi - lo) / 2;
            if (key_at(a) <= key_at(m + (p - a) - 1)) lo = a + 1;
            else hi = a;
        }
        return lo;
    };
    // Merges [i, i_end) of the first run and [j, j_end) of the second
    // into positions from k. Each step reads the keys after both heads
    // before it compares, so that the loads stay off the chain from
    // one compare to the next (they lie in the lane: i < m < n, and
    // j + 1 < n is tested).
    const auto merge = [&](std::size_t i, std::size_t i_end, std::size_t j, std::size_t j_end, std::size_t k,
                           auto put) {
        if (i < i_end && j < j_end && j + 1 < n) {
            U head = key_at(i), other = key_at(j);
            for (; i < i_end && j < j_end && j + 1 < n; ++k) {
                const U next_head = key_at(i + 1), next_other = key_at(j + 1);
                const std::size_t second = other < head;
                const U take = U(0) - U(second);
                put(k, static_cast<Index>(i ^ ((i ^ j) & (std::size_t(0) - second))));
                head = U((head & take) | (next_head & ~take));
                other = U((next_other & take) | (other & ~take));
                j += second;
                i += 1 - second;
            }
        }
        for (; i < i_end && j < j_end; ++k) {
            const std::size_t second = key_at(j) < key_at(i);
            put(k, static_cast<Index>(i ^ ((i ^ j) & (std::size_t(0) - second))));
            j += second;
            i += 1 - second;
        }
        for (; i < i_end; ++k) put(k, static_cast<Index>(i++));
        for (; j < j_end; ++k) put(k, static_cast<Index>(j++));
    };
    // Each piece's share, held where it can be (from the last, at
    // most all the piece's, and no more than the second run leaves).
    std::vector<std::size_t> shares(pieces + 1, m);
    shares[0] = 0;
    for (std::size_t q = 1; q < pieces; ++q) {
        const std::size_t p = n * q / pieces, before = n * (q - 1) / pieces;
        const std::size_t lo = std::max(shares[q - 1], p > n - m ? p - (n - m) : 0);
        const std::size_t hi = std::min({shares[q - 1] + (p - before), p, m});
        shares[q] = std::clamp(first_run_share(p), lo, hi);
    }
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t q) {
        const std::size_t a = shares[q], a_end = shares[q + 1];
        const std::size_t b = m + (begin - a), b_end = m + (end - a_end);
        if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index)))
            merge(a, a_end, b, b_end, begin,
                  [to = reinterpret_cast<Index*>(out.data)](std::size_t at, Index v) { to[at] = v; });
        else
            merge(a, a_end, b, b_end, begin, [&](std::size_t at, Index v) {
                write_indices(out, at, at + 1, [v](std::size_t) { return v; });
            });
    });
}

// A contiguous lane of 32- or 64-bit keys in order, or in falling order,
// throughout, or as two runs in order: vector scans, then the indices
// written, the identity, (falling) the runs of equal keys from the last,
// each in its order, or the two runs merged. Says whether it did. The scan
// reads the bits in the sort's order, which is the argsort's but for NaNs
// and NaT (first there, last here; NaNs of either sign and both zeros
// differ there, as here they do not): a lane in that order is in the
// argsort's if no NaN or NaT leads it (nor, falling, ends it). A writer
// meanwhile leaves a permutation: every index is written once.
template <typename U, typename Map>
bool settled_argsort(Element element, const LaneIn& in, Map map, const LaneOut& out, std::size_t workers,
                     LaneMemory& memory) {
    const std::size_t n = in.n;
    if (in.stride != static_cast<std::ptrdiff_t>(sizeof(U)) || reinterpret_cast<std::uintptr_t>(in.data) % sizeof(U))
        return false;
    const std::span<const U> words(reinterpret_cast<const U*>(in.data), n);
    const bool floats = element == Element::f32 || element == Element::f64;
    const auto trails = [&](U v) {  // last in the argsort's order, first or last in the scan's
        if (floats) return map(v) == std::numeric_limits<U>::max();  // a NaN
        return element == Element::time64 && v == kSignBit<U>;
    };
    // The first break of the scan's order from `from`, or n.
    const auto break_from = [&](std::size_t from, Direction d) {
        const auto with = [&]<KeyMap M>() {
            return d == Direction::ascending ? first_break<M, Direction::ascending>(words.data(), from, n)
                                             : first_break<M, Direction::descending>(words.data(), from, n);
        };
        if (floats) return with.template operator()<KeyMap::float_total>();
        if (element == Element::u32 || element == Element::u64) return with.template operator()<KeyMap::plain>();
        return with.template operator()<KeyMap::sign_flip>();
    };
    if (!trails(words[0])) {
        const std::size_t m = break_from(1, Direction::ascending);
        if (m == n) {
            in_pieces(n, pieces_of(n, workers), [&](std::size_t begin, std::size_t end, std::size_t) {
                write_indices(out, begin, end, [](std::size_t j) { return static_cast<Index>(j); });
            });
            return true;
        }
        // Two runs in order (two sorted arrays joined).
        if (!trails(words[m]) && break_from(m + 1, Direction::ascending) == n) {
            merge_two_runs<U>(words, m, floats, map, out, workers, memory);
            return true;
        }
    }
    const auto in_order = [&](Direction d) { return break_from(1, d) == n; };
    if (trails(words[0]) || trails(words[n - 1]) || !in_order(Direction::descending)) return false;
    // Falling: the indices from the last, then each run of equal keys put
    // back in its order. Such a lane holds no NaN, so equal keys are equal
    // bits, or zeros of either sign.
    in_pieces(n, pieces_of(n, workers), [&](std::size_t begin, std::size_t end, std::size_t) {
        write_indices(out, begin, end, [n](std::size_t j) { return static_cast<Index>(n - 1 - j); });
    });
    const auto tied = [floats](U a, U b) { return a == b || (floats && U((a | b) << 1) == 0); };
    for (std::size_t i = 0; i + 1 < n;) {
        const std::size_t stop = std::min(n - 1, i + kTieBlock);
        bool any = false;  // a block without ties, the common case, in a loop without branches
        for (std::size_t k = i; k < stop; ++k) any |= tied(words[k], words[k + 1]);
        if (!any) {
            i = stop;
            continue;
        }
        for (; i < stop; ++i) {
            if (!tied(words[i], words[i + 1])) continue;
            std::size_t last = i + 1;
            while (last + 1 < n && tied(words[last], words[last + 1])) ++last;
            // Positions n-1-last .. n-1-i hold last .. i: write i .. last.
            const std::size_t at = n - 1 - last;
            write_indices(out, at, n - i, [&](std::size_t j) { return static_cast<Index>(i + (j - at)); });
            i = last;
        }
    }
    return true;
}

// Writes the stable order of one lane; lanes of few keys are first tried as
// such unless `try_few_keys` is false (the tail of such a lane).
void argsort_lane(Element element, const LaneIn& in, const LaneOut& out, std::size_t workers, LaneMemory& memory,
                  bool try_few_keys) {
    if (in.n == 0) return;
    if (in.n == 1) return write_indices(out, 0, 1, [](std::size_t) { return Index{0}; });
    const Way way = way_of(element, in.n);
    if (in.n < kParallelPassMinLength) workers = 1;
    with_key_map(element, [&]<typename U, typename Map>(U, Map map) {
        if constexpr (sizeof(U) == 2) {
            if (way == Way::lsd) {
                if (in.n <= (std::size_t(1) << 24)) return lsd16_argsort<std::uint32_t>(in, map, out, memory);
                return lsd16_argsort<std::uint64_t>(in, map, out, memory);
            }
        }
        if constexpr (sizeof(U) <= 2) {
            if (way == Way::counting) return counting_argsort<U>(in, map, out, workers, memory);
        }
        if constexpr (sizeof(U) >= 4) {
            if (settled_argsort<U>(element, in, map, out, workers, memory)) return;
        }
        if (try_few_keys && in.n >= kFewKeysMinLength && few_keys_argsort<U>(element, in, map, out, workers, memory))
            return;
        if (way == Way::words) return word_argsort<U>(in, map, out, memory);
        wide_argsort<U>(in, map, out, workers, memory);
    });
}

// Runs body(t) for every t in [0, tasks), on the pool when more than one.
void run_tasks(std::size_t tasks, const std::function<void(std::size_t)>& body) {
    if (tasks <= 1)
        body(0);
    else
        pool::parallel_for(tasks, body);
}

// Lane i's start in an array of these lanes' outer dimensions and `strides`.
char* lane_start(const Lanes& lanes, char* data, const std::vector<std::ptrdiff_t>& strides, std::size_t i) {
    for (std::size_t d = lanes.outer_dims.size(); d-- > 0;) {
        data += static_cast<std::ptrdiff_t>(i % lanes.outer_dims[d]) * strides[d];
        i /= lanes.outer_dims[d];
    }
    return data;
}

}  // namespace

void argsort_lanes(Element element, const Lanes& lanes, const Lanes& indices, std::size_t workers) {
    check(lanes.outer_dims.size() == lanes.outer_strides.size() &&
              indices.outer_strides.size() == lanes.outer_dims.size() && indices.length == lanes.length,
          "argsort lanes and index lanes differ in shape");
    std::size_t count = 1;
    for (std::size_t d : lanes.outer_dims) count *= d;
    if (count == 0 || lanes.length == 0) return;
    workers = std::max<std::size_t>(workers, 1);
    // One worker per lane when there are several; a single lane gets them all.
    const std::size_t lane_workers = count == 1 ? workers : 1;
    const std::size_t tasks = std::min(workers, count);
    std::vector<std::optional<LaneMemory>> memory(tasks);
    for (auto& m : memory)
        m.emplace(element, lanes.length, lane_workers, indices.stride == static_cast<std::ptrdiff_t>(sizeof(Index)));

    std::atomic<std::size_t> next{0};
    run_tasks(tasks, [&](std::size_t t) {
        for (std::size_t i = next++; i < count; i = next++) {
            const LaneIn in{lane_start(lanes, lanes.data, lanes.outer_strides, i), lanes.stride, lanes.length};
            const LaneOut out{lane_start(lanes, indices.data, indices.outer_strides, i), indices.stride};
            argsort_lane(element, in, out, lane_workers, *memory[t], true);
        }
    });
}

}  // namespace tfs::general
