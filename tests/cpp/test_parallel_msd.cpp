// The parallel partition against std::sort over the catalogue, on both sides
// of its minimum length, with one to three workers, and on a value so heavy
// that its bucket is partitioned again until it holds nothing else; the
// parallel merge sort over the catalogue with odd and even run counts; the
// drop-merge sort on nearly sorted input, and declining the rest intact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <random>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/drop_merge_sort.hpp"
#include "engine/sorts/parallel_merge_sort.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/pool.hpp"

namespace {

namespace tt = tfs::testing;

template <typename T>
void parallel_sort(std::span<T> slice, std::size_t workers) {
    std::vector<T> scratch(slice.size());
    tfs::parallel_msd_sort<T>(
        slice, std::span<T>(scratch), workers, [](std::span<T> s) { tfs::engine_sort<T>(s); },
        [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
}

template <typename T>
class ParallelMsd : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(ParallelMsd, KeyTypes);

TYPED_TEST(ParallelMsd, MatchesTheReferenceOverTheCatalogue) {
    using T = TypeParam;
    const std::size_t sizes[] = {tfs::kParallelMsdMinLength - 1, tfs::kParallelMsdMinLength, 300001};
    for (const auto& c : tt::catalogue<T>()) {
        for (const std::size_t n : sizes) {
            const std::vector<T> input = c.make(n, n);
            for (const std::size_t workers : {1, 2, 3}) {
                tt::GuardedBuffer<T> buf(input);
                parallel_sort<T>(buf.slice(), workers);
                const std::string context = c.name + " n=" + std::to_string(n) + " workers=" + std::to_string(workers);
                ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, input, context));
            }
        }
    }
}

// 55% of the keys are one value: its bucket outgrows one and a half of
// three workers' shares and is partitioned again, each time sharing more
// bits, until its keys are all equal.
TYPED_TEST(ParallelMsd, SplitsAHeavyBucketAgain) {
    using T = TypeParam;
    const std::size_t n = (std::size_t(1) << 20) + 1;
    std::vector<T> input = tt::catalogue_case<T>("uniform").make(n, 5);
    std::mt19937_64 rng(9);  // not periodic: the partition samples at even strides
    for (std::size_t i = 0; i < n; ++i)
        if (rng() % 20 < 11) input[i] = input[0];
    tt::GuardedBuffer<T> buf(input);
    parallel_sort<T>(buf.slice(), 3);
    ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, input, "heavy value"));
}

// Run counts from one to five (odd ones leave a run out of a round), lengths
// from shorter than the run count to several stretches per run.
TYPED_TEST(ParallelMsd, MergeSortMatchesTheReferenceOverTheCatalogue) {
    using T = TypeParam;
    for (const auto& c : tt::catalogue<T>()) {
        for (const std::size_t n : {1, 2, 3, 7, 1000, 100003}) {
            const std::vector<T> input = c.make(n, n + 1);
            for (const std::size_t workers : {1, 2, 3, 5}) {
                tt::GuardedBuffer<T> buf(input);
                std::vector<T> scratch(n);
                tfs::parallel_merge_sort<T>(
                    buf.slice(), std::span<T>(scratch), workers, [](std::span<T> s) { tfs::engine_sort<T>(s); },
                    [](std::size_t k, const auto& task) { tfs::pool::parallel_for(k, task); });
                const std::string context = c.name + " n=" + std::to_string(n) + " workers=" + std::to_string(workers);
                ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, input, context));
            }
        }
    }
}

// Sorted input with keys out of place: swapped pairs, the largest key
// first, the smallest last, the largest block first (runs of outliers).
// Across the catalogue it sorts or declines; declined, the slice must still
// be a permutation of the input, which the engine's sort then shows.
TYPED_TEST(ParallelMsd, DropMergeSortsNearlySortedInputAndDeclinesTheRest) {
    using T = TypeParam;
    const auto engine = [](std::span<T> s) { tfs::engine_sort<T>(s); };
    for (const std::size_t n : {tfs::kDropMergeMinLength - 1, tfs::kDropMergeMinLength, std::size_t(100003)}) {
        std::vector<T> sorted = tt::catalogue_case<T>("uniform").make(n, 3);
        std::sort(sorted.begin(), sorted.end(), [](T x, T y) { return tfs::radix_key(x) < tfs::radix_key(y); });
        std::mt19937_64 rng(n);
        std::vector<std::vector<T>> inputs(4, sorted);
        for (std::size_t k = 0; k < n / 200; ++k) std::swap(inputs[0][rng() % n], inputs[0][rng() % n]);
        std::rotate(inputs[1].begin(), inputs[1].end() - 1, inputs[1].end());
        std::rotate(inputs[2].begin(), inputs[2].begin() + 1, inputs[2].end());
        std::rotate(inputs[3].begin(), inputs[3].end() - 50, inputs[3].end());
        for (std::size_t v = 0; v < inputs.size(); ++v) {
            tt::GuardedBuffer<T> buf(inputs[v]);
            const bool took = tfs::drop_merge_sort<T>(buf.slice(), engine);
            if (!took) engine(buf.slice());
            const std::string context = "variant " + std::to_string(v) + " n=" + std::to_string(n);
            ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, inputs[v], context));
            EXPECT_EQ(took, n >= tfs::kDropMergeMinLength) << context;
        }
    }
    for (const auto& c : tt::catalogue<T>()) {
        const std::vector<T> input = c.make(100003, 11);
        tt::GuardedBuffer<T> buf(input);
        if (!tfs::drop_merge_sort<T>(buf.slice(), engine)) engine(buf.slice());
        ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, input, c.name));
    }
}

}  // namespace
