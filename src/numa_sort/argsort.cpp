#include "numa_sort/argsort.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/failure.hpp"
#include "engine/sorts/scratch_cache.hpp"
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
// Buckets per worker at least, so that the workers' loads even out.
constexpr std::size_t kBucketsPerWorker = 16;
// Bit patterns of +infinity: above them (sign bit aside) lie the NaNs.
constexpr std::uint16_t kHalfInfinity = 0x7c00;
constexpr std::uint32_t kFloatInfinity = 0x7f800000;
constexpr std::uint64_t kDoubleInfinity = 0x7ff0000000000000;

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

// Memory for one lane at a time, taken before the lane is read: `words`
// (keys, then the words sorted) where the lane of indices cannot hold them
// (it is not contiguous, or the keys of the counting sort must outlive the
// indices' writes), `pairs` (the partition's (index, key) pairs, or the
// parallel word sort's scratch), `counts` (counters of the counting sort and
// of the partition) and `ranks` (the workers' 32-bit words), none
// initialised.
struct LaneMemory {
    std::optional<Scratch<std::uint64_t>> words;
    std::optional<Scratch<Word128>> pairs;
    std::optional<Scratch<std::uint64_t>> counts;
    std::optional<Scratch<std::uint32_t>> ranks;

    LaneMemory(Element element, std::size_t n, std::size_t workers, bool contiguous_indices) {
        if (n < 2) return;
        const Way way = way_of(element, n);
        const std::size_t key_words = (n * element_size(element) + 7) / 8;
        if (way == Way::counting) words.emplace(key_words);  // the keys' copy
        if (way == Way::lsd)
            words.emplace(lsd16_key_words(n) + n);  // keys, then records of up to 64 bits
        else if (way != Way::counting && !contiguous_indices)
            words.emplace(n);
        switch (way) {
            case Way::counting: counts.emplace(pieces_of(n, workers) << (8 * element_size(element))); break;
            case Way::lsd:
            case Way::words: break;
            case Way::wide:
                pairs.emplace(n);
                if (n >= kWidePartitionMinLength) {
                    counts.emplace(workers * ((std::size_t(1) << kMaxDigitBits) + 1));
                    ranks.emplace(workers * kRankWordsMax);
                }
                break;
        }
    }
    // Where the words go: the lane of indices itself where it is contiguous
    // (each word lies where its position's index is written).
    std::uint64_t* words_for(const LaneOut& out) const {
        return words ? words->get() : reinterpret_cast<std::uint64_t*>(out.data);
    }
};

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
        std::uint64_t* heads = counts + p * values;
        if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index))) {
            Index* to = reinterpret_cast<Index*>(out.data);
            for (std::size_t i = begin; i < end; ++i) to[heads[keys[i]]++] = static_cast<Index>(i);
        } else {
            for (std::size_t i = begin; i < end; ++i)
                *reinterpret_cast<Index*>(out.data + static_cast<std::ptrdiff_t>(heads[keys[i]]++) * out.stride) =
                    static_cast<Index>(i);
        }
    });
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
    if (out.stride == static_cast<std::ptrdiff_t>(sizeof(Index))) {
        Index* to = reinterpret_cast<Index*>(out.data);
        for (std::size_t j = 0; j < n; ++j) to[high[moved[j] >> index_bits]++] = static_cast<Index>(moved[j] & index_mask);
    } else {
        for (std::size_t j = 0; j < n; ++j)
            *reinterpret_cast<Index*>(out.data + static_cast<std::ptrdiff_t>(high[moved[j] >> index_bits]++) * out.stride) =
                static_cast<Index>(moved[j] & index_mask);
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

// A key with its index, as the partition scatters it: one word
// (key - smallest) << index bits | index where both fit in 64 bits, else a
// 128-bit word with the key high. Either sorts as (key, index).
struct PackedPair {
    using Record = std::uint64_t;
    std::uint64_t lo;
    unsigned index_bits;

    Record make(std::uint64_t i, std::uint64_t k) const { return (k - lo) << index_bits | i; }
    std::uint64_t key(Record r) const { return r >> index_bits; }
    Index index(Record r) const { return static_cast<Index>(r & ((std::uint64_t(1) << index_bits) - 1)); }
};
struct WidePair {
    using Record = Word128;
    Record make(std::uint64_t i, std::uint64_t k) const { return Record{i, k}; }
    std::uint64_t key(const Record& r) const { return r.hi; }
    Index index(const Record& r) const { return static_cast<Index>(r.lo); }
};

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
                 std::uint32_t* ranks, std::uint64_t* counts, const LaneOut& out, std::size_t first) {
    std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t hi = 0;
    for (std::size_t j = 0; j < m; ++j) {
        lo = std::min(lo, pair.key(pairs[j]));
        hi = std::max(hi, pair.key(pairs[j]));
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
    // A long bucket (heavy keys) is partitioned again even where its words
    // fit: parts of one key each are then left in rank order.
    if (spread + rank_bits <= 64 && m <= kRankWordsMax) return ranked(words);
    const unsigned digit_bits = std::min(
        std::max(spread + rank_bits - std::min(spread + rank_bits, 64u),
                 rank_bits > kBucketLengthBits ? rank_bits - kBucketLengthBits : 1u),
        spread + rank_bits <= 64 ? std::min(kMaxDigitBits, spread) : kMaxDigitBits + 1);
    if (m < kWidePartitionMinLength || digit_bits > std::min(kMaxDigitBits, spread)) {
        simd_sort(std::span<typename Pair::Record>(pairs, m));
        return write_indices(at, 0, m, index_of_pair);
    }
    const unsigned shift = spread - digit_bits;
    const std::size_t parts = std::size_t(1) << digit_bits;
    const std::uint64_t low_mask = (std::uint64_t(1) << shift) - 1;
    std::fill(counts, counts + parts + 1, 0);
    for (std::size_t j = 0; j < m; ++j) ++counts[((pair.key(pairs[j]) - lo) >> shift) + 1];
    for (std::size_t d = 0; d < parts; ++d) counts[d + 1] += counts[d];
    check(counts[parts] == m, "bucket counts differ from the bucket length");
    // counts[d] walks part d's stretch; afterwards it is part d + 1's start.
    for (std::size_t j = 0; j < m; ++j) {
        const std::uint64_t k = pair.key(pairs[j]) - lo;
        words[counts[k >> shift]++] = (k & low_mask) << rank_bits | j;
    }
    std::size_t begin = 0;
    for (std::size_t d = 0; d < parts; ++d) {
        const std::size_t end = counts[d];
        const std::span<std::uint64_t> part(words + begin, end - begin);
        if (!std::is_sorted(part.begin(), part.end())) simd_sort(part);
        write_indices(at, begin, end, [&](std::size_t j) { return index_of_pair(words[j] & rank_mask); });
        begin = end;
    }
}

// Partitions the n keys (their index is their position) by the top
// `digit_bits` of their spread above `lo` into pairs, stably (each piece's
// stretch of a bucket after the previous piece's), and sorts each bucket on
// its own (sort_bucket), the buckets spread over the workers. The keys'
// memory (where the indices go, or apart) then holds the buckets' words.
template <typename Pair>
void partition_argsort(const Pair& pair, std::uint64_t* keys, std::size_t n, std::uint64_t lo, unsigned spread,
                       unsigned digit_bits, const LaneOut& out, std::size_t workers, LaneMemory& memory) {
    using Record = typename Pair::Record;
    Record* pairs = reinterpret_cast<Record*>(memory.pairs->get());
    const std::size_t pieces = pieces_of(n, workers);
    const unsigned shift = spread - digit_bits;
    const std::size_t buckets = std::size_t(1) << digit_bits;
    const std::uint64_t digit_mask = buckets - 1;
    const auto digit = [=](std::uint64_t k) { return static_cast<std::size_t>((k - lo) >> shift & digit_mask); };

    std::uint64_t* counts = memory.counts->get();
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t* c = counts + p * buckets;
        std::fill(c, c + buckets, 0);
        for (std::size_t i = begin; i < end; ++i) ++c[digit(keys[i])];
    });
    std::vector<std::uint64_t> starts(buckets + 1);
    std::uint64_t total = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
        starts[d] = total;
        for (std::size_t p = 0; p < pieces; ++p) {
            const std::uint64_t c = counts[p * buckets + d];
            counts[p * buckets + d] = total;
            total += c;
        }
    }
    starts[buckets] = total;
    check(total == n, "partition counts differ from the lane length");
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t* heads = counts + p * buckets;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint64_t k = keys[i];
            pairs[heads[digit(k)]++] = pair.make(i, k);
        }
    });
    std::atomic<std::size_t> next{0};
    std::uint64_t* words = memory.words_for(out);
    pool::capped_parallel_for(workers, workers, [&](std::size_t w) {
        std::uint64_t* bucket_counts = counts + w * ((std::size_t(1) << kMaxDigitBits) + 1);
        std::uint32_t* ranks = memory.ranks->get() + w * kRankWordsMax;
        for (std::size_t d = next++; d < buckets; d = next++) {
            const std::size_t first = starts[d];
            const std::size_t m = starts[d + 1] - first;
            if (m > 0) sort_bucket(pair, pairs + first, m, words + first, ranks, bucket_counts, out, first);
        }
    });
}

// Keys read once into `words`, with their range. Where the spread of the
// keys and the width of an index fit in 64 bits, words
// (key - smallest) << index bits | index are sorted as sort() sorts u64
// keys, unless the lane is long and a partition gives its buckets 32-bit
// words; where they do not fit, short lanes sort 128-bit (key, index)
// words. Long lanes are partitioned (partition_argsort) by enough top bits
// of the spread that buckets of about 2^kBucketLengthBits pairs, or twice
// the average length, take their ranks and the rest of the spread in 64
// bits, or in 32 where a few more bits do.
template <typename U, typename Map>
void wide_argsort(const LaneIn& in, Map map, const LaneOut& out, std::size_t workers, LaneMemory& memory) {
    const std::size_t n = in.n;
    std::uint64_t* keys = memory.words_for(out);
    const std::size_t pieces = pieces_of(n, workers);
    std::vector<std::uint64_t> lows(pieces, std::numeric_limits<std::uint64_t>::max());
    std::vector<std::uint64_t> highs(pieces, 0);
    in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t p) {
        std::uint64_t lo = std::numeric_limits<std::uint64_t>::max();
        std::uint64_t hi = 0;
        for_each_element<U>(in, begin, end, [&](std::size_t i, U v) {
            const std::uint64_t k = map(v);
            keys[i] = k;
            lo = std::min(lo, k);
            hi = std::max(hi, k);
        });
        lows[p] = lo;
        highs[p] = hi;
    });
    const std::uint64_t lo = *std::min_element(lows.begin(), lows.end());
    const std::uint64_t hi = *std::max_element(highs.begin(), highs.end());
    const auto spread = static_cast<unsigned>(std::bit_width(hi - lo));
    const auto index_bits = static_cast<unsigned>(std::bit_width(n - 1));
    const bool packed = spread + index_bits <= 64;
    if (spread == 0) return write_indices(out, 0, n, [](std::size_t j) { return static_cast<Index>(j); });

    const auto fit = [&](unsigned bits) { return (spread + index_bits + 2 - std::min(spread + index_bits, bits)) / 2; };
    if (n < (packed ? kPartitionMinLength : kWidePartitionMinLength) || (packed && fit(32) > kMaxRankDigitBits)) {
        if (packed) {
            in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
                for (std::size_t i = begin; i < end; ++i) keys[i] = (keys[i] - lo) << index_bits | i;
            });
            sort_words(std::span<std::uint64_t>(keys, n), workers, reinterpret_cast<std::uint64_t*>(memory.pairs->get()));
            const std::uint64_t mask = (std::uint64_t(1) << index_bits) - 1;
            in_pieces(n, pieces, [&](std::size_t begin, std::size_t end, std::size_t) {
                write_indices(out, begin, end, [&](std::size_t j) { return static_cast<Index>(keys[j] & mask); });
            });
            return;
        }
        Word128* pairs = memory.pairs->get();
        for (std::size_t i = 0; i < n; ++i) pairs[i] = Word128{i, keys[i]};
        simd_sort(std::span<Word128>(pairs, n));
        write_indices(out, 0, n, [&](std::size_t j) { return static_cast<Index>(pairs[j].lo); });
        return;
    }

    const unsigned spread_out = static_cast<unsigned>(std::bit_width(workers * kBucketsPerWorker - 1));
    unsigned digit_bits =
        std::max({index_bits > kBucketLengthBits ? index_bits - kBucketLengthBits : 1u, fit(64), spread_out});
    if (fit(32) <= kMaxRankDigitBits) digit_bits = std::max(digit_bits, fit(32));
    digit_bits = std::min({digit_bits, kMaxDigitBits, spread});
    if (packed)
        partition_argsort(PackedPair{lo, index_bits}, keys, n, lo, spread, digit_bits, out, workers, memory);
    else
        partition_argsort(WidePair{}, keys, n, lo, spread, digit_bits, out, workers, memory);
}

// Writes the stable order of one lane.
void argsort_lane(Element element, const LaneIn& in, const LaneOut& out, std::size_t workers, LaneMemory& memory) {
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
            argsort_lane(element, in, out, lane_workers, *memory[t]);
        }
    });
}

}  // namespace tfs::general
