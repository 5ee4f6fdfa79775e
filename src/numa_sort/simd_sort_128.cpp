// Highway's vqsort for 128-bit words, compiled for every target of the build
// and picked at run time like the 32- and 64-bit sorts in simd_sort.cpp.

#include "numa_sort/simd_sort_128.hpp"

#include <hwy/base.h>
#include <hwy/contrib/sort/vqsort.h>

#if !defined(HWY_MAJOR)
// Highway 1.0 (the system's, which the builds off x86-64 link) has no
// VQSortStatic: the words go through its contrib library's Sorter, one per
// thread, as in simd_sort.cpp.
#include "numa_sort/simd_sort.hpp"

namespace tfs::general {

static_assert(sizeof(Word128) == sizeof(hwy::uint128_t) && alignof(Word128) == alignof(hwy::uint128_t));

void simd_sort(std::span<Word128> words) noexcept {
    thread_local const hwy::Sorter sorter;
    sorter(reinterpret_cast<hwy::uint128_t*>(words.data()), words.size(), hwy::SortAscending());
}

}  // namespace tfs::general
#else

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "numa_sort/simd_sort_128.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

// After foreach_target: included once per target.
#include <hwy/contrib/sort/vqsort-inl.h>

HWY_BEFORE_NAMESPACE();
namespace tfs::general::HWY_NAMESPACE {
namespace {

void SortWords128(hwy::uint128_t* HWY_RESTRICT words, std::size_t n) {
#if HWY_TARGET == HWY_SCALAR
    std::sort(words, words + n, [](const hwy::uint128_t& a, const hwy::uint128_t& b) {
        return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
    });
#else
    hwy::HWY_NAMESPACE::VQSortStatic(words, n, hwy::SortAscending());
#endif
}

}  // namespace
}  // namespace tfs::general::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "numa_sort/simd_sort.hpp"

namespace tfs::general {
namespace {
HWY_EXPORT(SortWords128);
}  // namespace

static_assert(sizeof(Word128) == sizeof(hwy::uint128_t) && alignof(Word128) == alignof(hwy::uint128_t));

void simd_sort(std::span<Word128> words) noexcept {
    prepare_simd_sort();
    HWY_DYNAMIC_DISPATCH(SortWords128)(reinterpret_cast<hwy::uint128_t*>(words.data()), words.size());
}

}  // namespace tfs::general
#endif  // HWY_ONCE
#endif  // HWY_MAJOR
