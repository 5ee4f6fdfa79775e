#include "numa_sort/call_wrapper.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <exception>
#include <new>
#include <typeinfo>

#include "engine/failure.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::py {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code of tarvo_fastsort_numa fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it usually propagates to the top of the stack instead of being\n"
    "caught by a broad `except Exception`.";

// Lives for the whole process once created; only touched under the lock.
PyObject* g_panic_type = nullptr;

// UTF-8 text of `object`'s str(); clears any error on the way.
std::string utf8_str(PyObject* object, const char* fallback) {
    OwnedRef text(PyObject_Str(object));
    if (!text) {
        PyErr_Clear();
        return fallback;
    }
    OwnedRef bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return fallback;
    }
    const char* data = PyBytes_AsString(bytes.get());
    if (data == nullptr) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(data, static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

// Raises PanicException(message); returns null for the caller to pass on.
PyObject* raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;
    OwnedRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                       "replace"));
    if (!text) return nullptr;
    OwnedRef instance(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!instance) return nullptr;
    PyErr_SetObject(type, instance.get());
    return nullptr;
}

void write_diagnostic(const InternalFailure& failure) {
    const std::source_location& where = failure.where();
    std::fprintf(stderr, "tarvo_fastsort_numa: internal failure at %s:%u (%s): %s\n",
                 where.file_name(), static_cast<unsigned>(where.line()), where.function_name(),
                 failure.what());
    std::fflush(stderr);
}

}  // namespace

void propagate_python_error() { throw PythonErrorRaised{}; }

void raise_error(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorRaised{};
}

std::string take_python_error_description() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return "no Python exception was set";
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef owned_type(type);
    OwnedRef owned_value(value);
    OwnedRef owned_traceback(traceback);

    std::string name = "<unknown exception>";
    if (OwnedRef qualname{PyObject_GetAttrString(type, "__qualname__")})
        name = utf8_str(qualname.get(), name.c_str());
    else
        PyErr_Clear();
    if (!owned_value) return name;
    return name + ": " + utf8_str(owned_value.get(), "<unprintable exception>");
}

void fail_with_python_error(std::string_view context, std::source_location where) {
    std::string message(context);
    message += ": ";
    message += take_python_error_description();
    throw InternalFailure(message, where);
}

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr)
        g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    return g_panic_type;
}

PyObject* translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorRaised&) {
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    } catch (const InternalFailure& failure) {
        try {
            write_diagnostic(failure);
            return raise_panic(failure.what());
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        try {
            std::fprintf(stderr, "tarvo_fastsort_numa: internal failure (%s): %s\n",
                         typeid(error).name(), error.what());
            std::fflush(stderr);
            return raise_panic(error.what());
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    } catch (...) {
        std::fprintf(stderr, "tarvo_fastsort_numa: internal failure: unknown C++ exception\n");
        std::fflush(stderr);
        try {
            return raise_panic("unknown C++ exception");
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
}

bool vector_calls_supported() noexcept {
    static const bool supported = [] {
        // Tests force the tuple convention that older interpreters get.
        if (const char* forced = std::getenv("TARVO_FASTSORT_CALLS"); forced != nullptr && std::string_view(forced) == "tuple")
            return false;
        PyObject* version = PySys_GetObject("hexversion");  // borrowed
        if (version == nullptr) return false;
        const long hex = PyLong_AsLong(version);
        if (hex == -1 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            return false;
        }
        return hex >= 0x030A0000;
    }();
    return supported;
}

}  // namespace tfs::py
