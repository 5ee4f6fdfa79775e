#include "borrow_registry.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "engine/failure.hpp"
#include "numa_sort/call_wrapper.hpp"
#include "numa_sort/numpy_api.hpp"
#include "numa_sort/python_ref.hpp"

namespace tfs::borrow {
namespace {

// The attribute of NumPy's `multiarray` module and the name of the capsule
// it holds; every module that shares the registry uses this name.
constexpr const char* kApiName = "_RUST_NUMPY_BORROW_CHECKING_API";
// The record layout this module writes and can read.
constexpr std::uint64_t kApiVersion = 1;

constexpr const char* kLookupError = "Interal borrow checking API error";

// Return codes of the acquire operations.
constexpr int kAcquired = 0;
constexpr int kAlreadyBorrowed = -1;
constexpr int kNotWriteable = -2;
// Not part of the protocol: the operation could not run at all (out of
// memory, NumPy interface missing). Callers treat it as unexpected.
constexpr int kOperationFailed = -3;

// Exclusive borrows are stored with this count; shared ones count up from 1.
constexpr int kExclusiveCount = -1;

extern "C" {
using AcquireFn = int (*)(void* registry, PyObject* array);
using ReleaseFn = void (*)(void* registry, PyObject* array);
}

// The record behind the capsule, read by other modules: field order and
// widths are the protocol.
struct SharedApi {
    std::uint64_t version;
    void* registry;
    AcquireFn acquire;
    AcquireFn acquire_exclusive;
    ReleaseFn release;
    ReleaseFn release_exclusive;
};
static_assert(sizeof(SharedApi) == 6 * 8, "the record has no padding");

// The memory an array can reach. Two keys conflict when their byte ranges
// overlap and an element of one can share a byte with an element of the
// other (see conflicts()).
struct BorrowKey {
    std::intptr_t start;  // first byte reachable
    std::intptr_t end;    // one past the last byte reachable
    std::intptr_t data;   // address of the first element
    std::intptr_t stride_gcd;  // gcd of |strides|; 0 when every stride is 0
    std::intptr_t element_size;

    bool operator==(const BorrowKey&) const = default;
};

// One borrow held: the owner of the memory, what it reaches, and its count.
struct Borrow {
    std::intptr_t base;
    BorrowKey key;
    int count;
};

// Every borrow held, in no order. A process holds a handful at a time, so one
// flat list scanned whole beats per-owner hash tables (which allocated a node
// and a table on every call); the list keeps its capacity between calls.
struct Registry {
    std::vector<Borrow> held;
};

// Set once per process under the interpreter lock; never released.
const SharedApi* g_shared = nullptr;
PyObject* g_capsule = nullptr;

// The object that owns `array`'s memory: the end of its chain of array
// bases, or the first base that is not an array.
std::intptr_t base_address(const numpy::Api& np, PyObject* array) {
    PyObject* current = array;
    for (;;) {
        PyObject* base = np.fields(current).base;
        if (base == nullptr) return reinterpret_cast<std::intptr_t>(current);
        if (!np.is_array(base)) return reinterpret_cast<std::intptr_t>(base);
        current = base;
    }
}

BorrowKey key_of(const numpy::Api& np, PyObject* array) {
    const numpy::ArrayFields fields = np.fields(array);
    const auto data = reinterpret_cast<std::intptr_t>(fields.data);
    const std::intptr_t element_size = np.element_size(fields.descr);
    std::intptr_t low = 0;
    std::intptr_t high = 0;
    std::intptr_t stride_gcd = 0;
    bool empty = false;
    for (int axis = 0; axis < fields.nd; ++axis) {
        const std::intptr_t dim = fields.dims[axis];
        const std::intptr_t stride = fields.strides[axis];
        if (dim == 0) empty = true;
        const std::intptr_t reach = (dim - 1) * stride;
        (reach < 0 ? low : high) += reach;
        stride_gcd = std::gcd(stride_gcd, std::abs(stride));
    }
    if (fields.nd == 0) stride_gcd = 1;
    // A zero-dimensional array still holds one element, so it reaches
    // element_size bytes from its data pointer like any other array.
    if (empty) return BorrowKey{data, data, data, stride_gcd, element_size};
    return BorrowKey{data + low, data + high + element_size, data, stride_gcd, element_size};
}

// Every element of a key lies at data + (a multiple of stride_gcd), so two
// elements start at a distance d + j*g for some integer j, where d is the
// difference of the data pointers and g the gcd of both stride gcds. They
// share a byte exactly when that distance can fall within
// (-second.element_size, first.element_size). Equal data pointers modulo g
// always conflict, so do keys without a stride to divide by.
bool conflicts(const BorrowKey& first, const BorrowKey& second) {
    if (second.start >= first.end || first.start >= second.end) return false;
    const std::intptr_t g = std::gcd(first.stride_gcd, second.stride_gcd);
    if (g == 0) return true;
    std::intptr_t r = (second.data - first.data) % g;
    if (r < 0) r += g;
    return r == 0 || r < first.element_size || g - r < second.element_size;
}

Registry& registry_of(void* registry) { return *static_cast<Registry*>(registry); }

// What a new borrow of `key` through `base` meets among those held.
struct Survey {
    Borrow* same = nullptr;          // the borrow of the same owner and key
    bool exclusive_conflict = false; // an exclusive borrow shares memory with key
    bool any_conflict = false;       // any other borrow shares memory with key
};

// Keys of one owner are compared for equality first, so that an empty view
// borrowed twice is seen as the same borrow. The same bytes can also be
// reached through different owners (two frombuffer views of one buffer, an
// array and a memoryview of it), so every borrow held is checked for overlap.
Survey survey(Registry& registry, std::intptr_t base, const BorrowKey& key) {
    Survey found;
    for (Borrow& other : registry.held) {
        if (other.base == base && other.key == key) {
            found.same = &other;
            found.any_conflict = true;
            found.exclusive_conflict |= other.count == kExclusiveCount;
        } else if (conflicts(key, other.key)) {
            found.any_conflict = true;
            found.exclusive_conflict |= other.count == kExclusiveCount;
        }
    }
    return found;
}

extern "C" int acquire_shared_borrow(void* registry, PyObject* array) noexcept {
    const numpy::Api* np = numpy::loaded_api();
    if (np == nullptr) return kOperationFailed;
    try {
        Registry& reg = registry_of(registry);
        const std::intptr_t base = base_address(*np, array);
        const BorrowKey key = key_of(*np, array);
        const Survey found = survey(reg, base, key);
        if (found.exclusive_conflict) return kAlreadyBorrowed;
        if (found.same != nullptr) {
            if (found.same->count == std::numeric_limits<int>::max()) return kAlreadyBorrowed;
            ++found.same->count;
            return kAcquired;
        }
        reg.held.push_back(Borrow{base, key, 1});
        return kAcquired;
    } catch (...) {
        return kOperationFailed;
    }
}

extern "C" int acquire_exclusive_borrow(void* registry, PyObject* array) noexcept {
    const numpy::Api* np = numpy::loaded_api();
    if (np == nullptr) return kOperationFailed;
    if ((np->fields(array).flags & numpy::kArrayWriteable) == 0) return kNotWriteable;
    try {
        Registry& reg = registry_of(registry);
        const std::intptr_t base = base_address(*np, array);
        const BorrowKey key = key_of(*np, array);
        if (survey(reg, base, key).any_conflict) return kAlreadyBorrowed;
        reg.held.push_back(Borrow{base, key, kExclusiveCount});
        return kAcquired;
    } catch (...) {
        return kOperationFailed;
    }
}

// Removes the borrow of `array` when `update` says its count fell to zero.
template <typename Update>
void release_borrow(void* registry, PyObject* array, Update update) noexcept {
    const numpy::Api* np = numpy::loaded_api();
    if (np == nullptr) return;
    auto& held = registry_of(registry).held;
    const std::intptr_t base = base_address(*np, array);
    const BorrowKey key = key_of(*np, array);
    for (Borrow& borrow : held) {
        if (borrow.base != base || borrow.key != key) continue;
        if (update(borrow.count)) {
            borrow = held.back();
            held.pop_back();
        }
        return;
    }
}

extern "C" void release_shared_borrow(void* registry, PyObject* array) noexcept {
    release_borrow(registry, array, [](int& count) { return count > 0 && --count == 0; });
}

extern "C" void release_exclusive_borrow(void* registry, PyObject* array) noexcept {
    release_borrow(registry, array, [](int& count) { return count == kExclusiveCount; });
}

extern "C" void destroy_shared_api(PyObject* capsule) noexcept {
    auto* api = static_cast<SharedApi*>(PyCapsule_GetPointer(capsule, kApiName));
    if (api == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<Registry*>(api->registry);
    delete api;
}

// Creates a registry with this module's operations, wrapped in a new capsule
// that owns both.
py::OwnedRef new_registry_capsule() {
    auto* api = new SharedApi{kApiVersion, nullptr, acquire_shared_borrow, acquire_exclusive_borrow,
                              release_shared_borrow, release_exclusive_borrow};
    try {
        api->registry = new Registry;
    } catch (...) {
        delete api;
        throw;
    }
    PyObject* capsule = PyCapsule_New(api, kApiName, destroy_shared_api);
    if (capsule == nullptr) {
        delete static_cast<Registry*>(api->registry);
        delete api;
        py::fail_with_python_error(kLookupError);
    }
    return py::OwnedRef(capsule);
}

// The registry of this process: found on NumPy's `multiarray` module, or
// installed there. A failed lookup is not remembered.
const SharedApi& shared_api() {
    if (g_shared != nullptr) return *g_shared;
    const std::string module_name = numpy::api().core_module() + ".multiarray";
    py::OwnedRef module(PyImport_ImportModule(module_name.c_str()));
    if (!module) py::fail_with_python_error(kLookupError);

    py::OwnedRef capsule(PyObject_GetAttrString(module.get(), kApiName));
    if (!capsule) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) py::fail_with_python_error(kLookupError);
        PyErr_Clear();
        capsule = new_registry_capsule();
        if (PyObject_SetAttrString(module.get(), kApiName, capsule.get()) != 0)
            py::fail_with_python_error(kLookupError);
    }
    auto* api = static_cast<const SharedApi*>(PyCapsule_GetPointer(capsule.get(), kApiName));
    if (api == nullptr) py::fail_with_python_error(kLookupError);
    if (api->version < kApiVersion)
        fail(std::string(kLookupError) + ": the borrow checking API has version " +
             std::to_string(api->version) + ", at least " + std::to_string(kApiVersion) +
             " is needed");
    g_capsule = capsule.release();
    g_shared = api;
    return *api;
}

}  // namespace

ExclusiveBorrow acquire_exclusive(PyObject* array) {
    const SharedApi& api = shared_api();
    const int rc = api.acquire_exclusive(api.registry, array);
    switch (rc) {
        case kAcquired: return ExclusiveBorrow::acquired;
        case kAlreadyBorrowed: return ExclusiveBorrow::already_borrowed;
        case kNotWriteable: return ExclusiveBorrow::not_writeable;
        default: fail("Unexpected return code " + std::to_string(rc) + " from borrow checking API");
    }
}

void release_exclusive(PyObject* array) noexcept {
    if (g_shared != nullptr) g_shared->release_exclusive(g_shared->registry, array);
}

}  // namespace tfs::borrow
