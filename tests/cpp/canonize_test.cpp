#include "canonize/canonize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <random>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "canonize/candidates.hpp"
#include "canonize/pruning.hpp"
#include "canonize/scoring_pass.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag_test_support.hpp"
#include "limits/memory_budget.hpp"
#include "graph_recipes.hpp"
#include "store_dump.hpp"
#include "tree/tree_string.hpp"

namespace quorl {
namespace {

using exactness::kBranch;
using exactness::kDegree;
using testing::EdgeDef;
using testing::GraphRecipe;
using testing::grid_recipe;
using testing::read_molecules;
using testing::small_graphs;
using testing::make_graph;
using testing::NodeDef;
using testing::store_text;

std::string cgraph(const GraphWrap& graph, bool compress = true, bool compact = false, bool allow_hashes = true) {
    auto text = to_cgraph(graph, kDegree, kBranch, allow_hashes, compress, compact);
    EXPECT_TRUE(text.has_value()) << text.error().display();
    return text.value_or("<failed>");
}

std::vector<std::string> node_order(const GraphWrap& graph, bool compact = false) {
    auto order = canonical_node_order(graph, kDegree, kBranch, true, compact);
    EXPECT_TRUE(order.has_value()) << order.error().display();
    return order.value_or(std::vector<std::string>{});
}

// p1 - p2 - p3 - p4 - p5, labels H C C C H.
GraphWrap five_path() {
    return make_graph({{"p1", "H"}, {"p2", "C"}, {"p3", "C"}, {"p4", "C"}, {"p5", "H"}},
                      {{"p1", "p2", "1"}, {"p2", "p3", "1"}, {"p3", "p4", "1"}, {"p4", "p5", "1"}});
}

// Hubs A (N) and B (O) with two H leaves each, sharing the middle node x (C).
GraphWrap two_hubs() {
    return make_graph({{"A", "N"}, {"B", "O"}, {"x", "C"}, {"a1", "H"}, {"a2", "H"}, {"b1", "H"}, {"b2", "H"}},
                      {{"A", "a1", "1"}, {"A", "a2", "1"}, {"A", "x", "1"}, {"B", "b1", "1"}, {"B", "b2", "1"},
                       {"B", "x", "1"}});
}

std::string entries_text(const std::vector<ScoringEntry>& entries) {
    std::string text;
    for (const ScoringEntry& entry : entries) {
        text += entry.candidate_id + " " + std::to_string(entry.root_depth) + " " + *entry.tree_text + "\n";
    }
    return text;
}

// The stages of the drivers up to the scoring pass, on a copy.
std::vector<ScoringEntry> scoring_entries(const GraphWrap& graph) {
    GraphWrap working = graph;
    const std::vector<std::string> selected = select_candidates(score_candidates(working, kDegree).value());
    const IdSet shared = prune_graph(working, selected);
    return collect_candidate_scores(working, selected, shared, false, true).value();
}

TEST(ToCgraph, FivePathWorkedExample) {
    const GraphWrap graph = five_path();
    const std::vector<ScoringEntry> entries = scoring_entries(graph);
    EXPECT_EQ(entries_text(entries),
              "p2 4 (H:1, ((H:1)C:1)C:1)C\n"
              "p3 3 ((H:1)C:1, (H:1)C:1)C\n"
              "p4 4 (H:1, ((H:1)C:1)C:1)C\n");
    EXPECT_EQ(entries[0].tree_text, entries[2].tree_text) << "equal texts share one buffer";
    EXPECT_EQ(winning_candidates(entries), (std::vector<std::string>{"p2", "p4"}));
    EXPECT_EQ(cgraph(graph), "(H:1, ((H:1)C:1)C:1)C");
    EXPECT_EQ(node_order(graph), (std::vector<std::string>{"p2", "p1", "p3", "p4", "p5"}));
}

TEST(ToCgraph, TwoHubsWorkedExample) {
    const GraphWrap graph = two_hubs();
    EXPECT_EQ(entries_text(scoring_entries(graph)),
              "A 2 (H:1, H:1)N\n"
              "B 2 (H:1, H:1)O\n");
    EXPECT_EQ(cgraph(graph), "(H:1, H:1, ((H:1, H:1)N:1)C:1)O");
    // Equal leaves keep the position order of B's neighbours (newest edge first).
    EXPECT_EQ(node_order(graph), (std::vector<std::string>{"B", "b2", "b1", "x", "A", "a2", "a1"}));
}

// Two winners tie in the scoring pass; their full texts differ and the
// smaller one wins whichever comes first.
TEST(ToCgraph, SmallestFinalTextAmongWinners) {
    const std::vector<NodeDef> nodes{{"A", "N"}, {"B", "N"}, {"x1", "C"}, {"x2", "O"},
                                      {"a1", "H"}, {"a2", "H"}, {"b1", "H"}, {"b2", "H"}};
    const std::vector<EdgeDef> edges{{"A", "a1", "1"},  {"A", "a2", "1"}, {"B", "b1", "1"}, {"B", "b2", "1"},
                                      {"A", "x1", "1"},  {"x1", "x2", "1"}, {"x2", "B", "1"}};
    const std::string expected = "(H:1, H:1, (((H:1, H:1)N:1)C:1)O:1)N";
    const GraphWrap graph = make_graph(nodes, edges);
    EXPECT_EQ(entries_text(scoring_entries(graph)), "A 2 (H:1, H:1)N\nB 2 (H:1, H:1)N\n");
    EXPECT_EQ(cgraph(graph), expected);
    EXPECT_EQ(node_order(graph).front(), "B");

    std::vector<NodeDef> b_first = nodes;
    std::swap(b_first[0], b_first[1]);
    const GraphWrap swapped = make_graph(b_first, edges);
    EXPECT_EQ(cgraph(swapped), expected);
    EXPECT_EQ(node_order(swapped).front(), "B");
}

TEST(ToCgraph, EmptyGraphIgnoresEveryArgument) {
    const GraphWrap empty;
    for (const std::string_view rule : {"$degree", "", "nonsense"}) {
        for (const bool flag : {false, true}) {
            EXPECT_EQ(to_cgraph(empty, rule, "", flag, flag, flag).value(), "");
            EXPECT_TRUE(canonical_node_order(empty, rule, "", flag, flag).value().empty());
        }
    }
}

TEST(ToCgraph, SingleNode) {
    const GraphWrap graph = make_graph({{"only", "L{1}"}}, {});
    EXPECT_EQ(cgraph(graph, false), "()L{1}");
    EXPECT_EQ(cgraph(graph, true), "()L{1}");
    EXPECT_EQ(node_order(graph), std::vector<std::string>{"only"});
}

// Compression replaces the origins of mirror and virtual nodes only, never
// braces of labels or modalities, and only when asked.
TEST(ToCgraph, CompressionLeavesLabelsAndModalitiesAlone) {
    const GraphWrap star = make_graph({{"c", "C"}, {"l1", "{a}"}, {"l2", "{a}"}, {"l3", "{"}},
                                      {{"c", "l1", "1"}, {"c", "l2", "}"}, {"c", "l3", "1"}});
    EXPECT_EQ(cgraph(star, false), "({:1, {a}:1, {a}:})C");
    EXPECT_EQ(cgraph(star, true), "({:1, {a}:1, {a}:})C");
    // A triangle's cobound edge becomes two virtual nodes, whose origins are groups.
    const GraphWrap triangle = make_graph({{"a", "{"}, {"b", "}"}, {"c", "}"}}, {{"a", "b"}, {"b", "c"}, {"c", "a"}});
    EXPECT_EQ(cgraph(triangle, false, false, false), "((*{_()}_-1-_()}_}:1)}:1, (*{_()}_-1-_()}_}:1)}:1){");
    EXPECT_EQ(cgraph(triangle, true, false, false), "((*{$1}:1)}:1, (*{$1}:1)}:1){");
}

TEST(ToCgraph, SeveralComponentsDescribeTheWinnersComponentOnly) {
    const GraphWrap graph =
        make_graph({{"c", "C"}, {"n", "N"}},
                   {{"c", "h1", "1"}, {"c", "h2", "1"}, {"c", "h3", "1"}, {"n", "k1", "1"}, {"n", "k2", "1"},
                    {"n", "k3", "1"}, {"s1", "s2", "1"}});
    EXPECT_EQ(cgraph(graph), "(.:1, .:1, .:1)N");
    EXPECT_EQ(node_order(graph), (std::vector<std::string>{"n", "k3", "k2", "k1"}));
}

TEST(ToCgraph, BranchRuleIsIgnored) {
    const GraphWrap graph = two_hubs();
    const std::string expected = cgraph(graph);
    for (const std::string_view branch_rule : {"", "$lexic", "anything at all"}) {
        EXPECT_EQ(to_cgraph(graph, kDegree, branch_rule, true, true, false).value(), expected);
        EXPECT_EQ(canonical_node_order(graph, kDegree, branch_rule, true, false).value(), node_order(graph));
    }
}

TEST(ToCgraph, UnknownCandidateRuleFailsInBothDrivers) {
    const GraphWrap graph = five_path();
    for (const std::string rule : {"", " $degree", "$DEGREE"}) {
        const std::string message = "candidate rule '" + rule + "' not implemented";
        auto text = to_cgraph(graph, rule, kBranch, true, true, false);
        ASSERT_FALSE(text.has_value());
        EXPECT_EQ(text.error().kind(), ErrorKind::Unsupported);
        EXPECT_EQ(text.error().message(), message);
        auto order = canonical_node_order(graph, rule, kBranch, true, false);
        ASSERT_FALSE(order.has_value());
        EXPECT_EQ(order.error().kind(), ErrorKind::Unsupported);
        EXPECT_EQ(order.error().message(), message);
    }
}

// Asks to stop once `allowed` polls have passed.
struct StopAfter {
    int allowed;
    int polls = 0;
    static bool poll(void* context) {
        auto* self = static_cast<StopAfter*>(context);
        return self->polls++ >= self->allowed;
    }
};

TEST(ToCgraph, StopRequestEndsTheCallWithInterrupted) {
    const GraphWrap graph = five_path();
    StopAfter immediately{0};
    auto text = to_cgraph(graph, kDegree, kBranch, true, true, false, StopCheck(&StopAfter::poll, &immediately));
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().kind(), ErrorKind::Interrupted);
    StopAfter later{3};
    auto order = canonical_node_order(graph, kDegree, kBranch, true, false, StopCheck(&StopAfter::poll, &later));
    ASSERT_FALSE(order.has_value());
    EXPECT_EQ(order.error().kind(), ErrorKind::Interrupted);
}

// The switches a call is handed decide what it traces, whatever the
// environment says, on every road and through every kind of event.
TEST(ToCgraph, TraceSwitchesHandedInDecideNotTheEnvironment) {
    GraphRecipe recipe = testing::grid_recipe(3, 3);
    recipe.edges.push_back({recipe.nodes[0].id, recipe.nodes[4].id, "2"});  // a triangle: a cobound edge
    const GraphWrap graph = make_graph(recipe.nodes, recipe.edges);
    const TraceSwitches all{true, true};
    using Call = std::function<void(const TraceSwitches&)>;
    const std::vector<std::pair<std::string, Call>> calls = {
        {"text", [&](const TraceSwitches& t) { (void)to_cgraph(graph, kDegree, kBranch, true, true, false, {}, t); }},
        {"order",
         [&](const TraceSwitches& t) { (void)canonical_node_order(graph, kDegree, kBranch, true, true, {}, t); }},
        {"reference text",
         [&](const TraceSwitches& t) {
             (void)to_cgraph_reference(graph, kDegree, kBranch, false, true, false, {}, t);
         }},
        {"reference order",
         [&](const TraceSwitches& t) {
             (void)canonical_node_order_reference(graph, kDegree, kBranch, true, false, {}, t);
         }},
    };
    for (const auto& [name, call] : calls) {
        std::vector<std::string> from_environment;
        {
            const testing::ScopedEnv trace("QUORL_TRACE", "1");
            const testing::ScopedEnv magnets("QUORL_TRACE_MAGNET", "1");
            from_environment = testing::captured_lines([&] { call(TraceSwitches::from_environment()); });
            EXPECT_TRUE(testing::captured_lines([&] { call(TraceSwitches{}); }).empty()) << name;
        }
        for (const std::string event :
             {"magnet", "dag_cobound_scores", "dag_inbound_scores", "dag_choice", "dag_counts"}) {
            EXPECT_TRUE(std::ranges::any_of(
                from_environment, [&](const std::string& line) { return line.starts_with("TRACE " + event + " "); }))
                << name << " " << event;
        }
        const testing::ScopedEnv trace("QUORL_TRACE", std::nullopt);
        EXPECT_EQ(testing::captured_lines([&] { call(all); }), from_environment) << name;
        const auto without_magnets = testing::captured_lines([&] { call(TraceSwitches{true, false}); });
        std::vector<std::string> expected;
        std::ranges::copy_if(from_environment, std::back_inserter(expected),
                             [](const std::string& line) { return !line.starts_with("TRACE magnet "); });
        EXPECT_EQ(without_magnets, expected) << name;
    }
}

TEST(ToCgraph, InputUnchangedAfterSuccessAndFailure) {
    GraphWrap graph = two_hubs();
    graph.add_edge_with_modality("x", "x2", "2");
    graph.add_edge_with_modality("x2", "A", "1");  // a cycle, so the rewrite has work to do
    graph.remove_node("a2");
    prune_graph(graph, {"b1"});  // claims that must survive the calls untouched
    const std::string before = store_text(graph);
    const std::string text = cgraph(graph);
    EXPECT_EQ(store_text(graph), before);
    EXPECT_EQ(cgraph(graph), text) << "the same graph canonises to the same text again";
    node_order(graph);
    EXPECT_EQ(store_text(graph), before);
    EXPECT_FALSE(to_cgraph(graph, "$DEGREE", kBranch, true, true, false).has_value());
    EXPECT_EQ(store_text(graph), before);
    StopAfter some{2};
    EXPECT_FALSE(to_cgraph(graph, kDegree, kBranch, true, true, false, StopCheck(&StopAfter::poll, &some)));
    EXPECT_EQ(store_text(graph), before);
}

// ---------------------------------------------------------------------------
// Invariance: renaming the nodes and shuffling the insertion order of nodes
// and edges (and the orientation of edges) must not change the text.
//
// With expanded resolution (the default) it holds for the whole shared
// molecule set; the last molecules of the sample are ones whose magnets hold
// siblings that differ only in modality (a nitro group's O:1 and O:2).
// Compact resolution keeps the mirror listed first, in adjacency order, when
// tree strings tie, so about 2% of the molecules change their compact text
// under shuffling; only the small graphs here are checked with it.

// Deterministic on every platform: only the engine's raw output is used.
std::size_t draw(std::mt19937& random, std::size_t bound) { return random() % bound; }

template <class T>
void shuffle(std::vector<T>& items, std::mt19937& random) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[draw(random, i)]);
}

// The same graph with fresh ids, nodes and edges inserted in a shuffled order
// and every edge's endpoints swapped at random.
GraphWrap scrambled(const GraphRecipe& recipe, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<std::size_t> renaming(recipe.nodes.size());
    for (std::size_t i = 0; i < renaming.size(); ++i) renaming[i] = i;
    shuffle(renaming, random);
    std::unordered_map<std::string, std::string> new_id;
    for (std::size_t i = 0; i < recipe.nodes.size(); ++i) {
        new_id[recipe.nodes[i].id] = "id" + std::to_string(renaming[i] * 7 + seed % 5);
    }
    std::vector<NodeDef> nodes;
    for (const NodeDef& node : recipe.nodes) nodes.push_back({new_id.at(node.id), node.label});
    shuffle(nodes, random);
    std::vector<EdgeDef> edges;
    for (const EdgeDef& edge : recipe.edges) {
        const bool swap_ends = draw(random, 2) == 1;
        const std::string& first = swap_ends ? edge.second : edge.first;
        const std::string& second = swap_ends ? edge.first : edge.second;
        edges.push_back({new_id.at(first), new_id.at(second), edge.modality});
    }
    shuffle(edges, random);
    return make_graph(nodes, edges);
}

void expect_invariant(const GraphRecipe& recipe, bool compact) {
    const GraphWrap original = make_graph(recipe.nodes, recipe.edges);
    const std::string expected = cgraph(original, false, compact);
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        const GraphWrap copy = scrambled(recipe, seed);
        EXPECT_EQ(cgraph(copy, false, compact), expected) << recipe.name << " seed " << seed << " compact " << compact;
        const std::vector<std::string> order = node_order(copy, compact);
        // The order starts at the root of the text.
        ASSERT_FALSE(order.empty());
        auto dag = to_dag_with_mode(copy, order.front(), Exclusion(), compact, true);
        ASSERT_TRUE(dag.has_value());
        EXPECT_EQ(to_tree_string_with_depth_order(*dag, order.front(), Exclusion(), true)->text, expected);
    }
}

// A call's result, or its error, as one text; under a memory budget of
// `budget_bytes` when given.
std::string call_outcome(const GraphWrap& graph, bool order, bool compact, std::optional<std::uint64_t> budget_bytes) {
    std::optional<MemoryBudget> budget;
    if (budget_bytes) budget.emplace(*budget_bytes);
    const StopCheck stop = budget ? StopCheck().with_memory_budget(&*budget) : StopCheck();
    if (order) {
        auto ids = canonical_node_order(graph, kDegree, kBranch, true, compact, stop);
        if (!ids) return "error " + ids.error().display();
        std::string joined;
        for (const std::string& id : *ids) joined += id + " ";
        return joined;
    }
    auto text = to_cgraph(graph, kDegree, kBranch, true, true, compact, stop);
    return text ? *text : "error " + text.error().display();
}

// A thread lends what its calls leave behind to its next call; no call's
// result, error or memory-budget figure may show which calls came before it
// on the thread. Each call is made on a thread of its own and then all in
// one thread, in order and in reverse, under budgets that refuse some calls
// at their start, some part way (rewrites, texts) and some not at all.
TEST(ToCgraph, AThreadsEarlierCallsChangeNoOutcome) {
    std::vector<GraphRecipe> recipes = small_graphs();
    std::vector<GraphRecipe> molecules = read_molecules();
    molecules.resize(std::min<std::size_t>(molecules.size(), 24));
    recipes.insert(recipes.end(), molecules.begin(), molecules.end());
    recipes.push_back(grid_recipe(4, 4));  // expanded, its rewrites grow their scratch far beyond the graph
    std::vector<GraphWrap> graphs;
    for (const GraphRecipe& recipe : recipes) graphs.push_back(make_graph(recipe.nodes, recipe.edges));

    struct Call {
        std::size_t graph;
        bool order;
        bool compact;
        std::optional<std::uint64_t> budget;
    };
    std::vector<Call> calls;
    for (std::size_t g = 0; g < graphs.size(); ++g) {
        const std::uint64_t held = graphs[g].held_bytes();
        for (const bool order : {false, true}) {
            for (const bool compact : {false, true}) {
                calls.push_back({g, order, compact, std::nullopt});
                for (const std::uint64_t eighths : {17, 20, 24, 32, 48, 80}) {
                    calls.push_back({g, order, compact, held * eighths / 8});
                }
            }
        }
    }
    const auto run = [&](const Call& call) {
        return call_outcome(graphs[call.graph], call.order, call.compact, call.budget);
    };
    std::vector<std::string> alone(calls.size());
    std::size_t refused = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        std::thread([&] { alone[i] = run(calls[i]); }).join();
        refused += alone[i].starts_with("error ") ? 1 : 0;
    }
    EXPECT_GT(refused, calls.size() / 10);
    EXPECT_LT(refused, calls.size() - calls.size() / 10);

    std::thread([&] {
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(run(calls[i]), alone[i]) << recipes[calls[i].graph].name << " call " << i;
        }
        for (std::size_t i = calls.size(); i-- > 0;) {
            EXPECT_EQ(run(calls[i]), alone[i]) << recipes[calls[i].graph].name << " call " << i;
        }
    }).join();
}

TEST(Invariance, SmallGraphs) {
    for (const GraphRecipe& recipe : small_graphs()) {
        expect_invariant(recipe, false);
        expect_invariant(recipe, true);
    }
}

TEST(Invariance, Molecules) {
    const std::vector<GraphRecipe> molecules = read_molecules();
    ASSERT_GE(molecules.size(), 30u);
    for (const GraphRecipe& recipe : molecules) expect_invariant(recipe, false);
}

}  // namespace
}  // namespace quorl
