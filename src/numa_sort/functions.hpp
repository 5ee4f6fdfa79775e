#pragma once
// Bodies of the module's Python functions (run through call_wrapper.hpp) and
// the per-element-type constants of the sort functions.

#include <Python.h>

#include <cstdint>

#include "numa_sort/call_wrapper.hpp"

namespace tfs::functions {

// detect_topology(): None on a machine with at most one NUMA node, else
// (node_count, [logical processors of each node]).
PyObject* detect_topology();

// numa_sort_<type>(arr): sorts a one-dimensional, writeable, contiguous array
// of element type T in place and returns None.
template <typename T>
PyObject* numa_sort(const py::CallArguments& call);

// sort(arr, *, axis=-1, threads=None): sorts any writeable array of NumPy's
// integer, boolean, float, datetime64 or timedelta64 types in place along
// `axis`, in NumPy's order, with up to `threads` threads; returns None.
PyObject* general_sort(const py::CallArguments& call);

// _sort_info(): what the last sort() on this thread did and the partition
// shape measured for this processor (measured on the first call if no sort
// has needed it yet), as a dict; for benchmarks.
PyObject* sort_info();

inline constexpr const char* kGeneralSortDoc =
    "sort(arr, *, axis=-1, threads=None)\n--\n\n"
    "Sort arr in place along axis, in NumPy's order (NaN and NaT last).\n\n"
    "Takes every integer type, bool, float16/32/64, datetime64 and timedelta64,\n"
    "in any layout. threads caps the threads used (None: the pool's size).";

// argsort(arr, *, axis=-1, kind=None, threads=None): the indices that sort
// any array of the types sort() takes along `axis` (None: flattened), in
// NumPy's order and stably; a new np.intp array of arr's shape.
PyObject* general_argsort(const py::CallArguments& call);

inline constexpr const char* kGeneralArgsortDoc =
    "argsort(arr, *, axis=-1, kind=None, threads=None)\n--\n\n"
    "Return the indices that sort arr along axis (None: flattened), in NumPy's\n"
    "order (NaN and NaT last), as a new np.intp array of arr's shape.\n\n"
    "Stable for every kind: equal elements keep their order, as\n"
    "np.argsort(kind='stable') gives. arr is only read, in any layout.\n"
    "threads caps the threads used (None: the pool's size).";

// Name and stored docstring (text signature only) of numa_sort<T>.
template <typename T>
struct SortFunction;

template <>
struct SortFunction<std::int64_t> {
    static constexpr const char* name = "numa_sort_i64";
    static constexpr const char* doc = "numa_sort_i64(arr)\n--\n\n";
};
template <>
struct SortFunction<std::uint64_t> {
    static constexpr const char* name = "numa_sort_u64";
    static constexpr const char* doc = "numa_sort_u64(arr)\n--\n\n";
};
template <>
struct SortFunction<std::int32_t> {
    static constexpr const char* name = "numa_sort_i32";
    static constexpr const char* doc = "numa_sort_i32(arr)\n--\n\n";
};
template <>
struct SortFunction<std::uint32_t> {
    static constexpr const char* name = "numa_sort_u32";
    static constexpr const char* doc = "numa_sort_u32(arr)\n--\n\n";
};
template <>
struct SortFunction<double> {
    static constexpr const char* name = "numa_sort_f64";
    static constexpr const char* doc = "numa_sort_f64(arr)\n--\n\n";
};
template <>
struct SortFunction<float> {
    static constexpr const char* name = "numa_sort_f32";
    static constexpr const char* doc = "numa_sort_f32(arr)\n--\n\n";
};

extern template PyObject* numa_sort<std::int64_t>(const py::CallArguments&);
extern template PyObject* numa_sort<std::uint64_t>(const py::CallArguments&);
extern template PyObject* numa_sort<std::int32_t>(const py::CallArguments&);
extern template PyObject* numa_sort<std::uint32_t>(const py::CallArguments&);
extern template PyObject* numa_sort<double>(const py::CallArguments&);
extern template PyObject* numa_sort<float>(const py::CallArguments&);

}  // namespace tfs::functions
