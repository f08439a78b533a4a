#include "dag/dag_rewrite.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include <sys/resource.h>

#include "dag/rewrite_context.hpp"
#include "dag_test_support.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_string.hpp"

namespace quorl {
namespace {

using testing::captured_lines;
using testing::dump;
using testing::EdgeDef;
using testing::make_graph;
using testing::NodeDef;
using testing::ScopedEnv;

std::string tree_of(const GraphWrap& graph, std::string_view root) {
    const auto tree = to_tree_string_with_depth_order(graph, root, Exclusion{}, true);
    EXPECT_TRUE(tree.has_value());
    return tree ? tree->text : std::string();
}

GraphWrap rewrite(const GraphWrap& graph, std::string_view root, bool compact, bool allow_hashes = false) {
    Result<GraphWrap> result = to_dag_with_mode(graph, root, Exclusion{}, compact, allow_hashes);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().display());
    return result ? std::move(*result) : GraphWrap{};
}

// a-b-c-d-a with a tail c-t; rooted at a, c is a join on floor 2.
GraphWrap square(std::string b_label = "B", std::string d_label = "D", bool tail = false) {
    std::vector<EdgeDef> edges{{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}};
    if (tail) edges.push_back({"c", "t"});
    return make_graph({{"a", "A"}, {"b", b_label}, {"c", "C"}, {"d", d_label}, {"t", "T"}}, edges);
}

TEST(DagRewrite, SquareInCompactResolution) {
    const GraphWrap graph = square();
    ScopedEnv trace("QUORL_TRACE", "1");
    ScopedEnv magnet_trace("QUORL_TRACE_MAGNET", "1");
    GraphWrap dag;
    const auto lines = captured_lines([&] { dag = rewrite(graph, "a", true); });
    // c's inbound edges in its adjacency order: e3 (from d), then e2 (from b).
    EXPECT_EQ(lines, (std::vector<std::string>{
                         R"(TRACE magnet magnet="_()C_" node="c")",
                         R"(TRACE magnet magnet="_(()C:1)D_" node="d")",
                         R"(TRACE magnet magnet="_(()C:1)B_" node="b")",
                         R"(TRACE dag_inbound_scores floor=2 scores=[[[2,"_()C_","13d311aad7bfdcc29c94f61ddd32042a )"
                         R"(d6c218fd7635e22fadb052d8d468d4dd"],[2,"c",[["b","c"],["c","d"]]]]])",
                         R"(TRACE dag_choice choice=[2,"c",[["b","c"],["c","d"]]] floor=2 score=[2,"_()C_",)"
                         R"("13d311aad7bfdcc29c94f61ddd32042a d6c218fd7635e22fadb052d8d468d4dd"] type="inbound")",
                         "TRACE dag_counts edges=4 mirrors=2 nodes=5 virtuals=0",
                     }));
    EXPECT_EQ(dump(dag), (std::vector<std::string>{
                             "n0 a [A] f0",
                             "n1 b [B] f1",
                             "n3 d [D] f1",
                             "n4 #m0_0 [C] f2 mirror#2 {_()C_}",
                             "n5 #m0_1 [C] f2 mirror#2 {_()C_}",
                             "e0 e1 a-b :1",
                             "e1 #e2_1 b-#m0_1 :1",
                             "e2 #e3_0 d-#m0_0 :1",
                             "e3 e4 d-a :1",
                         }));
    EXPECT_EQ(tree_of(dag, "a"), "((C#2{_()C_}:1)B:1, (C#2{_()C_}:1)D:1)A");
    EXPECT_EQ(dump(graph), dump(square()));
}

TEST(DagRewrite, SquareInExpandedResolution) {
    const GraphWrap dag = rewrite(square("B", "D", true), "a", false);
    EXPECT_EQ(dump(dag), (std::vector<std::string>{
                             "n0 a [A] f0",
                             "n1 b [B] f1",
                             "n2 c [C] f2",
                             "n3 d [D] f1",
                             "n4 t [T] f3",
                             "n5 #m0_0 [.] f2 mirror#2 {_(T:1)C_}",
                             "n6 c@#m0_0 [C] f3",
                             "n7 t@#m0_0 [T] f4",
                             "n8 #m0_1 [.] f2 mirror#2 {_(T:1)C_}",
                             "n9 c@#m0_1 [C] f3",
                             "n10 t@#m0_1 [T] f4",
                             "e0 e1 a-b :1",
                             "e1 #e2_1 b-#m0_1 :1",
                             "e2 #e3_0 d-#m0_0 :1",
                             "e3 e4 d-a :1",
                             "e4 e5 c-t :1",
                             "e5 e5 c@#m0_0-t@#m0_0 :1",
                             "e6 c_link_0 #m0_0-c@#m0_0 :1",
                             "e7 e5 c@#m0_1-t@#m0_1 :1",
                             "e8 c_link_1 #m0_1-c@#m0_1 :1",
                         }));
    EXPECT_EQ(tree_of(dag, "a"), "((((T:1)C:1).#2{_(T:1)C_}:1)B:1, (((T:1)C:1).#2{_(T:1)C_}:1)D:1)A");
}

TEST(DagRewrite, KeptMirrorHasTheSmallestTreeStringFirstListedOnATie) {
    struct Case {
        const char* b_label;
        const char* d_label;
        const char* kept;
    };
    // Position 0 hangs below d, position 1 below b.
    const Case cases[] = {{"B", "D", "#m0_1"}, {"D", "B", "#m0_0"}, {"X", "X", "#m0_0"}};
    for (const Case& c : cases) {
        const GraphWrap dag = rewrite(square(c.b_label, c.d_label, true), "a", true);
        const std::vector<std::string> lines = dump(dag);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "e4 e5_main t-" + std::string(c.kept) + " :1"), lines.end())
            << c.b_label << c.d_label;
        EXPECT_EQ(dag.node_at(*dag.find_node("t")).meta.floor, 3);
        EXPECT_FALSE(dag.find_node("c").has_value());
    }
}

TEST(DagRewrite, TwoJoinsGetGroupsInChoiceOrder) {
    // Two squares on the root; f's magnet "_()F_" is greater, so f is resolved first.
    const GraphWrap graph = make_graph(
        {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"e", "E"}, {"f", "F"}, {"g", "G"}},
        {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}, {"a", "e"}, {"e", "f"}, {"f", "g"}, {"g", "a"}});
    for (const bool compact : {true, false}) {
        const GraphWrap dag = rewrite(graph, "a", compact);
        for (const auto& [mirror, origin] : {std::pair{"#m0_0", "_()F_"}, {"#m0_1", "_()F_"}, {"#m1_0", "_()C_"},
                                              {"#m1_1", "_()C_"}}) {
            const auto node = dag.find_node(mirror);
            ASSERT_TRUE(node.has_value()) << mirror;
            EXPECT_EQ(dag.node_at(*node).meta.origin, origin) << mirror;
        }
    }
}

TEST(DagRewrite, TreeNeedsNoPassAndKeepsOnlyTheRootsComponent) {
    ScopedEnv trace("QUORL_TRACE", "1");
    GraphWrap graph = make_graph({{"a", "A"}, {"b", "B"}, {"c", "C"}, {"x", "X"}, {"y", "Y"}},
                                 {{"a", "b"}, {"b", "c"}, {"x", "y"}});
    GraphWrap dag;
    EXPECT_TRUE(captured_lines([&] { dag = rewrite(graph, "b", true); }).empty());
    EXPECT_EQ(dump(dag), (std::vector<std::string>{"n0 a [A] f1", "n1 b [B] f0", "n2 c [C] f1", "e0 e1 a-b :1",
                                                   "e1 e2 b-c :1"}));
}

TEST(DagRewrite, ExcludedNodesAndWhatLiesBehindThemAreRemoved) {
    const GraphWrap graph = make_graph({{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}},
                                       {{"a", "b"}, {"b", "c"}, {"a", "d"}});
    const IdSet excluded{"b", "a"};
    const auto dag = to_dag_with_mode(graph, "a", Exclusion::of_ids(excluded), true, true);
    ASSERT_TRUE(dag.has_value());
    EXPECT_EQ(dump(*dag), (std::vector<std::string>{"n0 a [A] f0", "n3 d [D] f1", "e2 e3 a-d :1"}));
}

TEST(DagRewrite, UnknownRootFailsAndLeavesTheInputAlone) {
    const GraphWrap graph = square();
    const auto before = dump(graph);
    const auto dag = to_dag_with_mode(graph, "zz", Exclusion{}, false, true);
    ASSERT_FALSE(dag.has_value());
    EXPECT_EQ(dag.error().kind(), ErrorKind::Parse);
    EXPECT_EQ(dag.error().message(), "unknown root id 'zz'");
    EXPECT_EQ(dump(graph), before);
}

TEST(DagRewrite, TriangleIsRepairedByOneCoboundPass) {
    const GraphWrap graph = make_graph({{"r", "C"}, {"a", "O"}, {"b", "N"}}, {{"r", "a"}, {"r", "b"}, {"a", "b", "2"}});
    ScopedEnv trace("QUORL_TRACE", "1");
    ScopedEnv magnet_trace("QUORL_TRACE_MAGNET", std::nullopt);
    GraphWrap dag;
    const auto lines = captured_lines([&] { dag = rewrite(graph, "r", false); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         R"(TRACE dag_cobound_scores floor=1 scores=[["_()N_-2-_()O_",["a","b"]]])",
                         R"(TRACE dag_choice choice=["a","b"] floor=1 score="_()N_-2-_()O_" type="cobound")",
                         "TRACE dag_counts edges=4 mirrors=0 nodes=5 virtuals=2",
                     }));
    EXPECT_EQ(tree_of(dag, "r"), "((*{_()N_-2-_()O_}:2)N:1, (*{_()N_-2-_()O_}:2)O:1)C");
}

TEST(DagRewrite, CoboundBeforeJoinOnTheSameFloorAndDeepestFloorFirst) {
    // Floor 2 holds the join j and the cobound edge u-w; floor 1 the cobound edge p-q.
    const GraphWrap graph = make_graph(
        {{"r", "R"}, {"p", "P"}, {"q", "Q"}, {"j", "J"}, {"u", "U"}, {"w", "W"}},
        {{"r", "p"}, {"r", "q"}, {"p", "q"}, {"p", "j"}, {"q", "j"}, {"p", "u"}, {"p", "w"}, {"u", "w"}});
    ScopedEnv trace("QUORL_TRACE", "1");
    std::vector<std::string> choices;
    for (const std::string& line : captured_lines([&] { rewrite(graph, "r", true); })) {
        if (!line.starts_with("TRACE dag_choice")) continue;
        const std::size_t floor = line.find(" floor=");
        choices.push_back(line.substr(floor + 1, line.find(' ', floor + 1) - floor - 1) + " " +
                          line.substr(line.find(" type=") + 1));
    }
    EXPECT_EQ(choices, (std::vector<std::string>{
                           R"(floor=2 type="cobound")",
                           R"(floor=2 type="inbound")",
                           R"(floor=1 type="cobound")",
                       }));
}

TEST(DagRewrite, FloorsAreWrittenBackOntoReusedSlots) {
    // The join c (floor 3) is removed first; the cobound repair of b-d then
    // puts *v0 (floor 2) into c's slot, and the end writes c's floor onto it.
    const GraphWrap graph = make_graph(
        {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"e", "E"}, {"f", "F"}},
        {{"a", "b"}, {"a", "d"}, {"b", "d"}, {"b", "e"}, {"d", "f"}, {"e", "c"}, {"f", "c"}});
    const GraphWrap dag = rewrite(graph, "a", true);
    EXPECT_EQ(*dag.find_node("*v0"), 2u);
    EXPECT_EQ(dag.node_at(2).meta.floor, 3);
    EXPECT_EQ(dag.node_at(*dag.find_node("*v1")).meta.floor, 2);
}

TEST(DagRewrite, GeneratedIdsTakenByInputNodesGetVariants) {
    // "#m0_0" is an input node on floor 1: the first mirror becomes
    // "#m0_0'", and the rewrite goes on as with any other name.
    const GraphWrap graph = make_graph({{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"#m0_0", "X"}},
                                       {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}, {"a", "#m0_0"}});
    const GraphWrap dag = rewrite(graph, "a", true);
    EXPECT_EQ(dump(dag), (std::vector<std::string>{
                             "n0 a [A] f0",
                             "n1 b [B] f1",
                             "n3 d [D] f1",
                             "n4 #m0_0 [X] f1",
                             "n5 #m0_0' [C] f2 mirror#2 {_()C_}",
                             "n6 #m0_1 [C] f2 mirror#2 {_()C_}",
                             "e0 e1 a-b :1",
                             "e1 #e2_1 b-#m0_1 :1",
                             "e2 #e3_0 d-#m0_0' :1",
                             "e3 e4 d-a :1",
                             "e4 e5 a-#m0_0 :1",
                         }));
}

// Graphs whose nodes are named so that the rewrite's templates meet them, and
// the same graphs with plain names (in the same byte order, so that every
// choice the ids decide goes the same way): the rewritten graphs must hold as
// many nodes and read the same.
struct HostileIdCase {
    const char* name;
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
    std::vector<std::pair<std::string, std::string>> plain_names;  // hostile id, plain id
};

class HostileIds : public ::testing::TestWithParam<HostileIdCase> {};

TEST_P(HostileIds, RewriteAsWithPlainIds) {
    const HostileIdCase& c = GetParam();
    const auto plain = [&](const std::string& id) {
        for (const auto& [hostile, replacement] : c.plain_names) {
            if (id == hostile) return replacement;
        }
        return id;
    };
    std::vector<NodeDef> plain_nodes;
    for (const NodeDef& node : c.nodes) plain_nodes.push_back({plain(node.id), node.label});
    std::vector<EdgeDef> plain_edges;
    for (const EdgeDef& edge : c.edges) plain_edges.push_back({plain(edge.first), plain(edge.second), edge.modality});
    const GraphWrap hostile_graph = make_graph(c.nodes, c.edges);
    const GraphWrap plain_graph = make_graph(plain_nodes, plain_edges);
    // Excluding the renamed input nodes by id, as the scoring pass excludes
    // shared ones, must not exclude a generated node.
    IdSet hostile_ids;
    IdSet plain_ids;
    for (const auto& [hostile, replacement] : c.plain_names) {
        hostile_ids.insert(hostile);
        plain_ids.insert(replacement);
    }
    const std::string root = c.nodes.front().id;
    for (const bool compact : {true, false}) {
        const GraphWrap hostile_dag = rewrite(hostile_graph, root, compact);
        const GraphWrap plain_dag = rewrite(plain_graph, plain(root), compact);
        EXPECT_EQ(hostile_dag.node_count(), plain_dag.node_count()) << "compact " << compact;
        EXPECT_EQ(tree_of(hostile_dag, root), tree_of(plain_dag, plain(root))) << "compact " << compact;
        const auto hostile_tree =
            to_tree_string_with_depth_order(hostile_dag, root, Exclusion::of_ids(hostile_ids), true);
        const auto plain_tree =
            to_tree_string_with_depth_order(plain_dag, plain(root), Exclusion::of_ids(plain_ids), true);
        ASSERT_TRUE(hostile_tree && plain_tree);
        EXPECT_EQ(hostile_tree->text, plain_tree->text) << "compact " << compact << " with exclusions";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Templates, HostileIds,
    ::testing::Values(
        // A cobound edge's virtual nodes would be "*v0" and "*v1".
        HostileIdCase{"virtual_ids", {{"*v0", "C"}, {"*v1", "C"}, {"c", "C"}}, {{"*v0", "*v1"}, {"*v1", "c"}, {"c", "*v0"}},
                      {{"*v0", "a"}, {"*v1", "b"}}},
        // Mirrors of the square's join c would be "#m0_0" and "#m0_1".
        HostileIdCase{"mirror_ids",
                      {{"#m0_1", "A"}, {"#m0_0", "B"}, {"c", "C"}, {"d", "D"}},
                      {{"#m0_1", "#m0_0"}, {"#m0_0", "c"}, {"c", "d"}, {"d", "#m0_1"}},
                      {{"#m0_1", "a1"}, {"#m0_0", "a0"}}},
        // Expanded resolution copies the join c and its tail t as "c@#m0_0", "t@#m0_1", ...
        HostileIdCase{"copy_ids",
                      {{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"t", "T"}, {"c@#m0_0", "X"}, {"t@#m0_1", "Y"}},
                      {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}, {"c", "t"}, {"a", "c@#m0_0"}, {"a", "t@#m0_1"}},
                      {{"c@#m0_0", "c0"}, {"t@#m0_1", "t1"}}},
        // "*v0" names a node of another component, which the rewrite removes
        // first: the virtual node must not take its id either.
        HostileIdCase{"removed_input_ids",
                      {{"r", "R"}, {"p", "P"}, {"q", "P"}, {"*v0", "Z"}, {"z", "Z"}},
                      {{"r", "p"}, {"r", "q"}, {"p", "q"}, {"*v0", "z"}},
                      {{"*v0", "y"}}},
        // The compact join j, removed by its resolution, is named like the
        // second virtual node that the cobound edge p-q gets afterwards.
        HostileIdCase{"removed_join_ids",
                      {{"r", "R"}, {"p", "P"}, {"q", "P"}, {"*v1", "J"}},
                      {{"r", "p"}, {"r", "q"}, {"p", "q"}, {"p", "*v1"}, {"q", "*v1"}},
                      {{"*v1", "j"}}}),
    [](const ::testing::TestParamInfo<HostileIdCase>& info) { return std::string(info.param.name); });

// A path of 100 nodes, each with a pendant node; `loops` self-loops spread
// over the pendant nodes. Every self-loop is one cobound pass, nothing else is.
GraphWrap comb_with_loops(int loops) {
    GraphWrap graph;
    graph.ensure_node("r", "R");
    std::string above = "r";
    for (int i = 0; i < 100; ++i) {
        const std::string spine = "p" + std::to_string(i);
        graph.add_edge_with_modality(above, spine, "1");
        graph.add_edge_with_modality(spine, "q" + std::to_string(i), "1");
        above = spine;
    }
    for (int i = 0; i < loops; ++i) {
        const std::string pendant = "q" + std::to_string(i % 100);
        graph.add_edge_with_modality(pendant, pendant, "1");
    }
    return graph;
}

TEST(DagRewrite, GuardAllowsExactly10000ResolvingPasses) {
    if (testing::kSanitized) GTEST_SKIP() << "20000 rewrite passes over 10000 nodes";
    const auto allowed = to_dag_with_mode(comb_with_loops(10000), "r", Exclusion{}, true, true);
    ASSERT_TRUE(allowed.has_value()) << allowed.error().display();
    EXPECT_EQ(allowed->node_count(), 201u + 20000u);

    const auto refused = to_dag_with_mode(comb_with_loops(10001), "r", Exclusion{}, true, true);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), ErrorKind::Unsupported);
    EXPECT_EQ(refused.error().message(), "dag rewrite loop exceeded guard limit");
}

TEST(DagRewrite, StopRequestEndsTheRewriteAtTheStartOfAPass) {
    struct Countdown {
        int passes_left;
    };
    Countdown countdown{3};
    const StopCheck stop([](void* context) { return static_cast<Countdown*>(context)->passes_left-- == 0; },
                         &countdown);
    for (const bool compact : {true, false}) {
        countdown.passes_left = 3;
        const auto dag = to_dag_with_mode(comb_with_loops(10), "r", Exclusion{}, compact, false, stop);
        ASSERT_FALSE(dag.has_value());
        EXPECT_EQ(dag.error().kind(), ErrorKind::Interrupted);
        EXPECT_EQ(countdown.passes_left, -1);
    }
}

// A connected molecule-like graph: a random tree plus ring-closing edges
// (parallel edges and self-loops included), small label and modality alphabets.
struct RandomGraph {
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
};

RandomGraph random_molecule(std::mt19937& random, int size, int rings) {
    const char* const labels[] = {"C", "C", "C", "N", "O", "S"};
    const char* const modalities[] = {"1", "1", "2"};
    RandomGraph graph;
    for (int i = 0; i < size; ++i) {
        graph.nodes.push_back({"n" + std::to_string(i), labels[random() % 6]});
        if (i > 0) {
            graph.edges.push_back({"n" + std::to_string(random() % i), "n" + std::to_string(i), modalities[random() % 3]});
        }
    }
    for (int i = 0; i < rings; ++i) {
        graph.edges.push_back({"n" + std::to_string(random() % size), "n" + std::to_string(random() % size),
                               modalities[random() % 3]});
    }
    return graph;
}

// The same graph with nodes and edges stored in another order and edges
// given from either end.
GraphWrap shuffled(const RandomGraph& graph, std::mt19937& random) {
    RandomGraph copy = graph;
    std::shuffle(copy.nodes.begin(), copy.nodes.end(), random);
    std::shuffle(copy.edges.begin(), copy.edges.end(), random);
    for (EdgeDef& edge : copy.edges) {
        if (random() % 2 == 0) std::swap(edge.first, edge.second);
    }
    return make_graph(copy.nodes, copy.edges);
}

// Every choice ends in ids or edge keys, never in storage order. Expanded
// resolution only: compact resolution hands the lower edges to the first
// listed mirror when tree strings tie, and the list is in adjacency order.
TEST(DagRewrite, ExpandedTreeTextDoesNotDependOnStorageOrder) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 60; ++round) {
        const RandomGraph graph = random_molecule(random, 6 + round % 12, 1 + round % 6);
        for (const bool allow_hashes : {true, false}) {
            std::optional<std::string> first;
            for (int order = 0; order < 6; ++order) {
                const GraphWrap dag = rewrite(shuffled(graph, random), "n0", false, allow_hashes);
                const std::string text = tree_of(dag, "n0");
                if (!first) first = text;
                EXPECT_EQ(text, *first) << "round " << round << " hashes " << allow_hashes;
            }
        }
    }
}

// A ring of `size` nodes with a path of `tail` nodes hanging from the node
// opposite the root: one join on the deepest ring floor whose region is the path.
GraphWrap ring_with_tail(int size, int tail) {
    GraphWrap graph;
    for (int i = 0; i < size; ++i) graph.add_edge_with_modality("r" + std::to_string(i), "r" + std::to_string((i + 1) % size), "1");
    std::string above = "r" + std::to_string(size / 2);
    for (int i = 0; i < tail; ++i) {
        graph.add_edge_with_modality(above, "t" + std::to_string(i), "1");
        above = "t" + std::to_string(i);
    }
    return graph;
}

TEST(DagRewrite, ExpandedResolutionOfAHundredThousandNodes) {
    // The join's region is a path of 50,000 nodes, copied below both mirrors;
    // nothing in the rewrite or the tree writer recurses along it.
    const GraphWrap graph = ring_with_tail(50000, 50000);
    const auto dag = to_dag_with_mode(graph, "r0", Exclusion{}, false, true);
    ASSERT_TRUE(dag.has_value());
    EXPECT_EQ(dag->node_count(), 100000u + 2u * (1u + 50001u));
    EXPECT_EQ(dag->node_at(*dag->find_node("t49999@#m0_1")).meta.floor, 25000 + 1 + 50000);
    const auto tree = to_tree_string_with_depth_order(*dag, "r0", Exclusion{}, true);
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(tree->depth, 25000 + 1 + 50001);
}

// A chain of diamonds: every diamond's bottom is a join whose region holds
// all the diamonds below, so expanded resolution doubles the copies per diamond.
GraphWrap diamond_chain(int diamonds) {
    GraphWrap graph;
    for (int i = 0; i < diamonds; ++i) {
        const std::string top = "d" + std::to_string(i);
        const std::string bottom = "d" + std::to_string(i + 1);
        for (const char* side : {"x", "y"}) {
            const std::string middle = side + std::to_string(i);
            graph.add_edge_with_modality(top, middle, "1");
            graph.add_edge_with_modality(middle, bottom, "1");
        }
    }
    return graph;
}

TEST(DagRewrite, ExpandedCopiesDoublePerNestedJoin) {
    for (const int diamonds : {1, 2, 3, 8}) {
        const auto dag = to_dag_with_mode(diamond_chain(diamonds), "d0", Exclusion{}, false, true);
        ASSERT_TRUE(dag.has_value());
        // The region of the bottom of diamond i holds its own two sides, their
        // mirrors of the next bottom and a copy of that bottom's region each.
        std::uint64_t region = 1;
        std::uint64_t added = 0;
        for (int i = diamonds; i >= 1; --i) {
            added += 2 * (1 + region);
            region = 3 + 2 * (1 + region);
        }
        EXPECT_EQ(dag->node_count(), 3u * static_cast<std::uint64_t>(diamonds) + 1u + added) << diamonds;
    }
}

// Expanded resolution of 60 diamonds would need about 2^60 nodes.
[[noreturn]] void rewrite_diamonds_within_256_mebibytes() {
    const rlimit limit{rlim_t{1} << 28, rlim_t{1} << 28};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
        (void)to_dag_with_mode(diamond_chain(60), "d0", Exclusion{}, false, true);
    } catch (const std::bad_alloc&) {
        std::_Exit(0);
    }
    std::_Exit(1);
}

TEST(DagRewrite, RewriteBeyondTheMemoryLimitThrowsBadAlloc) {
    if (testing::kSanitized) GTEST_SKIP() << "address space limits and sanitizers do not mix";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(rewrite_diamonds_within_256_mebibytes(), ::testing::ExitedWithCode(0), "");
}

// The incremental conflict search against the full rescan of every pass: the
// same rewritten copy (nodes, edges, ids, floors, slots), the same trace
// lines, the same errors, on every root, in both resolutions and hashings.
struct SearchCase {
    const char* name;
    std::function<GraphWrap()> make;
};

GraphWrap ring_of(int size) {
    std::vector<EdgeDef> edges;
    for (int i = 0; i < size; ++i) edges.push_back({"r" + std::to_string(i), "r" + std::to_string((i + 1) % size)});
    return make_graph({}, edges);
}

GraphWrap ladder_of(int rungs) {
    std::vector<EdgeDef> edges;
    for (int i = 0; i < rungs; ++i) {
        const std::string a = "a" + std::to_string(i);
        const std::string b = "b" + std::to_string(i);
        edges.push_back({a, b, "2"});
        if (i + 1 < rungs) {
            edges.push_back({a, "a" + std::to_string(i + 1)});
            edges.push_back({b, "b" + std::to_string(i + 1)});
        }
    }
    return make_graph({}, edges);
}

GraphWrap grid_of(int side) {
    std::vector<EdgeDef> edges;
    const auto at = [](int row, int column) { return std::to_string(row) + "_" + std::to_string(column); };
    for (int row = 0; row < side; ++row) {
        for (int column = 0; column < side; ++column) {
            if (column + 1 < side) edges.push_back({at(row, column), at(row, column + 1)});
            if (row + 1 < side) edges.push_back({at(row, column), at(row + 1, column)});
        }
    }
    return make_graph({}, edges);
}

// Every node of a path joined to a hub: each path edge is cobound on floor 1.
GraphWrap fan_of(int blades) {
    std::vector<EdgeDef> edges;
    for (int i = 0; i <= blades; ++i) edges.push_back({"hub", "f" + std::to_string(i)});
    for (int i = 0; i < blades; ++i) edges.push_back({"f" + std::to_string(i), "f" + std::to_string(i + 1)});
    return make_graph({}, edges);
}

// Rooted at r: the ring a0..a{k-1} on floor 1, each edge doubled (cobound
// pairs whose scores are equal in every key, so only their order decides),
// and below it j0..j{2k-1} on floor 2, each joined to two neighbouring a's and
// to the next j: joins and cobound edges of one floor whose magnets,
// modalities and parents all tie.
GraphWrap tied_floors(int k) {
    std::vector<EdgeDef> edges;
    const auto a = [&](int i) { return "a" + std::to_string(i % k); };
    const auto j = [&](int i) { return "j" + std::to_string(i % (2 * k)); };
    for (int i = 0; i < k; ++i) {
        edges.push_back({"r", a(i)});
        edges.push_back({a(i), a(i + 1)});
        edges.push_back({a(i + 1), a(i)});
    }
    for (int i = 0; i < 2 * k; ++i) {
        edges.push_back({a(i / 2), j(i)});
        edges.push_back({j(i), a(i / 2 + 1)});
        edges.push_back({j(i), j(i + 1), i % 3 == 0 ? "2" : "1"});
    }
    return make_graph({}, edges);
}

// A hub joined to both ends of every triangle: rooted at the hub, one floor
// of `triangles` cobound edges that tie but for their ids.
GraphWrap hub_of_triangles(int triangles) {
    std::vector<EdgeDef> edges;
    for (int i = 0; i < triangles; ++i) {
        const std::string a = "a" + std::to_string(i);
        const std::string b = "b" + std::to_string(i);
        edges.push_back({"hub", a});
        edges.push_back({"hub", b});
        edges.push_back({a, b, i % 2 == 0 ? "1" : "10"});
    }
    return make_graph({}, edges);
}

// Self-loops, parallel edges, several components and few labels: heavy ties.
GraphWrap random_multigraph(std::uint32_t seed) {
    std::mt19937 random(seed);
    const int size = 2 + static_cast<int>(random() % 9);
    std::vector<NodeDef> nodes;
    for (int i = 0; i < size; ++i) nodes.push_back({"v" + std::to_string(i), random() % 3 == 0 ? "N" : "C"});
    std::vector<EdgeDef> edges;
    const int edge_count = static_cast<int>(random() % static_cast<std::uint32_t>(3 * size));
    for (int i = 0; i < edge_count; ++i) {
        const std::string a = "v" + std::to_string(random() % static_cast<std::uint32_t>(size));
        const std::string b = random() % 8 == 0 ? a : "v" + std::to_string(random() % static_cast<std::uint32_t>(size));
        edges.push_back({a, b, random() % 4 == 0 ? "2" : "1"});
        if (random() % 6 == 0) edges.push_back(edges.back());
    }
    return make_graph(nodes, edges);
}

std::vector<SearchCase> search_cases() {
    std::vector<SearchCase> cases{
        {"triangle", [] { return ring_of(3); }},   {"ring 9", [] { return ring_of(9); }},
        {"ladder 6", [] { return ladder_of(6); }}, {"grid 4", [] { return grid_of(4); }},
        {"fan 12", [] { return fan_of(12); }},     {"comb", [] { return comb_with_loops(7); }},
        {"tied floors", [] { return tied_floors(11); }},
        {"hub of triangles", [] { return hub_of_triangles(testing::kSanitized ? 200 : 1000); }},
    };
    for (std::uint32_t seed = 0; seed < 24; ++seed) {
        cases.push_back({"multigraph", [seed] { return random_multigraph(seed); }});
    }
    for (std::uint32_t seed = 0; seed < 6; ++seed) {
        cases.push_back({"molecule", [seed] {
                             std::mt19937 random(seed);
                             const RandomGraph graph = random_molecule(random, 14, 4);
                             return make_graph(graph.nodes, graph.edges);
                         }});
    }
    return cases;
}

std::vector<std::string> outcome_of(const Result<GraphWrap>& result) {
    if (!result) return {result.error().display()};
    return dump(*result);
}

// Untraced, the incremental search takes its own road; traced, both take the
// full scan, and must write the same lines and the untraced result.
TEST(ConflictSearch, IncrementalSearchRewritesExactlyAsTheFullRescan) {
    for (const SearchCase& c : search_cases()) {
        const GraphWrap graph = c.make();
        // The full scan of a big graph costs the square of its conflicts: two roots.
        const NodeIndex roots = graph.node_count() > 100 ? 2 : 4;
        for (NodeIndex root = 0; root < std::min<NodeIndex>(graph.node_bound(), roots); ++root) {
            const std::string& root_id = graph.node_at(root).id;
            for (const bool compact : {true, false}) {
                for (const bool hashes : {true, false}) {
                    const std::string where = std::string(c.name) + " root " + root_id +
                                              (compact ? " compact" : " expanded") + (hashes ? " hashed" : "");
                    const auto run = [&](ConflictSearch search) {
                        return outcome_of(to_dag_with_mode(graph, root_id, Exclusion{}, compact, hashes, {}, search));
                    };
                    const std::vector<std::string> full_scan = run(ConflictSearch::FullScan);
                    EXPECT_EQ(run(ConflictSearch::Incremental), full_scan) << where;
                    if (graph.node_count() > 100) continue;  // a long trace

                    const ScopedEnv trace("QUORL_TRACE", "1");
                    const ScopedEnv magnets("QUORL_TRACE_MAGNET", "1");
                    std::vector<std::string> traced[2];
                    std::vector<std::string> lines[2];
                    for (const ConflictSearch search : {ConflictSearch::Incremental, ConflictSearch::FullScan}) {
                        const auto at = static_cast<std::size_t>(search);
                        lines[at] = captured_lines([&] { traced[at] = run(search); });
                    }
                    EXPECT_EQ(lines[0], lines[1]) << where;
                    EXPECT_EQ(traced[0], full_scan) << where;
                    EXPECT_EQ(traced[1], full_scan) << where;
                }
            }
        }
    }
}

// One scratch lent to rewrite after rewrite, of graphs large and small, gives
// each the store, the memory it holds and, under a budget, the outcome (the
// refused step and its byte count included) of a rewrite with its own.
TEST(ConflictSearch, ALentScratchRewritesAsAScratchOfItsOwn) {
    RewriteScratch lent;
    std::set<std::string> refused_steps;
    for (const SearchCase& c : search_cases()) {
        const GraphWrap graph = c.make();
        if (graph.node_count() > 100) continue;
        for (NodeIndex root = 0; root < std::min<NodeIndex>(graph.node_bound(), 3); ++root) {
            const std::string& root_id = graph.node_at(root).id;
            for (const bool compact : {true, false}) {
                for (const bool hashes : {true, false}) {
                    const std::string where = std::string(c.name) + " root " + root_id +
                                              (compact ? " compact" : " expanded") + (hashes ? " hashed" : "");
                    const auto run = [&](RewriteScratch* scratch, const StopCheck& stop) {
                        const auto dag = to_dag_with_mode(graph, root_id, Exclusion{}, compact, hashes, stop,
                                                          ConflictSearch::Incremental, TraceSwitches{}, scratch);
                        std::vector<std::string> outcome = outcome_of(dag);
                        if (dag) outcome.push_back("holds " + std::to_string(dag->held_bytes()));
                        return outcome;
                    };
                    EXPECT_EQ(run(&lent, {}), run(nullptr, {})) << where;
                    for (const double times : {1.1, 1.3, 1.6, 2.0, 3.0}) {
                        const auto limit = static_cast<std::uint64_t>(times * static_cast<double>(graph.held_bytes()));
                        MemoryBudget own_budget(limit);
                        MemoryBudget lent_budget(limit);
                        const std::vector<std::string> own = run(nullptr, StopCheck().with_memory_budget(&own_budget));
                        EXPECT_EQ(run(&lent, StopCheck().with_memory_budget(&lent_budget)), own)
                            << where << " budget " << limit;
                        if (own.size() == 1) refused_steps.insert(own[0].substr(0, own[0].find(" needs ")));
                    }
                }
            }
        }
    }
    // Some budgets refuse the writing of a magnet's text, whose figure reads
    // the lent texts' label pool.
    EXPECT_TRUE(refused_steps.contains("out of memory: writing a text of this graph"))
        << ::testing::PrintToString(refused_steps);
}

}  // namespace
}  // namespace quorl
