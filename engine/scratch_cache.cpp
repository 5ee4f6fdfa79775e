// The scratch cache: mapped blocks kept between sorts under a byte limit.
#include "engine/sorts/scratch_cache.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tfs {

namespace {

// `bytes` rounded up to whole granules; 0 when that overflows.
std::size_t granules(std::size_t bytes) {
    const std::size_t length = (bytes + kScratchCacheGranule - 1) / kScratchCacheGranule * kScratchCacheGranule;
    return length < bytes ? 0 : length;
}

// Maps whole granules at a granule boundary, so that huge pages can back all
// of the block: one granule more is mapped and the ends beyond the aligned
// part given back (not every kernel aligns large mappings itself).
ScratchBlock map_block(std::size_t bytes) {
    const std::size_t length = granules(bytes);
    if (length == 0 || length + kScratchCacheGranule < length) throw std::bad_alloc();
    void* p = ::mmap(nullptr, length + kScratchCacheGranule, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + kScratchCacheGranule - 1) / kScratchCacheGranule * kScratchCacheGranule;
    if (aligned != start) ::munmap(p, aligned - start);
    const std::size_t tail = kScratchCacheGranule - (aligned - start);
    if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
    // Advice only: a refusal leaves base pages.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return {reinterpret_cast<void*>(aligned), length};
}

void unmap_block(ScratchBlock block) noexcept { ::munmap(block.data, block.bytes); }

// Grows a kept block to at least `bytes`: its pages stay (the kernel moves
// the mapping if it must), only the new tail is fresh. Falls back to a new
// mapping when the kernel refuses.
ScratchBlock grow_block(ScratchBlock block, std::size_t bytes) {
    const std::size_t length = granules(bytes);
    if (length == 0) {
        unmap_block(block);
        throw std::bad_alloc();
    }
    void* p = ::mremap(block.data, block.bytes, length, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
        unmap_block(block);
        return map_block(bytes);
    }
    ::madvise(p, length, MADV_HUGEPAGE);
    return {p, length};
}

}  // namespace

// Keeps the process cache usable across fork(): no thread holds its lock
// while the process is copied, and the child gives the copied blocks back.
struct ScratchCacheFork {
    static void prepare() { ScratchCache::process().mutex_.lock(); }
    static void parent() { ScratchCache::process().mutex_.unlock(); }
    static void child() {
        ScratchCache& cache = ScratchCache::process();
        cache.mutex_.unlock();
        cache.clear();
    }
};

ScratchCache::~ScratchCache() { clear(); }

ScratchBlock ScratchCache::acquire(std::size_t bytes) {
    ScratchBlock largest;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0) return map_block(bytes);
        // The smallest kept block that is large enough, else the largest.
        std::size_t pick = 0;
        for (std::size_t i = 1; i < count_; ++i) {
            const std::size_t length = kept_[i].block.bytes;
            const std::size_t picked = kept_[pick].block.bytes;
            if (length >= bytes ? (picked < bytes || length < picked) : (picked < bytes && length > picked)) pick = i;
        }
        const Kept taken = kept_[pick];
        remove(pick);
        if (taken.block.bytes >= bytes) return taken.block;
        largest = taken.block;
    }
    return grow_block(largest, bytes);
}

void ScratchCache::remove(std::size_t i) noexcept {
    kept_bytes_ -= kept_[i].block.bytes;
    resident_bytes_ -= kept_[i].resident;
    for (; i + 1 < count_; ++i) kept_[i] = kept_[i + 1];
    --count_;
}

void ScratchCache::release(ScratchBlock block) noexcept {
    // A block above what may be kept keeps its first part (whole granules):
    // a later sort of the same size grows it back and faults in only the rest.
    const std::size_t keep = lazy_limit_ / kScratchCacheGranule * kScratchCacheGranule;
    if (block.bytes > keep) {
        if (keep == 0) {
            unmap_block(block);
            return;
        }
        unmap_block({static_cast<char*>(block.data) + keep, block.bytes - keep});
        block.bytes = keep;
    }
    const auto granules_of = [](std::size_t bytes) {
        return (bytes + kScratchCacheGranule - 1) / kScratchCacheGranule * kScratchCacheGranule;
    };
    // Room is made at the tail of the largest block, kept or given back,
    // rather than by dropping whole blocks: one large block at the limit
    // would otherwise push out every small one, and a small request that
    // took it would leave the next one a fresh mapping on every call. Each
    // step below drops at most one tail, and each but the last empties a
    // block's part.
    std::array<ScratchBlock, 3 * kScratchCacheSlots + 1> dropped{};
    std::size_t drops = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == kept_.size()) {
            dropped[drops++] = kept_[0].block;
            remove(0);
        }
        kept_[count_++] = {block, block.bytes};
        kept_bytes_ += block.bytes;
        resident_bytes_ += block.bytes;
        // Resident bytes over the limit: the largest resident part's tail is
        // handed to the kernel; where nothing is kept lazily, or the kernel
        // cannot take it so, it goes, with the block's part beyond it.
        while (resident_bytes_ > limit_) {
            std::size_t largest = 0;
            for (std::size_t i = 1; i < count_; ++i)
                if (kept_[i].resident > kept_[largest].resident) largest = i;
            Kept& cut = kept_[largest];
            const std::size_t tail = std::min(cut.resident, granules_of(resident_bytes_ - limit_));
            char* const at = static_cast<char*>(cut.block.data) + (cut.resident - tail);
            cut.resident -= tail;
            resident_bytes_ -= tail;
            if (lazy_limit_ == limit_ || ::madvise(at, tail, MADV_FREE) != 0) {
                const std::size_t gone = cut.block.bytes - cut.resident;
                dropped[drops++] = {at, gone};
                cut.block.bytes -= gone;
                kept_bytes_ -= gone;
                if (cut.block.bytes == 0) remove(largest);
            }
        }
        // Bytes kept in all over the lazy limit: the largest handed-back
        // part loses its tail.
        while (kept_bytes_ > lazy_limit_) {
            std::size_t largest = 0;
            for (std::size_t i = 1; i < count_; ++i)
                if (kept_[i].block.bytes - kept_[i].resident > kept_[largest].block.bytes - kept_[largest].resident)
                    largest = i;
            Kept& cut = kept_[largest];
            const std::size_t tail = std::min(cut.block.bytes - cut.resident, granules_of(kept_bytes_ - lazy_limit_));
            cut.block.bytes -= tail;
            kept_bytes_ -= tail;
            dropped[drops++] = {static_cast<char*>(cut.block.data) + cut.block.bytes, tail};
            if (cut.block.bytes == 0) remove(largest);
        }
    }
    for (std::size_t i = 0; i < drops; ++i) unmap_block(dropped[i]);
}

void ScratchCache::clear() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < count_; ++i) unmap_block(kept_[i].block);
    count_ = 0;
    kept_bytes_ = 0;
    resident_bytes_ = 0;
}

std::size_t ScratchCache::kept_bytes() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return kept_bytes_;
}

std::size_t ScratchCache::resident_bytes() const noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    return resident_bytes_;
}

ScratchCache& ScratchCache::process() {
    // Never destroyed: sorts on other threads may still release blocks while
    // the process exits. Built in static storage, so taking it allocates
    // nothing.
    alignas(ScratchCache) static unsigned char storage[sizeof(ScratchCache)];
    static ScratchCache* const cache = [] {
        const std::size_t limit = scratch_cache_limit_from(std::getenv("TARVO_FASTSORT_SCRATCH_CACHE"));
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long page = ::sysconf(_SC_PAGESIZE);
        const std::size_t memory = pages > 0 && page > 0 ? std::size_t(pages) * std::size_t(page) : 0;
        auto* c = new (storage) ScratchCache(limit, limit == 0 ? 0 : memory / kScratchCacheLazyShare);
        ::pthread_atfork(&ScratchCacheFork::prepare, &ScratchCacheFork::parent, &ScratchCacheFork::child);
        return c;
    }();
    return *cache;
}

std::size_t scratch_cache_limit_from(const char* value) noexcept {
    if (value == nullptr || *value == '\0') return kScratchCacheDefaultLimit;
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(value, &end, 10);
    if (errno != 0 || end == value || *value == '-') return kScratchCacheDefaultLimit;
    unsigned shift = 0;
    if (*end != '\0') {
        const char* units = "KMG";
        const char* unit = std::strchr(units, *end & ~0x20);
        if (unit == nullptr || *unit == '\0' || end[1] != '\0') return kScratchCacheDefaultLimit;
        shift = 10 * static_cast<unsigned>(unit - units + 1);
    }
    if (number > (SIZE_MAX >> shift)) return SIZE_MAX;
    return static_cast<std::size_t>(number) << shift;
}

}  // namespace tfs
