#pragma once
// The process-wide registry of array borrows, shared with every extension
// module in the process that follows the same protocol: a capsule on NumPy's
// core `multiarray` module holds the registry and its four operations
// (shared and exclusive acquire and release). The first user installs it;
// later users, from any module, find it there.
//
// All functions expect the interpreter lock to be held and NumPy's interface
// (numa_sort/numpy_api.hpp) to be loaded.

#include <Python.h>

namespace tfs::borrow {

enum class ExclusiveBorrow { acquired, already_borrowed, not_writeable };

// Takes an exclusive borrow of `array`'s memory. Finds or installs the
// registry on first use; a registry that cannot be found or installed, or an
// unknown return code, is an internal failure.
ExclusiveBorrow acquire_exclusive(PyObject* array);

// Returns an exclusive borrow taken by acquire_exclusive().
void release_exclusive(PyObject* array) noexcept;

// Returns an acquired exclusive borrow when it goes out of scope (with the
// interpreter lock held).
class ExclusiveBorrowHeld {
public:
    explicit ExclusiveBorrowHeld(PyObject* array) noexcept : array_(array) {}
    ~ExclusiveBorrowHeld() { release_exclusive(array_); }
    ExclusiveBorrowHeld(const ExclusiveBorrowHeld&) = delete;
    ExclusiveBorrowHeld& operator=(const ExclusiveBorrowHeld&) = delete;

private:
    PyObject* array_;
};

}  // namespace tfs::borrow
