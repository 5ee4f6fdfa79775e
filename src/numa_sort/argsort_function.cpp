// argsort(arr, *, axis=-1, kind=None, threads=None): the argument checks and
// the hand-off to argsort.cpp, with NumPy's conventions and errors. The
// array is only read; the indices go to a new array.

#include <cstddef>

#include "numa_sort/argsort.hpp"
#include "numa_sort/arguments.hpp"
#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/functions.hpp"
#include "numa_sort/general_arguments.hpp"
#include "numa_sort/numpy_api.hpp"
#include "numa_sort/python_ref.hpp"
#include "numa_sort/result_memory.hpp"

namespace tfs::functions {
namespace {

// NumPy's rule for a sort kind: None, or a string whose first letter names
// one ('q'uicksort, 'h'eapsort, 's'table, 'm'ergesort), in either case.
// Every kind gets the stable order, which each of them allows.
void check_kind(PyObject* kind) {
    if (kind == nullptr || kind == Py_None) return;
    if (PyUnicode_Check(kind) == 0) {
        py::OwnedRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(kind)), "__name__"));
        if (!name) py::propagate_python_error();
        PyErr_Format(PyExc_TypeError, "sort kind must be str, not %S", name.get());
        py::propagate_python_error();
    }
    const Py_ssize_t length = PyUnicode_GetLength(kind);
    if (length < 0) py::propagate_python_error();
    const Py_UCS4 first = length > 0 ? PyUnicode_ReadChar(kind, 0) : 0;
    switch (first) {
        case 'q': case 'Q': case 'h': case 'H': case 's': case 'S': case 'm': case 'M': return;
        default:
            PyErr_Format(PyExc_ValueError, "sort kind must be one of 'quick', 'heap', or 'stable' (got %R)", kind);
            py::propagate_python_error();
    }
}

// numpy.<name>, looked up on the first call and kept for the process (an
// import per call would cost more than sorting a short array).
PyObject* numpy_attribute(const char* name) {
    py::OwnedRef numpy{PyImport_ImportModule("numpy")};
    if (!numpy) py::propagate_python_error();
    PyObject* attribute = PyObject_GetAttrString(numpy.get(), name);
    if (attribute == nullptr) py::propagate_python_error();
    return attribute;
}

// A new C-ordered array of np.intp with `fields`' shape, its memory from the
// scratch cache where it is large.
py::OwnedRef new_index_array(const numpy::Api& np, const numpy::ArrayFields& fields) {
    py::OwnedRef shape{PyTuple_New(fields.nd)};
    if (!shape) py::propagate_python_error();
    std::size_t bytes = sizeof(Py_ssize_t);
    for (int d = 0; d < fields.nd; ++d) {
        bytes *= static_cast<std::size_t>(fields.dims[d]);
        PyObject* dim = PyLong_FromSsize_t(fields.dims[d]);
        if (dim == nullptr || PyTuple_SetItem(shape.get(), d, dim) != 0) py::propagate_python_error();
    }
    static PyObject* const empty = numpy_attribute("empty");
    static PyObject* const intp = numpy_attribute("intp");
    return result_memory::create_with_cached_memory(np, bytes, [&] {
        py::OwnedRef result{PyObject_CallFunctionObjArgs(empty, shape.get(), intp, nullptr)};
        if (!result) py::propagate_python_error();
        return result;
    });
}

// The array flattened in C order (a view where NumPy can make one).
py::OwnedRef flattened(PyObject* arr) {
    static PyObject* const asarray = numpy_attribute("asarray");
    py::OwnedRef plain{PyObject_CallFunctionObjArgs(asarray, arr, nullptr)};
    if (!plain) py::propagate_python_error();
    py::OwnedRef flat{PyObject_CallMethod(plain.get(), "reshape", "n", Py_ssize_t{-1})};
    if (!flat) py::propagate_python_error();
    return flat;
}

}  // namespace

PyObject* general_argsort(const py::CallArguments& call) {
    PyObject* axis_object = nullptr;
    PyObject* kind = nullptr;
    PyObject* threads = nullptr;
    PyObject* arr = args::extract_arguments("argsort", call,
                                            {{"axis", &axis_object}, {"kind", &kind}, {"threads", &threads}});

    const numpy::Api& np = numpy::api();
    require_plain_array(np, arr, "argsort");
    const bool flatten = axis_object == Py_None;
    Py_ssize_t axis = flatten ? 0 : axis_of(axis_object);
    check_kind(kind);
    const std::size_t workers = workers_of(threads);

    py::OwnedRef held = flatten ? flattened(arr) : py::new_ref(arr);
    const numpy::ArrayFields fields = np.fields(held.get());
    if (axis < -fields.nd || axis >= fields.nd) raise_axis_error(axis, fields.nd);
    if (axis < 0) axis += fields.nd;
    const general::Element element = element_of(np, fields.descr, "argsort");

    py::OwnedRef result = new_index_array(np, fields);
    const numpy::ArrayFields result_fields = np.fields(result.get());
    const general::Lanes lanes = lanes_of(fields, static_cast<int>(axis));
    const general::Lanes indices = lanes_of(result_fields, static_cast<int>(axis));
    {
        const py::GilReleased unlocked(worth_releasing_lock(fields, general::element_size(element)));
        general::argsort_lanes(element, lanes, indices, workers);
    }
    return result.release();
}

}  // namespace tfs::functions
