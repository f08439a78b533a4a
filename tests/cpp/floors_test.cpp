#include "graph/floors.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorl {
namespace {

using IdFloors = std::vector<std::vector<std::string>>;

IdFloors ids_by_floor(const GraphWrap& graph, const FloorTable& table) {
    IdFloors ids;
    for (const auto& floor : table) {
        ids.emplace_back();
        for (NodeIndex n : floor) ids.back().push_back(graph.node_at(n).id);
    }
    return ids;
}

std::optional<std::int32_t> floor_of(const GraphWrap& graph, std::string_view id) {
    return graph.node_at(*graph.find_node(id)).meta.floor;
}

TEST(Floors, SingleNodeIsFloorZero) {
    GraphWrap graph;
    graph.ensure_node("r", "C");
    const auto table = compute_floors(graph, "r", Exclusion());
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(ids_by_floor(graph, *table), (IdFloors{{"r"}}));
    EXPECT_EQ(floor_of(graph, "r"), 0);
}

TEST(Floors, BreadthFirstInNeighbourOrderWithShortestDistances) {
    GraphWrap graph;
    // r's neighbour order is c, b, a (newest first); d is reachable along two
    // paths and a 4-cycle r-a-d-b closes; e hangs below d; parallel edges and
    // a self-loop change nothing.
    graph.add_edge_with_modality("r", "a", "1");
    graph.add_edge_with_modality("r", "b", "1");
    graph.add_edge_with_modality("r", "c", "1");
    graph.add_edge_with_modality("a", "d", "1");
    graph.add_edge_with_modality("d", "b", "1");
    graph.add_edge_with_modality("d", "e", "1");
    graph.add_edge_with_modality("r", "c", "2");
    graph.add_edge_with_modality("d", "d", "1");
    graph.ensure_node("lonely", "X");
    const auto table = compute_floors(graph, "r", Exclusion());
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(ids_by_floor(graph, *table), (IdFloors{{"r"}, {"c", "b", "a"}, {"d"}, {"e"}}));
    EXPECT_EQ(floor_of(graph, "e"), 3);
    EXPECT_EQ(floor_of(graph, "lonely"), std::nullopt);
}

TEST(Floors, LevelledNodesListTheTableInVisitOrder) {
    GraphWrap graph;
    graph.add_edge_with_modality("r", "a", "1");
    graph.add_edge_with_modality("r", "b", "1");
    graph.add_edge_with_modality("a", "d", "1");
    graph.add_edge_with_modality("d", "b", "1");
    graph.add_edge_with_modality("d", "e", "1");
    graph.add_edge_with_modality("x", "x", "1");
    const auto levelled = level_nodes(graph, "r", Exclusion());
    ASSERT_TRUE(levelled.has_value());
    std::vector<std::pair<std::string, std::int32_t>> listed;
    for (const auto [node, floor] : *levelled) {
        listed.emplace_back(graph.node_at(node).id, floor);
        EXPECT_EQ(graph.node_at(node).meta.floor, floor);
    }
    EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::int32_t>>{{"r", 0}, {"b", 1}, {"a", 1}, {"d", 2}, {"e", 3}}));
    EXPECT_EQ(floor_of(graph, "x"), std::nullopt);
    EXPECT_EQ(level_nodes(graph, "nowhere", Exclusion()).error(), "unknown root id 'nowhere'");
}

TEST(Floors, ExcludedNodesAndWhatLiesOnlyBehindThemGetNoFloor) {
    GraphWrap graph;
    graph.add_edge_with_modality("r", "x", "1");
    graph.add_edge_with_modality("x", "behind", "1");
    graph.add_edge_with_modality("r", "y", "1");
    IdSet excluded{"x", "r"};  // the root itself is never excluded
    const auto table = compute_floors(graph, "r", Exclusion::of_ids(excluded));
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(ids_by_floor(graph, *table), (IdFloors{{"r"}, {"y"}}));
    EXPECT_EQ(floor_of(graph, "x"), std::nullopt);
    EXPECT_EQ(floor_of(graph, "behind"), std::nullopt);
}

// Flagged by slot in the graph a copy was made from, a node is left out only
// while it is that node: one the copy made in a freed flagged slot is not.
TEST(Exclusion, NamedNodesAreTheFlaggedSlotsThatKeepTheirIds) {
    GraphWrap graph;
    graph.add_edge_with_modality("a", "b", "1");
    graph.add_edge_with_modality("b", "c", "1");
    std::vector<bool> flagged(graph.node_bound(), false);
    flagged[*graph.find_node("b")] = true;
    const Exclusion excluded = Exclusion::of_named_nodes(flagged, graph);

    GraphWrap copy = graph;
    const NodeIndex b = *copy.find_node("b");
    EXPECT_TRUE(excluded.excludes(copy, b));
    EXPECT_FALSE(excluded.excludes(copy, *copy.find_node("a")));
    ASSERT_TRUE(copy.remove_node("b"));
    const NodeIndex made = copy.ensure_node("b@#m0_0", "C");
    ASSERT_EQ(made, b);  // the freed slot is taken again
    EXPECT_FALSE(excluded.excludes(copy, made));
    const NodeIndex appended = copy.ensure_node("d", "C");
    EXPECT_FALSE(excluded.excludes(copy, appended));  // past the flags' end
}

TEST(Floors, OddCycleLeavesTwoNeighboursOnOneFloor) {
    GraphWrap graph;
    graph.add_edge_with_modality("r", "a", "1");
    graph.add_edge_with_modality("a", "b", "1");
    graph.add_edge_with_modality("b", "r", "1");
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion()).has_value());
    EXPECT_EQ(floor_of(graph, "a"), 1);
    EXPECT_EQ(floor_of(graph, "b"), 1);
}

TEST(Floors, RelevellingClearsFloorsAndMagnetCachesOfEveryNode) {
    GraphWrap graph;
    graph.add_edge_with_modality("r", "a", "1");
    graph.add_edge_with_modality("s", "t", "1");
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion()).has_value());
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        NodeMeta& meta = graph.node_at(n).meta;
        meta.magnet = "m";
        meta.magnet_digest = Digest{};
        meta.magnet_digest_alt = Digest{};
        meta.magnet_flag = true;
    }
    ASSERT_TRUE(compute_floors(graph, "s", Exclusion()).has_value());
    EXPECT_EQ(floor_of(graph, "r"), std::nullopt);
    EXPECT_EQ(floor_of(graph, "a"), std::nullopt);
    EXPECT_EQ(floor_of(graph, "t"), 1);
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeMeta& meta = graph.node_at(n).meta;
        EXPECT_FALSE(meta.magnet.has_value());
        EXPECT_FALSE(meta.magnet_digest.has_value());
        EXPECT_FALSE(meta.magnet_digest_alt.has_value());
        EXPECT_FALSE(meta.magnet_flag);
    }
}

TEST(Floors, UnknownRootFailsAndChangesNothing) {
    GraphWrap graph;
    graph.add_edge_with_modality("r", "a", "1");
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion()).has_value());
    graph.node_at(0).meta.magnet = "kept";
    const auto table = compute_floors(graph, "nowhere", Exclusion());
    ASSERT_FALSE(table.has_value());
    EXPECT_EQ(table.error(), "unknown root id 'nowhere'");
    EXPECT_EQ(floor_of(graph, "a"), 1);
    EXPECT_EQ(graph.node_at(0).meta.magnet, "kept");
}

}  // namespace
}  // namespace quorl
