// The depth-first traversal shared by the tree string and the tree node order:
// child collection, plain leaves, child order and subtree texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
#include "graph/packed_incidences.hpp"
#include "tree/subtree_texts.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

struct FinishedNode {
    TextId text = kNoText;  // kNoText: the traversal did not finish this node
    std::int32_t depth = 0;
};

struct ChildList {
    std::size_t begin = 0;
    std::size_t size = 0;
};

struct TreeTraversal {
    NodeIndex root = kNoIndex;
    SubtreeTexts texts;
    std::vector<FinishedNode> finished;  // by node index
    // Filled only when asked for: each finished node's children in written
    // order, as ranges of `child_nodes`; empty for plain leaves.
    std::vector<ChildList> child_lists;  // by node index
    std::vector<NodeIndex> child_nodes;
};

// An accepted neighbour of an expanded node; `position` counts every
// enumerated neighbour, skipped ones included.
struct PendingChild {
    std::uint32_t position;
    NodeIndex child;
    std::string_view modality;
};

struct TraversalStackEntry {
    NodeIndex node;
    NodeIndex parent;  // kNoIndex for the root
    bool expanded = false;
    bool settled = false;  // set when the node is taken off the stack unexpanded
    std::uint32_t incident_edges = 0;  // all of the node's edges, a self-loop once
    // The node's pending children: a range of the pending-child stack. Nodes
    // finish in the reverse order of their expansion, so that stack is
    // truncated back to `pending_begin` when the node finishes.
    std::size_t pending_begin = 0;
    std::size_t pending_end = 0;
};

struct ChildEntry {
    std::uint32_t position;
    NodeIndex child;
    std::string_view modality;
    std::int32_t depth;
    TextId text;
};

// Subtree texts that stay right from one walk to the next while the graph
// changes: a caller that knows every node deeper than some floor keeps its
// subtree from now on (the rewrite, once no conflict lies deeper than the
// floor it resolves) lets the walks take those nodes' texts from earlier
// walks instead of walking their subtrees again.
//
// A settled node's text depends only on the subtree below it, not on the
// walk that reached it, when every walk that reaches it comes from its one
// neighbour on a shallower floor and leaves out no node below it: the walks
// that lend a memo (rooted on or above the floor, leaving out the floors up
// to the root's, the root excepted) meet settled nodes only so, since below
// that floor every node has a single edge up and no edge within its floor.
struct SettledSubtrees {
    // Nodes on deeper floors are settled; none while absent.
    std::optional<std::int32_t> deeper_than;
    // Texts of settled nodes met by earlier walks, by node index, for each
    // child order (with and without the modality as a key). The ids refer to
    // the scratch's texts, which then outlive every walk.
    std::vector<FinishedNode> by_order[2];
};

// Everything one walk needs besides the graph, for callers that write many
// trees of one graph (the rewrite writes one per magnet): reused, a walk costs
// the nodes it reaches instead of allocating and clearing tables sized to the
// whole graph. Only traverse_tree reads or writes the members.
struct TreeScratch {
    TreeTraversal traversal;  // the latest walk's result
    SettledSubtrees settled;
    std::vector<std::uint8_t> visited;  // bytes, not bits: read for every neighbour a walk meets
    std::vector<NodeIndex> reached;  // the nodes the latest walk expanded: what the next one clears
    std::vector<TraversalStackEntry> stack;
    std::vector<PendingChild> pending;
    std::vector<ChildEntry> entries;
    std::vector<ChildText> child_texts;
    std::string label;  // the finishing node's written label
    // Incidences packed with their walk data, which the walks of the graph
    // they describe read instead of its store (see LentPackedIncidences);
    // walks of any other graph read their store.
    const PackedIncidences* packed = nullptr;

    // Whether the next walk keeps the texts of the walks before it, so that
    // their ids still name them: while subtrees are settled, once the texts
    // own their modalities (the first walk that settles makes them).
    bool keeps_texts() const { return settled.deeper_than && traversal.texts.owns_modalities(); }
};

// Lends packed incidences to a scratch's walks for as long as it lives; the
// lender vouches that the graph they describe stays as it was packed.
class LentPackedIncidences {
public:
    LentPackedIncidences(TreeScratch& scratch, const PackedIncidences& incidences) : scratch_(scratch) {
        scratch_.packed = &incidences;
    }
    ~LentPackedIncidences() { scratch_.packed = nullptr; }
    LentPackedIncidences(const LentPackedIncidences&) = delete;
    LentPackedIncidences& operator=(const LentPackedIncidences&) = delete;

private:
    TreeScratch& scratch_;
};

// Scratch sized for a single walk of the whole graph, for callers that lend none.
TreeScratch scratch_for_one_walk(const GraphWrap& graph);

// Walks the graph depth-first from the root, skipping excluded nodes other
// than the root, and builds every reached node's subtree text and depth into
// `scratch.traversal`. Children are ordered by depth, then (with
// `modality_order`) modality, then text, then neighbour position. Fails with
// "unknown root id '{}'"; polls `stop` (when given) once per node and fails
// with kInterruptedWalk when the poll asks to stop.
Failable<void> traverse_tree(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                             bool modality_order, bool record_child_lists, TreeScratch& scratch, StopPoll* stop);

// The walk the final texts and node orders are written from (modality order
// set), into `scratch`, which may be lent for one such walk after another
// (each then costs the nodes it reaches). Every walk starts its texts' label
// pool from nothing, as a scratch of its own does: what writing a text holds
// (written_bytes) reads the pool's capacity, so the memory-budget figures are
// those of separate walks. Polls `stop` as traverse_tree does.
Failable<void> traverse_whole_tree(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                   bool record_child_lists, TreeScratch& scratch, StopPoll* stop = nullptr);

// The root's text and depth of a finished traversal, and its groups when asked
// for. Fails with "failed to build tree string" when the root was not
// finished, and with kInterruptedWalk when `stop` (when given) asks to stop
// while writing.
Failable<TreeText> written_tree(const TreeTraversal& traversal, bool with_groups, StopPoll* stop = nullptr);

}  // namespace quorl
