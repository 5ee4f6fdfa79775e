// Allocation failure inside a radix algorithm leaves the slice holding a
// permutation of its elements: scratch memory is only requested while every
// element is in the slice. Every allocation of each algorithm is made to fail
// in turn through a replaced global operator new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "catalogue.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/ska_sort.hpp"

namespace {

// Allocations left before the next one fails; negative when disarmed.
long g_allocations_left = -1;

void* allocate(std::size_t n) {
    if (g_allocations_left == 0) {
        g_allocations_left = -1;
        throw std::bad_alloc();
    }
    if (g_allocations_left > 0) --g_allocations_left;
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
// The nothrow forms (std::stable_sort's temporary buffer) are not failed on
// purpose: their callers fall back by design.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n == 0 ? 1 : n); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using tfs::RadixParams;
namespace tt = tfs::testing;

template <typename T>
struct Runner {
    std::string name;
    std::size_t min_length;  // inputs are at least this long
    std::function<void(std::span<T>)> run;
};

template <typename T>
std::vector<Runner<T>> runners() {
    constexpr std::uint64_t bits = tfs::Radixable<T>::bits;
    std::vector<Runner<T>> out;
    out.push_back({"lsd_sort", 0, [](std::span<T> s) { tfs::lsd_sort<T>(s, RadixParams{0, 8, 0, bits / 8, 256}); }});
    out.push_back({"msd_sort", 0, [](std::span<T> s) { tfs::msd_sort<T>(s, RadixParams{0, 8, 0, bits / 8, 256}); }});
    out.push_back({"dlsd_core/2", 0, [](std::span<T> s) {
                       tfs::dlsd_core<T>(s, RadixParams{0, 8, 0, 2, 256}, 2, tfs::DlsdMode::partial);
                   }});
    out.push_back({"dlsd_core/1", 0, [](std::span<T> s) {
                       tfs::dlsd_core<T>(s, RadixParams{0, 8, 0, 1, 256}, 1, tfs::DlsdMode::partial);
                   }});
    if constexpr (bits == 64) {
        out.push_back({"recursive_radix_sort_level", 0, [](std::span<T> s) {
                           tfs::recursive_radix_sort_level<T>(s, RadixParams{0, 8, 0, 8, 256});
                       }});
    } else {
        out.push_back({"counting_sort", 0, [](std::span<T> s) { tfs::counting_sort<T>(s, 16); }});
    }
    if constexpr (!std::is_signed_v<T>) {
        out.push_back({"dlsd_sort", 0, [](std::span<T> s) { tfs::dlsd_sort<T>(s, 8); }});
    }
    // Two workers taking turns on this thread, on an input long enough to
    // partition.
    out.push_back({"parallel_msd_sort", tfs::kParallelMsdMinLength, [](std::span<T> s) {
                       std::vector<T> scratch(s.size());
                       tfs::parallel_msd_sort<T>(
                           s, std::span<T>(scratch), 2, [](std::span<T> p) { tfs::dlsd_core<T>(p, RadixParams{0, 8, 0, 2, 256}, 2, tfs::DlsdMode::partial); },
                           [](std::size_t n, const auto& task) { for (std::size_t i = 0; i < n; ++i) task(i); });
                   }});
    return out;
}

template <typename T>
class RadixAllocationFailure : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(RadixAllocationFailure, KeyTypes);

TYPED_TEST(RadixAllocationFailure, LeavesAPermutation) {
    using T = TypeParam;
    const std::size_t n = tt::kSanitized ? 4000 : 40000;
    const std::vector<std::string> cases = {"uniform", "shared_high_bits", "lowest_65536_values"};
    for (const auto& name : cases) {
        for (const auto& r : runners<T>()) {
            const std::vector<T> input = tt::catalogue_case<T>(name).make(std::max(n, r.min_length), 3);
            const std::vector<T> reference = tt::sorted_reference<T>(input);
            if (r.name == "counting_sort" && name != "lowest_65536_values") continue;
            for (long k = 0;; k += k < 40 ? 1 : k / 8 + 1) {
                tt::GuardedBuffer<T> buf(input);
                bool failed = false;
                g_allocations_left = k;
                try {
                    r.run(buf.slice());
                } catch (const std::bad_alloc&) {
                    failed = true;
                }
                g_allocations_left = -1;
                const std::string context = r.name + " on " + name + ", allocation " + std::to_string(k);
                if (!failed) {
                    tt::expect_equals_reference<T>(buf, reference, context);
                    break;
                }
                std::vector<T> rest(buf.slice().begin(), buf.slice().end());
                std::sort(rest.begin(), rest.end());
                ASSERT_TRUE(tt::expect_equals_reference<T>(std::span<const T>(rest), reference, context));
                ASSERT_TRUE(buf.guards_intact()) << context;
            }
        }
    }
}

}  // namespace
