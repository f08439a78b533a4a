#include "canonize/pruning.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "canonize/candidates.hpp"
#include "dag_test_support.hpp"
#include "exactness_families.hpp"

namespace quorl {
namespace {

using testing::make_graph;

std::vector<std::string> sorted_ids(const IdSet& ids) {
    std::vector<std::string> sorted(ids.begin(), ids.end());
    std::ranges::sort(sorted);
    return sorted;
}

// "id:source:sources..." for every live node, in index order.
std::string claims(const GraphWrap& graph) {
    std::string text;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* data = graph.node(n);
        if (data == nullptr) continue;
        text += data->id + ":" + data->meta.prune_source.value_or("-") + ":";
        for (const std::string& source : data->meta.prune_sources) text += source + ",";
        text += " ";
    }
    return text;
}

struct PruneCase {
    const char* name;
    std::vector<testing::EdgeDef> edges;
    std::vector<std::string> candidates;
    std::vector<std::string> shared;
    std::string claims;
};

class PruneTable : public ::testing::TestWithParam<PruneCase> {};

TEST_P(PruneTable, SharedIdsAndClaims) {
    const PruneCase& c = GetParam();
    GraphWrap graph = make_graph({}, c.edges);
    EXPECT_EQ(sorted_ids(prune_graph(graph, c.candidates)), c.shared);
    EXPECT_EQ(claims(graph), c.claims);
}

INSTANTIATE_TEST_SUITE_P(
    Floods, PruneTable,
    ::testing::Values(
        PruneCase{"one_candidate_claims_everything", {{"a", "b", "1"}, {"b", "c", "1"}, {"a", "d", "1"}}, {"a"}, {},
                  "a:-: b:a:a, c:a:a, d:a:a, "},
        PruneCase{"adjacent_candidates_claim_nothing", {{"a", "b", "1"}}, {"a", "b"}, {}, "a:-: b:-: "},
        PruneCase{"middle_of_a_path_is_shared", {{"a", "x", "1"}, {"x", "b", "1"}}, {"a", "b"}, {"x"},
                  "a:-: x:-:a,b, b:-: "},
        PruneCase{"cycle_through_one_candidate", {{"a", "p", "1"}, {"p", "q", "1"}, {"q", "r", "1"}, {"r", "a", "1"}},
                  {"a"}, {}, "a:-: p:a:a, q:a:a, r:a:a, "},
        PruneCase{"node_behind_another_candidate", {{"a", "b", "1"}, {"b", "y", "1"}}, {"a", "b"}, {},
                  "a:-: b:-: y:b:b, "},
        PruneCase{"parallel_edges_to_the_parent",
                  {{"a", "x", "1"}, {"a", "x", "2"}, {"x", "b", "1"}, {"x", "b", "1"}}, {"a", "b"}, {"x"},
                  "a:-: x:-:a,b, b:-: "},
        PruneCase{"shared_node_passes_later_floods_on",
                  {{"a", "s", "1"}, {"s", "b", "1"}, {"s", "t", "1"}, {"s", "c", "1"}}, {"a", "b", "c"}, {"s", "t"},
                  "a:-: s:-:a,b,c, b:-: t:-:a,b,c, c:-: "},
        PruneCase{"unknown_candidate_is_ignored", {{"a", "x", "1"}}, {"zz", "a"}, {}, "a:-: x:a:a, "},
        PruneCase{"no_candidates", {{"a", "x", "1"}}, {}, {}, "a:-: x:-: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PruneGraph, SecondCallForgetsTheFirst) {
    const std::vector<testing::EdgeDef> edges{{"a", "x", "1"}, {"x", "b", "1"}, {"b", "y", "1"}};
    GraphWrap twice = make_graph({}, edges);
    prune_graph(twice, {"a", "b"});
    const IdSet second = prune_graph(twice, {"x"});
    GraphWrap once = make_graph({}, edges);
    EXPECT_EQ(sorted_ids(second), sorted_ids(prune_graph(once, {"x"})));
    EXPECT_EQ(claims(twice), claims(once));
    EXPECT_EQ(claims(twice), "a:x:x, x:-: b:x:x, y:x:x, ");
}

TEST(PruneGraph, EmptyGraphAndRemovedSlots) {
    GraphWrap empty;
    EXPECT_TRUE(prune_graph(empty, {"a"}).empty());

    GraphWrap graph = make_graph({}, {{"a", "x", "1"}, {"x", "b", "1"}, {"b", "gone", "1"}});
    graph.remove_node("gone");
    EXPECT_EQ(sorted_ids(prune_graph(graph, {"a", "b"})), std::vector<std::string>{"x"});
}

// The drivers select candidates and their shared nodes by node index
// (select_candidate_nodes, shared_nodes); both must give what the id-based
// steps give: the degree selection, and random candidate lists in random
// orders, on random multigraphs with removed slots and on the bench families.
TEST(SharedNodes, EqualToPruneGraph) {
    std::mt19937 random(20261208);
    std::vector<GraphWrap> graphs;
    for (int i = 0; i < 300; ++i) {
        GraphWrap graph = exactness::random_multigraph(random);
        if (i % 4 == 0 && graph.node_count() > 1) graph.remove_node(graph.node_at(0).id);
        graphs.push_back(std::move(graph));
    }
    for (const exactness::FamilyCase& family : exactness::bench_families({5, 17}, 7)) graphs.push_back(family.graph);
    for (GraphWrap& graph : graphs) {
        std::vector<std::string> by_score = select_candidates(score_candidates(graph, "$degree").value());
        const PackedIncidences incidences(graph);
        const std::vector<NodeIndex> by_degree = select_candidate_nodes(graph, incidences, "$degree").value();
        std::vector<std::string> ids;
        for (const NodeIndex node : by_degree) ids.push_back(graph.node_at(node).id);
        ASSERT_EQ(ids, by_score);

        std::vector<NodeIndex> shuffled;
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
            if (graph.node(node) != nullptr && random() % 3 == 0) shuffled.push_back(node);
        }
        std::ranges::shuffle(shuffled, random);
        for (const std::vector<NodeIndex>& candidates : {by_degree, shuffled}) {
            std::vector<std::string> candidate_ids;
            for (const NodeIndex node : candidates) candidate_ids.push_back(graph.node_at(node).id);
            const std::vector<bool> flags = shared_nodes(incidences, candidates);
            IdSet flagged;
            for (NodeIndex node = 0; node < flags.size(); ++node) {
                if (flags[node]) flagged.insert(graph.node_at(node).id);
            }
            EXPECT_EQ(sorted_ids(flagged), sorted_ids(prune_graph(graph, candidate_ids)));
        }
    }
}

TEST(SelectCandidateNodes, RefusesUnknownRulesLikeTheScores) {
    const GraphWrap graph = make_graph({}, {{"a", "b", "1"}});
    EXPECT_EQ(select_candidate_nodes(graph, PackedIncidences(graph), "$DEGREE").error().display(),
              score_candidates(graph, "$DEGREE").error().display());
    const GraphWrap empty;
    EXPECT_TRUE(select_candidate_nodes(empty, PackedIncidences(empty), "$DEGREE").value().empty());
}

}  // namespace
}  // namespace quorl
