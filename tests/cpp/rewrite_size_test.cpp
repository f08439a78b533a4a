#include "dag/rewrite_size.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "canonize/canonize.hpp"
#include "dag/dag_rewrite.hpp"
#include "dag_test_support.hpp"
#include "exactness_families.hpp"
#include "graph/floors.hpp"
#include "limits/memory_budget.hpp"
#include "tree/tree_string.hpp"

namespace quorl {
namespace {

using testing::EdgeDef;
using testing::make_graph;
using testing::NodeDef;

std::string cell(int row, int column) { return std::to_string(row) + "_" + std::to_string(column); }

GraphWrap grid(int rows, int columns) {
    std::vector<EdgeDef> edges;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c + 1 < columns) edges.push_back({cell(r, c), cell(r, c + 1), "1"});
            if (r + 1 < rows) edges.push_back({cell(r, c), cell(r + 1, c), "2"});
        }
    }
    return make_graph({}, edges);
}

// A connected graph: a random tree plus extra edges, self-loops and parallel edges among them.
GraphWrap random_graph(std::mt19937& random, int size, int extra) {
    const char* const labels[] = {"C", "N", "O", "Cl"};
    std::vector<NodeDef> nodes;
    std::vector<EdgeDef> edges;
    for (int i = 0; i < size; ++i) {
        nodes.push_back({"n" + std::to_string(i), labels[random() % 4]});
        if (i > 0) edges.push_back({"n" + std::to_string(random() % i), "n" + std::to_string(i), "1"});
    }
    for (int i = 0; i < extra; ++i) {
        edges.push_back({"n" + std::to_string(random() % size), "n" + std::to_string(random() % size),
                         random() % 2 == 0 ? "1" : "22"});
    }
    return make_graph(nodes, edges);
}

// The rewrite's working copy before its first pass: levelled from the root, without what the root does not reach.
struct LevelledWork {
    GraphWrap work;
    std::vector<LevelledNode> levelled;
};

LevelledWork levelled_work(const GraphWrap& graph, const std::string& root) {
    LevelledWork levelled{graph, {}};
    GraphWrap& work = levelled.work;
    auto floors = level_nodes(work, root, Exclusion{});
    EXPECT_TRUE(floors.has_value());
    levelled.levelled = std::move(*floors);
    std::vector<std::string> unreached;
    for (NodeIndex node = 0; node < work.node_bound(); ++node) {
        if (const NodeData* data = work.node(node); data != nullptr && !data->meta.floor) unreached.push_back(data->id);
    }
    for (const std::string& id : unreached) work.remove_node(id);
    return levelled;
}

// Counted as the rewrite counts it.
RewriteSize counted(const GraphWrap& graph, const std::string& root, bool allow_hashes) {
    const LevelledWork levelled = levelled_work(graph, root);
    return count_rewrite(levelled.work, levelled.levelled, allow_hashes);
}

void expect_count_matches_rewrite(const GraphWrap& graph, const std::string& root, const std::string& name) {
    for (const bool allow_hashes : {true, false}) {
        const RewriteSize size = counted(graph, root, allow_hashes);
        const auto dag = to_dag_with_mode(graph, root, Exclusion{}, false, allow_hashes);
        ASSERT_TRUE(dag.has_value()) << name << ": " << dag.error().display();
        EXPECT_EQ(size.expanded_nodes, dag->node_count()) << name << " root " << root;
        EXPECT_EQ(size.expanded_edges, dag->edge_count()) << name << " root " << root;
        const auto text = to_tree_string_with_depth_order(*dag, root, Exclusion{}, true);
        ASSERT_TRUE(text.has_value());
        // Origins count as digests, or without hashes as their underscores only.
        if (allow_hashes) {
            EXPECT_EQ(size.expanded_text_bytes, text->text.size()) << name << " root " << root;
        } else {
            EXPECT_LE(size.expanded_text_bytes, text->text.size()) << name << " root " << root;
        }

        const auto compact = to_dag_with_mode(graph, root, Exclusion{}, true, allow_hashes);
        ASSERT_TRUE(compact.has_value());
        EXPECT_EQ(size.compact_nodes, compact->node_count()) << name << " root " << root;
    }
}

TEST(RewriteSize, CountEqualsTheExpandedRewrite) {
    struct Case {
        std::string name;
        GraphWrap graph;
        std::vector<std::string> roots;
    };
    const std::vector<Case> cases = {
        {"square", make_graph({}, {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "a"}}), {"a"}},
        {"triangle", make_graph({}, {{"a", "b"}, {"b", "c"}, {"c", "a"}}), {"a"}},
        {"self-loop and parallel edges",
         make_graph({}, {{"a", "b"}, {"b", "b"}, {"a", "c"}, {"a", "c", "2"}, {"c", "d"}, {"d", "d"}}),
         {"a", "c", "d"}},
        {"K4", make_graph({}, {{"a", "b"}, {"a", "c"}, {"a", "d"}, {"b", "c"}, {"b", "d"}, {"c", "d"}}), {"a"}},
        {"ladder 2x7", grid(2, 7), {cell(0, 0), cell(1, 3)}},
        {"grid 4x4", grid(4, 4), {cell(0, 0), cell(1, 2)}},
        {"grid 5x6", grid(5, 6), {cell(2, 2), cell(0, 5)}},
        {"two components", make_graph({}, {{"a", "b"}, {"b", "c"}, {"c", "a"}, {"x", "y"}}), {"a", "x"}},
    };
    for (const Case& c : cases) {
        for (const std::string& root : c.roots) expect_count_matches_rewrite(c.graph, root, c.name);
    }
    std::mt19937 random(12);
    for (int round = 0; round < 40; ++round) {
        const GraphWrap graph = random_graph(random, 4 + round % 9, 1 + round % 7);
        expect_count_matches_rewrite(graph, "n0", "random " + std::to_string(round));
    }
}

// The rewrite leaves the exact count out wherever the bound fits, so the
// bound must be at least the count for every root of every graph.
TEST(RewriteSize, BoundIsAtLeastTheCount) {
    std::vector<exactness::FamilyCase> cases = exactness::read_molecules(
        std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt");
    ASSERT_FALSE(cases.empty());
    for (exactness::FamilyCase& family : exactness::bench_families({6, 17, 40}, 3)) cases.push_back(std::move(family));
    std::mt19937 random(5);
    for (int round = 0; round < 300; ++round) {
        cases.push_back({"random multigraph " + std::to_string(round), exactness::random_multigraph(random)});
        cases.push_back({"random graph " + std::to_string(round), random_graph(random, 3 + round % 13, round % 9)});
    }
    std::size_t bounded = 0;
    std::size_t roots = 0;
    for (const exactness::FamilyCase& c : cases) {
        for (NodeIndex node = 0; node < c.graph.node_bound(); ++node) {
            const NodeData* data = c.graph.node(node);
            if (data == nullptr) continue;
            const LevelledWork levelled = levelled_work(c.graph, data->id);
            for (const bool allow_hashes : {true, false}) {
                ++roots;
                const std::optional<RewriteSize> bound =
                    expanded_size_bound(levelled.work, levelled.levelled, allow_hashes);
                if (!bound) continue;
                ++bounded;
                const RewriteSize size = count_rewrite(levelled.work, levelled.levelled, allow_hashes);
                EXPECT_GE(bound->expanded_nodes, size.expanded_nodes) << c.name << " root " << data->id;
                EXPECT_GE(bound->expanded_edges, size.expanded_edges) << c.name << " root " << data->id;
                EXPECT_GE(bound->expanded_text_bytes, size.expanded_text_bytes) << c.name << " root " << data->id;
            }
        }
    }
    // Most roots get a bound; the large grids and ladders do not.
    EXPECT_GT(bounded, roots / 2);
    EXPECT_LT(bounded, roots);
}

// Where the bound decides: a molecule's fits the share of the machine read by
// no one; a grid's is too cyclic to bound, and the count decides.
TEST(RewriteSize, BoundDecidesForMoleculesNotForGrids) {
    const std::vector<exactness::FamilyCase> molecules = exactness::read_molecules(
        std::filesystem::path(__FILE__).parent_path() / "data" / "molecules_sample.txt");
    ASSERT_FALSE(molecules.empty());
    const GraphWrap& molecule = molecules.front().graph;
    const LevelledWork levelled = levelled_work(molecule, molecule.node_at(0).id);
    const std::optional<RewriteSize> bound = expanded_size_bound(levelled.work, levelled.levelled, true);
    ASSERT_TRUE(bound.has_value());
    const std::uint64_t most = bound->expanded_nodes * GraphWrap::node_record_bytes() +
                               bound->expanded_edges * GraphWrap::edge_record_bytes() + 2 * bound->expanded_text_bytes;
    EXPECT_LT(most, MemoryBudget::kUnreadMachineBytes);

    const LevelledWork grid_work = levelled_work(grid(6, 6), cell(0, 0));
    EXPECT_FALSE(expanded_size_bound(grid_work.work, grid_work.levelled, true).has_value());
}

TEST(RewriteSize, CountSaturatesInsteadOfOverflowing) {
    const RewriteSize size = counted(grid(40, 40), cell(0, 0), true);
    EXPECT_EQ(size.expanded_nodes, UINT64_MAX);
    EXPECT_LT(size.compact_nodes, 4000u);
}

TEST(MemoryBudget, ExpandedRewriteOverBudgetFailsBeforeBuildingIt) {
    MemoryBudget budget(std::uint64_t{1} << 30);
    const StopCheck stop = StopCheck().with_memory_budget(&budget);
    const auto started = std::chrono::steady_clock::now();
    const auto dag = to_dag_with_mode(grid(20, 20), cell(0, 0), Exclusion{}, false, true, stop);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    ASSERT_FALSE(dag.has_value());
    EXPECT_EQ(dag.error().kind(), ErrorKind::OutOfMemory);
    EXPECT_NE(dag.error().message().find("more than the memory budget of 1.07 GB; compact=True writes it in about"),
              std::string::npos)
        << dag.error().message();
    EXPECT_EQ(budget.held(), 0u);
}

// The count ahead is a lower bound; the copies of each region are counted
// again, exactly, before they are made. A budget between the two stops the
// rewrite at a join, holding no more than its budget.
TEST(MemoryBudget, RegionCopiesOverBudgetFailBeforeTheyAreMade) {
    const GraphWrap graph = grid(8, 8);
    const auto unlimited = to_dag_with_mode(graph, cell(0, 0), Exclusion{}, false, true);
    ASSERT_TRUE(unlimited.has_value());
    const std::uint64_t final_bytes = unlimited->held_bytes();
    MemoryBudget budget(final_bytes / 5 * 4);
    const auto dag = to_dag_with_mode(graph, cell(0, 0), Exclusion{}, false, true,
                                      StopCheck().with_memory_budget(&budget));
    ASSERT_FALSE(dag.has_value());
    EXPECT_EQ(dag.error().kind(), ErrorKind::OutOfMemory);
    EXPECT_TRUE(dag.error().message().starts_with("expanding a join node of this graph needs ")) << dag.error().message();
    EXPECT_EQ(budget.held(), 0u);
}

TEST(MemoryBudget, CallsWithinTheirBudgetWriteTheSameBytes) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        const GraphWrap graph = random_graph(random, 5 + round % 11, round % 6);
        for (const bool compact : {false, true}) {
            MemoryBudget budget(std::uint64_t{256} << 20);
            const auto limited = to_cgraph(graph, "$degree", "", true, true, compact,
                                           StopCheck().with_memory_budget(&budget));
            const auto unlimited = to_cgraph(graph, "$degree", "", true, true, compact);
            ASSERT_TRUE(limited.has_value() && unlimited.has_value());
            EXPECT_EQ(*limited, *unlimited);
            EXPECT_EQ(budget.held(), 0u);
        }
    }
}

// Without hashes the compact texts of a grid nest their origins and grow far
// faster than the graph. Under any budget a call either writes exactly the
// bytes it writes without one or fails with an out-of-memory error naming the
// step it refused; never another text (a compact join must not rank a text
// it could not write as the empty one), and it holds nothing afterwards.
TEST(MemoryBudget, TextsOverBudgetFailBeforeTheyAreWritten) {
    const GraphWrap graph = grid(8, 8);
    const auto unlimited_text = to_cgraph(graph, "$degree", "", false, false, true);
    const auto unlimited_order = canonical_node_order(graph, "$degree", "", false, true);
    ASSERT_TRUE(unlimited_text.has_value() && unlimited_order.has_value());
    ASSERT_GT(unlimited_text->size(), std::size_t{100'000});
    const std::vector<std::string> steps = {"writing a text of this graph needs ", "a magnet of this graph needs ",
                                            "resolving a join node of this graph needs ",
                                            "holding a rewritten form of this graph needs ",
                                            "keeping the best text of this graph needs "};
    bool text_refused = false;
    bool all_fit = false;
    for (std::uint64_t budget_bytes = std::uint64_t{1} << 18; budget_bytes <= std::uint64_t{16} << 20;
         budget_bytes += budget_bytes / 3) {
        for (const bool order : {false, true}) {
            MemoryBudget budget(budget_bytes);
            const StopCheck stop = StopCheck().with_memory_budget(&budget);
            std::optional<QuorlError> error;
            if (order) {
                const auto limited = canonical_node_order(graph, "$degree", "", false, true, stop);
                if (limited) {
                    EXPECT_EQ(*limited, *unlimited_order) << budget_bytes;
                } else {
                    error = limited.error();
                }
            } else {
                const auto limited = to_cgraph(graph, "$degree", "", false, false, true, stop);
                if (limited) {
                    EXPECT_EQ(*limited, *unlimited_text) << budget_bytes;
                } else {
                    error = limited.error();
                }
            }
            EXPECT_EQ(budget.held(), 0u);
            all_fit = all_fit || !error;
            if (!error) continue;
            EXPECT_EQ(error->kind(), ErrorKind::OutOfMemory) << error->message();
            const std::string& message = error->message();
            EXPECT_TRUE(std::any_of(steps.begin(), steps.end(), [&](const std::string& step) {
                return message.starts_with(step);
            })) << message;
            EXPECT_TRUE(message.ends_with(" more, beyond the memory budget of " + format_bytes(budget_bytes)))
                << message;
            text_refused = text_refused || message.starts_with(steps[0]);
        }
    }
    EXPECT_TRUE(text_refused);
    EXPECT_TRUE(all_fit);
}

TEST(MemoryBudget, BudgetBelowTheGraphItselfFailsAtOnce) {
    MemoryBudget budget(1000);
    const auto text = to_cgraph(grid(3, 3), "$degree", "", true, true, false, StopCheck().with_memory_budget(&budget));
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().kind(), ErrorKind::OutOfMemory);
    EXPECT_TRUE(text.error().message().starts_with("the memory budget of 1.00 kB is too small for this graph itself"))
        << text.error().message();
}

TEST(MemoryBudget, MachineBudgetIsReadOnlyForLargeCalls) {
    MemoryBudget budget = MemoryBudget::of_machine();
    EXPECT_TRUE(budget.fits(MemoryBudget::kUnreadMachineBytes));
    EXPECT_GT(budget.limit(), 0u);
    EXPECT_FALSE(budget.fits(UINT64_MAX));
}

TEST(MemoryBudget, FormatsByteCounts) {
    EXPECT_EQ(format_bytes(999), "999 bytes");
    EXPECT_EQ(format_bytes(1000), "1.00 kB");
    EXPECT_EQ(format_bytes(3'456), "3.46 kB");
    EXPECT_EQ(format_bytes(12'345'678), "12.3 MB");
    EXPECT_EQ(format_bytes(250'000'000'000), "250 GB");
    EXPECT_EQ(format_bytes(UINT64_MAX), "more than 18 EB");
}

TEST(Deadline, PassedDeadlineStopsTheRewrite) {
    const StopCheck stop = StopCheck().with_deadline(StopCheck::Clock::now());
    EXPECT_TRUE(stop.deadline_passed());
    const auto text = to_cgraph(grid(6, 6), "$degree", "", true, true, false, stop);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().kind(), ErrorKind::Interrupted);
    EXPECT_FALSE(StopCheck().with_deadline(StopCheck::Clock::now() + std::chrono::hours(1)).stop_requested());
}

}  // namespace
}  // namespace quorl
