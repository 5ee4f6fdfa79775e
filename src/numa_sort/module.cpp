// The module object: its definition, the function table, single-phase
// initialisation and the module cell.

#include <Python.h>

#include <cstdint>

#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/functions.hpp"
#include "numa_sort/python_ref.hpp"

namespace {

using tfs::functions::SortFunction;
using tfs::py::OwnedRef;

constexpr const char* kModuleName = "tarvo_fastsort_numa";
constexpr const char* kDetectTopologyDoc =
    "detect_topology()\n--\n\n"
    "Returns (node_count, cores_per_node) on multi-socket systems, or None\n"
    "on single-socket (where the caller should fall through to the existing\n"
    "non-NUMA parallel radix path).";
constexpr const char* kSecondInitialisation =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "",       // docstring: __doc__ is "" rather than None
    0,        // no per-module state
    nullptr,  // functions are added after creation
    nullptr, nullptr, nullptr, nullptr,
};

// The module cell: filled by the first successful initialisation, never
// emptied. Only touched under the interpreter lock.
PyObject* g_module = nullptr;

template <typename T>
PyMethodDef sort_function_def() {
    return tfs::py::keywords_method<&tfs::functions::numa_sort<T>>(SortFunction<T>::name, SortFunction<T>::doc);
}

// The function table, in the order of the module's __all__; filled by the
// first initialisation, when the interpreter's calling conventions are
// known. Lives as long as the functions made from it.
PyMethodDef g_functions[7];

// sort(), _sort_info() (for benchmarks) and argsort(): module attributes
// beside the function table, not in __all__.
PyMethodDef g_general_sort_def;
PyMethodDef g_sort_info_def;
PyMethodDef g_general_argsort_def;

void fill_function_tables() {
    g_functions[0] = {"detect_topology", &tfs::py::noargs_entry<&tfs::functions::detect_topology>, METH_NOARGS,
                      kDetectTopologyDoc};
    g_functions[1] = sort_function_def<std::int64_t>();
    g_functions[2] = sort_function_def<std::uint64_t>();
    g_functions[3] = sort_function_def<std::int32_t>();
    g_functions[4] = sort_function_def<std::uint32_t>();
    g_functions[5] = sort_function_def<double>();
    g_functions[6] = sort_function_def<float>();
    g_general_sort_def =
        tfs::py::keywords_method<&tfs::functions::general_sort>("sort", tfs::functions::kGeneralSortDoc);
    g_sort_info_def = {"_sort_info", &tfs::py::noargs_entry<&tfs::functions::sort_info>, METH_NOARGS,
                       "What the last sort() on this thread did, and the partition shape and scatter measured for "
                       "this processor."};
    g_general_argsort_def =
        tfs::py::keywords_method<&tfs::functions::general_argsort>("argsort", tfs::functions::kGeneralArgsortDoc);
}

// Creates the function of `def`, bound to `module`, appends its name to
// __all__ (created on first use) and sets it as a module attribute. False
// with a Python exception set on failure.
bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    OwnedRef function(PyCFunction_NewEx(def, module, module_name));
    if (!function) return false;
    OwnedRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    OwnedRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return false;
        PyErr_Clear();
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    if (PyList_Append(all.get(), name.get()) != 0) return false;
    return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

// Fills a new module; false with a Python exception set on failure.
bool populate(PyObject* module) {
    fill_function_tables();
    OwnedRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : g_functions)
        if (!add_function(module, module_name.get(), &def)) return false;
    OwnedRef sort(PyCFunction_NewEx(&g_general_sort_def, module, module_name.get()));
    if (!sort || PyObject_SetAttrString(module, "sort", sort.get()) != 0) return false;
    OwnedRef info(PyCFunction_NewEx(&g_sort_info_def, module, module_name.get()));
    if (!info || PyObject_SetAttrString(module, "_sort_info", info.get()) != 0) return false;
    OwnedRef argsort(PyCFunction_NewEx(&g_general_argsort_def, module, module_name.get()));
    if (!argsort || PyObject_SetAttrString(module, "argsort", argsort.get()) != 0) return false;
    // Callers can name the exception type to catch it.
    PyObject* panic = tfs::py::panic_exception_type();
    return panic != nullptr && PyObject_SetAttrString(module, "PanicException", panic) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_tarvo_fastsort_numa() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError, kSecondInitialisation);
        return nullptr;
    }
    OwnedRef module(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
    if (!module) {
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    if (!populate(module.get())) return nullptr;
    if (g_module == nullptr) g_module = module.release();
    Py_INCREF(g_module);
    return g_module;
}
