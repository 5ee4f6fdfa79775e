#include "topology.hpp"

#include "topology_linux.hpp"

namespace tfs {

std::optional<Topology> topology_from(std::uint32_t highest_node, std::uint32_t processors) {
    const std::uint32_t node_count = highest_node + 1u;  // wraps to 0 on purpose
    if (node_count <= 1u) return std::nullopt;
    const std::uint32_t cores = processors / node_count;
    return Topology{node_count, std::vector<std::uint64_t>(node_count, cores)};
}

std::optional<Topology> query_topology() {
    const std::uint32_t highest_node = topology_linux::read_highest_node();
    // The processor count is read only on a multi-node machine, so a
    // single-node query costs one small file read.
    if (highest_node + 1u <= 1u) return std::nullopt;
    return topology_from(highest_node, topology_linux::read_processor_count());
}

}  // namespace tfs
