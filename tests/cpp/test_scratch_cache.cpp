// The scratch cache: reuse, the byte limit, growing a kept block, the
// environment setting, and fork.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

#include "engine/sorts/scratch_cache.hpp"

namespace {

constexpr std::size_t MiB = std::size_t(1) << 20;

TEST(ScratchCache, KeepsReusesCutsAndGrowsBlocks) {
    tfs::ScratchCache cache(6 * MiB);
    const tfs::ScratchBlock first = cache.acquire(3 * MiB);
    std::memset(first.data, 0x5A, 3 * MiB);
    cache.release(first);
    EXPECT_EQ(cache.kept_bytes(), 4 * MiB);  // whole 2 MiB granules
    const tfs::ScratchBlock again = cache.acquire(1 * MiB);
    EXPECT_EQ(again.data, first.data);
    EXPECT_EQ(static_cast<unsigned char*>(again.data)[3 * MiB - 1], 0x5A);
    EXPECT_EQ(cache.kept_bytes(), 0u);

    // Larger than the limit: the first 6 MiB are kept, and a later request
    // for 10 MiB grows them, keeping their contents.
    const tfs::ScratchBlock grown = cache.acquire(10 * MiB);
    cache.release(again);
    static_cast<unsigned char*>(grown.data)[10 * MiB - 1] = 1;
    cache.release(grown);
    EXPECT_EQ(cache.kept_bytes(), 6 * MiB);  // the 4 MiB block made room
    const tfs::ScratchBlock back = cache.acquire(10 * MiB);
    EXPECT_GE(back.bytes, 10 * MiB);
    EXPECT_EQ(cache.kept_bytes(), 0u);
    static_cast<unsigned char*>(back.data)[10 * MiB - 1] = 2;
    cache.release(back);

    tfs::ScratchCache none(0);
    none.release(none.acquire(3 * MiB));
    EXPECT_EQ(none.kept_bytes(), 0u);
}

TEST(ScratchCache, LimitFromTheEnvironment) {
    const struct {
        const char* value;
        std::size_t limit;
    } cases[] = {
        {nullptr, tfs::kScratchCacheDefaultLimit}, {"", tfs::kScratchCacheDefaultLimit},
        {"0", 0},
        {"1048576", MiB},
        {"12k", 12 << 10},
        {"64M", 64 * MiB},
        {"2g", 2048 * MiB},
        {"lots", tfs::kScratchCacheDefaultLimit},
        {"-1", tfs::kScratchCacheDefaultLimit},
        {"5X", tfs::kScratchCacheDefaultLimit},
        {"5MB", tfs::kScratchCacheDefaultLimit},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tfs::scratch_cache_limit_from(c.value), c.limit) << (c.value ? c.value : "(unset)");
    }
}

TEST(ScratchCache, ForkedChildStartsEmpty) {
    tfs::ScratchCache& cache = tfs::ScratchCache::process();
    if (cache.limit() < 2 * MiB) GTEST_SKIP() << "cache turned off";
    cache.release(cache.acquire(2 * MiB));
    ASSERT_GT(cache.kept_bytes(), 0u);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(cache.kept_bytes() == 0 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(cache.kept_bytes(), 0u);
}

}  // namespace
