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

}  // namespace tfs
