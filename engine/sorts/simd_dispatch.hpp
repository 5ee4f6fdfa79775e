#pragma once
// Run-time choice between the baseline x86-64 code and the AVX-512 (or AVX2)
// kernels. The choice is made once per process: the CPU must report AVX-512 F
// (AVX2), and TARVO_FASTSORT_SIMD=baseline turns the kernels off (for comparison, or to
// work around a CPU that runs them badly). Off x86-64 there are no such
// kernels: the portable code runs.

#include <cstdlib>
#include <cstring>

namespace tfs {

namespace detail {

// Whether TARVO_FASTSORT_SIMD=baseline turns the kernels off.
inline bool simd_turned_off() noexcept {
    const char* choice = std::getenv("TARVO_FASTSORT_SIMD");
    return choice != nullptr && std::strcmp(choice, "baseline") == 0;
}

}  // namespace detail

// True when the AVX-512 kernels may run in this process.
inline bool avx512_enabled() noexcept {
#if defined(__x86_64__)
    static const bool enabled = !detail::simd_turned_off() && (__builtin_cpu_init(), __builtin_cpu_supports("avx512f"));
    return enabled;
#else
    return false;
#endif
}

// True when AVX2 kernels may run in this process.
inline bool avx2_enabled() noexcept {
#if defined(__x86_64__)
    static const bool enabled = !detail::simd_turned_off() && (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return enabled;
#else
    return false;
#endif
}

}  // namespace tfs
