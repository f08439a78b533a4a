#include <optional>
#include <string>
#include <vector>

#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

namespace {

// The input node a node of the written graph is listed as, if any: a mirror
// or a copy below one as the node its record names, an input node as itself.
// Virtual nodes stand for edges, and a mirror without a record (made by hand)
// for nothing.
NodeIndex listed_node(const NodeData& data, NodeIndex node) {
    if (data.meta.is_virtual) return kNoIndex;
    if (data.meta.stands_for != kNoIndex) return data.meta.stands_for;
    return data.meta.is_mirror ? kNoIndex : node;
}

// Pre-order along the recorded child lists. A node listed by several parents
// is walked once per listing; the input node it stands for is listed once.
std::vector<std::string> node_order_of(const GraphWrap& graph, const TreeTraversal& traversal,
                                       const GraphWrap& input) {
    std::vector<bool> listed(input.node_bound(), false);
    // Room for every input node and a walk of every node of the written
    // graph up front: an order lists most of them, and growing one by one
    // would move the ids listed so far at every doubling.
    std::vector<std::string> order;
    order.reserve(input.node_count());
    std::vector<NodeIndex> walk;
    walk.reserve(graph.node_count());
    walk.push_back(traversal.root);
    while (!walk.empty()) {
        const NodeIndex node = walk.back();
        walk.pop_back();
        const NodeIndex named = listed_node(graph.node_at(node), node);
        if (named != kNoIndex && !listed[named]) {
            listed[named] = true;
            order.push_back(input.node_at(named).id);
        }
        const ChildList children = traversal.child_lists[node];
        for (std::size_t i = children.begin + children.size; i-- > children.begin;) {
            walk.push_back(traversal.child_nodes[i]);
        }
    }
    return order;
}

// The walk with child lists, in the lent scratch or in `own`; polls `stop` when given.
Failable<const TreeTraversal*> ordered_walk(const GraphWrap& graph, std::string_view root_id,
                                            const Exclusion& excluded, TreeScratch* scratch,
                                            std::optional<TreeScratch>& own, StopPoll* stop) {
    TreeScratch& used = scratch != nullptr ? *scratch : own.emplace(scratch_for_one_walk(graph));
    Failable<void> walked = traverse_whole_tree(graph, root_id, excluded, true, used, stop);
    if (!walked) return std::unexpected(std::move(walked.error()));
    return &used.traversal;
}

}  // namespace

Failable<std::vector<std::string>> to_tree_node_order(const GraphWrap& graph, std::string_view root_id,
                                                      const Exclusion& excluded, const GraphWrap& input,
                                                      TreeScratch* scratch) {
    std::optional<TreeScratch> own;
    auto traversal = ordered_walk(graph, root_id, excluded, scratch, own, nullptr);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    return node_order_of(graph, **traversal, input);
}

std::vector<std::string> node_order_of_walk(const GraphWrap& graph, const TreeScratch& scratch,
                                            const GraphWrap& input) {
    QUORL_ASSERT(scratch.traversal.child_lists.size() >= graph.node_bound());
    return node_order_of(graph, scratch.traversal, input);
}

Failable<std::vector<std::string>> to_tree_node_order_checked(const GraphWrap& graph, std::string_view root_id,
                                                              const Exclusion& excluded, const GraphWrap& input,
                                                              StopPoll* stop, TreeScratch* scratch) {
    std::optional<TreeScratch> own;
    auto traversal = ordered_walk(graph, root_id, excluded, scratch, own, stop);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    // What written_tree checks before it writes.
    const TreeTraversal& walked = **traversal;
    const TextId root = walked.finished[walked.root].text;
    if (root == kNoText) return std::unexpected(std::string(kUnbuiltTree));
    if (stop != nullptr && !walked.texts.fits_written(root, *stop)) return std::unexpected(std::string(kInterruptedWalk));
    return node_order_of(graph, walked, input);
}

Failable<TreeTextWithOrder> to_tree_string_with_node_order(const GraphWrap& graph, std::string_view root_id,
                                                           const Exclusion& excluded, const GraphWrap& input,
                                                           StopPoll* stop, TreeScratch* scratch) {
    std::optional<TreeScratch> own;
    auto traversal = ordered_walk(graph, root_id, excluded, scratch, own, stop);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    Failable<TreeText> tree = written_tree(**traversal, false, stop);
    if (!tree) return std::unexpected(std::move(tree.error()));
    return TreeTextWithOrder{std::move(*tree), node_order_of(graph, **traversal, input)};
}

}  // namespace quorl
