#include "graph/graph_wrap.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stop_after_checks.hpp"

namespace quorl {
namespace {

std::vector<std::string> neighbour_ids(const GraphWrap& graph, std::string_view id) {
    std::vector<std::string> ids;
    graph.for_each_incident(*graph.find_node(id), [&](EdgeIndex, NodeIndex other) {
        ids.push_back(graph.node_at(other).id);
    });
    return ids;
}

std::vector<NodeIndex> live_nodes(const GraphWrap& graph) {
    std::vector<NodeIndex> nodes;
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (graph.has_node(n)) nodes.push_back(n);
    }
    return nodes;
}

TEST(GraphWrap, EdgeBetweenNewIdsCreatesBothNodesInArgumentOrder) {
    GraphWrap graph;
    graph.add_edge_with_modality("a", "b", "2");
    EXPECT_EQ(graph.node_count(), 2u);
    EXPECT_EQ(*graph.find_node("a"), 0u);
    EXPECT_EQ(*graph.find_node("b"), 1u);
    EXPECT_EQ(graph.node_at(0).label, ".");
    EXPECT_EQ(graph.edge_at(0).id, "e1");
    EXPECT_EQ(graph.edge_at(0).modality, "2");
    EXPECT_EQ(graph.endpoints(0), std::make_pair(NodeIndex{0}, NodeIndex{1}));
}

TEST(GraphWrap, LabelRules) {
    GraphWrap graph;
    graph.ensure_node("x", "");
    graph.ensure_node("x", "X");
    EXPECT_EQ(graph.node_at(0).label, "X");
    graph.ensure_node("x", "Y");
    EXPECT_EQ(graph.node_at(0).label, "X");
    graph.ensure_node("y", "");
    graph.add_edge_with_modality("y", "x", "1");
    EXPECT_EQ(graph.node_at(1).label, ".");
}

TEST(GraphWrap, AddNodeWithMetaKeepsAnExistingNodeUnchanged) {
    GraphWrap graph;
    graph.ensure_node("m", "L");
    NodeMeta meta;
    meta.is_mirror = true;
    meta.floor = 4;
    EXPECT_EQ(graph.add_node_with_meta("m", "other", meta), 0u);
    EXPECT_EQ(graph.node_at(0).label, "L");
    EXPECT_FALSE(graph.node_at(0).meta.is_mirror);
    EXPECT_EQ(graph.add_node_with_meta("n", "N", meta), 1u);
    EXPECT_EQ(graph.node_at(1).meta.floor, 4);
}

TEST(GraphWrap, NeighbourOrderIsFirstListThenSecondListNewestFirstWithSelfLoopOnce) {
    GraphWrap graph;
    graph.add_edge_with_modality("n", "a", "1");
    graph.add_edge_with_modality("b", "n", "1");
    graph.add_edge_with_modality("n", "c", "1");
    graph.add_edge_with_modality("n", "n", "1");
    graph.add_edge_with_modality("d", "n", "1");
    graph.add_edge_with_modality("n", "a", "1");
    EXPECT_EQ(neighbour_ids(graph, "n"), (std::vector<std::string>{"a", "n", "c", "a", "d", "b"}));
    EXPECT_EQ(graph.edge_count(), 6u);
}

TEST(GraphWrap, RemovalFreesSlotsThatAreReusedMostRecentlyFreedFirst) {
    GraphWrap graph;
    graph.add_edge_with_modality("hub", "a", "1");  // e1, slot 0
    graph.add_edge_with_modality("b", "hub", "1");  // e2, slot 1
    graph.add_edge_with_modality("hub", "c", "1");  // e3, slot 2
    graph.add_edge_with_modality("a", "c", "1");    // e4, slot 3
    EXPECT_TRUE(graph.remove_node("hub"));
    EXPECT_FALSE(graph.remove_node("hub"));
    EXPECT_FALSE(graph.remove_node("nobody"));
    EXPECT_EQ(graph.edge_count(), 1u);
    EXPECT_EQ(graph.node_count(), 3u);
    EXPECT_EQ(live_nodes(graph), (std::vector<NodeIndex>{1, 2, 3}));
    // First-endpoint list from the front (e3, e1), then the second-endpoint list (e2):
    // e2's slot was freed last and is reused first.
    EXPECT_EQ(graph.ensure_node("new", "N"), 0u);
    graph.add_edge_with_modality("new", "a", "1");
    EXPECT_EQ(graph.edge_at(1).id, "e5");
    graph.add_edge_with_modality("new", "b", "1");
    EXPECT_EQ(graph.edge_at(0).id, "e6");
    graph.add_edge_with_modality("new", "c", "1");
    EXPECT_EQ(graph.edge_at(2).id, "e7");
    EXPECT_EQ(graph.edge_counter(), 7u);
}

TEST(GraphWrap, SelfLoopIsRemovedOnceWithItsNode) {
    GraphWrap graph;
    graph.add_edge_with_modality("s", "s", "1");
    graph.add_edge_with_modality("s", "t", "1");
    EXPECT_TRUE(graph.remove_node("s"));
    EXPECT_EQ(graph.edge_count(), 0u);
    // Removed front to back: e2 (slot 1), then the loop e1 (slot 0) which is reused first.
    graph.add_edge_with_modality("t", "u", "1");
    EXPECT_EQ(graph.edge_at(0).id, "e3");
    graph.add_edge_with_modality("t", "v", "1");
    EXPECT_EQ(graph.edge_at(1).id, "e4");
}

TEST(GraphWrap, AddEdgeCustomNamesOnlyUnnamedEdgesButAlwaysRaisesTheCounter) {
    GraphWrap graph;
    const NodeIndex a = graph.ensure_node("a", "A");
    const NodeIndex b = graph.ensure_node("b", "B");
    const EdgeIndex named = graph.add_edge_custom(a, b, EdgeData{"kept", "3"});
    const EdgeIndex unnamed = graph.add_edge_custom(b, a, EdgeData{"", "1"});
    EXPECT_EQ(graph.edge_at(named).id, "kept");
    EXPECT_EQ(graph.edge_at(unnamed).id, "e2");
    graph.remove_edge(named);
    EXPECT_EQ(graph.edge_counter(), 2u);
    EXPECT_EQ(graph.edge(named), nullptr);
    EXPECT_EQ(neighbour_ids(graph, "a"), (std::vector<std::string>{"b"}));
}

TEST(GraphWrap, CopyKeepsVacantSlotsFreeListsAndCounter) {
    GraphWrap graph;
    for (int i = 0; i < 50; ++i) graph.add_edge_with_modality("n" + std::to_string(i), "n" + std::to_string(i + 1), "1");
    graph.remove_node("n7");
    graph.remove_node("n20");
    GraphWrap copy = graph;
    for (GraphWrap* g : {&graph, &copy}) {
        EXPECT_EQ(g->ensure_node("fresh", "F"), 20u);
        g->add_edge_with_modality("fresh", "n0", "1");
        EXPECT_EQ(g->edge_counter(), 51u);
    }
    EXPECT_EQ(live_nodes(graph), live_nodes(copy));
    for (NodeIndex n : live_nodes(graph)) {
        EXPECT_EQ(neighbour_ids(graph, graph.node_at(n).id), neighbour_ids(copy, copy.node_at(n).id));
    }
    EXPECT_FALSE(copy.find_node("n7").has_value());
}

TEST(GraphWrap, IdIndexSurvivesManyInsertionsAndRemovals) {
    GraphWrap graph;
    for (int i = 0; i < 5000; ++i) graph.ensure_node("id" + std::to_string(i), "L");
    for (int i = 0; i < 5000; i += 2) ASSERT_TRUE(graph.remove_node("id" + std::to_string(i)));
    for (int i = 0; i < 5000; ++i) {
        const auto found = graph.find_node("id" + std::to_string(i));
        ASSERT_EQ(found.has_value(), i % 2 == 1) << i;
        if (found) {
            ASSERT_EQ(*found, static_cast<NodeIndex>(i));
        }
    }
    EXPECT_EQ(graph.node_count(), 2500u);
}

// A path of `size` nodes with some removed, so that free lists are in play.
GraphWrap path_with_gaps(int size) {
    GraphWrap graph;
    for (int i = 0; i + 1 < size; ++i) {
        graph.add_edge_with_modality("n" + std::to_string(i), "n" + std::to_string(i + 1), "1");
    }
    for (int i = 5; i < size; i += 97) graph.remove_node("n" + std::to_string(i));
    return graph;
}

// Adds the same nodes and edges to any store.
void add_ring_to(GraphWrap& graph, int size) {
    for (int i = 0; i < size; ++i) {
        graph.add_edge_with_modality("r" + std::to_string(i), "r" + std::to_string((i + 1) % size), "2");
    }
}

void expect_same_store(const GraphWrap& a, const GraphWrap& b) {
    ASSERT_EQ(live_nodes(a), live_nodes(b));
    ASSERT_EQ(a.edge_bound(), b.edge_bound());
    EXPECT_EQ(a.edge_count(), b.edge_count());
    EXPECT_EQ(a.edge_counter(), b.edge_counter());
    for (const NodeIndex n : live_nodes(a)) {
        const std::string& id = a.node_at(n).id;
        EXPECT_EQ(id, b.node_at(n).id);
        EXPECT_EQ(b.find_node(id), n);
        EXPECT_EQ(neighbour_ids(a, id), neighbour_ids(b, id));
    }
}

TEST(GraphWrap, ReservedRoomChangesNothingButWhereTheSlotsLive) {
    GraphWrap grown = path_with_gaps(3000);
    GraphWrap reserved = grown;
    StopPoll never(StopCheck{});
    ASSERT_TRUE(reserved.reserve(5000, 5000, never));
    expect_same_store(grown, reserved);
    // Adding what was reserved for moves no slot.
    const NodeData* first = reserved.node(0);
    add_ring_to(grown, 5000);
    add_ring_to(reserved, 5000);
    EXPECT_EQ(reserved.node(0), first);
    expect_same_store(grown, reserved);
}

TEST(GraphWrap, SlotsReservedInAnEmptyStoreOutliveACopyIntoIt) {
    const GraphWrap original = path_with_gaps(300);
    GraphWrap grown = original;
    GraphWrap copy;
    StopPoll never(StopCheck{});
    ASSERT_TRUE(copy.reserve_slots(original.node_bound() + 600, original.edge_bound() + 600, never));
    copy = original;
    expect_same_store(original, copy);
    const NodeData* first = copy.node(0);
    add_ring_to(grown, 600);
    add_ring_to(copy, 600);
    EXPECT_EQ(copy.node(0), first);  // no slot moved; the id index grew as it filled
    expect_same_store(grown, copy);
}

// A store that forgot its slots and kept their memory must count what a new
// store counts through the same steps (reserve, copy, growth by appends and
// by reserves), whatever it held before: held_bytes feeds the memory figures.
TEST(GraphWrap, StoreThatForgotItsSlotsCountsAsNew) {
    StopPoll never(StopCheck{});
    for (const int before : {10, 300, 3000}) {
        for (const int size : {5, 200, 1000}) {
            const GraphWrap original = path_with_gaps(size);
            GraphWrap reused = path_with_gaps(before);
            add_ring_to(reused, before);
            reused.forget_keeping_memory();
            EXPECT_EQ(reused.held_bytes(), GraphWrap().held_bytes());
            GraphWrap fresh;
            for (GraphWrap* store : {&fresh, &reused}) {
                ASSERT_TRUE(store->reserve_slots(original.node_bound() + 7, original.edge_bound() + 7, never));
            }
            EXPECT_EQ(reused.held_bytes(), fresh.held_bytes()) << before << " " << size << " reserved";
            fresh = original;
            reused = original;
            EXPECT_EQ(reused.held_bytes(), fresh.held_bytes()) << before << " " << size << " copied";
            expect_same_store(fresh, reused);
            add_ring_to(fresh, 40);  // past the reserved room: grows by appending
            add_ring_to(reused, 40);
            EXPECT_EQ(reused.held_bytes(), fresh.held_bytes()) << before << " " << size << " appended";
            for (GraphWrap* store : {&fresh, &reused}) ASSERT_TRUE(store->reserve(3 * size, 3 * size, never));
            EXPECT_EQ(reused.held_bytes(), fresh.held_bytes()) << before << " " << size << " reserved again";
            const GraphWrap fresh_copy = fresh;
            const GraphWrap reused_copy = reused;
            EXPECT_EQ(reused_copy.held_bytes(), fresh_copy.held_bytes()) << before << " " << size << " copy made";
            expect_same_store(fresh, reused);
        }
    }
}

using testing::StopAfterChecks;

TEST(GraphWrap, ReserveStoppedOnTheWayGivesTheStoreUpOrLeavesItWhole) {
    // The stop lands while the node slots, the edge slots or the id index
    // move, or after all of them: the store is then either whole or empty.
    const GraphWrap original = path_with_gaps(20000);
    int given_up = 0;
    for (const int after : {1, 10, 40, 80, 120, 160, 200, 100000}) {
        GraphWrap graph = original;
        StopAfterChecks stop{after};
        StopPoll poll(StopCheck(&StopAfterChecks::poll, &stop));
        if (graph.reserve(40000, 40000, poll)) {
            expect_same_store(original, graph);
        } else {
            ++given_up;
            EXPECT_EQ(graph.node_count(), 0u) << after;
            EXPECT_EQ(graph.node_bound(), 0u) << after;
            EXPECT_EQ(graph.edge_bound(), 0u) << after;
            EXPECT_FALSE(graph.find_node("n0").has_value()) << after;
            EXPECT_EQ(graph.ensure_node("n0", "C"), 0u) << after;  // and usable
        }
    }
    EXPECT_GE(given_up, 3);
    EXPECT_LE(given_up, 7);
}

TEST(GraphWrap, ReleasedStoresAreLeftEmpty) {
    for (const int size : {10, 70000}) {  // freed at once, and on a thread of its own
        GraphWrap graph = path_with_gaps(size);
        release_in_background(std::move(graph));
        EXPECT_EQ(graph.node_count(), 0u);
        EXPECT_EQ(graph.node_bound(), 0u);
        EXPECT_FALSE(graph.find_node("n0").has_value());
    }
}

TEST(GraphWrap, BrokenPreconditionThrowsInternalFault) {
    GraphWrap graph;
    EXPECT_THROW(graph.node_at(3), InternalFault);
    EXPECT_THROW(graph.remove_edge(0), InternalFault);
}

TEST(QuorlError, DisplayIsPrefixThenMessage) {
    EXPECT_EQ(QuorlError(ErrorKind::Parse, "line 3: empty node id").display(), "parse error: line 3: empty node id");
    EXPECT_EQ(QuorlError(ErrorKind::Unsupported, "candidate rule ' x' not implemented").display(),
              "unsupported: candidate rule ' x' not implemented");
    EXPECT_EQ(QuorlError(ErrorKind::Io, "").display(), "io error: ");
    EXPECT_EQ(QuorlError(ErrorKind::MissingNode, "m").display(), "missing node: m");
    EXPECT_EQ(QuorlError(ErrorKind::InvalidRule, "r").display(), "invalid rule: r");
    EXPECT_EQ(QuorlError(ErrorKind::Parse, "").display(), "parse error: ");
}

}  // namespace
}  // namespace quorl
