// x86-simd-sort's AVX2 quicksort for the six key types. This translation unit
// alone is compiled for x86-64-v3 (AVX2, BMI2, FMA); it is called only where
// the processor runs that (simd_sort.cpp checks), and after compilation every
// symbol it defines but the tfs_avx2_sort_* entry points is renamed
// (cmake/isolate_object.sh), so none of its inline or template instantiations
// can stand in for a baseline copy elsewhere in the module.
#include <cstddef>
#include <cstdint>

#include "x86simdsort-static-incl.h"

#if !defined(__AVX2__)
#error "simd_sort_avx2.cpp is compiled for x86-64-v3"
#endif

// Floats come without NaNs (the caller's check), so no NaN pass is asked for.
extern "C" {
void tfs_avx2_sort_u32(std::uint32_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_i32(std::int32_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_u64(std::uint64_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_i64(std::int64_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_f32(float* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_f64(double* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
}
