#include "numa_sort/simd_sort.hpp"

#include <hwy/contrib/sort/vqsort.h>
#include <hwy/targets.h>

#include "engine/sorts/simd_dispatch.hpp"

namespace tfs::general {
namespace {

// Highway picks the best target the processor runs; where the process has
// turned the AVX-512 code off (TARVO_FASTSORT_SIMD=baseline), its AVX-512
// targets are taken out of that choice, once, before the first sort.
void choose_targets() noexcept {
    static const bool chosen = [] {
        if (!avx512_enabled()) {
            constexpr std::int64_t avx512 = HWY_AVX3 | HWY_AVX3_DL | HWY_AVX3_ZEN4 | HWY_AVX3_SPR | HWY_AVX10_2;
            hwy::SetSupportedTargetsForTest(hwy::SupportedTargets() & ~avx512);
        }
        return true;
    }();
    (void)chosen;
}

}  // namespace

void simd_sort(std::span<std::uint32_t> keys) noexcept {
    choose_targets();
    hwy::VQSort(keys.data(), keys.size(), hwy::SortAscending());
}

void simd_sort(std::span<std::uint64_t> keys) noexcept {
    choose_targets();
    hwy::VQSort(keys.data(), keys.size(), hwy::SortAscending());
}

void prepare_simd_sort() noexcept { choose_targets(); }

}  // namespace tfs::general
