#include "dag/candidate_buckets.hpp"

namespace quorl {

bool is_cobound_on(const GraphWrap& graph, EdgeIndex edge, std::int32_t floor) {
    if (!graph.has_edge(edge)) return false;
    const auto [first, second] = graph.endpoints(edge);
    return graph.node_at(first).meta.floor == floor && graph.node_at(second).meta.floor == floor;
}

bool collect_join_edges(const GraphWrap& graph, NodeIndex node, std::int32_t floor, std::vector<EdgeIndex>& edges) {
    edges.clear();
    const NodeData* data = graph.node(node);
    if (data == nullptr || data->meta.floor != floor) return false;
    graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
        const std::optional<std::int32_t>& other_floor = graph.node_at(other).meta.floor;
        if (other_floor && *other_floor < floor) edges.push_back(edge);
    });
    return edges.size() >= 2;
}

void CandidateBuckets::rebuild(const GraphWrap& graph) {
    for (auto& bucket : cobound_) bucket.clear();
    for (auto& bucket : joins_) bucket.clear();
    deepest_cobound_.reset();
    deepest_join_.reset();

    // Node slots are large; a compact copy of the floors keeps the edge
    // pass and the inbound walks out of them.
    const NodeIndex node_bound = graph.node_bound();
    floors_.assign(node_bound, kNoFloor);
    inbound_counts_.assign(node_bound, 0);
    for (NodeIndex node = 0; node < node_bound; ++node) {
        const NodeData* data = graph.node(node);
        if (data != nullptr && data->meta.floor) floors_[node] = *data->meta.floor;
    }

    // Cobound pairs in edge index order; an edge to a deeper node on a
    // floor not below 0 is one of that node's inbound edges.
    const EdgeIndex edge_bound = graph.edge_bound();
    for (EdgeIndex edge = 0; edge < edge_bound; ++edge) {
        if (!graph.has_edge(edge)) continue;
        const auto [first, second] = graph.endpoints(edge);
        const std::int64_t first_floor = floors_[first];
        const std::int64_t second_floor = floors_[second];
        if (first_floor == kNoFloor || second_floor == kNoFloor) continue;
        if (first_floor == second_floor) {
            if (first_floor < 0) continue;
            const auto floor = static_cast<std::int32_t>(first_floor);
            bucket_at(cobound_, floor).push_back(CoboundPair{edge, floor});
            if (!deepest_cobound_ || floor > *deepest_cobound_) deepest_cobound_ = floor;
        } else {
            const NodeIndex deeper = first_floor > second_floor ? first : second;
            if (floors_[deeper] >= 0) ++inbound_counts_[deeper];
        }
    }

    // Join entries in node index order, inbound edges in adjacency order.
    for (NodeIndex node = 0; node < node_bound; ++node) {
        if (inbound_counts_[node] < 2) continue;
        const std::int64_t floor = floors_[node];
        JoinEntry join{{}, static_cast<std::int32_t>(floor), node};
        join.inbound_edges.reserve(inbound_counts_[node]);
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            if (floors_[other] != kNoFloor && floors_[other] < floor) join.inbound_edges.push_back(edge);
        });
        bucket_at(joins_, join.floor).push_back(std::move(join));
        if (!deepest_join_ || floor > *deepest_join_) deepest_join_ = static_cast<std::int32_t>(floor);
    }
}

}  // namespace quorl
