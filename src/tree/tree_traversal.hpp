// The depth-first traversal shared by the tree string and the tree node order:
// child collection, plain leaves, child order and subtree texts.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
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

// Walks the graph depth-first from the root, skipping excluded nodes other
// than the root, and builds every reached node's subtree text and depth.
// Children are ordered by depth, then (with `modality_order`) modality, then
// text, then neighbour position. Fails with "unknown root id '{}'".
Failable<TreeTraversal> traverse_tree(const GraphWrap& graph, std::string_view root_id, const Exclusion& excluded,
                                      bool modality_order, bool record_child_lists);

// The root's text and depth of a finished traversal, and its groups when asked
// for. Fails with "failed to build tree string" when the root was not finished.
Failable<TreeText> written_tree(const TreeTraversal& traversal, bool with_groups);

}  // namespace quorl
