#include "canonize/packed_incidences.hpp"

namespace quorl {

PackedIncidences::PackedIncidences(const GraphWrap& graph) : node_count_(graph.node_count()) {
    // A node's incidences follow the previous node's, a self-loop listed
    // once, so at most two per edge.
    begin_.resize(std::size_t{graph.node_bound()} + 1);
    neighbours_.reserve(2 * std::size_t{graph.edge_count()});
    first_end_.reserve(2 * std::size_t{graph.edge_count()});
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        begin_[node] = static_cast<std::uint32_t>(neighbours_.size());
        if (!graph.has_node(node)) continue;
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            neighbours_.push_back(other);
            first_end_.push_back(static_cast<std::uint8_t>(graph.endpoints(edge).first == node));
        });
    }
    begin_.back() = static_cast<std::uint32_t>(neighbours_.size());
}

}  // namespace quorl
