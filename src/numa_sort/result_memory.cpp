#include "numa_sort/result_memory.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/sorts/scratch_cache.hpp"
#include "numa_sort/call_wrapper.hpp"

namespace tfs::result_memory {
namespace {

// NumPy's handler layout (version 1): a name of 127 bytes, the version, then
// the allocator's context and functions. `free` takes the size NumPy thinks
// the memory has.
struct Allocator {
    void* ctx;
    void* (*malloc)(void* ctx, std::size_t size);
    void* (*calloc)(void* ctx, std::size_t count, std::size_t size);
    void* (*realloc)(void* ctx, void* ptr, std::size_t size);
    void (*free)(void* ctx, void* ptr, std::size_t size);
};
struct Handler {
    char name[127];
    std::uint8_t version;
    Allocator allocator;
};
static_assert(offsetof(Handler, allocator) == 128 && sizeof(Handler) == 168);

// Every allocation starts with a header saying where it came from; the data
// follows, 64-byte aligned within a mapped block.
struct Header {
    std::size_t block_bytes;  // the mapped block's length; 0 for heap memory
    std::size_t size;         // bytes asked for
};
constexpr std::size_t kHeaderBytes = 64;
// A block for an array may exceed it by at most this share of its size.
constexpr std::size_t kMaxWasteShare = 8;
static_assert(sizeof(Header) <= kHeaderBytes);

Header& header_of(void* data) { return *reinterpret_cast<Header*>(static_cast<char*>(data) - kHeaderBytes); }

void* allocate(void*, std::size_t size) {
    if (size > SIZE_MAX - kHeaderBytes) return nullptr;
    const std::size_t total = size + kHeaderBytes;
    void* base = nullptr;
    std::size_t block_bytes = 0;
    // Blocks are whole granules: only where that wastes at most an eighth,
    // and cut to as many granules as the array needs, so that an array kept
    // holds no more memory than that.
    const std::size_t granules = (total + kScratchCacheGranule - 1) / kScratchCacheGranule * kScratchCacheGranule;
    if (total >= kScratchCacheMinBytes && granules >= total && granules - total <= total / kMaxWasteShare) {
        try {
            ScratchCache& cache = ScratchCache::process();
            ScratchBlock block = cache.acquire(total);
            if (block.bytes > granules) {
                cache.release({static_cast<char*>(block.data) + granules, block.bytes - granules});
                block.bytes = granules;
            }
            base = block.data;
            block_bytes = block.bytes;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    } else {
        base = std::malloc(total);
        if (base == nullptr) return nullptr;
    }
    new (base) Header{block_bytes, size};
    return static_cast<char*>(base) + kHeaderBytes;
}

void release(void*, void* data, std::size_t) {
    if (data == nullptr) return;
    const Header header = header_of(data);
    void* base = static_cast<char*>(data) - kHeaderBytes;
    if (header.block_bytes != 0)
        ScratchCache::process().release({base, header.block_bytes});
    else
        std::free(base);
}

void* allocate_zeroed(void* ctx, std::size_t count, std::size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* data = allocate(ctx, count * size);
    if (data != nullptr) std::memset(data, 0, count * size);
    return data;
}

void* reallocate(void* ctx, void* data, std::size_t size) {
    if (data == nullptr) return allocate(ctx, size);
    void* moved = allocate(ctx, size);
    if (moved == nullptr) return nullptr;  // the old memory stays, as realloc leaves it
    std::memcpy(moved, data, std::min(header_of(data).size, size));
    release(ctx, data, 0);
    return moved;
}

Handler g_handler = [] {
    Handler h{};
    std::strncpy(h.name, kHandlerName, sizeof h.name - 1);
    h.version = 1;
    h.allocator = {nullptr, &allocate, &allocate_zeroed, &reallocate, &release};
    return h;
}();

}  // namespace

PyObject* handler() {
    static PyObject* const capsule = [] {
        PyObject* made = PyCapsule_New(&g_handler, "mem_handler", nullptr);
        if (made == nullptr) py::propagate_python_error();
        return made;
    }();
    return capsule;
}

HandlerScope::HandlerScope(const numpy::Api& np) : np_(np), previous_(np.set_memory_handler(handler())) {
    if (previous_ == nullptr) py::propagate_python_error();
}

HandlerScope::~HandlerScope() {
    // Put back with any error of `create` kept aside.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* ours = np_.set_memory_handler(previous_);
    Py_XDECREF(ours);
    if (ours == nullptr) PyErr_Clear();
    Py_DECREF(previous_);
    PyErr_Restore(type, value, traceback);
}

}  // namespace tfs::result_memory
