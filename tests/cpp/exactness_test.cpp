// The drivers against the reference road: every text under the 8 flag sets
// and every node order under the 4, the errors included, must be identical.
// Also the depth bounds that let the drivers skip candidates, one case per rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "canonize/canonize.hpp"
#include "canonize/candidates.hpp"
#include "canonize/pruning.hpp"
#include "canonize/ring_rotations.hpp"
#include "canonize/root_depth_bounds.hpp"
#include "canonize/scoring_pass.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag_test_support.hpp"
#include "graph/packed_incidences.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"
#include "exactness_families.hpp"

namespace quorl {
namespace {

using exactness::kBranch;
using exactness::kDegree;
using exactness::outcome;
using testing::EdgeDef;
using testing::make_graph;
using testing::NodeDef;

// Every flag set: texts and orders of the drivers equal the reference's.
void expect_same_as_reference(const GraphWrap& graph, const std::string& name) {
    for (const bool compact : {true, false}) {
        for (const bool allow_hashes : {true, false}) {
            for (const bool compress : {true, false}) {
                EXPECT_EQ(outcome(to_cgraph(graph, kDegree, kBranch, allow_hashes, compress, compact)),
                          outcome(to_cgraph_reference(graph, kDegree, kBranch, allow_hashes, compress, compact)))
                    << name << " compact=" << compact << " hashes=" << allow_hashes << " compress=" << compress;
            }
            EXPECT_EQ(outcome(canonical_node_order(graph, kDegree, kBranch, allow_hashes, compact)),
                      outcome(canonical_node_order_reference(graph, kDegree, kBranch, allow_hashes, compact)))
                << name << " order compact=" << compact << " hashes=" << allow_hashes;
        }
    }
}

TEST(Exactness, BenchFamilies) {
    // Larger sizes run in bench/exactness_check; sanitized builds take the smallest.
    const std::vector<int> sizes = testing::kSanitized ? std::vector<int>{6, 13} : std::vector<int>{6, 13, 24};
    for (const exactness::FamilyCase& family : exactness::bench_families(sizes, 7)) {
        expect_same_as_reference(family.graph, family.name);
    }
}

TEST(Exactness, GraphsLargeEnoughForPackedWalks) {
    // From 2,048 nodes the walks of the graph itself read packed incidences.
    if (testing::kSanitized) GTEST_SKIP() << "large graphs";
    std::mt19937 random(5);
    for (const char* family : {"path", "tree", "sparse"}) {
        for (const bool random_labels : {false, true}) {
            const GraphWrap graph = exactness::family_graph(family, 2100, random_labels, random);
            const std::string name = std::string(family) + (random_labels ? " random" : " uniform");
            for (const bool compact : {true, false}) {
                EXPECT_EQ(outcome(to_cgraph(graph, kDegree, kBranch, true, true, compact)),
                          outcome(to_cgraph_reference(graph, kDegree, kBranch, true, true, compact)))
                    << name << " compact=" << compact;
            }
            EXPECT_EQ(outcome(canonical_node_order(graph, kDegree, kBranch, false, false)),
                      outcome(canonical_node_order_reference(graph, kDegree, kBranch, false, false)))
                << name << " order";
        }
    }
}

TEST(Exactness, RandomMultigraphs) {
    // Self-loops, parallel edges, several components, ids that look like
    // generated names or hold bytes above 0x7F, few labels (many ties).
    std::mt19937 random(20261208);
    const int rounds = testing::kSanitized ? 60 : 300;
    for (int round = 0; round < rounds; ++round) {
        const GraphWrap graph = exactness::random_multigraph(random);
        expect_same_as_reference(graph, "random multigraph " + std::to_string(round));
    }
}

TEST(Exactness, SharedMolecules) {
    const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt";
    const std::vector<exactness::FamilyCase> molecules = exactness::read_molecules(path);
    ASSERT_FALSE(molecules.empty()) << path;
    for (const exactness::FamilyCase& molecule : molecules) expect_same_as_reference(molecule.graph, molecule.name);
}

// The scoring pass leaves out the scoring walk of the only candidate that can
// win where the budget holds written_bytes_bound: no walk of a rewritten form,
// from any of its nodes and leaving any of them out, may hold more to write
// its text. Origins are long without hashes, and mirrors carry numbers.
TEST(WrittenBytesBound, HoldsForEveryWalkOfARewrittenForm) {
    const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt";
    std::vector<exactness::FamilyCase> cases = exactness::read_molecules(path);
    cases.resize(std::min<std::size_t>(cases.size(), 25));
    std::mt19937 random(20261209);
    for (int round = 0; round < 40; ++round) cases.push_back({"random multigraph", exactness::random_multigraph(random)});
    for (exactness::FamilyCase& family : exactness::bench_families({13}, 7)) cases.push_back(std::move(family));

    std::size_t walks = 0;
    for (const exactness::FamilyCase& family : cases) {
        if (family.graph.node_count() == 0) continue;
        NodeIndex first = 0;
        while (!family.graph.has_node(first)) ++first;
        const std::string& root = family.graph.node_at(first).id;
        for (const bool compact : {true, false}) {
            for (const bool allow_hashes : {true, false}) {
                const auto dag = to_dag_with_mode(family.graph, root, Exclusion(), compact, allow_hashes, {},
                                                  ConflictSearch::Incremental, TraceSwitches{});
                if (!dag) continue;  // the guard's refusal
                const std::uint64_t bound = written_bytes_bound(*dag);
                std::vector<bool> every_other(dag->node_bound());
                for (NodeIndex node = 0; node < every_other.size(); node += 2) every_other[node] = true;
                TreeScratch scratch = scratch_for_one_walk(*dag);
                std::uint64_t most = 0;
                for (NodeIndex node = 0; node < dag->node_bound(); node += 3) {
                    if (!dag->has_node(node)) continue;
                    for (const Exclusion& excluded : {Exclusion(), Exclusion::of_nodes(every_other)}) {
                        ASSERT_TRUE(traverse_whole_tree(*dag, dag->node_at(node).id, excluded, false, scratch));
                        const TreeTraversal& walk = scratch.traversal;
                        const std::uint64_t written = walk.texts.written_bytes(walk.finished[walk.root].text);
                        EXPECT_LE(written, bound) << family.name << " compact=" << compact
                                                  << " hashes=" << allow_hashes << " from " << dag->node_at(node).id;
                        most = std::max(most, written);
                        ++walks;
                    }
                }
                // Loose enough to hold, tight enough that molecules take the shortcut.
                EXPECT_LE(bound, 8 * most + 512) << family.name;
            }
        }
    }
    EXPECT_GT(walks, 1000u);
}

// --- the rules, each on a case it decides ---

std::vector<NodeIndex> nodes_of(const GraphWrap& graph, const std::vector<std::string>& ids) {
    std::vector<NodeIndex> nodes;
    for (const std::string& id : ids) nodes.push_back(*graph.find_node(id));
    return nodes;
}

GraphWrap path_graph(int size) {
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
    for (int i = 0; i < size; ++i) nodes.push_back({"p" + std::to_string(i), "C"});
    for (int i = 1; i < size; ++i) edges.push_back({"p" + std::to_string(i - 1), "p" + std::to_string(i)});
    return make_graph(nodes, edges);
}

TEST(CandidateDepths, PathEccentricitiesAreExactAndRuleOutTheMiddle) {
    // A path of 9: the candidates p1..p7 are written exactly 1 + ecc deep
    // without a single rewrite; p1 and p7 reach 8, so the others cannot win.
    const GraphWrap graph = path_graph(9);
    const std::vector<NodeIndex> candidates = nodes_of(graph, {"p1", "p4", "p7"});
    const std::vector<bool> shared(graph.node_bound(), false);
    const PackedIncidences incidences(graph);
    for (const bool compact : {true, false}) {
        const CandidateDepths depths(incidences, candidates, shared, compact);
        EXPECT_EQ(depths.range(0).lo, 8);
        EXPECT_EQ(depths.range(0).hi, 8);
        EXPECT_EQ(depths.range(1).hi, 5);
        EXPECT_EQ(depths.range(2).lo, 8);
    }
}

TEST(CandidateDepths, SharedNodesNeedTheLevellingAndRefineDecides) {
    // The two hubs of the worked example share x: before refining only the
    // eccentricity bounds hold (x might be written); refining shows both
    // written 2 deep, as the scoring entries are.
    const GraphWrap graph =
        make_graph({{"A", "N"}, {"B", "O"}, {"x", "C"}, {"a1", "H"}, {"a2", "H"}, {"b1", "H"}, {"b2", "H"}},
                   {{"A", "a1"}, {"A", "a2"}, {"A", "x"}, {"B", "b1"}, {"B", "b2"}, {"B", "x"}});
    const std::vector<NodeIndex> candidates = nodes_of(graph, {"A", "B"});
    std::vector<bool> shared(graph.node_bound(), false);
    shared[*graph.find_node("x")] = true;
    const PackedIncidences incidences(graph);
    for (const bool compact : {true, false}) {
        CandidateDepths depths(incidences, candidates, shared, compact);
        EXPECT_EQ(depths.range(0).lo, 1);
        EXPECT_EQ(depths.range(0).hi, 4);  // 1 + ecc(A): A, x, B, b1
        depths.refine(0);
        EXPECT_EQ(depths.range(0).lo, 2);
        EXPECT_EQ(depths.range(0).hi, 2);
    }
}

TEST(CandidateDepths, JoinsAndCoboundEdgesDeepenTheTree) {
    // Rooted at r: a square r-a-c-b-r (c a join on floor 2) with a tail c-t,
    // and a triangle r-u-v (u-v cobound on floor 1). Compact: t stays on
    // floor 3, depth 4. Expanded: the join's region hangs one floor deeper
    // (mirror on 2, copy of c on 3, copy of t on 4), depth 5.
    const GraphWrap graph = make_graph(
        {{"r", "C"}, {"a", "C"}, {"b", "C"}, {"c", "C"}, {"t", "C"}, {"u", "C"}, {"v", "C"}},
        {{"r", "a"}, {"r", "b"}, {"a", "c"}, {"b", "c"}, {"c", "t"}, {"r", "u"}, {"r", "v"}, {"u", "v"}});
    const std::vector<NodeIndex> candidates = nodes_of(graph, {"r"});
    const std::vector<bool> shared(graph.node_bound(), false);
    const PackedIncidences incidences(graph);
    for (const auto& [compact, depth] : {std::pair{true, 4}, std::pair{false, 5}}) {
        CandidateDepths depths(incidences, candidates, shared, compact);
        depths.refine(0);
        EXPECT_EQ(depths.range(0).lo, depth) << compact;
        EXPECT_EQ(depths.range(0).hi, depth) << compact;
        EXPECT_FALSE(depths.some_rewrite_exceeds_guard());
        const auto text = to_cgraph(graph, kDegree, kBranch, true, false, compact);
        ASSERT_TRUE(text.has_value());
    }
}

TEST(CandidateDepths, GuardErrorOfACandidateThatCannotWin) {
    if (testing::kSanitized) GTEST_SKIP() << "large graph";
    // A ladder of 10,002 rungs (10,001 independent squares, one join each
    // from any root) and, in another component, a comb deeper than the
    // ladder: its degree-3 nodes win on depth, but the ladder's candidates
    // come first and their rewrites fail, so the call fails as before.
    GraphWrap graph;
    const int rungs = 10002;
    for (int i = 0; i < rungs; ++i) {
        const std::string top = "t" + std::to_string(i);
        const std::string bottom = "b" + std::to_string(i);
        graph.add_edge_with_modality(top, bottom, "1");
        if (i > 0) {
            graph.add_edge_with_modality("t" + std::to_string(i - 1), top, "1");
            graph.add_edge_with_modality("b" + std::to_string(i - 1), bottom, "1");
        }
    }
    for (int i = 0; i < 3 * rungs; ++i) {
        const std::string spine = "s" + std::to_string(i);
        graph.add_edge_with_modality(spine, "leg" + std::to_string(i), "1");
        if (i > 0) graph.add_edge_with_modality("s" + std::to_string(i - 1), spine, "1");
    }
    for (const bool compact : {true, false}) {
        const auto text = to_cgraph(graph, kDegree, kBranch, true, true, compact);
        ASSERT_FALSE(text.has_value());
        EXPECT_EQ(text.error().kind(), ErrorKind::Unsupported);
        EXPECT_EQ(text.error().message(), kRewriteGuardMessage);
        const auto order = canonical_node_order(graph, kDegree, kBranch, true, compact);
        ASSERT_FALSE(order.has_value());
        EXPECT_EQ(order.error().message(), kRewriteGuardMessage);
    }
}

// A graph's candidates and shared nodes as the drivers find them.
struct ScoringCase {
    PackedIncidences incidences;
    std::vector<NodeIndex> nodes;
    std::vector<std::string> ids;
    std::vector<bool> shared;
    IdSet shared_ids;

    explicit ScoringCase(const GraphWrap& graph) : incidences(graph) {
        nodes = *select_candidate_nodes(graph, incidences, kDegree);
        for (const NodeIndex node : nodes) ids.push_back(graph.node_at(node).id);
        shared = shared_nodes(incidences, nodes);
        for (NodeIndex node = 0; node < shared.size(); ++node) {
            if (shared[node]) shared_ids.insert(graph.node_at(node).id);
        }
    }
};

// Every candidate's range holds the depth its scoring entry is written at,
// before and after refining; refined, it is exact in expanded resolution, and
// refining one candidate never loosens another's range. Where its text start
// is known, the text starts so.
void expect_bounds_hold_written_entries(const GraphWrap& graph, const std::string& name) {
    if (graph.node_count() == 0 || ids_may_meet_generated_ids(graph)) return;
    const ScoringCase scoring(graph);
    const std::vector<std::string>& ids = scoring.ids;
    TextStartScratch scratch;
    scratch.near.assign(graph.node_bound(), 0);
    const std::vector<std::uint8_t>& near = scratch.near;
    for (const bool compact : {true, false}) {
        const auto entries = collect_candidate_scores(graph, ids, scoring.shared_ids, compact, true);
        if (!entries) continue;  // the guard's failure, checked by the drivers' tests
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const auto start = scoring_text_start(graph, scoring.nodes[i], scoring.shared, scratch);
            if (start) {
                EXPECT_TRUE((*entries)[i].tree_text->starts_with(*start)) << name << " " << ids[i] << " " << *start;
            }
        }
        EXPECT_EQ(std::count(near.begin(), near.end(), 0), static_cast<std::ptrdiff_t>(near.size())) << name;
        CandidateDepths depths(scoring.incidences, scoring.nodes, scoring.shared, compact);
        for (std::size_t refined = 0; refined < ids.size(); ++refined) {
            std::vector<DepthRange> before(ids.size());
            for (std::size_t i = 0; i < ids.size(); ++i) before[i] = depths.range(i);
            depths.refine(refined);
            for (std::size_t i = 0; i < ids.size(); ++i) {
                const std::int64_t depth = (*entries)[i].root_depth;
                const DepthRange range = depths.range(i);
                EXPECT_TRUE(range.lo <= depth && depth <= range.hi)
                    << name << " compact=" << compact << " candidate " << ids[i] << " depth " << depth << " in ["
                    << range.lo << ", " << range.hi << "] after refining " << ids[refined];
                EXPECT_TRUE(before[i].lo <= range.lo && range.hi <= before[i].hi) << name << " " << ids[i];
                if (!compact && i == refined) {
                    EXPECT_TRUE(range.exact()) << name << " " << ids[i];
                }
            }
        }
    }
}

TEST(CandidateDepths, BoundsHoldTheWrittenEntries) {
    std::mt19937 random(20261209);
    const int rounds = testing::kSanitized ? 40 : 200;
    for (int round = 0; round < rounds; ++round) {
        expect_bounds_hold_written_entries(exactness::random_multigraph(random), "random " + std::to_string(round));
    }
    for (const exactness::FamilyCase& family : exactness::bench_families({6, 13}, 7)) {
        expect_bounds_hold_written_entries(family.graph, family.name);
    }
    const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt";
    for (const exactness::FamilyCase& molecule : exactness::read_molecules(path)) {
        expect_bounds_hold_written_entries(molecule.graph, molecule.name);
    }
}

// A refine follows the rewrite only as deep as something may be written; its
// range must be the one a levelling of the whole component gives.
void expect_short_refines_match_full_ones(const GraphWrap& graph, const std::string& name) {
    if (graph.node_count() == 0) return;
    const ScoringCase scoring(graph);
    for (const bool compact : {true, false}) {
        for (std::size_t i = 0; i < scoring.nodes.size(); ++i) {
            CandidateDepths short_one(scoring.incidences, scoring.nodes, scoring.shared, compact);
            CandidateDepths full_one(scoring.incidences, scoring.nodes, scoring.shared, compact);
            short_one.refine(i);
            full_one.rewrite_passes(i);
            EXPECT_EQ(short_one.range(i).lo, full_one.range(i).lo) << name << " compact=" << compact << " " << i;
            EXPECT_EQ(short_one.range(i).hi, full_one.range(i).hi) << name << " compact=" << compact << " " << i;
            // Refined first, the passes are still counted over the whole component.
            EXPECT_EQ(short_one.rewrite_passes(i), full_one.rewrite_passes(i)) << name << " " << i;
        }
    }
}

TEST(CandidateDepths, ShortRefinesMatchFullOnes) {
    std::mt19937 random(20261210);
    const int rounds = testing::kSanitized ? 60 : 300;
    for (int round = 0; round < rounds; ++round) {
        expect_short_refines_match_full_ones(exactness::random_multigraph(random), "random " + std::to_string(round));
    }
    for (const exactness::FamilyCase& family : exactness::bench_families({6, 13, 40}, 11)) {
        expect_short_refines_match_full_ones(family.graph, family.name);
    }
    const auto path = std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt";
    for (const exactness::FamilyCase& molecule : exactness::read_molecules(path)) {
        expect_short_refines_match_full_ones(molecule.graph, molecule.name);
    }
}

// Tables lent from one instance to the next, over graphs of every size in
// turn, must give each instance what tables of its own give.
TEST(CandidateDepths, LentTablesActAsNew) {
    std::vector<GraphWrap> graphs;
    std::mt19937 random(20261209);
    for (int round = 0; round < 80; ++round) graphs.push_back(exactness::random_multigraph(random));
    for (exactness::FamilyCase& family : exactness::bench_families({40, 6, 13}, 5)) {
        graphs.push_back(std::move(family.graph));
    }
    CandidateDepths::Tables lent;
    for (std::size_t at = 0; at < graphs.size(); ++at) {
        const GraphWrap& graph = graphs[at];
        if (graph.node_count() == 0) continue;
        const ScoringCase scoring(graph);
        for (const bool compact : {true, false}) {
            CandidateDepths borrowing(scoring.incidences, scoring.nodes, scoring.shared, compact, &lent);
            CandidateDepths owning(scoring.incidences, scoring.nodes, scoring.shared, compact);
            EXPECT_EQ(borrowing.some_rewrite_exceeds_guard(), owning.some_rewrite_exceeds_guard()) << at;
            for (std::size_t i = 0; i < scoring.nodes.size(); ++i) {
                borrowing.refine(i);
                owning.refine(i);
                for (std::size_t j = 0; j < scoring.nodes.size(); ++j) {
                    EXPECT_EQ(borrowing.range(j).lo, owning.range(j).lo) << at << " " << i << " " << j;
                    EXPECT_EQ(borrowing.range(j).hi, owning.range(j).hi) << at << " " << i << " " << j;
                }
                EXPECT_EQ(borrowing.in_tree(i), owning.in_tree(i)) << at << " " << i;
                EXPECT_EQ(borrowing.eccentricity_lo(i), owning.eccentricity_lo(i)) << at << " " << i;
            }
        }
    }
}

TEST(CandidateDepths, RefineStopsBelowTheWrittenPart) {
    // A and B share the long chain between them, which both scoring texts
    // leave out; the triangle at its middle keeps the range open until a
    // refine. A is written 2 deep, whatever lies beyond its first floor;
    // in expanded resolution the join below the triangle is never written.
    std::vector<NodeDef> nodes{{"A", "N"},  {"B", "O"},  {"a1", "H"}, {"a2", "H"}, {"a3", "H"},
                               {"b1", "H"}, {"b2", "H"}, {"b3", "H"}, {"t", "C"}};
    std::vector<EdgeDef> edges{{"A", "a1"}, {"A", "a2"}, {"A", "a3"}, {"B", "b1"}, {"B", "b2"}, {"B", "b3"},
                               {"A", "p0"}, {"p19", "B"}, {"p9", "t"},  {"p10", "t"}};
    for (int i = 0; i < 20; ++i) {
        nodes.push_back({"p" + std::to_string(i), "C"});
        if (i > 0) edges.push_back({"p" + std::to_string(i - 1), "p" + std::to_string(i)});
    }
    const GraphWrap graph = make_graph(nodes, edges);
    const ScoringCase scoring(graph);
    ASSERT_EQ(scoring.ids, (std::vector<std::string>{"A", "B"}));
    for (const bool compact : {true, false}) {
        CandidateDepths depths(scoring.incidences, scoring.nodes, scoring.shared, compact);
        EXPECT_FALSE(depths.range(0).exact());
        depths.refine(0);
        EXPECT_EQ(depths.range(0).lo, 2) << compact;
        EXPECT_EQ(depths.range(0).hi, 2) << compact;
        EXPECT_EQ(depths.rewrite_passes(0), 1) << compact;  // the cobound edge t-p10 seen from A
    }
    expect_same_as_reference(graph, "chain between two hubs");
}

// The scratch is sized for the graph it is used on.
std::optional<std::string> text_start(const GraphWrap& graph, NodeIndex root, const std::vector<bool>& shared) {
    TextStartScratch scratch;
    scratch.near.assign(graph.node_bound(), 0);
    return scoring_text_start(graph, root, shared, scratch);
}

TEST(ScoringTextStart, DecidesBetweenEquallyDeepCandidates) {
    // The two hubs share x, which the scoring texts leave out: both are
    // written 2 deep and whole before any rewrite, and N below O rules A out.
    const GraphWrap hubs =
        make_graph({{"A", "N"}, {"B", "O"}, {"x", "C"}, {"a1", "H"}, {"a2", "H"}, {"b1", "H"}, {"b2", "H"}},
                   {{"A", "a1"}, {"A", "a2"}, {"A", "x"}, {"B", "b1"}, {"B", "b2"}, {"B", "x"}});
    const ScoringCase scoring(hubs);
    EXPECT_EQ(text_start(hubs, scoring.nodes[0], scoring.shared), "(H:1, H:1)N");
    EXPECT_EQ(text_start(hubs, scoring.nodes[1], scoring.shared), "(H:1, H:1)O");
    EXPECT_TRUE(starts_below("(H:1, H:1)N", "(H:1, H:1)O"));
    EXPECT_EQ(to_cgraph(hubs, kDegree, kBranch, true, false, false), "(H:1, H:1, ((H:1, H:1)N:1)C:1)O");

    // Leaves come first, by modality before text; a triangle at r gives u
    // and v virtual children; a self-loop or parallel edges at the root hide
    // the start.
    const GraphWrap graph = make_graph(
        {{"r", "C"}, {"o", "O"}, {"h", "H"}, {"u", "C"}, {"v", "C"}, {"s", "S"}, {"loop", "C"}, {"twin", "C"}},
        {{"r", "o", "2"}, {"r", "h"}, {"r", "u"}, {"r", "v"}, {"u", "v"}, {"loop", "loop"}, {"loop", "twin"},
         {"loop", "twin"}, {"s", "r"}});
    const std::vector<bool> none(graph.node_bound(), false);
    EXPECT_EQ(text_start(graph, *graph.find_node("r"), none), "(H:1, S:1, O:2, (");
    EXPECT_EQ(text_start(graph, *graph.find_node("loop"), none), std::nullopt);
    EXPECT_EQ(text_start(graph, *graph.find_node("twin"), none), std::nullopt);

    // A child whose only other neighbours are left out is written "()"
    // and its label; a join below it gives it a mirror.
    const GraphWrap chain = make_graph({{"p", "C"}, {"q", "N"}, {"z", "O"}, {"y", "C"}},
                                       {{"p", "q"}, {"q", "z"}, {"p", "y"}, {"y", "z"}});
    const GraphWrap path = make_graph({{"p", "C"}, {"q", "N"}, {"z", "O"}}, {{"p", "q"}, {"q", "z"}});
    std::vector<bool> path_shared(path.node_bound(), false);
    path_shared[*path.find_node("z")] = true;
    EXPECT_EQ(text_start(path, *path.find_node("p"), path_shared), "(()N:1)C");
    std::vector<bool> chain_shared(chain.node_bound(), false);
    chain_shared[*chain.find_node("z")] = true;
    EXPECT_EQ(text_start(chain, *chain.find_node("p"), chain_shared), "((");
}

struct StartsBelowCase {
    std::string start;
    std::string text;
    bool below;
};

class StartsBelow : public ::testing::TestWithParam<StartsBelowCase> {};

TEST_P(StartsBelow, OnlyWhenTheyDifferWithinTheStart) {
    EXPECT_EQ(starts_below(GetParam().start, GetParam().text), GetParam().below);
}

INSTANTIATE_TEST_SUITE_P(Table, StartsBelow,
                         ::testing::Values(StartsBelowCase{"(H:1", "(O:2, O:2)S", true},
                                           StartsBelowCase{"(H:1, (", "(H:1, H:1)C", true},
                                           StartsBelowCase{"(O:2", "(H:1)C", false},
                                           StartsBelowCase{"(H:1", "(H:12)C", false},  // a prefix decides nothing
                                           StartsBelowCase{"(H:1, H:1)C", "(H:1", false},
                                           StartsBelowCase{"", "(H:1)C", false},
                                           StartsBelowCase{"(\xC3", "(A", false},  // unsigned bytes
                                           StartsBelowCase{"(A", "(\xC3", true}));

TEST(CandidateDepths, HostileIdsTakeTheReferenceRoad) {
    EXPECT_TRUE(ids_may_meet_generated_ids(make_graph({{"*v0", "C"}}, {})));
    EXPECT_TRUE(ids_may_meet_generated_ids(make_graph({{"a@#m0_1", "C"}}, {})));
    EXPECT_FALSE(ids_may_meet_generated_ids(make_graph({{"a*v0", "C"}, {"x@m", "C"}, {"é", "C"}}, {})));
}

// --- rings: rotations that map candidates onto each other ---

struct GraphDefs {
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
    GraphDefs& operator+=(const GraphDefs& other) {
        nodes.insert(nodes.end(), other.nodes.begin(), other.nodes.end());
        edges.insert(edges.end(), other.edges.begin(), other.edges.end());
        return *this;
    }
};

// A ring of `labels.size()` nodes, node k joined to node k+1 by modalities[k].
// `offset` names the nodes from another start, so the rotations meet ids in
// another order.
GraphDefs ring_defs(const std::string& labels, const std::string& modalities, const std::string& prefix = "r",
                    std::size_t offset = 0) {
    const std::size_t n = labels.size();
    const auto id = [&](std::size_t k) { return prefix + std::to_string((k + offset) % n); };
    GraphDefs defs;
    for (std::size_t k = 0; k < n; ++k) defs.nodes.push_back({id(k), std::string(1, labels[k])});
    for (std::size_t k = 0; k < n; ++k) defs.edges.push_back({id(k), id((k + 1) % n), std::string(1, modalities[k])});
    return defs;
}

GraphWrap ring_graph(const std::string& labels, const std::string& modalities, const std::string& prefix = "r",
                     std::size_t offset = 0) {
    const GraphDefs defs = ring_defs(labels, modalities, prefix, offset);
    return make_graph(defs.nodes, defs.edges);
}

TEST(Exactness, RingsAndTheirRotations) {
    const std::vector<std::pair<std::string, std::string>> rings = {
        {"CCC", "111"},         {"CCCC", "1111"},       {"CCCCCCC", "1111111"},    {"CCCCCCCCCCCC", "111111111111"},
        {"CNCNCN", "111111"},   {"CCCCCC", "121212"},   {"CNOCNOCNO", "111111111"}, {"CNOCNOCNO", "112112112"},
        {"CNCNCNC", "1111111"}, {"CCCCCN", "111111"},   {"CNONCO", "123123"},      {"CCCCCCCC", "12121211"},
    };
    for (const auto& [labels, modalities] : rings) {
        for (const std::size_t offset : {std::size_t{0}, std::size_t{2}}) {
            expect_same_as_reference(ring_graph(labels, modalities, "r", offset),
                                     "ring " + labels + "/" + modalities + " from " + std::to_string(offset));
        }
    }
    // Two rings alike, and a ring beside a path whose nodes are candidates too.
    GraphDefs two = ring_defs("CNCN", "1111", "a");
    two += ring_defs("CNCN", "1111", "b", 1);
    expect_same_as_reference(make_graph(two.nodes, two.edges), "two rings");
    GraphDefs with_path = ring_defs("CCCCCC", "111111");
    with_path += GraphDefs{{{"p0", "C"}, {"p1", "C"}, {"p2", "C"}}, {{"p0", "p1"}, {"p1", "p2"}}};
    expect_same_as_reference(make_graph(with_path.nodes, with_path.edges), "ring beside a path");

    std::mt19937 random(20261209);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 3 + random() % 14;
        const std::size_t period = 1 + random() % 3;
        std::string labels;
        std::string modalities;
        for (std::size_t k = 0; k < n; ++k) {
            // Mostly periodic, now and then not.
            labels += "CNO"[(k % period + (random() % 6 == 0 ? 1 : 0)) % 3];
            modalities += "12"[k % period == 0 ? 0 : 1];
        }
        expect_same_as_reference(ring_graph(labels, modalities, "q", round % n),
                                 "random ring " + labels + "/" + modalities);
    }
}

TEST(RingRotations, ClassesAreTheOrbitsOfTheRotations) {
    const auto classes = [](const GraphWrap& graph) {
        std::vector<NodeIndex> nodes;
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) nodes.push_back(node);
        const RingRotations rotations(graph, nodes);
        std::string seen;
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const std::optional<std::uint32_t> rotation_class = rotations.class_of(i);
            seen += rotation_class ? static_cast<char>('a' + *rotation_class) : '-';
        }
        return seen;
    };
    EXPECT_EQ(classes(ring_graph("CCCCC", "11111")), "aaaaa");
    EXPECT_EQ(classes(ring_graph("CNCNCN", "111111")), "ababab");
    EXPECT_EQ(classes(ring_graph("CCCCCC", "112112")), "abcabc");
    EXPECT_EQ(classes(ring_graph("CCCCCN", "111111")), "abcdef");  // reflections are not used
    EXPECT_EQ(classes(path_graph(4)), "----");
    // A chord, a self-loop or parallel edges: no simple cycle.
    GraphDefs chord = ring_defs("CCCCCC", "111111");
    chord.edges.push_back({"r1", "r4"});
    EXPECT_EQ(classes(make_graph(chord.nodes, chord.edges)), "------");
    GraphDefs looped = ring_defs("CCC", "111");
    looped.edges.push_back({"r1", "r1"});
    EXPECT_EQ(classes(make_graph(looped.nodes, looped.edges)), "---");
    EXPECT_EQ(classes(make_graph({{"x", "C"}, {"y", "C"}}, {{"x", "y"}, {"x", "y"}})), "--");
}

// The scoring pass walks only the components the depth bounds count one
// independent cycle in: on rings, rings with chords, tails or loops, paths
// and random multigraphs, the classes must be those of walking from every
// candidate (a walk in a component skipped wrongly would show a class here).
TEST(RingRotations, WalkingOnlySingleCycleComponentsKeepsTheClasses) {
    const auto degree = [](const GraphWrap& graph, NodeIndex node) {
        std::size_t count = 0;
        graph.for_each_incident(node, [&](EdgeIndex, NodeIndex) { ++count; });
        return count;
    };
    std::vector<GraphWrap> graphs;
    for (const std::string labels : {"CCCCC", "CNCNCN", "CCCCCN"}) {
        graphs.push_back(ring_graph(labels, std::string(labels.size(), '1')));
    }
    GraphDefs beside = ring_defs("CCCCCC", "111111");
    beside += GraphDefs{{{"p0", "C"}, {"p1", "C"}, {"p2", "C"}, {"p3", "C"}},
                        {{"p0", "p1"}, {"p1", "p2"}, {"p2", "p3"}}};
    graphs.push_back(make_graph(beside.nodes, beside.edges));
    GraphDefs tailed = ring_defs("CCCC", "1111");
    tailed += GraphDefs{{{"t0", "C"}, {"t1", "C"}}, {{"r0", "t0"}, {"t0", "t1"}}};
    graphs.push_back(make_graph(tailed.nodes, tailed.edges));
    graphs.push_back(path_graph(7));
    std::mt19937 random(20261210);
    for (int round = 0; round < 300; ++round) graphs.push_back(exactness::random_multigraph(random));

    std::size_t with_classes = 0;
    for (const GraphWrap& graph : graphs) {
        std::vector<NodeIndex> candidates;
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
            if (graph.has_node(node) && degree(graph, node) == 2) candidates.push_back(node);
        }
        if (candidates.empty()) continue;
        const std::vector<bool> shared(graph.node_bound(), false);
        const PackedIncidences incidences(graph);
        const CandidateDepths depths(incidences, candidates, shared, false);
        const RingRotations every_walk(graph, candidates);
        const RingRotations bounded(graph, candidates, [&](std::size_t i) { return depths.single_cycle(i); });
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            ASSERT_EQ(bounded.class_of(i), every_walk.class_of(i)) << "candidate " << i;
            with_classes += every_walk.class_of(i) ? 1 : 0;
        }
        EXPECT_EQ(bounded.class_count(), every_walk.class_count());
    }
    EXPECT_GT(with_classes, 10u);
}

// On a component that is one cycle of candidates, one refine settles them
// all: each taken-over range must be what levelling from that candidate
// alone finds. Triangles with a tail (as many edges as nodes, not a cycle),
// with every node a candidate or only those of degree 2, and random
// multigraphs must share nothing wrongly.
TEST(CandidateDepths, ACycleOfCandidatesSharesOneRefine) {
    std::vector<GraphWrap> graphs;
    for (const std::string labels : {"CC", "CCC", "CNO", "CCCCCC", "CNCCONC", "CCCCCCCCCCCN"}) {
        graphs.push_back(ring_graph(labels, std::string(labels.size(), '1')));
    }
    graphs.push_back(make_graph({{"x", "C"}, {"y", "C"}}, {{"x", "y"}, {"x", "y"}}));
    graphs.push_back(make_graph({{"a", "C"}, {"b", "C"}, {"c", "C"}, {"t", "C"}},
                                {{"a", "b"}, {"b", "c"}, {"c", "a"}, {"a", "t"}}));
    graphs.push_back(make_graph({{"a", "C"}, {"b", "C"}, {"c", "C"}, {"t", "C"}, {"u", "C"}},
                                {{"a", "b"}, {"b", "c"}, {"c", "a"}, {"a", "t"}, {"t", "u"}}));
    std::mt19937 random(20261211);
    for (int round = 0; round < 200; ++round) graphs.push_back(exactness::random_multigraph(random));

    std::size_t taken_over = 0;
    const auto check = [&](const GraphWrap& graph, const PackedIncidences& incidences,
                           const std::vector<NodeIndex>& candidates) {
        const std::vector<bool> shared(graph.node_bound(), false);
        for (const bool compact : {false, true}) {
            for (std::size_t first = 0; first < candidates.size(); ++first) {
                CandidateDepths depths(incidences, candidates, shared, compact);
                depths.refine(first);
                for (std::size_t i = 0; i < candidates.size(); ++i) {
                    if (i == first || !depths.refined(i)) continue;
                    ++taken_over;
                    const std::vector<NodeIndex> alone{candidates[i]};
                    CandidateDepths own(incidences, alone, shared, compact);
                    own.refine(0);
                    ASSERT_EQ(depths.range(i).lo, own.range(0).lo) << "candidate " << i << " after " << first;
                    ASSERT_EQ(depths.range(i).hi, own.range(0).hi) << "candidate " << i << " after " << first;
                }
            }
        }
    };
    for (const GraphWrap& graph : graphs) {
        const PackedIncidences incidences(graph);
        std::vector<NodeIndex> every_node;
        std::vector<NodeIndex> degree_two;
        for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
            if (!graph.has_node(node)) continue;
            every_node.push_back(node);
            if (incidences.degree(node) == 2) degree_two.push_back(node);
        }
        check(graph, incidences, every_node);
        check(graph, incidences, degree_two);
    }
    EXPECT_GT(taken_over, 100u);
}

}  // namespace
}  // namespace quorl
