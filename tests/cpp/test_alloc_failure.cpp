// Allocation failure (allocation k fails through a replaced operator new):
// std::bad_alloc reaches the caller and the slice holds a permutation of its
// elements; the fallback that finishes such a slice with a heap sort.

#include <atomic>
#include <new>
#include <tuple>

#include "catalogue.hpp"
#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/types/engine_sort.hpp"

namespace {

// Allocations left before the failing one; negative when disarmed.
std::atomic<long> g_left{-1};

void* allocate(std::size_t n) {
    if (long left = g_left.load(); left >= 0) {
        g_left = left - 1;
        if (left == 0) throw std::bad_alloc();
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
// The nothrow forms (std::stable_sort's buffer) fall back by design: not failed.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

namespace tt = tfs::testing;

template <typename T>
class AllocationFailure : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(AllocationFailure, KeyTypes);

// Fails allocation k = 0, 1, 2, ... (sparser further on) until the sort
// succeeds: every failure must leave a permutation, the success a sorted slice.
TYPED_TEST(AllocationFailure, EveryAllocationLeavesAPermutation) {
    using T = TypeParam;
    constexpr tfs::RadixParams full{0, 8, 0, tfs::Radixable<T>::bits / 8, 256};
    const auto engine = [](std::span<T> s) { tfs::engine_sort<T>(s); };
    const std::vector<std::tuple<const char*, std::size_t, std::function<void(std::span<T>)>>> units{
        {"engine_sort", 5000, engine},
        {"engine_sort", std::is_same_v<T, std::int32_t> ? 2000000 : 150000, engine},
        {"lsd_sort", 40000, [full](std::span<T> s) { tfs::lsd_sort<T>(s, full); }},
        {"msd_sort", 40000, [full](std::span<T> s) { tfs::msd_sort<T>(s, full); }},
        {"recursive_radix_sort_level", 40000, [full](std::span<T> s) {
             if constexpr (tfs::Radixable<T>::bits == 64) tfs::recursive_radix_sort_level<T>(s, full);
             else tfs::msd_sort<T>(s, full);
         }},
        {"parallel_msd_sort", tfs::kParallelMsdMinLength, [engine](std::span<T> s) {  // two workers taking turns
             std::vector<T> scratch(s.size());
             tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), 2, engine, [](std::size_t n, const auto& task) {
                 for (std::size_t i = 0; i < n; ++i) task(i);
             });
         }}};
    for (const char* name : {"uniform", "sorted_runs", "shared_high_bits", "lowest_65536_values"})
        for (const auto& [unit, length, run] : units) {
            if (length > 1000000 && std::string(name) != "uniform") continue;
            const std::size_t n = tt::kSanitized ? std::min<std::size_t>(length, 70000) : length;
            const std::vector<T> input = tt::catalogue_case<T>(name).make(n, 3);
            const std::vector<T> reference = tt::sorted_reference<T>(input);
            for (long k = 0;; k += k < (n > 1000000 ? 8 : 40) ? 1 : k / 4) {
                tt::GuardedBuffer<T> buf(input);
                g_left = k;
                const bool failed = [&] {
                    try {
                        run(buf.slice());
                    } catch (const std::bad_alloc&) {
                        return true;
                    }
                    return false;
                }();
                g_left = -1;
                const std::string what = std::string(unit) + " on " + name + ", n " + std::to_string(n) + ", allocation " + std::to_string(k);
                std::vector<T> rest(buf.slice().begin(), buf.slice().end());
                if (failed) std::sort(rest.begin(), rest.end());
                ASSERT_TRUE(tt::expect_equals_reference<T>(std::span<const T>(rest), reference, what) && buf.guards_intact()) << what;
                if (!failed) break;
            }
        }
}

// A sort that runs out of memory part-way is finished by the heap sort.
TYPED_TEST(AllocationFailure, HeapSortFinishesAFailedSort) {
    const std::vector<TypeParam> input = tt::catalogue_case<TypeParam>("uniform").make(10000, 8);
    std::vector<TypeParam> v = input;
    tfs::sort_or_heap_sort(std::span<TypeParam>(v), [](std::span<TypeParam> s) {
        std::sort(s.begin(), s.begin() + s.size() / 2);
        throw std::bad_alloc();
    });
    tt::expect_sorted_like_reference<TypeParam>(v, std::span<const TypeParam>(input), "heap sort fallback");
}

}  // namespace
