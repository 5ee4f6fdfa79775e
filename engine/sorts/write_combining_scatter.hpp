#pragma once
// The write-combining scatter: each bucket gathers its elements in a small,
// cache-resident line buffer (one 64-byte line, or two with streaming
// stores), and a full buffer goes to its destination with aligned 16-byte
// stores that fill whole lines, or with streaming stores that bypass the
// cache when the destination is larger than it. A plain scatter touches a
// destination line per element; where each touch of a line that is not in
// the cache costs a read from memory first, writing whole lines saves it
// (a line-buffered pass from memory was measured at 3.5 ns per element
// against 6 on one class of Intel Xeon). On AMD Zen 3 the plain scatter is faster in and out of the
// cache, so the engine times both once per process (see utils.hpp).
//
// A bucket owns the destination positions [start, end) that the caller
// gives it. Its first line may begin before `start` and its last end after
// `end` (the neighbours' positions): those two are written element by
// element, only the lines that lie wholly inside are stored whole. A line is
// stored only after its last position has been checked against the bucket's
// end, and at the end every bucket must have reached its end exactly; so the
// scatter writes nothing outside the buckets' positions even when the keys
// change under it, and reports such a change as the plain scatter does.

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "engine/failure.hpp"
#include "engine/sorts/scratch_cache.hpp"
#include "engine/traits/radixable.hpp"

namespace tfs {

// Messages of the checks that keep a scatter inside its destination. Both
// fire only when the keys differ from the ones the histogram counted, which
// happens when another thread writes into the array during the sort.
inline constexpr const char* kScatterOverrun =
    "scatter destination index beyond the destination (the array changed during the sort)";
inline constexpr const char* kScatterCountMismatch =
    "scatter bucket sizes differ from the histogram (the array changed during the sort)";

// A cache line, the unit of every whole-line store.
inline constexpr std::size_t kScatterLineBytes = 64;
// Each bucket gathers this many bytes before they are written: one line with
// normal stores, two with streaming stores, which halves the branches taken
// per element. (Two lines per bucket with normal stores fill the first-level
// cache, which the written lines then also pass through.)
template <bool kStream>
inline constexpr std::size_t kCombiningBlockBytes = kStream ? 2 * kScatterLineBytes : kScatterLineBytes;
inline constexpr std::size_t kCombiningMaxBlockBytes = 2 * kScatterLineBytes;
// A pass takes the combining scatter only with at least this many elements per
// bucket: every bucket costs two part lines written element by element, which
// a few whole lines must repay.
inline constexpr std::size_t kCombiningMinPerBucket = 64;
// Destinations of at least this many bytes get streaming stores, and only
// passes into them take the combining scatter where it is measured: they do
// not stay in the cache until the next pass anyway, and a streaming store
// saves reading each line before it is overwritten. A smaller destination
// may stay in the last-level cache, which streaming stores would bypass.
inline constexpr std::size_t kStreamingMinBytes = std::size_t(16) << 20;
// The calibration scatters this many bytes per timing: a pass of a few
// tenths of a millisecond, long enough to time, short enough to repeat ...
inline constexpr std::size_t kCalibrationBytes = std::size_t(1) << 20;
// ... by the digit of the engine's radix passes.
inline constexpr unsigned kRadixCalibrationBits = 8;
// ... or by as many buckets as a fine partition of a few times 1e7 keys has
// (512 to 4096 from 1e7 to 1e8) for the partition's.
inline constexpr unsigned kPartitionCalibrationBits = 10;
// The combining scatter is chosen when it takes at most this share of the
// plain one's time: a closer result is noise, and the plain one is simpler.
inline constexpr double kCombiningMaxShare = 0.9;

// The two ways of scattering a pass.
enum class ScatterKind { plain, combining };

namespace detail {

// One whole block from the line buffers to its aligned destination.
template <bool kStream>
inline void store_block(void* to, const void* from) noexcept {
#if !defined(__x86_64__)
    std::memcpy(to, from, kCombiningBlockBytes<kStream>);  // no streaming store: a plain copy
#else
    const auto* in = static_cast<const __m128i*>(from);
    auto* out = static_cast<__m128i*>(to);
    for (std::size_t j = 0; j < kCombiningBlockBytes<kStream> / sizeof(__m128i); ++j) {
        const __m128i v = _mm_load_si128(in + j);
        if constexpr (kStream) {
            _mm_stream_si128(out + j, v);
        } else {
            _mm_store_si128(out + j, v);
        }
    }
#endif
}

// The failure for a bucket that went past its end at position `at` of a
// destination of n positions: past the destination, or into a neighbour.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail_bucket_overrun(std::uint64_t at, std::uint64_t n) {
    fail(at >= n ? kScatterOverrun : kScatterCountMismatch);
}

}  // namespace detail

// Line buffers for the combining scatter, never initialised: per bucket an
// aligned block of kCombiningMaxBlockBytes, the next slot to fill in it, the
// destination position of its slot 0 and the bucket's first position. Serves any number of passes with
// at most as many buckets. Large ones come from the scratch cache, whose
// kept pages cost no faults on the next sort. Throws std::bad_alloc.
class CombiningLines {
public:
    explicit CombiningLines(std::size_t buckets)
        : storage_(buckets * kBytesPerBucket + kCombiningMaxBlockBytes),
          data_(storage_.get() + (kCombiningMaxBlockBytes -
                                  reinterpret_cast<std::uintptr_t>(storage_.get()) % kCombiningMaxBlockBytes) %
                                     kCombiningMaxBlockBytes),
          buckets_(buckets) {}
    CombiningLines(const CombiningLines&) = delete;
    CombiningLines& operator=(const CombiningLines&) = delete;

    std::size_t buckets() const noexcept { return buckets_; }
    template <typename T>
    T* lines() const noexcept {
        return reinterpret_cast<T*>(data_);
    }
    template <typename T>
    T** slots() const noexcept {
        return reinterpret_cast<T**>(data_ + buckets_ * kCombiningMaxBlockBytes);
    }
    std::uint64_t* line_starts() const noexcept { return table(1); }
    std::uint64_t* firsts() const noexcept { return table(2); }

private:
    static constexpr std::size_t kBytesPerBucket = kCombiningMaxBlockBytes + 3 * sizeof(std::uint64_t);
    std::uint64_t* table(std::size_t i) const noexcept {
        return reinterpret_cast<std::uint64_t*>(data_ + buckets_ * (kCombiningMaxBlockBytes + i * sizeof(std::uint64_t)));
    }

    Scratch<unsigned char> storage_;
    unsigned char* data_;
    std::size_t buckets_;
};

// Whether the combining scatter can serve a destination at this address: its
// elements must lie at multiples of their size, so that whole lines hold
// whole elements.
template <typename T>
bool combining_fits(const T* dst) noexcept {
    return reinterpret_cast<std::uintptr_t>(dst) % sizeof(T) == 0;
}

// Stable scatter of `src` into `dst`, each element to bucket `bucket(key)`,
// which must lie below heads.size() (the caller checks its digits' range).
// Bucket b owns dst positions [heads[b], ends[b]), counted from dst's start;
// every bucket must satisfy heads[b] <= ends[b] <= dst.size() (checked), the
// buckets may lie in any order and leave positions to others (a partition
// from several threads gives each its own positions in a shared
// destination). Afterwards heads[b] == ends[b]: a bucket that the elements
// overfill fails with kScatterOverrun when it would pass the destination's
// end and kScatterCountMismatch otherwise, before writing past its end; one
// that they underfill fails with kScatterCountMismatch. kStream: whole lines
// are written with streaming stores. `lines` has at least heads.size()
// lines; dst satisfies combining_fits.
template <typename T, bool kStream, typename Bucket>
void combining_scatter_by(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads,
                       std::span<const std::uint64_t> ends, const CombiningLines& lines, Bucket bucket);

// The same for elements made as they go: element i of `count` is
// item(i).first, to bucket item(i).second (below heads.size()).
template <typename T, bool kStream, typename Item>
void combining_scatter_items_by(std::size_t count, std::span<T> dst, std::span<std::uint64_t> heads,
                             std::span<const std::uint64_t> ends, const CombiningLines& lines, Item item) {
    constexpr std::uint64_t kPerLine = kCombiningBlockBytes<kStream> / sizeof(T);
    static_assert(kPerLine * sizeof(T) == kCombiningBlockBytes<kStream>);
    const std::size_t buckets = heads.size();
    const std::uint64_t n = dst.size();
    check(ends.size() == buckets && lines.buckets() >= buckets, "combining scatter bucket tables differ in size");
    check(combining_fits(dst.data()), "combining scatter destination is not aligned to its elements");
    for (std::size_t b = 0; b < buckets; ++b)
        check(heads[b] <= ends[b] && ends[b] <= n, "combining scatter bucket outside the destination");
    if (buckets == 0) {
        check(count == 0, "combining scatter bucket outside the destination");
        return;
    }

    T* const out = dst.data();
    T* const stage = lines.lines<T>();
    T** const slot = lines.slots<T>();
    std::uint64_t* const at = lines.line_starts();
    std::uint64_t* const first = lines.firsts();
    const std::uint64_t* const e = ends.data();
    // Position p lies at slot (p + lead) % kPerLine of its destination line.
    // A bucket's first line starts up to kPerLine - 1 positions before its
    // first position, below 0 for the first bucket at worst: the positions
    // of line starts are taken modulo 2^64 and compared as signed numbers.
    const std::uint64_t lead = (reinterpret_cast<std::uintptr_t>(out) / sizeof(T)) % kPerLine;
    for (std::size_t d = 0; d < buckets; ++d) {
        const std::uint64_t s = (heads[d] + lead) % kPerLine;
        first[d] = heads[d];
        at[d] = heads[d] - s;
        slot[d] = stage + d * kPerLine + s;
    }

    // The line of bucket d has filled: it goes to its destination, whole
    // when the bucket's first position is not inside it.
    auto flush = [&](std::uint64_t d) {
        const std::uint64_t start = at[d];
        at[d] = start + kPerLine;
        if (start + kPerLine > e[d]) [[unlikely]]
            detail::fail_bucket_overrun(start + kPerLine - 1, n);
        const T* const line = stage + d * kPerLine;
        if (static_cast<std::int64_t>(start - first[d]) >= 0) [[likely]] {
            detail::store_block<kStream>(out + start, line);
        } else {
            const std::uint64_t skip = first[d] - start;
            std::memcpy(out + first[d], line + skip, (kPerLine - skip) * sizeof(T));
        }
    };
    auto place = [&](T v, std::uint64_t d) __attribute__((always_inline)) {
        T* w = slot[d];
        *w++ = v;
        if (reinterpret_cast<std::uintptr_t>(w) % kCombiningBlockBytes<kStream> == 0) [[unlikely]] {
            w -= kPerLine;
            flush(d);
        }
        slot[d] = w;
    };

    std::size_t i = 0;
    for (; count - i >= 4; i += 4) {
        const auto [v0, d0] = item(i);
        const auto [v1, d1] = item(i + 1);
        const auto [v2, d2] = item(i + 2);
        const auto [v3, d3] = item(i + 3);
        place(v0, d0);
        place(v1, d1);
        place(v2, d2);
        place(v3, d3);
    }
    for (; i < count; ++i) {
        const auto [v, d] = item(i);
        place(v, d);
    }
#if defined(__x86_64__)
    if constexpr (kStream) _mm_sfence();
#endif

    // Every bucket must have reached its end: one that went past it is
    // reported first (as past the destination where it went that far).
    std::uint64_t short_of_end = 0;
    for (std::size_t d = 0; d < buckets; ++d) {
        const std::uint64_t end = at[d] + static_cast<std::uint64_t>(slot[d] - (stage + d * kPerLine));
        if (end > e[d]) [[unlikely]]
            detail::fail_bucket_overrun(end - 1, n);
        short_of_end |= e[d] - end;
    }
    if (short_of_end != 0) [[unlikely]]
        fail(kScatterCountMismatch);
    // The rest of each bucket's line: from the line's start, or the bucket's
    // first position, up to the bucket's end.
    for (std::size_t d = 0; d < buckets; ++d) {
        const T* const line = stage + d * kPerLine;
        const std::uint64_t end = e[d];
        const std::uint64_t from = static_cast<std::int64_t>(at[d] - first[d]) >= 0 ? at[d] : first[d];
        std::memcpy(out + from, line + (from - at[d]), (end - from) * sizeof(T));
        heads[d] = end;
    }
}

template <typename T, bool kStream, typename Bucket>
void combining_scatter_by(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads,
                       std::span<const std::uint64_t> ends, const CombiningLines& lines, Bucket bucket) {
    const T* const p = src.data();
    combining_scatter_items_by<T, kStream>(
        src.size(), dst, heads, ends, lines, [p, bucket](std::size_t i) __attribute__((always_inline)) {
            const T v = p[i];
            return std::pair<T, std::uint64_t>{v, bucket(radix_key(v))};
        });
}

// The combining scatter with the whole lines stored normally or streamed past
// the cache, as the destination's size asks (kStreamingMinBytes).
template <typename T, typename Bucket>
void combining_scatter(std::span<const T> src, std::span<T> dst, std::span<std::uint64_t> heads,
                    std::span<const std::uint64_t> ends, const CombiningLines& lines, Bucket bucket) {
    if (dst.size_bytes() >= kStreamingMinBytes) {
        combining_scatter_by<T, true>(src, dst, heads, ends, lines, bucket);
    } else {
        combining_scatter_by<T, false>(src, dst, heads, ends, lines, bucket);
    }
}

template <typename T, typename Item>
void combining_scatter_items(std::size_t count, std::span<T> dst, std::span<std::uint64_t> heads,
                             std::span<const std::uint64_t> ends, const CombiningLines& lines, Item item) {
    if (dst.size_bytes() >= kStreamingMinBytes) {
        combining_scatter_items_by<T, true>(count, dst, heads, ends, lines, item);
    } else {
        combining_scatter_items_by<T, false>(count, dst, heads, ends, lines, item);
    }
}

}  // namespace tfs
