#pragma once
// The two-phase partitioned sort over replaceable sources of the node count
// and of the chunk sort, so that it can be run as if on any machine.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/failure.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/topology.hpp"

namespace tfs {

// Chunk layout of one partitioned sort: `chunks` contiguous chunks of
// `chunk` elements each, the last one possibly shorter.
struct ChunkLayout {
    std::uint64_t chunk;
    std::uint64_t chunks;
};

// Cuts `len` elements into at most `node_count` chunks of ceil(len / n)
// elements, n = max(node_count, 1). Requires len >= 1; never gives a zero
// chunk for a length that fits in memory.
constexpr ChunkLayout chunk_layout(std::uint64_t len, std::uint64_t node_count) {
    const std::uint64_t n = std::max<std::uint64_t>(node_count, 1);
    const std::uint64_t chunk = (len - 1 + n) / n;
    if (chunk == 0) [[unlikely]]
        fail("chunk_size must not be zero");
    return {chunk, len / chunk + (len % chunk != 0 ? 1 : 0)};
}

// Sorts `slice` in place, ascending.
//
// `topology()` returns std::optional<Topology> and is asked once per call of
// at least two elements. Without a topology, `sort(slice)` runs once on the
// calling thread. Otherwise phase 1 runs `sort` on every chunk of
// chunk_layout(len, node_count) as one parallel job on the pool, and phase 2
// runs `sort` on the whole slice on the calling thread. `sort` must be safe to
// run on disjoint spans at once. A failure in a chunk reaches the caller once
// no chunk sort is running any more; phase 2 does not run then and the slice
// is left partly sorted.
template <typename T, typename TopologySource, typename Sorter>
void partitioned_sort(std::span<T> slice, TopologySource&& topology, Sorter&& sort) {
    const std::uint64_t len = slice.size();
    if (len < 2) return;

    const std::optional<Topology> nodes = topology();
    if (!nodes) {
        sort(slice);
        return;
    }

    const ChunkLayout layout = chunk_layout(len, nodes->node_count);
    pool::parallel_for(static_cast<std::size_t>(layout.chunks), [&](std::size_t i) {
        const std::uint64_t begin = i * layout.chunk;
        sort(slice.subspan(begin, std::min(layout.chunk, len - begin)));
    });
    // The chunks are now sorted runs; the engine merges them rather than
    // sorting again.
    sort(slice);
}

}  // namespace tfs
