#include "graph/floors.hpp"

#include <cstddef>
#include <string>
#include <utility>

namespace quorl {

Failable<std::vector<LevelledNode>> level_nodes(GraphWrap& graph, std::string_view root_id,
                                                const Exclusion& excluded) {
    const std::optional<NodeIndex> root = graph.find_node(root_id);
    if (!root) return std::unexpected("unknown root id '" + std::string(root_id) + "'");

    const NodeIndex bound = graph.node_bound();
    for (NodeIndex n = 0; n < bound; ++n) {
        NodeData* node = graph.node(n);
        if (node == nullptr) continue;
        NodeMeta& meta = node->meta;
        meta.floor.reset();
        meta.magnet.reset();
        meta.magnet_digest.reset();
        meta.magnet_digest_alt.reset();
        meta.magnet_flag = false;
    }

    // Breadth-first: the queue is a vector read from `head`, so each node's
    // floor is the one it was queued with and floors never decrease. A node
    // is found once its floor is set (all were cleared above).
    std::vector<LevelledNode> queue;
    queue.reserve(graph.node_count());
    queue.push_back({*root, 0});
    graph.node_at(*root).meta.floor = 0;

    // Most levellings exclude nothing, and need not ask for every node.
    const bool filtered = !excluded.excludes_nothing();
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const auto [n, floor] = queue[head];
        // Inlined: once per edge end of every reached node.
        graph.for_each_incident(n, [&](EdgeIndex, NodeIndex m) __attribute__((always_inline)) {
            NodeMeta& meta = graph.node_at(m).meta;
            if (meta.floor.has_value() || (filtered && excluded.excludes(graph, m))) return;
            meta.floor = floor + 1;
            queue.push_back({m, floor + 1});
        });
    }
    return queue;
}

Failable<FloorTable> compute_floors(GraphWrap& graph, std::string_view root_id, const Exclusion& excluded) {
    Failable<std::vector<LevelledNode>> levelled = level_nodes(graph, root_id, excluded);
    if (!levelled) return std::unexpected(std::move(levelled.error()));
    FloorTable table;
    for (const auto [node, floor] : *levelled) {
        if (static_cast<std::size_t>(floor) == table.size()) table.emplace_back();
        table[static_cast<std::size_t>(floor)].push_back(node);
    }
    return table;
}

}  // namespace quorl
