#pragma once
// The argument checks that sort() and argsort() share, with NumPy's errors.
// Each raises by setting a Python exception and throwing
// py::PythonErrorRaised.

#include <Python.h>

#include <cstddef>

#include "numa_sort/general_sort.hpp"
#include "numa_sort/numpy_api.hpp"

namespace tfs::functions {

// Arrays of fewer bytes are sorted with the interpreter lock held (about ten
// microseconds of work at most): giving it up costs more than such a sort
// when another thread waits for it, which then holds it for its whole
// switch interval.
constexpr std::size_t kReleaseLockMinBytes = std::size_t(16) << 10;

// Whether a call working on an array of these fields gives up the
// interpreter lock meanwhile.
inline bool worth_releasing_lock(const numpy::ArrayFields& fields, std::size_t element_size) {
    for (int d = 0; d < fields.nd; ++d)
        if (fields.dims[d] == 0) return false;
    std::size_t bytes = element_size;
    for (int d = 0; d < fields.nd; ++d)  // a broadcast view's shape may overflow the product
        if (__builtin_mul_overflow(bytes, static_cast<std::size_t>(fields.dims[d]), &bytes)) return true;
    return bytes >= kReleaseLockMinBytes;
}

// TypeError unless `arr` is an ndarray (or a subclass) other than a masked
// array; the message names `function`.
void require_plain_array(const numpy::Api& np, PyObject* arr, const char* function);

// The axis argument (null: -1), not yet checked against the dimensions.
Py_ssize_t axis_of(PyObject* axis_object);

// Raises AxisError(axis, ndim), as NumPy does for an axis out of range.
[[noreturn]] void raise_axis_error(Py_ssize_t axis, int ndim);

// The element type that sorts a descriptor's elements; TypeError naming
// `function` and the dtype when it is not taken.
general::Element element_of(const numpy::Api& np, PyObject* descr, const char* function);

// The threads argument: the pool's size for None, else a count of at least
// one, capped at the pool's size.
std::size_t workers_of(PyObject* threads);

// The lanes along `axis` of an array's fields.
inline general::Lanes lanes_of(const numpy::ArrayFields& fields, int axis) {
    general::Lanes lanes;
    lanes.data = fields.data;
    for (int d = 0; d < fields.nd; ++d) {
        if (d == axis) {
            lanes.length = static_cast<std::size_t>(fields.dims[d]);
            lanes.stride = fields.strides[d];
        } else {
            lanes.outer_dims.push_back(static_cast<std::size_t>(fields.dims[d]));
            lanes.outer_strides.push_back(fields.strides[d]);
        }
    }
    return lanes;
}

}  // namespace tfs::functions
