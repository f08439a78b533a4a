// Packed incidences must list what the store's own lists hold, in their
// order, by either way of filling them; a walk that reads them with their walk
// data must write what a walk of the store writes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dag/dag_rewrite.hpp"
#include "dag_test_support.hpp"
#include "exactness_families.hpp"
#include "graph/packed_incidences.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {
namespace {

// One incidence as a walk sees it: the neighbour, whether the node is the
// edge's first end, and the bytes of its modality.
struct Listed {
    NodeIndex neighbour;
    bool first_end;
    std::string modality;
    friend bool operator==(const Listed&, const Listed&) = default;
};

std::vector<Listed> store_list(const GraphWrap& graph, NodeIndex node) {
    std::vector<Listed> listed;
    graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
        listed.push_back({other, graph.endpoints(edge).first == node, std::string(graph.edge_at(edge).modality)});
    });
    return listed;
}

void expect_lists_of_store(const GraphWrap& graph, const std::string& name) {
    const PackedIncidences packed(graph, PackedIncidences::WalkData::Pack);
    ASSERT_TRUE(packed.has_walk_data_of(graph)) << name;
    ASSERT_EQ(packed.node_bound(), graph.node_bound()) << name;
    EXPECT_EQ(packed.node_count(), graph.node_count()) << name;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        std::vector<Listed> searched;
        packed.for_each_neighbour(node, [&](NodeIndex other, bool first_end) {
            searched.push_back({other, first_end, {}});
        });
        std::vector<Listed> walked;
        packed.for_each_walk_neighbour(node, [&](NodeIndex other, std::string_view modality) {
            walked.push_back({other, false, std::string(modality)});
        });
        const std::vector<Listed> expected = graph.has_node(node) ? store_list(graph, node) : std::vector<Listed>{};
        ASSERT_EQ(searched.size(), expected.size()) << name << " node " << node;
        ASSERT_EQ(walked.size(), expected.size()) << name << " node " << node;
        EXPECT_EQ(packed.degree(node), expected.size()) << name << " node " << node;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(searched[i].neighbour, expected[i].neighbour) << name << " node " << node << " at " << i;
            EXPECT_EQ(searched[i].first_end, expected[i].first_end) << name << " node " << node << " at " << i;
            EXPECT_EQ(walked[i].neighbour, expected[i].neighbour) << name << " node " << node << " at " << i;
            EXPECT_EQ(walked[i].modality, expected[i].modality) << name << " node " << node << " at " << i;
        }
        const std::string_view bare = packed.bare_label(node);
        if (!graph.has_node(node) || !writes_bare_label(graph.node_at(node))) {
            EXPECT_EQ(bare.data(), nullptr) << name << " node " << node;
        } else {
            ASSERT_NE(bare.data(), nullptr) << name << " node " << node;
            EXPECT_EQ(bare, graph.node_at(node).label) << name << " node " << node;
        }
    }
}

// Many random multigraphs side by side in one store, their ids made
// distinct: large enough for the pass over the edges (over a thousand nodes),
// with self-loops, parallel edges, vacant slots where `removals` took
// edges and nodes out, and edges in vacant slots where `refills` added more.
GraphWrap large_multigraph(std::mt19937& random, bool removals, bool refills) {
    GraphWrap graph;
    std::vector<std::pair<std::string, std::string>> links;
    for (int part = 0; graph.node_count() < 1500; ++part) {
        const GraphWrap small = exactness::random_multigraph(random);
        const std::string prefix = "p" + std::to_string(part) + ":";
        for (NodeIndex node = 0; node < small.node_bound(); ++node) {
            if (small.has_node(node)) graph.ensure_node(prefix + small.node_at(node).id, small.node_at(node).label);
        }
        for (EdgeIndex edge = 0; edge < small.edge_bound(); ++edge) {
            if (!small.has_edge(edge)) continue;
            const auto [first, second] = small.endpoints(edge);
            const std::string a = prefix + small.node_at(first).id;
            const std::string b = prefix + small.node_at(second).id;
            graph.add_edge_with_modality(a, b, small.edge_at(edge).modality);
            links.emplace_back(a, b);
        }
    }
    if (removals) {
        for (EdgeIndex edge = 0; edge < graph.edge_bound(); edge += 7) {
            if (graph.has_edge(edge)) graph.remove_edge(edge);
        }
        for (NodeIndex node = 3; node < graph.node_bound(); node += 41) {
            if (graph.has_node(node)) graph.remove_node(std::string(graph.node_at(node).id));
        }
    }
    if (refills) {
        for (std::size_t i = 0; i < links.size(); i += 5) {
            if (graph.find_node(links[i].first) && graph.find_node(links[i].second)) {
                graph.add_edge_with_modality(links[i].second, links[i].first, "r");
            }
        }
    }
    return graph;
}

TEST(PackedIncidences, ListWhatTheStoreListsInItsOrder) {
    std::mt19937 random(20261210);
    // Small stores are packed by following their lists, large ones by a pass
    // over their edges while the lists follow the edges' order.
    for (int round = 0; round < 40; ++round) {
        expect_lists_of_store(exactness::random_multigraph(random), "small " + std::to_string(round));
    }
    struct Case {
        const char* name;
        bool removals;
        bool refills;
        bool lists_follow_edge_order;
    };
    for (const Case& c : {Case{"as built", false, false, true}, Case{"after removals", true, false, true},
                          Case{"vacant slots refilled", true, true, false}}) {
        const GraphWrap graph = large_multigraph(random, c.removals, c.refills);
        EXPECT_EQ(graph.lists_follow_edge_order(), c.lists_follow_edge_order) << c.name;
        expect_lists_of_store(graph, c.name);
    }
    for (const exactness::FamilyCase& family : exactness::bench_families({1100}, 5)) {
        expect_lists_of_store(family.graph, family.name);
    }
}

TEST(PackedIncidences, ListTheMirrorsAndVirtualNodesOfARewrittenForm) {
    // A rewritten form's mirrors and virtual nodes write their origin: they
    // have no bare label to pack.
    std::mt19937 random(7);
    for (const bool compact : {true, false}) {
        const GraphWrap ladder = exactness::family_graph("ladder", 12, false, random);
        const Result<GraphWrap> rewritten = to_dag_with_mode(ladder, "n0", Exclusion(), compact, true);
        ASSERT_TRUE(rewritten.has_value());
        bool grouped = false;
        for (NodeIndex node = 0; node < rewritten->node_bound(); ++node) {
            grouped = grouped || (rewritten->has_node(node) && !writes_bare_label(rewritten->node_at(node)));
        }
        EXPECT_TRUE(grouped) << "compact=" << compact;
        expect_lists_of_store(*rewritten, compact ? "compact ladder" : "expanded ladder");
    }
}

TEST(PackedIncidences, WithoutWalkDataTheyDescribeNoGraphsWalks) {
    std::mt19937 random(3);
    const GraphWrap graph = exactness::family_graph("tree", 30, true, random);
    PackedIncidences packed(graph);
    EXPECT_FALSE(packed.has_walk_data_of(graph));
    packed.refill(graph, PackedIncidences::WalkData::Pack);
    EXPECT_TRUE(packed.has_walk_data_of(graph));
    const GraphWrap copy = graph;
    EXPECT_FALSE(packed.has_walk_data_of(copy));
    packed.refill(graph);
    EXPECT_FALSE(packed.has_walk_data_of(graph));
}

// A walk's text, depth and node order, with or without the lent incidences.
// `input` is the graph that `graph` was rewritten from, or `graph` itself.
std::string walked(const GraphWrap& graph, const GraphWrap& input, std::string_view root, const Exclusion& excluded,
                   const PackedIncidences* lent) {
    TreeScratch scratch = scratch_for_one_walk(graph);
    std::optional<LentPackedIncidences> lending;
    if (lent != nullptr) lending.emplace(scratch, *lent);
    const Failable<TreeText> text =
        to_tree_string_with_groups(graph, root, excluded, nullptr, &scratch, {.groups = true, .child_lists = true});
    if (!text) return "error " + text.error();
    std::string seen = text->text + " depth " + std::to_string(text->depth) + " groups";
    for (const TextSpan& group : text->groups) {
        seen += " " + std::to_string(group.begin) + "+" + std::to_string(group.size);
    }
    for (const std::string& id : node_order_of_walk(graph, scratch, input)) seen += "\n" + id;
    const Failable<TreeText> unordered = to_tree_string_with_depth_order(graph, root, excluded, false, &scratch);
    return seen + "\nwithout modality order " + (unordered ? unordered->text : "error " + unordered.error());
}

void expect_walks_alike(const GraphWrap& graph, const std::string& name, const GraphWrap* input = nullptr) {
    const GraphWrap& named_by = input != nullptr ? *input : graph;
    const PackedIncidences packed(graph, PackedIncidences::WalkData::Pack);
    const PackedIncidences without_walk_data(graph);
    std::vector<bool> every_third(graph.node_bound(), false);
    for (NodeIndex node = 1; node < graph.node_bound(); node += 3) every_third[node] = true;
    const Exclusion excluded = Exclusion::of_nodes(every_third);
    for (NodeIndex root = 0; root < graph.node_bound() && root < 6; ++root) {
        if (!graph.has_node(root)) continue;
        const std::string_view id = graph.node_at(root).id;
        for (const Exclusion* leaving_out : {static_cast<const Exclusion*>(nullptr), &excluded}) {
            const Exclusion& chosen = leaving_out != nullptr ? *leaving_out : Exclusion();
            const std::string expected = walked(graph, named_by, id, chosen, nullptr);
            EXPECT_EQ(walked(graph, named_by, id, chosen, &packed), expected) << name << " root " << id;
            EXPECT_EQ(walked(graph, named_by, id, chosen, &without_walk_data), expected) << name << " root " << id;
        }
    }
}

TEST(PackedWalks, WriteWhatWalksOfTheStoreWrite) {
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        expect_walks_alike(exactness::random_multigraph(random), "random multigraph " + std::to_string(round));
    }
    for (const exactness::FamilyCase& family : exactness::bench_families({7, 30}, 13)) {
        expect_walks_alike(family.graph, family.name);
    }
    expect_walks_alike(large_multigraph(random, true, false), "large multigraph");
    // Mirrors and virtual nodes take their labels from the store.
    for (const bool compact : {true, false}) {
        const GraphWrap grid = exactness::family_graph("grid", 16, true, random);
        const Result<GraphWrap> rewritten = to_dag_with_mode(grid, "n5", Exclusion(), compact, compact);
        ASSERT_TRUE(rewritten.has_value());
        expect_walks_alike(*rewritten, compact ? "compact grid" : "expanded grid", &grid);
    }
}

}  // namespace
}  // namespace quorl
