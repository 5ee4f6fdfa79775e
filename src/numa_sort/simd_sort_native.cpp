// Highway's vqsort for signed and floating-point elements, compiled for every
// target that the build enables and picked at run time like the unsigned
// sorts in third_party/. Sorting them as they are spares sort() the two
// passes that rewrite them into unsigned keys and back.

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
