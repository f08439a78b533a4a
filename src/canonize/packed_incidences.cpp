#include "canonize/packed_incidences.hpp"

namespace quorl {

void PackedIncidences::refill(const GraphWrap& graph) {
    node_count_ = graph.node_count();
    // A node's incidences follow the previous node's, a self-loop listed
    // once, so at most two per edge; written through plain pointers, which
    // the store's walk cannot move.
    begin_.resize(std::size_t{graph.node_bound()} + 1);
    neighbours_.resize(2 * std::size_t{graph.edge_count()});
    first_end_.resize(neighbours_.size());
    NodeIndex* const neighbours = neighbours_.data();
    std::uint8_t* const first_ends = first_end_.data();
    std::uint32_t at = 0;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        begin_[node] = at;
        if (!graph.has_node(node)) continue;
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            neighbours[at] = other;
            first_ends[at] = static_cast<std::uint8_t>(graph.endpoints(edge).first == node);
            ++at;
        });
    }
    begin_.back() = at;
    neighbours_.resize(at);
    first_end_.resize(at);
}

}  // namespace quorl
