#pragma once
// NumPy's native interface without NumPy headers: the `_ARRAY_API` table,
// loaded at run time from NumPy 1 or 2, and reads of array and descriptor
// fields at fixed byte offsets. The offsets are checked once against arrays
// that NumPy itself creates, so a layout this code does not know ends in an
// internal failure instead of a misread.

#include <Python.h>

#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>

#include "numa_sort/python_ref.hpp"

namespace tfs::numpy {

using npy_intp = Py_ssize_t;

// The writeable bit of an array's flags.
inline constexpr int kArrayWriteable = 0x0400;

// NumPy's built-in type numbers (the same in NumPy 1 and 2).
inline constexpr int kTypeBool = 0;
inline constexpr int kTypeByte = 1;
inline constexpr int kTypeUByte = 2;
inline constexpr int kTypeShort = 3;
inline constexpr int kTypeUShort = 4;
inline constexpr int kTypeInt = 5;
inline constexpr int kTypeUInt = 6;
inline constexpr int kTypeLong = 7;
inline constexpr int kTypeULong = 8;
inline constexpr int kTypeLongLong = 9;
inline constexpr int kTypeULongLong = 10;
inline constexpr int kTypeFloat = 11;
inline constexpr int kTypeDouble = 12;
inline constexpr int kTypeDatetime = 21;
inline constexpr int kTypeTimedelta = 22;
inline constexpr int kTypeHalf = 23;

// The built-in type number of element type T: integer numbers follow the C
// type of T's width (int, long or long long), which is what NumPy names
// int32/int64 after on this platform.
template <typename T>
constexpr int type_number() {
    if constexpr (std::is_same_v<T, float>) {
        return kTypeFloat;
    } else if constexpr (std::is_same_v<T, double>) {
        return kTypeDouble;
    } else {
        static_assert(std::is_integral_v<T>);
        constexpr bool is_signed = std::is_signed_v<T>;
        if constexpr (sizeof(T) == sizeof(int))
            return is_signed ? kTypeInt : kTypeUInt;
        else if constexpr (sizeof(T) == sizeof(long))
            return is_signed ? kTypeLong : kTypeULong;
        else {
            static_assert(sizeof(T) == sizeof(long long));
            return is_signed ? kTypeLongLong : kTypeULongLong;
        }
    }
}

// The fields of an array object that this module reads. Pointers are
// borrowed from the array.
struct ArrayFields {
    char* data;
    int nd;
    const npy_intp* dims;
    const npy_intp* strides;
    PyObject* base;   // null when the array owns its memory
    PyObject* descr;
    int flags;
};

class Api {
public:
    // `capsule` is the `_ARRAY_API` capsule that holds `table`.
    Api(void** table, int major_version, std::string core_module, py::OwnedRef capsule);

    // True when `object` is an ndarray or an instance of a subclass.
    bool is_array(PyObject* object) const;
    // True when `object` is an ndarray itself, not a subclass.
    bool is_exact_array(PyObject* object) const;
    // Field reads of an object for which is_array() holds.
    ArrayFields fields(PyObject* array) const;
    // Element size in bytes of a descriptor.
    npy_intp element_size(PyObject* descr) const;
    int type_num(PyObject* descr) const;
    // '=' native, '|' not applicable (one byte), '<' or '>' otherwise.
    char byte_order(PyObject* descr) const;
    // The built-in descriptor of a type number (a new reference); an unknown
    // number is an internal failure.
    py::OwnedRef descr_from_type(int type_number) const;
    // NumPy's descriptor equivalence. Never leaves a Python error behind.
    bool equivalent(PyObject* first, PyObject* second) const;

    // Whether NumPy takes memory handlers (NumPy 1.22 and later).
    bool memory_handlers() const { return memory_handlers_; }
    // Makes `handler` (a "mem_handler" capsule) allocate the arrays created
    // from now on in the current context; returns the one before (a new
    // reference), or null with a Python error set (or where NumPy takes no
    // handlers).
    PyObject* set_memory_handler(PyObject* handler) const;

    int major_version() const { return major_version_; }
    // "numpy._core" for NumPy 2 and later, "numpy.core" before.
    const std::string& core_module() const { return core_module_; }

private:
    void** table_;
    int major_version_;
    std::string core_module_;
    py::OwnedRef capsule_;  // keeps the table alive
    bool memory_handlers_;
};

// The process-wide interface, loaded on first use (interpreter lock held).
// A failure to reach NumPy is an internal failure "Failed to access NumPy
// array API capsule: ..."; nothing is kept, so the next call tries again.
const Api& api();

// The interface when already loaded, else null.
const Api* loaded_api() noexcept;

}  // namespace tfs::numpy
