// sort(arr, *, axis=-1, threads=None): the argument checks and the hand-off
// to general_sort.cpp, with NumPy's conventions and errors.

#include <algorithm>
#include <cstddef>
#include <string>

#include "borrow_registry.hpp"
#include "numa_sort/arguments.hpp"
#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/functions.hpp"
#include "numa_sort/general_arguments.hpp"
#include "numa_sort/general_sort.hpp"
#include "numa_sort/partition_choice.hpp"
#include "numa_sort/simd_sort.hpp"
#include "numa_sort/numpy_api.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::functions {
namespace {

using general::Element;

constexpr const char* kReadOnly = "sort array is read-only";
constexpr const char* kAlreadyBorrowed = "sort array is already borrowed";
constexpr const char* kThreadsNotPositive = "threads must be a positive integer or None";

// Raises TypeError with `prefix` followed by str(object).
[[noreturn]] void raise_type_error_naming(const char* prefix, PyObject* object) {
    PyErr_Format(PyExc_TypeError, "%s%S", prefix, object);
    py::propagate_python_error();
}

// NumPy's AxisError class: numpy.exceptions.AxisError, or numpy.AxisError
// before NumPy 1.25.
py::OwnedRef axis_error_type() {
    if (py::OwnedRef exceptions{PyImport_ImportModule("numpy.exceptions")}) {
        if (py::OwnedRef type{PyObject_GetAttrString(exceptions.get(), "AxisError")}) return type;
    }
    PyErr_Clear();
    py::OwnedRef numpy{PyImport_ImportModule("numpy")};
    if (!numpy) py::propagate_python_error();
    py::OwnedRef type{PyObject_GetAttrString(numpy.get(), "AxisError")};
    if (!type) py::propagate_python_error();
    return type;
}

// TypeError "<function>() does not take <what><dtype>".
[[noreturn]] void refuse_dtype(const char* function, const char* what, PyObject* descr) {
    raise_type_error_naming((std::string(function) + "() does not take " + what).c_str(), descr);
}

}  // namespace

void raise_axis_error(Py_ssize_t axis, int ndim) {
    py::OwnedRef type = axis_error_type();
    py::OwnedRef error{PyObject_CallFunction(type.get(), "ni", axis, ndim)};
    if (error) PyErr_SetObject(type.get(), error.get());
    py::propagate_python_error();
}

Element element_of(const numpy::Api& np, PyObject* descr, const char* function) {
    const char order = np.byte_order(descr);
    if (order != '=' && order != '|') refuse_dtype(function, "non-native byte order: dtype ", descr);
    const numpy::npy_intp size = np.element_size(descr);
    const auto by_size = [&](Element e32, Element e64) {
        if (size == 4) return e32;
        if (size == 8) return e64;
        refuse_dtype(function, "dtype ", descr);
    };
    switch (np.type_num(descr)) {
        case numpy::kTypeBool:
        case numpy::kTypeUByte: return Element::u8;
        case numpy::kTypeByte: return Element::i8;
        case numpy::kTypeShort: return Element::i16;
        case numpy::kTypeUShort: return Element::u16;
        case numpy::kTypeInt:
        case numpy::kTypeLong:
        case numpy::kTypeLongLong: return by_size(Element::i32, Element::i64);
        case numpy::kTypeUInt:
        case numpy::kTypeULong:
        case numpy::kTypeULongLong: return by_size(Element::u32, Element::u64);
        case numpy::kTypeHalf: return Element::f16;
        case numpy::kTypeFloat: return Element::f32;
        case numpy::kTypeDouble: return Element::f64;
        case numpy::kTypeDatetime:
        case numpy::kTypeTimedelta: return Element::time64;
        default: refuse_dtype(function, "dtype ", descr);
    }
}

std::size_t workers_of(PyObject* threads) {
    const std::size_t pool_size = pool::thread_count();
    if (threads == nullptr || threads == Py_None) return pool_size;
    const Py_ssize_t requested = PyNumber_AsSsize_t(threads, PyExc_OverflowError);
    if (requested == -1 && PyErr_Occurred() != nullptr) py::propagate_python_error();
    if (requested < 1) py::raise_error(PyExc_ValueError, kThreadsNotPositive);
    return std::min(static_cast<std::size_t>(requested), pool_size);
}

void require_plain_array(const numpy::Api& np, PyObject* arr, const char* function) {
    if (!np.is_array(arr)) {
        py::OwnedRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arr)), "__name__"));
        if (!name) py::propagate_python_error();
        PyErr_Format(PyExc_TypeError, "%s() argument 'arr' must be a numpy.ndarray, not %S", function, name.get());
        py::propagate_python_error();
    }
    if (args::is_masked_array(np, arr))
        PyErr_Format(PyExc_TypeError, "%s() does not take masked arrays; use their own %s()", function, function);
    if (PyErr_Occurred() != nullptr) py::propagate_python_error();
}

Py_ssize_t axis_of(PyObject* axis_object) {
    if (axis_object == nullptr) return -1;
    const Py_ssize_t axis = PyNumber_AsSsize_t(axis_object, PyExc_OverflowError);
    if (axis == -1 && PyErr_Occurred() != nullptr) py::propagate_python_error();
    return axis;
}

PyObject* general_sort(const py::CallArguments& call) {
    PyObject* axis_object = nullptr;
    PyObject* threads = nullptr;
    PyObject* arr = args::extract_arguments("sort", call, {{"axis", &axis_object}, {"threads", &threads}});

    const numpy::Api& np = numpy::api();
    require_plain_array(np, arr, "sort");
    Py_ssize_t axis = axis_of(axis_object);
    const std::size_t workers = workers_of(threads);

    py::OwnedRef held = py::new_ref(arr);
    const numpy::ArrayFields fields = np.fields(held.get());
    if (axis < -fields.nd || axis >= fields.nd) raise_axis_error(axis, fields.nd);
    if (axis < 0) axis += fields.nd;
    const Element element = element_of(np, fields.descr, "sort");

    switch (borrow::acquire_exclusive(held.get())) {
        case borrow::ExclusiveBorrow::acquired: break;
        case borrow::ExclusiveBorrow::not_writeable: py::raise_error(PyExc_ValueError, kReadOnly);
        case borrow::ExclusiveBorrow::already_borrowed: py::raise_error(PyExc_BufferError, kAlreadyBorrowed);
    }
    const borrow::ExclusiveBorrowHeld borrow(held.get());

    const general::Lanes lanes = lanes_of(fields, static_cast<int>(axis));
    {
        const py::GilReleased unlocked(worth_releasing_lock(fields, general::element_size(element)));
        general::sort_lanes(element, lanes, workers);
    }
    return py::none();
}

namespace {

// {"uint32": (("vqsort", vqsort ns per key, x86-simd-sort ns per key, and
// the same for keys that repeat) in cache, (...) for large spans), ...}: the
// SIMD sort chosen for each key type and what the choice rests on.
template <typename T>
PyObject* simd_sort_entry() {
    const auto name = [](general::SimdSortKind kind) {
        return kind == general::SimdSortKind::avx2 ? "x86-simd-sort" : "vqsort";
    };
    const auto entry = [&](const general::SimdSortChoice& c) {
        return Py_BuildValue("(sddsdd)", name(c.kind), c.vqsort_ns, c.avx2_ns, name(c.repeats_kind),
                             c.repeats_vqsort_ns, c.repeats_avx2_ns);
    };
    return Py_BuildValue("(NN)", entry(general::simd_sort_choice<T>(false)), entry(general::simd_sort_choice<T>(true)));
}

// The scatter that radix passes or partitions over keys of type K take past
// the cache: forced, or measured (on the first call, a few milliseconds).
template <typename K, ScatterUse kUse>
const char* scatter_kind_name() {
    const ScatterKind kind = forced_scatter_kind().value_or(measured_scatter_kind<K, kUse>());
    return kind == ScatterKind::combining ? "combining" : "plain";
}

}  // namespace

PyObject* sort_info() {
    const general::PartitionCalibration& c = general::partition_calibration();
    return Py_BuildValue(
        "{s:s,s:s,s:s,s:n,s:s,s:O,s:(ss),s:(ss),s:(ss),s:d,s:d,s:d,s:d,s:d,s:d,s:{s:N,s:N,s:N,s:N,s:N,s:N}}",
        "last_path", general::last_sort_path(),
        "calls", py::vector_calls_supported() ? "vector" : "tuple",
        "simd_target", general::simd_sort_target(),
        "pool_threads", static_cast<Py_ssize_t>(workers_of(nullptr)),
        "partition", c.split ? "split" : c.shape == PartitionShape::fine ? "fine" : "coarse",
        "forced", c.forced ? Py_True : Py_False,
        "scatter", scatter_kind_name<std::uint32_t, ScatterUse::radix_pass>(),
        scatter_kind_name<std::uint64_t, ScatterUse::radix_pass>(),
        "partition_scatter", scatter_kind_name<std::uint32_t, ScatterUse::partition>(),
        scatter_kind_name<std::uint64_t, ScatterUse::partition>(),
        "float_partition", general::partition_floats_by_value<float>() ? "values" : "keys",
        general::partition_floats_by_value<double>() ? "values" : "keys",
        "fine_scatter_ns", c.fine_scatter_ns,
        "coarse_scatter_ns", c.coarse_scatter_ns,
        "cached_sort_ns", c.cached_sort_ns,
        "large_sort_ns", c.large_sort_ns,
        "split_ns", c.split_ns,
        "calibration_ms", c.cost_ms,
        "simd_sorts",
        "uint32", simd_sort_entry<std::uint32_t>(), "int32", simd_sort_entry<std::int32_t>(),
        "uint64", simd_sort_entry<std::uint64_t>(), "int64", simd_sort_entry<std::int64_t>(),
        "float32", simd_sort_entry<float>(), "float64", simd_sort_entry<double>());
}

}  // namespace tfs::functions
