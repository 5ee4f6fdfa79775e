#pragma once
// The wrapper through which every module function runs. A body returns a new
// reference, or throws:
//   - PythonErrorRaised after setting a Python exception (it reaches CPython
//     unchanged),
//   - tfs::InternalFailure (a diagnostic line goes to stderr and the caller
//     gets PanicException with the failure message as its only argument),
//   - std::bad_alloc (the caller gets MemoryError).
// Any other C++ exception is treated as an internal failure. No exception
// crosses into CPython.

#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>

namespace tfs::py {

// METH_FASTCALL: the same value in every CPython since 3.7; the stable ABI
// names it from 3.10, and vector_calls_supported() says when it may be used.
inline constexpr int kMethodVectorCall = 0x0080;

// Thrown by a body once the current Python exception is set.
struct PythonErrorRaised {};

// Throws PythonErrorRaised; the caller has set a Python exception.
[[noreturn]] void propagate_python_error();

// Sets `type` with `message` and throws PythonErrorRaised.
[[noreturn]] void raise_error(PyObject* type, const std::string& message);

// Fetches and clears the current Python exception and describes it as
// "<type qualname>: <str(value)>". Never fails; without a current exception
// it says so.
std::string take_python_error_description();

// Turns the current Python exception into an internal failure whose message
// is "<context>: <description>".
[[noreturn]] void fail_with_python_error(
    std::string_view context, std::source_location where = std::source_location::current());

// The process-wide PanicException type (a borrowed reference), created on
// first use; null with a Python exception set when it cannot be created.
PyObject* panic_exception_type();

// Converts the exception in flight into the CPython convention: sets the
// Python exception and returns null. Must be called inside a catch handler.
PyObject* translate_current_exception() noexcept;

template <typename Body>
PyObject* run_body(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return translate_current_exception();
    }
}

// CPython entry point for a no-argument function.
template <PyObject* (*Body)()>
PyObject* noargs_entry(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    return run_body([] { return Body(); });
}

// The arguments of a call as CPython passes them, in either convention: a
// tuple of positional values and a dictionary of keywords (null when none),
// or one vector of values, the positional ones first, with a tuple of the
// keyword names of the rest (null when none). Borrowed references.
class CallArguments {
public:
    static CallArguments of_tuple(PyObject* args, PyObject* kwargs) noexcept {
        return CallArguments(args, kwargs, nullptr, 0, nullptr);
    }
    static CallArguments of_vector(PyObject* const* values, Py_ssize_t positional, PyObject* names) noexcept {
        return CallArguments(nullptr, nullptr, values, positional, names);
    }

    // The number of positional values; -1 with a Python exception set when
    // the tuple cannot be read.
    Py_ssize_t positional_count() const noexcept { return tuple_ != nullptr ? PyTuple_Size(tuple_) : positional_; }
    PyObject* positional(Py_ssize_t i) const noexcept {
        return tuple_ != nullptr ? PyTuple_GetItem(tuple_, i) : values_[i];
    }
    // Calls visit(name, value) for each keyword, in the caller's order.
    template <typename Visit>
    void for_each_keyword(Visit visit) const {
        if (keywords_ != nullptr) {
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(keywords_, &position, &name, &value) != 0) visit(name, value);
        } else if (names_ != nullptr) {
            const Py_ssize_t count = PyTuple_Size(names_);
            for (Py_ssize_t i = 0; i < count; ++i) visit(PyTuple_GetItem(names_, i), values_[positional_ + i]);
        }
    }

private:
    CallArguments(PyObject* tuple, PyObject* keywords, PyObject* const* values, Py_ssize_t positional,
                  PyObject* names) noexcept
        : tuple_(tuple), keywords_(keywords), values_(values), positional_(positional), names_(names) {}

    PyObject* tuple_;
    PyObject* keywords_;
    PyObject* const* values_;
    Py_ssize_t positional_;
    PyObject* names_;
};

using KeywordsBody = PyObject* (*)(const CallArguments&);

// CPython entry points for a function taking positional and keyword
// arguments: the tuple-and-dictionary convention (METH_VARARGS |
// METH_KEYWORDS) ...
template <KeywordsBody Body>
PyObject* keywords_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return run_body([&] { return Body(CallArguments::of_tuple(args, kwargs)); });
}

// ... and the vector convention (METH_FASTCALL | METH_KEYWORDS), which
// spares the caller a tuple and a dictionary per call.
template <KeywordsBody Body>
PyObject* vector_entry(PyObject* /*module*/, PyObject* const* values, Py_ssize_t positional,
                       PyObject* names) noexcept {
    return run_body([&] { return Body(CallArguments::of_vector(values, positional, names)); });
}

// Whether the running interpreter takes the vector convention from modules
// built for the stable ABI: it does from CPython 3.10, where the stable ABI
// took the flag in. Asked once, under the interpreter lock;
// TARVO_FASTSORT_CALLS=tuple forces the tuple convention.
bool vector_calls_supported() noexcept;

// A method entry for `Body`, named `name`, in the convention the running
// interpreter supports best.
template <KeywordsBody Body>
PyMethodDef keywords_method(const char* name, const char* doc) noexcept {
    // CPython stores every entry point as PyCFunction and calls it with the
    // signature that the flags announce.
    if (vector_calls_supported())
        return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vector_entry<Body>)),
                           kMethodVectorCall | METH_KEYWORDS, doc};
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&keywords_entry<Body>)),
                       METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace tfs::py
