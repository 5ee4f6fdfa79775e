#pragma once
// Small RAII helpers for CPython objects and the interpreter lock. Every user
// holds the interpreter lock when it creates or destroys one of these, except
// where a type says otherwise.

#include <Python.h>

#include <memory>

namespace tfs::py {

struct DecRef {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Owns one strong reference.
using OwnedRef = std::unique_ptr<PyObject, DecRef>;

// Takes a new strong reference to `object` (not null).
inline OwnedRef new_ref(PyObject* object) {
    Py_INCREF(object);
    return OwnedRef(object);
}

// A new reference to None, as function bodies return it.
inline PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// Gives up the interpreter lock for its lifetime: constructed with the lock
// held, it takes the lock back on destruction (also during unwinding), so no
// path leaves the calling thread without the lock. No Python object may be
// touched while it lives.
class GilReleased {
public:
    GilReleased() noexcept : state_(PyEval_SaveThread()) {}
    // Gives it up only when `release`: work shorter than the hand-over keeps
    // it, with no effect.
    explicit GilReleased(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~GilReleased() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace tfs::py
