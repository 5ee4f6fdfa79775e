#pragma once
// The work behind sort(): NumPy's element types in NumPy's order, lanes of
// any layout, up to a given number of threads. Python-free.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tfs::general {

// The element types that sort() takes, by how they are sorted. Booleans are
// u8; datetime64 and timedelta64 are time64 (int64 with NaT last).
enum class Element { u8, i8, u16, i16, u32, i32, u64, i64, f16, f32, f64, time64 };

// Size in bytes of an element.
std::size_t element_size(Element element);

// Where the lanes of an array lie: each lane holds `length` elements
// `stride` bytes apart; lane starts are data + the sum of index * stride
// over the outer dimensions (every index combination is one lane).
struct Lanes {
    char* data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;
    std::vector<std::size_t> outer_dims;
    std::vector<std::ptrdiff_t> outer_strides;
};

// Sorts every lane ascending in NumPy's order, with up to `workers` threads
// (1: on the calling thread only). Integers by value; floats with every NaN
// last, whatever its sign, and otherwise in IEEE 754 total order (-0.0
// before +0.0; NaNs among themselves by their bit patterns' total order);
// time64 with NaT last. Every bit pattern survives.
//
// Memory is taken before any element moves: std::bad_alloc leaves the
// array as it was, and nothing later can run out of memory. A lane that is
// not contiguous or not aligned is sorted in a copy.
void sort_lanes(Element element, const Lanes& lanes, std::size_t workers);

// What the last sort_lanes() on this thread did: "one thread", "lanes over
// the threads", "partition, fine" or "partition, coarse" (see
// PartitionShape); for benchmarks.
const char* last_sort_path();

// Sorts unsigned 64-bit words ascending as sort() sorts u64 keys: on the
// calling thread, or with several workers (then `scratch` holds as many
// words, taken by the caller) partitioned over them.
void sort_words(std::span<std::uint64_t> words, std::size_t workers, std::uint64_t* scratch);

}  // namespace tfs::general
