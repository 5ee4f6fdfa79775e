#pragma once
// Sorts f32/f64 slices in IEEE 754 total order by mapping them in place to
// unsigned keys, sorting the keys with the partitioned driver and mapping back.

#include <span>

namespace tfs {

template <typename F>
void float_key_sort(std::span<F> slice);

extern template void float_key_sort<float>(std::span<float>);
extern template void float_key_sort<double>(std::span<double>);

}  // namespace tfs
