#include <string>
#include <unordered_set>

#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

Failable<std::vector<std::string>> to_tree_node_order(const GraphWrap& graph, std::string_view root_id,
                                                      const Exclusion& excluded) {
    auto traversal = traverse_tree(graph, root_id, excluded, true, true);
    if (!traversal) return std::unexpected(std::move(traversal.error()));

    // Pre-order along the recorded child lists. A node listed by several
    // parents is walked once per listing; its base id is listed once. The
    // seen set is only looked up, so its order never reaches the result.
    std::vector<std::string> order;
    std::unordered_set<std::string_view> seen;
    seen.reserve(graph.node_count());
    std::vector<NodeIndex> walk{traversal->root};
    while (!walk.empty()) {
        const NodeIndex node = walk.back();
        walk.pop_back();
        const NodeData& data = graph.node_at(node);
        if (!data.meta.is_mirror && !data.meta.is_virtual) {
            const std::string_view id = data.id;
            const std::string_view base_id = id.substr(0, id.find('@'));
            if (seen.insert(base_id).second) order.emplace_back(base_id);
        }
        const ChildList children = traversal->child_lists[node];
        for (std::size_t i = children.begin + children.size; i-- > children.begin;) {
            walk.push_back(traversal->child_nodes[i]);
        }
    }
    return order;
}

}  // namespace quorl
