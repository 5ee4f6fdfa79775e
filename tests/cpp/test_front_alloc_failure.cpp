// engine_sort under allocation failure: whichever allocation fails, the
// std::bad_alloc reaches the caller and the slice still holds a permutation
// of its elements (scratch memory is only taken while every element is in
// the slice).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/types/engine_sort.hpp"

namespace {

// Allocations left before the failing one; negative when disarmed.
std::atomic<long> g_allocations_left{-1};
std::atomic<long> g_allocations_seen{0};

void* checked_allocate(std::size_t size) {
    const long left = g_allocations_left.load(std::memory_order_relaxed);
    if (left >= 0) {
        if (left == 0) {
            g_allocations_left.store(-1, std::memory_order_relaxed);
            throw std::bad_alloc();
        }
        g_allocations_left.store(left - 1, std::memory_order_relaxed);
    }
    g_allocations_seen.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return checked_allocate(size); }
void* operator new[](std::size_t size) { return checked_allocate(size); }
// Allocations that report failure by a null pointer (the temporary buffer of
// std::stable_sort) are not engine failures; they are left alone.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using tfs::testing::fingerprint;
using tfs::testing::GuardedBuffer;

// Allocations made by one engine_sort of `input`.
template <typename T>
long count_allocations(const std::vector<T>& input) {
    std::vector<T> copy = input;
    g_allocations_seen = 0;
    tfs::engine_sort<T>(std::span<T>(copy));
    return g_allocations_seen.load();
}

// Fails allocation number k for up to `samples` values of k spread over all
// allocations of the sort, and checks that each failure leaves a permutation.
template <typename T>
void fail_each_allocation(const std::string& case_name, std::size_t n, long samples) {
    const std::vector<T> input = tfs::testing::catalogue_case<T>(case_name).make(n, 1234);
    const auto expected = fingerprint<T>(std::span<const T>(input));
    const long total = count_allocations(input);
    ASSERT_GT(total, 0) << case_name << " n=" << n;
    const long step = std::max(1L, total / samples);
    for (long k = 0; k < total; k += step) {
        GuardedBuffer<T> buf(input);
        bool thrown = false;
        g_allocations_left = k;
        try {
            tfs::engine_sort<T>(buf.slice());
        } catch (const std::bad_alloc&) {
            thrown = true;
        }
        g_allocations_left = -1;
        EXPECT_TRUE(thrown) << case_name << " n=" << n << " k=" << k;
        ASSERT_TRUE(fingerprint<T>(std::span<const T>(buf.slice())) == expected)
            << case_name << " n=" << n << ": allocation " << k << " of " << total << " lost elements";
        ASSERT_TRUE(buf.guards_intact()) << case_name << " n=" << n << " k=" << k;
    }
}

const char* const kCases[] = {"uniform", "sorted_runs", "two_sorted_halves", "shared_high_bits", "few_distinct",
                              "lowest_65536_values"};

TEST(AllocationFailure, U32) {
    for (const char* c : kCases) {
        fail_each_allocation<std::uint32_t>(c, 1000, 200);
        fail_each_allocation<std::uint32_t>(c, 150000, 100);
    }
}

TEST(AllocationFailure, I32) {
    for (const char* c : kCases) fail_each_allocation<std::int32_t>(c, 5000, 200);
    if (!tfs::testing::kSanitized) fail_each_allocation<std::int32_t>("uniform", 2000000, 20);
}

TEST(AllocationFailure, U64) {
    for (const char* c : kCases) fail_each_allocation<std::uint64_t>(c, 5000, 200);
    fail_each_allocation<std::uint64_t>("uniform", 200000, 50);
}

TEST(AllocationFailure, I64) {
    for (const char* c : kCases) fail_each_allocation<std::int64_t>(c, 10000, 200);
    fail_each_allocation<std::int64_t>("uniform", 200000, 50);
}

}  // namespace
