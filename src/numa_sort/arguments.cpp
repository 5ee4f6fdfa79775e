#include "numa_sort/arguments.hpp"

#include <algorithm>
#include <string>

#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::args {
namespace {

constexpr const char* kParameter = "arr";

// TypeError naming the argument's type by its __qualname__.
[[noreturn]] void raise_not_convertible(PyObject* arr) {
    py::OwnedRef qualname(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arr)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get()) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'arr': '%U' object cannot be converted to 'PyArray<T, D>'",
                     qualname.get());
    } else {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError,
                        "argument 'arr': '<failed to extract type name>' object cannot be "
                        "converted to 'PyArray<T, D>'");
    }
    py::propagate_python_error();
}

// numpy.ma's MaskedArray once numpy.ma has been imported (a masked array
// cannot exist before); held for the rest of the process once found.
PyObject* g_masked_array_type = nullptr;

}  // namespace

bool is_masked_array(const numpy::Api& np, PyObject* arr) {
    if (np.is_exact_array(arr)) return false;  // the common case, without a module lookup
    if (g_masked_array_type == nullptr) {
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        PyObject* core = PyDict_GetItemString(modules, "numpy.ma.core");  // borrowed
        if (core == nullptr) return false;
        PyObject* type = PyObject_GetAttrString(core, "MaskedArray");
        if (type == nullptr || PyType_Check(type) == 0) {
            PyErr_Clear();
            Py_XDECREF(type);
            return false;
        }
        g_masked_array_type = type;
    }
    return PyType_IsSubtype(Py_TYPE(arr), reinterpret_cast<PyTypeObject*>(g_masked_array_type)) != 0;
}

PyObject* extract_arguments(const char* function_name, const py::CallArguments& call,
                            std::initializer_list<KeywordOnly> keyword_only) {
    const Py_ssize_t positional = call.positional_count();
    if (positional < 0) py::propagate_python_error();
    if (positional > 1)
        py::raise_error(PyExc_TypeError, std::string(function_name) + "() takes 1 positional arguments but " +
                                             std::to_string(positional) + " were given");
    PyObject* arr = positional == 1 ? call.positional(0) : nullptr;

    call.for_each_keyword([&](PyObject* key, PyObject* value) {
        // Names compared as they stand: no string is made or hashed per call.
        const auto is = [key](const char* wanted) {
            return PyUnicode_Check(key) != 0 && PyUnicode_CompareWithASCIIString(key, wanted) == 0;
        };
        if (is(kParameter)) {
            if (arr != nullptr)
                py::raise_error(PyExc_TypeError,
                                std::string(function_name) + "() got multiple values for argument 'arr'");
            arr = value;
            return;
        }
        const auto named = std::find_if(keyword_only.begin(), keyword_only.end(),
                                        [&](const KeywordOnly& k) { return is(k.name); });
        if (named == keyword_only.end()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_name, key);
            py::propagate_python_error();
        }
        *named->value = value;
    });
    if (arr == nullptr)
        py::raise_error(PyExc_TypeError,
                        std::string(function_name) + "() missing 1 required positional argument: 'arr'");
    return arr;
}

PyObject* extract_arr(const char* function_name, const py::CallArguments& call) {
    return extract_arguments(function_name, call, {});
}

void require_array_of(const numpy::Api& np, PyObject* arr, int type_number) {
    if (!np.is_array(arr) || is_masked_array(np, arr)) raise_not_convertible(arr);
    const numpy::ArrayFields fields = np.fields(arr);
    if (fields.nd != 1) raise_not_convertible(arr);
    // A built-in descriptor of the type number in native byte order is the
    // expected one; anything else is asked of NumPy.
    if (np.type_num(fields.descr) == type_number && np.byte_order(fields.descr) == '=') return;
    py::OwnedRef expected = np.descr_from_type(type_number);
    if (fields.descr != expected.get() && !np.equivalent(fields.descr, expected.get()))
        raise_not_convertible(arr);
}

}  // namespace tfs::args
