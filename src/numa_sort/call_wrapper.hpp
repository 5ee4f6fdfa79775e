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

// CPython entry point for a function taking positional and keyword arguments.
template <PyObject* (*Body)(PyObject*, PyObject*)>
PyObject* keywords_entry(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return run_body([&] { return Body(args, kwargs); });
}

}  // namespace tfs::py
