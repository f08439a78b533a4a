#include "graph/components.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quorl {
namespace {

using Numbers = std::vector<std::uint32_t>;

TEST(Components, EmptyAndSingleNodeGraphs) {
    GraphWrap empty;
    EXPECT_EQ(component_numbers(empty), Numbers{});
    GraphWrap single;
    single.ensure_node("a", "C");
    EXPECT_EQ(component_numbers(single), Numbers{0});
}

TEST(Components, NumberedByLowestNodeIndexAcrossLoopsAndParallelEdges) {
    GraphWrap graph;
    graph.ensure_node("a", "C");  // 0
    graph.ensure_node("b", "C");  // 1: isolated
    graph.ensure_node("c", "C");  // 2
    graph.add_edge_with_modality("d", "c", "1");  // d is 3
    graph.add_edge_with_modality("d", "a", "2");  // joins a with c and d
    graph.add_edge_with_modality("e", "e", "1");  // 4: a self-loop alone
    graph.add_edge_with_modality("f", "g", "1");  // 5 and 6
    graph.add_edge_with_modality("g", "f", "3");  // a parallel edge
    EXPECT_EQ(component_numbers(graph), (Numbers{0, 1, 0, 0, 2, 3, 3}));
}

TEST(Components, VacantSlotsAreSkipped) {
    GraphWrap graph;
    graph.add_edge_with_modality("a", "b", "1");
    graph.ensure_node("c", "C");
    graph.add_edge_with_modality("c", "d", "1");
    ASSERT_TRUE(graph.remove_node("b"));
    EXPECT_EQ(component_numbers(graph), (Numbers{0, 1, 1}));
}

TEST(Components, DeepPathNeedsNoCallStack) {
    GraphWrap graph;
    constexpr int kLength = 200000;
    for (int at = 0; at + 1 < kLength; ++at) {
        graph.add_edge_with_modality(std::to_string(at), std::to_string(at + 1), "1");
    }
    EXPECT_EQ(component_numbers(graph), Numbers(kLength, 0));
}

}  // namespace
}  // namespace quorl
