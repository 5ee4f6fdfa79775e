#include "driver.hpp"
#include "engine/failure.hpp"
namespace tfs {
template <typename T>
void numa_partitioned_sort(std::span<T>) { fail("sorting is not available yet"); }
template void numa_partitioned_sort<std::uint32_t>(std::span<std::uint32_t>);
template void numa_partitioned_sort<std::int32_t>(std::span<std::int32_t>);
template void numa_partitioned_sort<std::uint64_t>(std::span<std::uint64_t>);
template void numa_partitioned_sort<std::int64_t>(std::span<std::int64_t>);
}  // namespace tfs
