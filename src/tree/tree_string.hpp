// The canonical tree string of a graph read from a root, and the node order
// that goes with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

struct TreeText {
    std::string text;
    std::int32_t depth = 0;  // height of the root's subtree counted in nodes
};

struct TreeScratch;

// The failure of a walk or a write that a StopPoll stopped.
inline constexpr std::string_view kInterruptedWalk = "interrupted";

// Output depends on the labels, mirror/virtual metadata, modalities and, for
// ties between identical child texts, on the store's adjacency order.
// `modality_order` makes the edge modality a sort key of the children.
// Fails with "unknown root id '{}'". A caller writing many trees of one graph
// lends `scratch` (see TreeScratch); with `stop` the walk and the writing of
// the text poll it and fail with kInterruptedWalk when it asks to stop.
Failable<TreeText> to_tree_string_with_depth_order(const GraphWrap& graph, std::string_view root_id,
                                                   const Exclusion& excluded, bool modality_order,
                                                   TreeScratch* scratch = nullptr, StopPoll* stop = nullptr);

// The written label of a live node: mirrors and virtual nodes carry their origin.
std::string format_label(const GraphWrap& graph, NodeIndex node);
// Appends format_label's text to `out`; lets a caller reuse one buffer for every node.
void append_label(const GraphWrap& graph, NodeIndex node, std::string& out);

// The node ids in the order of the tree string written with modality order set.
Failable<std::vector<std::string>> to_tree_node_order(const GraphWrap& graph, std::string_view root_id,
                                                      const Exclusion& excluded);

struct TreeTextWithOrder {
    TreeText tree;
    std::vector<std::string> node_order;
};

// Both of the above with modality order set, from one walk of the graph.
Failable<TreeTextWithOrder> to_tree_string_with_node_order(const GraphWrap& graph, std::string_view root_id,
                                                           const Exclusion& excluded);

}  // namespace quorl
