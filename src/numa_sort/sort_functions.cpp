// The six sort functions: one body, instantiated per element type.

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

#include "borrow_registry.hpp"
#include "engine/failure.hpp"
#include "engine/sorts/utils.hpp"
#include "numa_sort/arguments.hpp"
#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/driver.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/functions.hpp"
#include "numa_sort/numpy_api.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::functions {
namespace {

constexpr const char* kNotWriteable = "called `Result::unwrap()` on an `Err` value: NotWriteable";
constexpr const char* kAlreadyBorrowed =
    "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed";
constexpr const char* kNotContiguous = "array must be C-contiguous";

// Takes an exclusive borrow of `array`; a refused borrow is an internal
// failure.
void acquire_borrow(PyObject* array) {
    switch (borrow::acquire_exclusive(array)) {
        case borrow::ExclusiveBorrow::acquired: return;
        case borrow::ExclusiveBorrow::not_writeable: fail(kNotWriteable);
        case borrow::ExclusiveBorrow::already_borrowed: fail(kAlreadyBorrowed);
    }
    fail("unknown borrow result");
}

// Sorts an aligned slice of T ascending (floats in IEEE 754 total order).
template <typename T>
void sort_slice(std::span<T> slice) {
    if constexpr (std::is_floating_point_v<T>)
        float_key_sort(slice);
    else
        numa_partitioned_sort(slice);
}

// Sorts `length` elements of T stored contiguously at `data`, releasing the
// interpreter lock for the work. `data` need not be aligned to T (NumPy
// allows such arrays); unaligned elements are sorted in an aligned copy,
// allocated before the array is touched, so a failed allocation leaves the
// array as it was.
template <typename T>
void sort_elements(char* data, std::size_t length) {
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0) {
        std::span<T> slice(reinterpret_cast<T*>(data), length);
        py::GilReleased unlocked;
        sort_slice(slice);
        return;
    }
    const auto aligned = make_scratch<T>(length);
    py::GilReleased unlocked;
    std::memcpy(aligned.get(), data, length * sizeof(T));
    sort_slice(std::span<T>(aligned.get(), length));
    std::memcpy(data, aligned.get(), length * sizeof(T));
}

}  // namespace

template <typename T>
PyObject* numa_sort(const py::CallArguments& call) {
    PyObject* arr = args::extract_arr(SortFunction<T>::name, call);
    const numpy::Api& np = numpy::api();
    args::require_array_of(np, arr, numpy::type_number<T>());

    // Both guards are released on every path out, the borrow first.
    py::OwnedRef held = py::new_ref(arr);
    acquire_borrow(held.get());
    const borrow::ExclusiveBorrowHeld borrow(held.get());

    const numpy::ArrayFields fields = np.fields(held.get());
    const numpy::npy_intp length = fields.dims[0];
    if (length >= 2 && fields.strides[0] != static_cast<numpy::npy_intp>(sizeof(T)))
        py::raise_error(PyExc_ValueError, kNotContiguous);
    sort_elements<T>(fields.data, static_cast<std::size_t>(length));
    return py::none();
}

template PyObject* numa_sort<std::int64_t>(const py::CallArguments&);
template PyObject* numa_sort<std::uint64_t>(const py::CallArguments&);
template PyObject* numa_sort<std::int32_t>(const py::CallArguments&);
template PyObject* numa_sort<std::uint32_t>(const py::CallArguments&);
template PyObject* numa_sort<double>(const py::CallArguments&);
template PyObject* numa_sort<float>(const py::CallArguments&);

}  // namespace tfs::functions
