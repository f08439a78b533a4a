#include "tree/tree_string.hpp"

#include "tree/tree_traversal.hpp"

namespace quorl {

std::string format_label(const GraphWrap& graph, NodeIndex node) {
    const NodeData& data = graph.node_at(node);
    std::string label = data.label;
    if (data.meta.is_mirror) {
        label += '#';
        label += std::to_string(data.meta.mirror_seq.value_or(0));
        label += '{';
    } else if (data.meta.is_virtual) {
        label += "*{";
    } else {
        return label;
    }
    if (data.meta.origin) label += *data.meta.origin;
    label += '}';
    return label;
}

Failable<TreeText> to_tree_string_with_depth_order(const GraphWrap& graph, std::string_view root_id,
                                                   const Exclusion& excluded, bool modality_order) {
    auto traversal = traverse_tree(graph, root_id, excluded, modality_order, false);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    const FinishedNode& root = traversal->finished[traversal->root];
    if (root.text == kNoText) return std::unexpected(std::string("failed to build tree string"));
    return TreeText{traversal->texts.write(root.text), root.depth};
}

}  // namespace quorl
