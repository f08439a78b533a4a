#include <optional>
#include <string>
#include <unordered_set>

#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

namespace {

std::vector<std::string> node_order_of(const GraphWrap& graph, const TreeTraversal& traversal) {
    // Pre-order along the recorded child lists. A node listed by several
    // parents is walked once per listing; its base id is listed once. A base
    // id that is some node's whole id is marked by that node's index, so only
    // base ids naming no node are hashed; the set is only looked up, so its
    // order never reaches the result.
    std::vector<bool> listed_node_ids(graph.node_bound(), false);
    std::unordered_set<std::string_view> listed_other_ids;
    const auto first_listing = [&](NodeIndex node, std::string_view id) {
        const std::size_t at = id.find('@');
        std::optional<NodeIndex> named = node;
        if (at != std::string_view::npos) named = graph.find_node(id.substr(0, at));
        if (!named) return listed_other_ids.insert(id.substr(0, at)).second;
        if (listed_node_ids[*named]) return false;
        listed_node_ids[*named] = true;
        return true;
    };

    std::vector<std::string> order;
    std::vector<NodeIndex> walk{traversal.root};
    while (!walk.empty()) {
        const NodeIndex node = walk.back();
        walk.pop_back();
        const NodeData& data = graph.node_at(node);
        if (!data.meta.is_mirror && !data.meta.is_virtual && first_listing(node, data.id)) {
            order.emplace_back(data.id.substr(0, data.id.find('@')));
        }
        const ChildList children = traversal.child_lists[node];
        for (std::size_t i = children.begin + children.size; i-- > children.begin;) {
            walk.push_back(traversal.child_nodes[i]);
        }
    }
    return order;
}

}  // namespace

Failable<std::vector<std::string>> to_tree_node_order(const GraphWrap& graph, std::string_view root_id,
                                                      const Exclusion& excluded) {
    auto traversal = traverse_tree(graph, root_id, excluded, true, true);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    return node_order_of(graph, *traversal);
}

Failable<TreeTextWithOrder> to_tree_string_with_node_order(const GraphWrap& graph, std::string_view root_id,
                                                           const Exclusion& excluded) {
    auto traversal = traverse_tree(graph, root_id, excluded, true, true);
    if (!traversal) return std::unexpected(std::move(traversal.error()));
    Failable<TreeText> tree = written_tree(*traversal);
    if (!tree) return std::unexpected(std::move(tree.error()));
    return TreeTextWithOrder{std::move(*tree), node_order_of(graph, *traversal)};
}

}  // namespace quorl
