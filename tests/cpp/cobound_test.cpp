#include "dag/cobound.hpp"

#include <gtest/gtest.h>

#include "dag/digest.hpp"
#include "dag_test_support.hpp"
#include "graph/floors.hpp"

namespace quorl {
namespace {

using testing::captured_lines;
using testing::dump;
using testing::EdgeDef;
using testing::make_graph;
using testing::NodeDef;
using testing::ScopedEnv;

std::vector<CoboundPair> cobound_on(const GraphWrap& graph, std::int32_t floor) {
    std::vector<CoboundPair> pairs;
    for (EdgeIndex e = 0; e < graph.edge_bound(); ++e) {
        if (!graph.has_edge(e)) continue;
        const auto [first, second] = graph.endpoints(e);
        if (graph.node_at(first).meta.floor == floor && graph.node_at(second).meta.floor == floor) {
            pairs.push_back({e, floor});
        }
    }
    return pairs;
}

// Root r and, on floor 1, the ends of the given edges.
GraphWrap star_with(const std::vector<NodeDef>& leaves, const std::vector<EdgeDef>& cobound_edges) {
    std::vector<NodeDef> nodes{{"r", "R"}};
    nodes.insert(nodes.end(), leaves.begin(), leaves.end());
    std::vector<EdgeDef> edges;
    for (const NodeDef& leaf : leaves) edges.push_back({"r", leaf.id});
    edges.insert(edges.end(), cobound_edges.begin(), cobound_edges.end());
    GraphWrap graph = make_graph(nodes, edges);
    EXPECT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    return graph;
}

EdgeKey chosen_key(GraphWrap& graph, bool allow_hashes) {
    const auto choice = select_cobound(graph, cobound_on(graph, 1), 1, allow_hashes);
    EXPECT_TRUE(choice.has_value() && choice->has_value());
    const auto [first, second] = graph.endpoints((*choice)->edge);
    return edge_key(graph, first, second);
}

TEST(SelectCobound, ChoiceOrder) {
    struct Case {
        const char* what;
        std::vector<NodeDef> leaves;
        std::vector<EdgeDef> edges;
        EdgeKey expected;
    };
    const Case cases[] = {
        {"greater smaller magnet beats modality",
         {{"a", "B"}, {"b", "Z"}, {"c", "C"}, {"d", "C"}},
         {{"a", "b", "9"}, {"c", "d", "1"}},
         {"c", "d"}},
        {"modality 2 before 10",
         {{"a", "L"}, {"b", "L"}, {"c", "L"}, {"d", "L"}},
         {{"a", "b", "10"}, {"c", "d", "2"}},
         {"c", "d"}},
        {"greater greater magnet",
         {{"a", "L"}, {"b", "M"}, {"c", "L"}, {"d", "N"}},
         {{"a", "b"}, {"c", "d"}},
         {"c", "d"}},
        {"smaller first id", {{"a", "L"}, {"b", "L"}, {"c", "L"}, {"d", "L"}}, {{"d", "c"}, {"b", "a"}}, {"a", "b"}},
        {"smaller second id", {{"a", "L"}, {"b", "L"}, {"c", "L"}}, {{"a", "c"}, {"b", "a"}}, {"a", "b"}},
    };
    for (const Case& c : cases) {
        GraphWrap graph = star_with(c.leaves, c.edges);
        EXPECT_EQ(chosen_key(graph, false), c.expected) << c.what;
    }
}

TEST(CmpCoboundEntry, DigestsDecideWhenBothEntriesHaveThem) {
    auto entry = [](std::string_view lo, std::string_view hi, std::string_view modality, EdgeKey key) {
        return CoboundEntry{CoboundScore{lo, hi, modality, std::move(key),
                                         std::nullopt, std::nullopt},
                            0, 1};
    };
    const Digest low = md5_digest("_()B_");
    const Digest high = md5_digest("_()A_");
    CoboundEntry a = entry("_b_", "_z_", "1", {"a", "b"});
    CoboundEntry b = entry("_a_", "_z_", "1", {"c", "d"});
    EXPECT_EQ(cmp_cobound_entry(a, b), std::strong_ordering::less);
    a.score.digest_lo = low;
    b.score.digest_lo = high;
    EXPECT_EQ(cmp_cobound_entry(b, a), std::strong_ordering::less);
    // High magnets likewise, once the low ones tie.
    CoboundEntry c = entry("_a_", "_y_", "1", {"c", "d"});
    CoboundEntry d = entry("_a_", "_x_", "1", {"a", "b"});
    EXPECT_EQ(cmp_cobound_entry(c, d), std::strong_ordering::less);
    c.score.digest_hi = low;
    d.score.digest_hi = high;
    EXPECT_EQ(cmp_cobound_entry(d, c), std::strong_ordering::less);
    EXPECT_EQ(cmp_cobound_entry(d, d), std::strong_ordering::equal);
}

TEST(SelectCobound, TracesTheFiveBestAndTheChoice) {
    ScopedEnv trace("QUORL_TRACE", "1");
    std::vector<NodeDef> leaves;
    std::vector<EdgeDef> edges;
    for (const char* modality : {"3", "7", "1", "5", "2", "6", "4"}) {
        leaves.push_back({std::string("x") + modality, "L"});
        leaves.push_back({std::string("y") + modality, "L"});
        edges.push_back({std::string("y") + modality, std::string("x") + modality, modality});
    }
    GraphWrap graph = star_with(leaves, edges);
    auto text = [](std::string modality) { return "\"_()L_-" + modality + "-_()L_\""; };
    auto repr = [](std::string modality) { return "[\"x" + modality + "\",\"y" + modality + "\"]"; };
    std::string scores;
    for (const char* modality : {"7", "6", "5", "4", "3"}) {
        if (!scores.empty()) scores += ",";
        scores += "[" + text(modality) + "," + repr(modality) + "]";
    }
    const auto lines = captured_lines([&] { EXPECT_EQ(chosen_key(graph, false), EdgeKey("x7", "y7")); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "TRACE dag_cobound_scores floor=1 scores=[" + scores + "]",
                         "TRACE dag_choice choice=" + repr("7") + " floor=1 score=" + text("7") + " type=\"cobound\"",
                     }));
}

TEST(FixCobound, ReplacesTheEdgeByTwoVirtualNodes) {
    // e5 joins n (magnet _()N_) and c (magnet _()C_) on floor 3.
    GraphWrap graph = make_graph({{"r", "R"}, {"a", "A"}, {"b", "B"}, {"c", "C"}, {"n", "N"}},
                                 {{"r", "a"}, {"a", "b"}, {"b", "c"}, {"b", "n"}, {"n", "c"}});
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    GeneratedIds ids;
    ids.virtual_counter = 8;
    ASSERT_TRUE(fix_cobound(graph, 4, 3, ids, false).has_value());
    EXPECT_EQ(ids.virtual_counter, 10u);
    EXPECT_EQ(dump(graph), (std::vector<std::string>{
                               "n0 r [R] f0",
                               "n1 a [A] f1",
                               "n2 b [B] f2",
                               "n3 c [C] f3",
                               "n4 n [N] f3",
                               "n5 *v8 [] f4 virtual {_()C_-1-_()N_}",
                               "n6 *v9 [] f4 virtual {_()C_-1-_()N_}",
                               "e0 e1 r-a :1",
                               "e1 e2 a-b :1",
                               "e2 e3 b-c :1",
                               "e3 e4 b-n :1",
                               "e4 *e5_a n-*v8 :1",
                               "e5 *e5_b c-*v9 :1",
                           }));
    EXPECT_EQ(graph.edge_counter(), 7u);
}

TEST(FixCobound, SelfLoopOnTheRootAndFailures) {
    GraphWrap graph = make_graph({{"r", "R"}}, {{"r", "r", "2"}});
    ASSERT_TRUE(compute_floors(graph, "r", Exclusion{}).has_value());
    EXPECT_EQ(cobound_on(graph, 0).size(), 1u);
    GeneratedIds ids;
    ASSERT_TRUE(fix_cobound(graph, 0, 0, ids, false).has_value());
    EXPECT_EQ(dump(graph), (std::vector<std::string>{
                               "n0 r [R] f0",
                               "n1 *v0 [] f1 virtual {_()R_-2-_()R_}",
                               "n2 *v1 [] f1 virtual {_()R_-2-_()R_}",
                               "e0 *e1_a r-*v0 :2",
                               "e1 *e1_b r-*v1 :2",
                           }));

    for (const EdgeIndex dead : {EdgeIndex{7}, kNoIndex}) {
        const auto fixed = fix_cobound(graph, dead, 0, ids, false);
        ASSERT_FALSE(fixed.has_value());
        EXPECT_EQ(fixed.error().message(), "cobound endpoints missing");
        const auto selected = select_cobound(graph, std::vector<CoboundPair>{{0, 0}, {dead, 0}}, 0, false);
        ASSERT_FALSE(selected.has_value());
        EXPECT_EQ(selected.error().kind(), ErrorKind::Parse);
        EXPECT_EQ(selected.error().message(), "cobound endpoints missing");
    }
    EXPECT_EQ(ids.virtual_counter, 2u);

    // An unfloored end fails before anything changes.
    graph.add_edge_with_modality("r", "loose", "1");
    const auto unfloored = fix_cobound(graph, 2, 0, ids, false);
    ASSERT_FALSE(unfloored.has_value());
    EXPECT_EQ(unfloored.error().message(), "magnet requires floored graph");
    EXPECT_TRUE(graph.has_edge(2));
    EXPECT_EQ(ids.virtual_counter, 2u);
}

}  // namespace
}  // namespace quorl
