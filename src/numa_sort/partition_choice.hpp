#pragma once
// Which shape of parallel partition suits this processor (see
// PartitionShape), or whether a split around pivots suits it better than
// either, measured once per process, or forced with
// TARVO_FASTSORT_PARTITION=fine|coarse|split.

#include "engine/sorts/parallel_msd_sort.hpp"

namespace tfs::general {

// The choice and what it rests on. The times are nanoseconds per key of
// 2^20 random 32-bit keys on the calling thread: a scatter into the fine
// shape's buckets and into the coarse shape's, the SIMD sort of pieces that
// fit a core's cache, and of pieces as long as a coarse bucket. Zero where
// the choice was forced.
struct PartitionCalibration {
    PartitionShape shape = PartitionShape::fine;
    // Lanes split around pivots (parallel_split_sort) rather than partitioned
    // by a digit: where a scatter is dear next to the quicksort's partition
    // step. `shape` then serves only the keys the split hands back.
    bool split = false;
    bool forced = false;
    double fine_scatter_ns = 0;
    double coarse_scatter_ns = 0;
    double cached_sort_ns = 0;
    double large_sort_ns = 0;
    double split_ns = 0;  // the SIMD partition step around one pivot
    double cost_ms = 0;  // what taking the measurements cost
};

// The choice, made on first use; thread-safe.
const PartitionCalibration& partition_calibration();

// Measures afresh, taking the environment's choice into account.
PartitionCalibration calibrate_partition();

// Whether, with several workers, floats of type F (float, double) are
// partitioned as they are and their pieces sorted by value, rather than
// rewritten into keys first and back after: where the SIMD quicksort sorts
// a piece of floats faster than the same piece as keys, measured on first
// use (a few milliseconds), or forced with
// TARVO_FASTSORT_FLOAT_PARTITION=values|keys; thread-safe.
template <typename F>
bool partition_floats_by_value();

}  // namespace tfs::general
