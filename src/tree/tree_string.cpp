#include "tree/tree_string.hpp"

#include <optional>

#include "tree/tree_traversal.hpp"

namespace quorl {

std::string format_label(const GraphWrap& graph, NodeIndex node) {
    std::string label;
    append_label(graph, node, label);
    return label;
}

// A walk reaches each node once and interns its text once at most, so its
// label pool is asked for at most every reached node's written label (and
// "?"), and grows to at most twice what it is asked for. Its text writes each
// reached node's label, within "()" unless a plain leaf, and each child once
// with ":", its edge's modality and ", ", every child from an edge of its own.
std::uint64_t written_bytes_bound(const GraphWrap& graph) {
    // '#' and a mirror's number of at most 20 digits, or '*'; then "{" origin "}".
    constexpr std::uint64_t kDecoration = 1 + 20 + 2;
    std::uint64_t labels = 1;
    std::uint64_t text = 0;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        const NodeData* data = graph.node(node);
        if (data == nullptr) continue;
        std::uint64_t label = data->label.size();
        if (!writes_bare_label(*data)) label += kDecoration + (data->meta.origin ? data->meta.origin->size() : 0);
        labels += label;
        text += label + 2;
    }
    for (EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        if (graph.has_edge(edge)) text += graph.edge_at(edge).modality.size() + 3;
    }
    // SubtreeTexts::written_bytes: three times the text and twice the pool's capacity.
    return 3 * text + 2 * (2 * labels + sizeof(std::string));
}

std::uint32_t append_label(const GraphWrap& graph, NodeIndex node, std::string& out) {
    const NodeData& data = graph.node_at(node);
    const std::size_t begin = out.size();
    out += data.label;
    if (writes_bare_label(data)) return kNoGroup;
    if (data.meta.is_mirror) {
        out += '#';
        out += std::to_string(data.meta.mirror_seq.value_or(0));
    } else {
        out += '*';
    }
    const std::size_t group_open = out.size() - begin;
    QUORL_ASSERT(group_open < kNoGroup);
    out += '{';
    if (data.meta.origin) out += *data.meta.origin;
    out += '}';
    return static_cast<std::uint32_t>(group_open);
}

Failable<TreeText> to_tree_string_with_depth_order(const GraphWrap& graph, std::string_view root_id,
                                                   const Exclusion& excluded, bool modality_order,
                                                   TreeScratch* scratch, StopPoll* stop) {
    std::optional<TreeScratch> own_scratch;
    if (scratch == nullptr) own_scratch = scratch_for_one_walk(graph);
    TreeScratch& used = scratch != nullptr ? *scratch : *own_scratch;
    Failable<void> walked = traverse_tree(graph, root_id, excluded, modality_order, false, used, stop);
    if (!walked) return std::unexpected(std::move(walked.error()));
    return written_tree(used.traversal, false, stop);
}

Failable<std::uint64_t> tree_string_to_sink(const GraphWrap& graph, std::string_view root_id,
                                            const Exclusion& excluded, bool modality_order, TextSink& sink,
                                            TreeScratch& scratch, StopPoll& stop) {
    Failable<void> walked = traverse_tree(graph, root_id, excluded, modality_order, false, scratch, &stop);
    if (!walked) return std::unexpected(std::move(walked.error()));
    const TreeTraversal& traversal = scratch.traversal;
    const TextId root = traversal.finished[traversal.root].text;
    if (root == kNoText) return std::unexpected(std::string(kUnbuiltTree));
    if (!traversal.texts.write_to_sink(root, sink, stop)) return std::unexpected(std::string(kInterruptedWalk));
    return traversal.texts.length(root);
}

Failable<TreeText> to_tree_string_with_groups(const GraphWrap& graph, std::string_view root_id,
                                              const Exclusion& excluded, StopPoll* stop, TreeScratch* scratch,
                                              TextRecords records) {
    std::optional<TreeScratch> own_scratch;
    TreeScratch& used = scratch != nullptr ? *scratch : own_scratch.emplace(scratch_for_one_walk(graph));
    Failable<void> walked = traverse_whole_tree(graph, root_id, excluded, records.child_lists, used, stop);
    if (!walked) return std::unexpected(std::move(walked.error()));
    return written_tree(used.traversal, records.groups, stop);
}

constexpr std::size_t kFewGroups = 8;

Failable<TreeText> written_tree(const TreeTraversal& traversal, bool with_groups, StopPoll* stop) {
    const FinishedNode& root = traversal.finished[traversal.root];
    if (root.text == kNoText) return std::unexpected(std::string(kUnbuiltTree));
    TreeText tree{{}, root.depth, {}};
    std::vector<TextSpan>* groups = with_groups ? &tree.groups : nullptr;
    // A molecule's text holds a few groups (the mirrors its rings make): room
    // for them up front spares the reallocations of growing from none.
    if (groups != nullptr) groups->reserve(kFewGroups);
    if (stop == nullptr) {
        tree.text = traversal.texts.write(root.text, groups);
        return tree;
    }
    std::optional<std::string> text = traversal.texts.write(root.text, groups, *stop);
    if (!text) return std::unexpected(std::string(kInterruptedWalk));
    tree.text = std::move(*text);
    return tree;
}

}  // namespace quorl
