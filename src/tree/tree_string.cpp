#include "tree/tree_string.hpp"

#include "tree/tree_traversal.hpp"

namespace quorl {

std::string format_label(const GraphWrap& graph, NodeIndex node) {
    std::string label;
    append_label(graph, node, label);
    return label;
}

void append_label(const GraphWrap& graph, NodeIndex node, std::string& out) {
    const NodeData& data = graph.node_at(node);
    out += data.label;
    if (data.meta.is_mirror) {
        out += '#';
        out += std::to_string(data.meta.mirror_seq.value_or(0));
        out += '{';
    } else if (data.meta.is_virtual) {
        out += "*{";
    } else {
        return;
    }
    if (data.meta.origin) out += *data.meta.origin;
    out += '}';
}

Failable<TreeText> to_tree_string_with_depth_order(const GraphWrap& graph, std::string_view root_id,
                                                   const Exclusion& excluded, bool modality_order,
                                                   TreeScratch* scratch, StopPoll* stop) {
    TreeScratch own_scratch = scratch != nullptr ? TreeScratch{} : scratch_for_one_walk(graph);
    TreeScratch& used = scratch != nullptr ? *scratch : own_scratch;
    Failable<void> walked = traverse_tree(graph, root_id, excluded, modality_order, false, used, stop);
    if (!walked) return std::unexpected(std::move(walked.error()));
    return written_tree(used.traversal, stop);
}

Failable<TreeText> written_tree(const TreeTraversal& traversal, StopPoll* stop) {
    const FinishedNode& root = traversal.finished[traversal.root];
    if (root.text == kNoText) return std::unexpected(std::string("failed to build tree string"));
    if (stop == nullptr) return TreeText{traversal.texts.write(root.text), root.depth};
    std::optional<std::string> text = traversal.texts.write(root.text, *stop);
    if (!text) return std::unexpected(std::string(kInterruptedWalk));
    return TreeText{std::move(*text), root.depth};
}

}  // namespace quorl
