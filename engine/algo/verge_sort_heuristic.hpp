#pragma once
// Presorted-run pre-pass. Walks a slice with a stride of min_run_length,
// looks around each probe for a monotone run, keeps every run of at least
// min_run_length elements as a block (reversing descending ones in place) and
// hands each stretch between kept runs to a stretch sorter. The returned
// boundaries cut the slice into sorted blocks for k_way_merge.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "engine/failure.hpp"

namespace tfs {

// Scans with at least this many positions to their limit compare four
// neighbour pairs per step; shorter ones do not amortise the wider step.
inline constexpr std::uint64_t kBlockScanMinDistance = 44;
// Neighbour pairs compared per step of a block scan.
inline constexpr std::uint64_t kBlockScanPairs = 4;
static_assert(kBlockScanMinDistance > kBlockScanPairs,
              "a block scan needs room for at least one full step");

inline constexpr const char* kVergeBadImplementation =
    "[Verge sort heuristic] Bad implementation.";

// What a scan found on one side of the probe.
enum class RunShape {
    Rising,       // strict increase at the probe
    Falling,      // strict decrease at the probe
    FlatRising,   // equal values at the probe, then a rise
    FlatFalling,  // equal values at the probe, then a fall
    Flat,         // equal values up to the scan limit
    Edge,         // the probe is at the slice edge on that side
};

constexpr bool is_rising_class(RunShape s) noexcept {
    return s == RunShape::Rising || s == RunShape::FlatRising;
}
constexpr bool is_falling_class(RunShape s) noexcept {
    return s == RunShape::Falling || s == RunShape::FlatFalling;
}

// Truncates `q` toward zero into a u64, saturating: values at or above 2^64
// give the largest u64, negative values and NaN give 0.
inline std::uint64_t saturating_u64(double q) noexcept {
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (!(q > 0.0)) return 0;  // also catches NaN
    if (q >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(q);
}

// floor(n / log2 n) in double precision, saturating (n = 1 divides by zero
// and gives the largest u64; n = 0 gives 0).
inline std::uint64_t min_run_length(std::uint64_t n) noexcept {
    const double x = static_cast<double>(n);
    return saturating_u64(x / std::log2(x));
}

// Pair predicates of the three run kinds, over (left, right) neighbours.
struct NonDecreasing {
    template <typename T>
    bool operator()(const T& a, const T& b) const noexcept { return !(b < a); }
};
struct NonIncreasing {
    template <typename T>
    bool operator()(const T& a, const T& b) const noexcept { return !(a < b); }
};
struct AllEqual {
    template <typename T>
    bool operator()(const T& a, const T& b) const noexcept { return a == b; }
};

// Exclusive end of the longest stretch starting at `from` whose neighbour
// pairs all satisfy `in_run`. Requires from < n.
template <typename T, typename InRun>
std::uint64_t forward_run_end(const T* a, std::uint64_t from, std::uint64_t n, InRun in_run) {
    std::uint64_t i = from;  // [from, i] is a run
    if (n - from >= kBlockScanMinDistance) {
        while (n - i > kBlockScanPairs) {
            const bool r0 = in_run(a[i], a[i + 1]);
            const bool r1 = in_run(a[i + 1], a[i + 2]);
            const bool r2 = in_run(a[i + 2], a[i + 3]);
            const bool r3 = in_run(a[i + 3], a[i + 4]);
            if (r0 & r1 & r2 & r3) {
                i += kBlockScanPairs;
                continue;
            }
            const std::uint64_t last = !r0 ? 0 : !r1 ? 1 : !r2 ? 2 : 3;
            return i + last + 1;
        }
    }
    while (i + 1 < n && in_run(a[i], a[i + 1])) ++i;
    return i + 1;
}

// Smallest s >= low such that every neighbour pair inside [s, from] satisfies
// `in_run`. Requires low <= from.
template <typename T, typename InRun>
std::uint64_t backward_run_start(const T* a, std::uint64_t low, std::uint64_t from, InRun in_run) {
    std::uint64_t i = from;  // [i, from] is a run
    if (from - low >= kBlockScanMinDistance) {
        while (i - low >= kBlockScanPairs) {
            const bool r0 = in_run(a[i - 1], a[i]);
            const bool r1 = in_run(a[i - 2], a[i - 1]);
            const bool r2 = in_run(a[i - 3], a[i - 2]);
            const bool r3 = in_run(a[i - 4], a[i - 3]);
            if (r0 & r1 & r2 & r3) {
                i -= kBlockScanPairs;
                continue;
            }
            const std::uint64_t kept = !r0 ? 0 : !r1 ? 1 : !r2 ? 2 : 3;
            return i - kept;
        }
    }
    while (i > low && in_run(a[i - 1], a[i])) --i;
    return i;
}

// Left side of a probe: s starts the left part, q starts the flat block that
// ends at the probe (the probe itself when its left neighbour differs).
struct LeftScan {
    RunShape shape;
    std::uint64_t s;
    std::uint64_t q;
};

// Right side of a probe: m ends the flat block that starts at the probe (the
// probe itself when its right neighbour differs), e ends the right part.
struct RightScan {
    RunShape shape;
    std::uint64_t m;
    std::uint64_t e;
};

// Scans backward from probe p, never below `low`. Requires low <= p < size.
template <typename T>
LeftScan scan_left(std::span<const T> slice, std::uint64_t low, std::uint64_t p) {
    const T* a = slice.data();
    if (p == 0) return {RunShape::Edge, 0, 0};
    if (a[p - 1] < a[p]) return {RunShape::Rising, backward_run_start(a, low, p, NonDecreasing{}), p};
    if (a[p] < a[p - 1]) return {RunShape::Falling, backward_run_start(a, low, p, NonIncreasing{}), p};
    const std::uint64_t q = backward_run_start(a, low, p, AllEqual{});
    if (q == low) return {RunShape::Flat, low, q};
    if (a[q - 1] < a[q]) return {RunShape::FlatRising, backward_run_start(a, low, q, NonDecreasing{}), q};
    if (a[q] < a[q - 1]) return {RunShape::FlatFalling, backward_run_start(a, low, q, NonIncreasing{}), q};
    fail(kVergeBadImplementation);
}

// Scans forward from probe p to the end of the slice. Requires p < size.
template <typename T>
RightScan scan_right(std::span<const T> slice, std::uint64_t p) {
    const T* a = slice.data();
    const std::uint64_t n = slice.size();
    if (p + 1 == n) return {RunShape::Edge, n, n};
    if (a[p] < a[p + 1]) return {RunShape::Rising, p, forward_run_end(a, p, n, NonDecreasing{})};
    if (a[p + 1] < a[p]) return {RunShape::Falling, p, forward_run_end(a, p, n, NonIncreasing{})};
    const std::uint64_t m = forward_run_end(a, p, n, AllEqual{});
    if (m == n) return {RunShape::Flat, m, n};
    // [p, m) is flat, so the run from p continues from its last element.
    if (a[m - 1] < a[m]) return {RunShape::FlatRising, m, forward_run_end(a, m - 1, n, NonDecreasing{})};
    if (a[m] < a[m - 1]) return {RunShape::FlatFalling, m, forward_run_end(a, m - 1, n, NonIncreasing{})};
    fail(kVergeBadImplementation);
}

// A run to keep as a block: [begin, end), reversed first when descending.
struct TakenRun {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool descending = false;
    bool taken = false;
};

// Chooses the run to keep at one probe from the shapes on its two sides.
// At a peak or a valley the ascending candidate is tried first.
inline TakenRun choose_run(const LeftScan& left, const RightScan& right, std::uint64_t min_run) {
    const auto candidate = [min_run](std::uint64_t b, std::uint64_t e, bool descending) {
        return e - b >= min_run ? TakenRun{b, e, descending, true} : TakenRun{};
    };
    const RunShape l = left.shape;
    const RunShape r = right.shape;
    if (l == RunShape::Edge && r == RunShape::Edge) fail(kVergeBadImplementation);
    if (is_rising_class(l) && is_falling_class(r)) {  // peak
        if (right.m - left.s >= min_run) return {left.s, right.m, false, true};
        return candidate(left.q, right.e, true);
    }
    if (is_falling_class(l) && is_rising_class(r)) {  // valley
        if (right.e - left.q >= min_run) return {left.q, right.e, false, true};
        return candidate(left.s, right.m, true);
    }
    // Otherwise a falling shape on either side makes the run descending,
    // except that a rising left side wins over a flat or edge right side.
    const bool descending = is_falling_class(l) || (!is_rising_class(l) && is_falling_class(r));
    return candidate(left.s, right.e, descending);
}

// Cuts `slice` into sorted blocks. Every run of at least min_run_length
// elements found around a probe is kept (descending ones reversed in place);
// every other stretch is sorted by `stretch_sorter(sub_slice, radix)`, once per
// stretch, in increasing position order. Returns the block boundaries: 0
// first, n last (for n >= 1), strictly increasing, each block sorted.
template <typename T, typename StretchSorter>
std::vector<std::uint64_t> verge_sort_heuristic(std::span<T> slice, std::uint64_t radix,
                                                StretchSorter&& stretch_sorter) {
    const std::uint64_t n = slice.size();
    const std::uint64_t min_run = min_run_length(n);
    const std::span<const T> view(slice);

    std::vector<std::uint64_t> boundaries{0};
    std::uint64_t sorted_up_to = 0;
    std::uint64_t probe = std::min(min_run, n);

    while (probe < n) {
        const LeftScan left = scan_left(view, sorted_up_to, probe);
        const RightScan right = scan_right(view, probe);
        const TakenRun run = choose_run(left, right, min_run);
        if (run.taken) {
            if (run.begin > sorted_up_to) {
                stretch_sorter(slice.subspan(sorted_up_to, run.begin - sorted_up_to), radix);
                boundaries.push_back(run.begin);
            }
            boundaries.push_back(run.end);
            if (run.descending) std::reverse(slice.begin() + run.begin, slice.begin() + run.end);
            sorted_up_to = run.end;
        }
        probe = n - right.e > min_run ? right.e + min_run : n;
    }
    if (sorted_up_to < n) {
        stretch_sorter(slice.subspan(sorted_up_to), radix);
        boundaries.push_back(n);
    }
    return boundaries;
}

}  // namespace tfs
