#pragma once
// Extraction and checking of the single `arr` argument of the sort
// functions. Errors are Python exceptions (TypeError), raised by setting the
// exception and throwing py::PythonErrorRaised.

#include <Python.h>

#include <initializer_list>

#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/numpy_api.hpp"

namespace tfs::args {

// The `arr` argument (a borrowed reference) of a call to `function_name`.
PyObject* extract_arr(const char* function_name, const py::CallArguments& call);

// A keyword-only parameter: its name, and where its value (a borrowed
// reference) goes when it is given; left as it was otherwise.
struct KeywordOnly {
    const char* name;
    PyObject** value;
};

// The same for a function with keyword-only parameters after `arr`: a name
// that is neither `arr` nor one of them raises TypeError.
PyObject* extract_arguments(const char* function_name, const py::CallArguments& call,
                            std::initializer_list<KeywordOnly> keyword_only);

// Raises TypeError unless `arr` is a one-dimensional array (ndarray or a
// subclass other than numpy.ma.MaskedArray) whose descriptor is, or is
// equivalent to, the built-in descriptor of `type_number`.
void require_array_of(const numpy::Api& np, PyObject* arr, int type_number);

// Whether `arr` is a numpy.ma.MaskedArray or an instance of a subclass: an
// ndarray whose elements mean nothing without its mask, which a sort of the
// data alone would tear apart.
bool is_masked_array(const numpy::Api& np, PyObject* arr);

}  // namespace tfs::args
