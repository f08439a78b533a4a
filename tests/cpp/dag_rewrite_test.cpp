#include "dag/dag_rewrite.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "dag_test_support.hpp"
#include "tree/tree_string.hpp"

namespace quorl {
namespace {

using testing::captured_lines;
using testing::dump;
using testing::EdgeSpec;
using testing::make_graph;
using testing::NodeSpec;
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
    std::vector<EdgeSpec> edges{{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}};
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

}  // namespace
}  // namespace quorl
