#include "dag/edge_key.hpp"

namespace quorl {

EdgeKey edge_key(const GraphWrap& graph, NodeIndex first, NodeIndex second) {
    const std::string_view first_id = graph.node_at(first).id;
    const std::string_view second_id = graph.node_at(second).id;
    if (second_id < first_id) return {second_id, first_id};
    return {first_id, second_id};
}

JsonValue edge_repr(const GraphWrap& graph, EdgeIndex edge) {
    if (!graph.has_edge(edge)) return {JsonArray{}};
    const auto [first, second] = graph.endpoints(edge);
    const EdgeKey key = edge_key(graph, first, second);
    return {JsonArray{{std::string(key.first)}, {std::string(key.second)}}};
}

}  // namespace quorl
