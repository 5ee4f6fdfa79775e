// x86-simd-sort's AVX2 quicksort for the six key types, and its partition
// step. This translation unit
// alone is compiled for x86-64-v3 (AVX2, BMI2, FMA); it is called only where
// the processor runs that (simd_sort.cpp checks), and after compilation every
// symbol it defines but the tfs_avx2_* entry points is renamed
// (cmake/isolate_object.sh), so none of its inline or template instantiations
// can stand in for a baseline copy elsewhere in the module.
#include <cstddef>
#include <cstdint>

#include "x86simdsort-static-incl.h"

#if !defined(__AVX2__)
#error "simd_sort_avx2.cpp is compiled for x86-64-v3"
#endif

namespace {

// Moves the keys of [a, a + n) below `pivot` to the front, in place, with
// the quicksort's own partition step; returns how many there are.
template <typename T>
std::size_t split_below(T* a, std::size_t n, T pivot) {
    using Vector = avx2_vector<T>;
    T smallest = Vector::type_max();
    T biggest = Vector::type_min();
    return partition_unrolled<Vector, Comparator<Vector, false>, Vector::partition_unroll_factor>(a, 0, n, pivot,
                                                                                                  &smallest, &biggest);
}

}  // namespace

// Floats come without NaNs (the caller's check), so no NaN pass is asked for.
extern "C" {
void tfs_avx2_sort_u32(std::uint32_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_i32(std::int32_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_u64(std::uint64_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_i64(std::int64_t* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_f32(float* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }
void tfs_avx2_sort_f64(double* a, std::size_t n) { x86simdsortStatic::qsort(a, n, false, false); }

std::size_t tfs_avx2_split_u32(std::uint32_t* a, std::size_t n, std::uint32_t pivot) { return split_below(a, n, pivot); }
std::size_t tfs_avx2_split_i32(std::int32_t* a, std::size_t n, std::int32_t pivot) { return split_below(a, n, pivot); }
std::size_t tfs_avx2_split_u64(std::uint64_t* a, std::size_t n, std::uint64_t pivot) { return split_below(a, n, pivot); }
std::size_t tfs_avx2_split_i64(std::int64_t* a, std::size_t n, std::int64_t pivot) { return split_below(a, n, pivot); }
std::size_t tfs_avx2_split_f32(float* a, std::size_t n, float pivot) { return split_below(a, n, pivot); }
std::size_t tfs_avx2_split_f64(double* a, std::size_t n, double pivot) { return split_below(a, n, pivot); }
}
