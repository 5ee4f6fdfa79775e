#pragma once
// The work behind argsort(): for every lane of an array, the indices that
// put it in NumPy's order, stably (equal keys in index order). Python-free.

#include <cstddef>

#include "numa_sort/general_sort.hpp"

namespace tfs::general {

// Writes, for every lane of `lanes`, the indices (64-bit signed integers)
// that sort it stably in NumPy's order into the lane of `indices` with the
// same position: the lanes of `indices` have the same length and outer
// dimensions, and its own strides. Integers by value; floats by value with
// -0.0 equal to +0.0 and every NaN last; time64 with NaT last. Equal keys,
// NaNs and NaTs among themselves keep their index order. Up to `workers`
// threads (1: the calling thread only).
//
// The array is only read, each element once, into private memory: another
// thread writing it meanwhile changes which permutation is written, never
// more. Throws std::bad_alloc when the memory cannot be had.
void argsort_lanes(Element element, const Lanes& lanes, const Lanes& indices, std::size_t workers);

}  // namespace tfs::general
