// Highway's vqsort for signed and floating-point elements, compiled for every
// target that the build enables and picked at run time like the unsigned
// sorts in third_party/. Sorting them as they are spares sort() the two
// passes that rewrite them into unsigned keys and back.

#include <hwy/base.h>

#if !defined(HWY_MAJOR)
// Highway 1.0 (Debian 12's, which the builds off x86-64 link) keeps its
// version in highway.h and has no VQSortStatic: these types go through the
// Sorter of its contrib library, one per thread, as in simd_sort.cpp. Its
// float sort turns infinities into the largest finite value, so floats are
// sorted as their total-order keys (the same order without NaNs) instead.
#include <hwy/contrib/sort/vqsort.h>

#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/simd_sort.hpp"

namespace tfs::general::detail {
namespace {

template <typename T>
void sorter_sort(std::span<T> keys) noexcept {
    thread_local const hwy::Sorter sorter;
    sorter(keys.data(), keys.size(), hwy::SortAscending());
}

template <typename F>
void float_sorter_sort(std::span<F> values) noexcept {
    using U = float_key_t<F>;
    const std::span<U> bits(reinterpret_cast<U*>(values.data()), values.size());
    for (U& b : bits) b = float_to_key(b);
    sorter_sort(bits);
    for (U& k : bits) k = key_to_float(k);
}

}  // namespace

void simd_sort_native(std::span<std::int32_t> keys) noexcept { sorter_sort(keys); }
void simd_sort_native(std::span<std::int64_t> keys) noexcept { sorter_sort(keys); }
void simd_sort_native(std::span<float> keys) noexcept { float_sorter_sort(keys); }
void simd_sort_native(std::span<double> keys) noexcept { float_sorter_sort(keys); }

}  // namespace tfs::general::detail
#else
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "numa_sort/simd_sort_native.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

// After foreach_target.
#include <hwy/contrib/sort/vqsort-inl.h>

HWY_BEFORE_NAMESPACE();
namespace hwy {
namespace HWY_NAMESPACE {
namespace {

template <typename T>
void SortNativeAscending(T* HWY_RESTRICT keys, size_t n) {
    VQSortStatic(keys, n, SortAscending());
}

void SortI32(int32_t* HWY_RESTRICT keys, size_t n) { SortNativeAscending(keys, n); }
void SortI64(int64_t* HWY_RESTRICT keys, size_t n) { SortNativeAscending(keys, n); }
void SortF32(float* HWY_RESTRICT keys, size_t n) { SortNativeAscending(keys, n); }
void SortF64(double* HWY_RESTRICT keys, size_t n) { SortNativeAscending(keys, n); }

}  // namespace
}  // namespace HWY_NAMESPACE
}  // namespace hwy
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "numa_sort/simd_sort.hpp"

namespace hwy {
namespace {
HWY_EXPORT(SortI32);
HWY_EXPORT(SortI64);
HWY_EXPORT(SortF32);
HWY_EXPORT(SortF64);

void SortNative(int32_t* keys, size_t n) { HWY_DYNAMIC_DISPATCH(SortI32)(keys, n); }
void SortNative(int64_t* keys, size_t n) { HWY_DYNAMIC_DISPATCH(SortI64)(keys, n); }
void SortNative(float* keys, size_t n) { HWY_DYNAMIC_DISPATCH(SortF32)(keys, n); }
void SortNative(double* keys, size_t n) { HWY_DYNAMIC_DISPATCH(SortF64)(keys, n); }
}  // namespace
}  // namespace hwy

namespace tfs::general::detail {

void simd_sort_native(std::span<std::int32_t> keys) noexcept { hwy::SortNative(keys.data(), keys.size()); }
void simd_sort_native(std::span<std::int64_t> keys) noexcept { hwy::SortNative(keys.data(), keys.size()); }
void simd_sort_native(std::span<float> keys) noexcept { hwy::SortNative(keys.data(), keys.size()); }
void simd_sort_native(std::span<double> keys) noexcept { hwy::SortNative(keys.data(), keys.size()); }

}  // namespace tfs::general::detail
#endif  // HWY_ONCE
#endif  // HWY_MAJOR
