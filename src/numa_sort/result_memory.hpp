#pragma once
// Memory for large arrays that argsort() returns: taken from the scratch
// cache through a NumPy memory handler and given back to it when NumPy frees
// the array, so that a call after another reuses kept pages instead of
// faulting in fresh ones (on a virtual machine whose host takes back free
// memory, 80 MB fresh after a second of quiet cost 40 to 200 ms). The array
// owns its memory as any other: NumPy frees, copies and resizes it through
// the handler it was made with.

#include <Python.h>

#include <cstddef>

#include "numa_sort/numpy_api.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::result_memory {

// Results from this many bytes may take their memory from the scratch
// cache (where its 2 MiB granules waste little of it): below it the heap
// keeps freed memory itself, and setting the handler costs more than it
// saves.
inline constexpr std::size_t kCachedResultMinBytes = std::size_t(1) << 20;

// The handler's name, as numpy.core.multiarray.get_handler_name() reports it.
inline constexpr const char* kHandlerName = "tarvo_fastsort_numa scratch cache";

// The handler capsule (a borrowed reference, kept for the process).
PyObject* handler();

// While it lives, `np`'s arrays are allocated by handler().
class HandlerScope {
public:
    explicit HandlerScope(const numpy::Api& np);
    ~HandlerScope();
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    const numpy::Api& np_;
    PyObject* previous_;
};

// Makes the handler current for the arrays `create` makes, where NumPy
// takes handlers and `bytes` reaches kCachedResultMinBytes; the handler
// before is current again afterwards, also when `create` throws.
template <typename Create>
py::OwnedRef create_with_cached_memory(const numpy::Api& np, std::size_t bytes, Create create) {
    if (bytes < kCachedResultMinBytes || !np.memory_handlers()) return create();
    const HandlerScope scope(np);
    return create();
}

}  // namespace tfs::result_memory
