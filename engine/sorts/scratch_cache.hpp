#pragma once
// Scratch memory kept between sorts. A large buffer fresh from the kernel
// costs a page fault and a zeroed page for every page on first touch, more
// than a radix pass over it; a block kept from an earlier sort costs nothing.
// Blocks of at least kScratchCacheMinBytes are mapped directly and, when a
// sort is done with them, kept up to a limit on the bytes kept in all: 64 MiB
// unless TARVO_FASTSORT_SCRATCH_CACHE says otherwise (bytes, or a number with
// K, M or G; 0 keeps nothing). Beyond that limit, up to a larger one (the
// lazy limit), blocks stay mapped but their pages are handed to the kernel
// to take back whenever it needs memory (MADV_FREE): until it does, reusing
// them costs nothing. A block larger than what is kept keeps its first part;
// a later, larger request grows a kept block in place of a fresh one, so
// that only the part beyond it is new. Smaller buffers come from the heap.
//
// The process-wide cache is safe to use from any thread; a forked child
// starts with it empty and returns the parent's blocks to the kernel.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

namespace tfs {

// Buffers below this size come from the heap, which keeps them cheaply.
// Under AddressSanitizer every buffer does, so that it sees their bounds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kScratchCacheMinBytes = SIZE_MAX;
#else
inline constexpr std::size_t kScratchCacheMinBytes = std::size_t(1) << 20;
#endif
// Default limit on the bytes kept between sorts.
inline constexpr std::size_t kScratchCacheDefaultLimit = std::size_t(64) << 20;
// The process cache's lazy limit is this share of the physical memory: up to
// it, the scratch of one large sort (an argsort of 1e8 64-bit keys takes 1.6
// GB) waits for the next instead of being mapped afresh, which on a virtual
// machine whose host takes back free memory cost 10 to 25 times a warm fault.
inline constexpr std::size_t kScratchCacheLazyShare = 8;
// Mapped blocks are whole multiples of a huge page, so that transparent huge
// pages can back all of them.
inline constexpr std::size_t kScratchCacheGranule = std::size_t(2) << 20;
// Most blocks kept at once.
inline constexpr std::size_t kScratchCacheSlots = 8;

// A mapped block: its address and length in bytes.
struct ScratchBlock {
    void* data = nullptr;
    std::size_t bytes = 0;
};

// Blocks kept for reuse: at most `limit` bytes as they are, and at most
// `lazy_limit` in all, the part beyond `limit` given to the kernel to take
// back (none where `lazy_limit` is not above `limit`).
class ScratchCache {
public:
    explicit ScratchCache(std::size_t limit, std::size_t lazy_limit = 0) noexcept
        : limit_(limit), lazy_limit_(std::max(limit, lazy_limit)) {}
    ~ScratchCache();
    ScratchCache(const ScratchCache&) = delete;
    ScratchCache& operator=(const ScratchCache&) = delete;

    // A block of at least `bytes`: the smallest kept one that is large
    // enough, else the largest kept one grown, else a fresh mapping. Throws
    // std::bad_alloc.
    ScratchBlock acquire(std::size_t bytes);
    // Keeps the block, making room under the limits by handing the tails of
    // the largest blocks to the kernel, then by cutting them off; where
    // every slot is taken, the oldest block goes.
    void release(ScratchBlock block) noexcept;
    // Unmaps every kept block.
    void clear() noexcept;

    // Bytes kept in all, and those of them not handed to the kernel.
    std::size_t kept_bytes() const noexcept;
    std::size_t resident_bytes() const noexcept;
    std::size_t limit() const noexcept { return limit_; }
    std::size_t lazy_limit() const noexcept { return lazy_limit_; }

    // The process-wide cache, its limit read from the environment once.
    static ScratchCache& process();

private:
    friend struct ScratchCacheFork;

    // Drops kept_[i] from the list (its memory stays mapped).
    void remove(std::size_t i) noexcept;

    // A kept block and the length of its leading part not handed back.
    struct Kept {
        ScratchBlock block;
        std::size_t resident = 0;
    };

    mutable std::mutex mutex_;
    const std::size_t limit_;
    const std::size_t lazy_limit_;
    std::array<Kept, kScratchCacheSlots> kept_{};  // oldest first
    std::size_t count_ = 0;
    std::size_t kept_bytes_ = 0;
    std::size_t resident_bytes_ = 0;
};

// The limit that a TARVO_FASTSORT_SCRATCH_CACHE value asks for; the default
// when the value is absent or not a size.
std::size_t scratch_cache_limit_from(const char* value) noexcept;

// A scratch buffer of n elements, never initialised: from the process cache
// when large (from kScratchCacheMinBytes, or from `cached_from` where a
// caller's buffers would churn the heap), from the heap otherwise. Throws
// std::bad_alloc.
template <typename T>
class Scratch {
public:
    explicit Scratch(std::size_t n, std::size_t cached_from = kScratchCacheMinBytes) {
        const std::size_t bytes = n * sizeof(T);
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        if (bytes >= (kScratchCacheMinBytes == SIZE_MAX ? SIZE_MAX : cached_from)) {
            block_ = ScratchCache::process().acquire(bytes);
            data_ = static_cast<T*>(block_.data);
        } else {
            data_ = new T[n];
        }
    }
    ~Scratch() {
        if (block_.data != nullptr) {
            ScratchCache::process().release(block_);
        } else {
            delete[] data_;
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* get() const noexcept { return data_; }

private:
    T* data_ = nullptr;
    ScratchBlock block_;
};

}  // namespace tfs
