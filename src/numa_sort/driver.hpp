#pragma once
// The partitioned driver: sorts one chunk per NUMA node in parallel, then the
// whole slice on the calling thread. Called without the interpreter lock.

#include <cstdint>
#include <span>

namespace tfs {

template <typename T>
void numa_partitioned_sort(std::span<T> slice);

extern template void numa_partitioned_sort<std::uint32_t>(std::span<std::uint32_t>);
extern template void numa_partitioned_sort<std::int32_t>(std::span<std::int32_t>);
extern template void numa_partitioned_sort<std::uint64_t>(std::span<std::uint64_t>);
extern template void numa_partitioned_sort<std::int64_t>(std::span<std::int64_t>);

}  // namespace tfs
