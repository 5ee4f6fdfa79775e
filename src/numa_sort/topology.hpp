#pragma once
// NUMA topology query: the node count and the logical processors per node.

#include <cstdint>
#include <optional>
#include <vector>

namespace tfs {

struct Topology {
    std::uint64_t node_count;                  // highest node number + 1, always >= 2
    std::vector<std::uint64_t> cores_per_node; // node_count equal entries
};

// Asks the operating system again on every call; no topology on a machine
// with at most one node.
std::optional<Topology> query_topology();

// The arithmetic of the query over what the operating system reported: the
// node count is highest_node + 1 in 32-bit unsigned arithmetic (so a highest
// node of 0xFFFFFFFF wraps to 0), and a count of at most 1 is no topology.
// Otherwise every node gets processors / node_count processors, rounded down.
std::optional<Topology> topology_from(std::uint32_t highest_node, std::uint32_t processors);

}  // namespace tfs
