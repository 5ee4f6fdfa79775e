#include "numa_sort/simd_sort.hpp"

#include <hwy/contrib/sort/vqsort.h>
#include <hwy/targets.h>

#include "engine/sorts/simd_dispatch.hpp"

#if !defined(HWY_MAJOR)
// Highway 1.0 (Debian 12's, which the builds off x86-64 link) keeps its
// version in highway.h and has no VQSort function: it sorts through a
// Sorter, which holds a small buffer; one per thread.
namespace hwy {
template <typename K, typename Order>
void VQSort(K* keys, std::size_t n, Order order) {
    thread_local const Sorter sorter;
    sorter(keys, n, order);
}
}  // namespace hwy
#endif

namespace tfs::general {
namespace {

// Highway picks the best target the processor runs; where the process has
// turned the AVX-512 code off (TARVO_FASTSORT_SIMD=baseline), its AVX-512
// targets are taken out of that choice, once, before the first sort. Off
// x86-64 Highway's choice (NEON, SVE) stands.
void choose_targets() noexcept {
#if defined(__x86_64__)
    static const bool chosen = [] {
        if (!avx512_enabled()) {
            constexpr std::int64_t avx512 = HWY_AVX3 | HWY_AVX3_DL | HWY_AVX3_ZEN4 | HWY_AVX3_SPR | HWY_AVX10_2;
            hwy::SetSupportedTargetsForTest(hwy::SupportedTargets() & ~avx512);
        }
        return true;
    }();
    (void)chosen;
#endif
}

}  // namespace

const char* simd_sort_target() noexcept {
    choose_targets();
    const std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
    return targets.empty() ? "none" : hwy::TargetName(targets.front());
}

void simd_sort(std::span<std::uint32_t> keys) noexcept {
    choose_targets();
    hwy::VQSort(keys.data(), keys.size(), hwy::SortAscending());
}

void simd_sort(std::span<std::uint64_t> keys) noexcept {
    choose_targets();
    hwy::VQSort(keys.data(), keys.size(), hwy::SortAscending());
}

void simd_sort(std::span<std::int32_t> keys) noexcept {
    choose_targets();
    detail::simd_sort_native(keys);
}

void simd_sort(std::span<std::int64_t> keys) noexcept {
    choose_targets();
    detail::simd_sort_native(keys);
}

void simd_sort(std::span<float> keys) noexcept {
    choose_targets();
    detail::simd_sort_native(keys);
}

void simd_sort(std::span<double> keys) noexcept {
    choose_targets();
    detail::simd_sort_native(keys);
}

void prepare_simd_sort() noexcept { choose_targets(); }

}  // namespace tfs::general
