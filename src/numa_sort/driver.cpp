#include "driver.hpp"

#include "driver_impl.hpp"
#include "engine/types/engine_sort.hpp"
#include "topology.hpp"

namespace tfs {

template <typename T>
void numa_partitioned_sort(std::span<T> slice) {
    partitioned_sort(slice, query_topology, engine_sort<T>);
}

template void numa_partitioned_sort<std::uint32_t>(std::span<std::uint32_t>);
template void numa_partitioned_sort<std::int32_t>(std::span<std::int32_t>);
template void numa_partitioned_sort<std::uint64_t>(std::span<std::uint64_t>);
template void numa_partitioned_sort<std::int64_t>(std::span<std::int64_t>);

}  // namespace tfs
