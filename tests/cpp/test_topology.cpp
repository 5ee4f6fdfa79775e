// The topology query: its arithmetic over reported node and processor counts,
// and the parser and reader of the kernel's online node list.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "numa_sort/topology.hpp"
#include "numa_sort/topology_linux.hpp"

namespace {

using tfs::Topology;
using tfs::topology_from;
using tfs::topology_linux::parse_highest_node;

void expect_topology(const std::optional<Topology>& got, std::uint64_t nodes,
                     std::uint64_t cores_each) {
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->node_count, nodes);
    EXPECT_EQ(got->cores_per_node, std::vector<std::uint64_t>(nodes, cores_each));
}

TEST(TopologyArithmetic, SingleNodeIsNoTopology) {
    EXPECT_FALSE(topology_from(0, 64).has_value());
    EXPECT_FALSE(topology_from(0, 0).has_value());
}

TEST(TopologyArithmetic, WrappedNodeCountIsNoTopology) {
    EXPECT_FALSE(topology_from(0xFFFFFFFFu, 64).has_value());
}

TEST(TopologyArithmetic, ProcessorsSplitEvenlyRoundingDown) {
    expect_topology(topology_from(1, 64), 2, 32);   // 2 nodes, 64 processors
    expect_topology(topology_from(3, 6), 4, 1);     // remainder dropped
    expect_topology(topology_from(2, 2), 3, 0);     // fewer processors than nodes
    expect_topology(topology_from(16, 100), 17, 5);
}

TEST(TopologyArithmetic, EveryNodeCountFromTwoToSixtyFour) {
    for (std::uint32_t highest = 1; highest < 64; ++highest)
        for (std::uint32_t processors : {0u, 1u, 63u, 64u, 65u, 1000u})
            expect_topology(topology_from(highest, processors), highest + 1, processors / (highest + 1));
}

TEST(OnlineNodeList, LastNumberOfTheList) {
    EXPECT_EQ(parse_highest_node("0"), 0u);
    EXPECT_EQ(parse_highest_node("0\n"), 0u);
    EXPECT_EQ(parse_highest_node("0-1"), 1u);
    EXPECT_EQ(parse_highest_node("0-1\n"), 1u);
    EXPECT_EQ(parse_highest_node("0,2-3"), 3u);
    EXPECT_EQ(parse_highest_node("0,2-3\n"), 3u);
    EXPECT_EQ(parse_highest_node("0-3,8,12-15\n"), 15u);
    EXPECT_EQ(parse_highest_node("7"), 7u);
    EXPECT_EQ(parse_highest_node("0-1023"), 1023u);
    EXPECT_EQ(parse_highest_node("4294967295"), 0xFFFFFFFFu);
}

TEST(OnlineNodeList, UnparsableReadsAsNodeZero) {
    for (const char* text : {"", "\n", "\n\n", "0\n\n", "x", "0-", "-1", "0,", ",0", "0,,1", "0-1-2",
                             " 0", "0 ", "0\t", "1a", "0x1", "+1", "4294967296", "0-99999999999"})
        EXPECT_EQ(parse_highest_node(text), 0u) << '"' << text << '"';
}

// The list file stays open, yet every call reads what it says now: the
// machines a test simulates by rewriting it are seen at once.
TEST(OnlineNodeList, EachReadSeesTheFileAsItIsNow) {
    const std::string path = ::testing::TempDir() + "tfs_online_nodes";
    const auto write = [&path](const char* text) {
        std::ofstream(path, std::ios::trunc) << text;
    };
    write("0\n");
    const tfs::topology_linux::NodeListFile file(path.c_str());
    for (const auto& [text, highest] : {std::pair{"0\n", 0u}, std::pair{"0-1\n", 1u}, std::pair{"0,2-3\n", 3u},
                                        std::pair{"0-16\n", 16u}, std::pair{"garbage", 0u}, std::pair{"0-63", 63u}}) {
        write(text);
        EXPECT_EQ(file.highest_node(), highest) << text;
    }
    std::remove(path.c_str());
    EXPECT_EQ(tfs::topology_linux::NodeListFile("/nonexistent/tfs/online").highest_node(), 0u);
}

TEST(TopologyQuery, AgreesWithTheSystemSources) {
    const std::uint32_t highest = tfs::topology_linux::read_highest_node();
    const std::optional<Topology> got = tfs::query_topology();
    if (highest == 0) {
        EXPECT_FALSE(got.has_value());
    } else {
        expect_topology(got, std::uint64_t{highest} + 1,
                        tfs::topology_linux::read_processor_count() / (highest + 1));
    }
    // Asked again on every call: equal, separately owned answers.
    const std::optional<Topology> again = tfs::query_topology();
    ASSERT_EQ(got.has_value(), again.has_value());
    if (got) {
        EXPECT_EQ(got->cores_per_node, again->cores_per_node);
        EXPECT_NE(got->cores_per_node.data(), again->cores_per_node.data());
    }
    EXPECT_GE(tfs::topology_linux::read_processor_count(), 1u);
}

}  // namespace
