// What the rewrite's stored strings hold: the memory budget's figures read
// their blocks, so a cache or a copy must hold what a copy of its text holds.
#include <gtest/gtest.h>

#include <string>

#include "dag/dag_rewrite.hpp"
#include "dag/magnet.hpp"
#include "dag_test_support.hpp"
#include "graph/floors.hpp"

namespace quorl {
namespace {

using testing::EdgeDef;
using testing::make_graph;

// a-b-c-d-a with a tail c-t: rooted at a, c is a join on floor 2 whose region is c and t.
GraphWrap square_with_tail(const std::string& tail_label) {
    return make_graph({{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"t", tail_label}},
                      {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}, {"c", "t"}});
}

NodeIndex index_of(const GraphWrap& graph, std::string_view id) {
    const auto node = graph.find_node(id);
    EXPECT_TRUE(node.has_value()) << id;
    return node.value_or(0);
}

// Labels around the size up to which a string keeps its text inside itself,
// and around twice that, where an assigned copy would round its block up.
const std::size_t kLabelSizes[] = {1, 15, 16, 20, 29, 30, 31, 40};

TEST(RewriteStorage, MagnetCachesHoldWhatACopyHolds) {
    for (const std::size_t size : kLabelSizes) {
        for (const bool hashes : {false, true}) {
            GraphWrap graph = square_with_tail(std::string(size, 'T'));
            ASSERT_TRUE(level_nodes(graph, "a", Exclusion{}).has_value());
            const NodeIndex c = index_of(graph, "c");
            RewriteContext context(hashes, StopCheck{}, TraceSwitches{});
            const Result<std::string_view> view = cached_magnet(graph, c, context);
            ASSERT_TRUE(view.has_value());
            const std::string viewed(*view);
            const std::optional<std::string>& cache = graph.node_at(c).meta.magnet;
            ASSERT_TRUE(cache.has_value());
            EXPECT_EQ(heap_bytes(*cache), heap_bytes_of_size(cache->size())) << size << (hashes ? " hashed" : "");
            EXPECT_EQ(get_magnet(graph, c, context), viewed);
        }
    }
}

// A cache that holds the other setting's magnet keeps its block when the
// magnet is made again, as assigning a copy over it would.
TEST(RewriteStorage, AMagnetMadeAgainKeepsTheCachesBlock) {
    GraphWrap graph = square_with_tail(std::string(80, 'T'));
    ASSERT_TRUE(level_nodes(graph, "a", Exclusion{}).has_value());
    const NodeIndex c = index_of(graph, "c");
    ASSERT_TRUE(get_magnet(graph, c, false).has_value());
    const std::uint64_t plain_bytes = heap_bytes(*graph.node_at(c).meta.magnet);
    const Result<std::string> hashed = get_magnet(graph, c, true);
    ASSERT_TRUE(hashed.has_value());
    EXPECT_EQ(*graph.node_at(c).meta.magnet, *hashed);
    EXPECT_EQ(heap_bytes(*graph.node_at(c).meta.magnet), plain_bytes);
}

TEST(RewriteStorage, CopiesBelowMirrorsHoldTheirLabelsAsCopies) {
    for (const std::size_t size : kLabelSizes) {
        const Result<GraphWrap> dag =
            to_dag_with_mode(square_with_tail(std::string(size, 'T')), "a", Exclusion{}, false, true);
        ASSERT_TRUE(dag.has_value());
        int copies = 0;
        for (NodeIndex node = 0; node < dag->node_bound(); ++node) {
            const NodeData* data = dag->node(node);
            if (data == nullptr || !data->id.starts_with("t@")) continue;
            ++copies;
            EXPECT_EQ(data->label, std::string(size, 'T'));
            EXPECT_EQ(heap_bytes(data->label), heap_bytes_of_size(size)) << data->id;
        }
        EXPECT_EQ(copies, 2) << size;
    }
}

// The nodes the levelling does not reach leave the working copy, whether
// an excluded node or a separate component cuts them off.
TEST(RewriteStorage, UnreachedNodesAreRemoved) {
    GraphWrap graph = square_with_tail("T");
    graph.add_edge_with_modality("x", "y", "1");
    const IdSet excluded{"b"};
    for (const bool exclude : {false, true}) {
        const Result<GraphWrap> dag = to_dag_with_mode(graph, "a", exclude ? Exclusion::of_ids(excluded) : Exclusion{},
                                                       false, true);
        ASSERT_TRUE(dag.has_value());
        EXPECT_FALSE(dag->find_node("x").has_value());
        EXPECT_FALSE(dag->find_node("y").has_value());
        EXPECT_EQ(dag->find_node("b").has_value(), !exclude);
        EXPECT_TRUE(dag->find_node("t").has_value());
    }
}

}  // namespace
}  // namespace quorl
