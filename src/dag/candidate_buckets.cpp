#include "dag/candidate_buckets.hpp"

#include <algorithm>

namespace quorl {

namespace {

bool is_cobound_on(const GraphWrap& graph, EdgeIndex edge, std::int32_t floor) {
    if (!graph.has_edge(edge)) return false;
    const auto [first, second] = graph.endpoints(edge);
    return graph.node_at(first).meta.floor == floor && graph.node_at(second).meta.floor == floor;
}

// The node's inbound edges in adjacency order, when it is a join on `floor`.
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

// Merges the sorted `added` items into the sorted `items`, once each.
template <class Item, class Key>
void merge_added(std::vector<Item>& items, std::vector<Item>& added, Key key) {
    if (added.empty()) return;
    std::sort(added.begin(), added.end(), [&](const Item& a, const Item& b) { return key(a) < key(b); });
    const std::size_t old_size = items.size();
    items.insert(items.end(), added.begin(), added.end());
    std::inplace_merge(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(old_size), items.end(),
                       [&](const Item& a, const Item& b) { return key(a) < key(b); });
    items.erase(std::unique(items.begin(), items.end(), [&](const Item& a, const Item& b) { return key(a) == key(b); }),
                items.end());
    added.clear();
}

}  // namespace

void CandidateBuckets::rebuild(const GraphWrap& graph) {
    for (auto& bucket : cobound_) bucket.clear();
    for (auto& bucket : joins_) bucket.clear();
    for (auto& added : cobound_added_) added.clear();
    for (auto& added : joins_added_) added.clear();
    deepest_cobound_.reset();
    deepest_join_.reset();

    // Node slots are large; a compact copy of the floors keeps the edge
    // pass and the inbound walks out of them.
    floors_.assign(graph.node_bound(), kNoFloor);
    inbound_counts_.assign(graph.node_bound(), 0);
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        const NodeData* data = graph.node(node);
        if (data != nullptr && data->meta.floor) floors_[node] = *data->meta.floor;
    }

    // Cobound pairs in edge index order; an edge to a deeper node on a
    // floor not below 0 is one of that node's inbound edges.
    for (EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
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
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
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
    top_cobound_ = static_cast<std::int64_t>(cobound_.size()) - 1;
    top_join_ = static_cast<std::int64_t>(joins_.size()) - 1;
}

// Why an update gives what a rebuild would: every cobound edge of a floor is
// in that floor's bucket or among its added edges, and every join node of a
// floor in its bucket or among its added nodes. That holds after a rebuild;
// a step changes the working copy only by adding and removing nodes and
// edges, and no node's floor ever changes (the copy is levelled once, and
// every node a step makes comes with its floor). A removal can only end a
// conflict or shorten an inbound list; an edge becomes cobound, and a node
// gains an inbound edge, only when that edge is added, and every added edge
// is noted here. A refresh then recomputes each listed edge and node from the
// graph by the rules rebuild uses, in index order, so a refreshed bucket
// holds exactly rebuild's entries; floors above the top hold nothing. Work
// skipped: the floors below the deepest ones, which this pass does not read.
void CandidateBuckets::update(const GraphWrap& graph, std::span<const EdgeIndex> added_edges) {
    for (const EdgeIndex edge : added_edges) note_added_edge(graph, edge);
    deepest_cobound_ = refreshed_deepest(graph, top_cobound_, false);
    deepest_join_ = refreshed_deepest(graph, top_join_, true);
}

void CandidateBuckets::note_added_edge(const GraphWrap& graph, EdgeIndex edge) {
    if (!graph.has_edge(edge)) return;  // removed again by the same step
    const auto [first, second] = graph.endpoints(edge);
    const std::optional<std::int32_t> first_floor = graph.node_at(first).meta.floor;
    const std::optional<std::int32_t> second_floor = graph.node_at(second).meta.floor;
    if (!first_floor || !second_floor) return;
    if (*first_floor == *second_floor) {
        if (*first_floor < 0) return;
        bucket_at(cobound_added_, *first_floor).push_back(CoboundPair{edge, *first_floor});
        top_cobound_ = std::max<std::int64_t>(top_cobound_, *first_floor);
        return;
    }
    const bool first_deeper = *first_floor > *second_floor;
    const std::int32_t floor = first_deeper ? *first_floor : *second_floor;
    if (floor < 0) return;
    bucket_at(joins_added_, floor).push_back(first_deeper ? first : second);
    top_join_ = std::max<std::int64_t>(top_join_, floor);
}

bool CandidateBuckets::refresh_cobound(const GraphWrap& graph, std::int32_t floor) {
    std::vector<CoboundPair>& bucket = bucket_at(cobound_, floor);
    merge_added(bucket, bucket_at(cobound_added_, floor), [](const CoboundPair& pair) { return pair.edge; });
    std::erase_if(bucket, [&](const CoboundPair& pair) { return !is_cobound_on(graph, pair.edge, floor); });
    return !bucket.empty();
}

bool CandidateBuckets::refresh_joins(const GraphWrap& graph, std::int32_t floor) {
    std::vector<JoinEntry>& bucket = bucket_at(joins_, floor);
    join_nodes_.clear();
    for (const JoinEntry& entry : bucket) join_nodes_.push_back(entry.node);
    merge_added(join_nodes_, bucket_at(joins_added_, floor), [](NodeIndex node) { return node; });
    // Entries are rewritten in place, so their edge lists keep their capacity.
    std::size_t kept = 0;
    for (const NodeIndex node : join_nodes_) {
        if (kept == bucket.size()) bucket.emplace_back();
        JoinEntry& entry = bucket[kept];
        if (!collect_join_edges(graph, node, floor, entry.inbound_edges)) continue;
        entry.floor = floor;
        entry.node = node;
        ++kept;
    }
    bucket.resize(kept);
    return kept > 0;
}

std::optional<std::int32_t> CandidateBuckets::refreshed_deepest(const GraphWrap& graph, std::int64_t& top,
                                                                bool joins) {
    for (; top >= 0; --top) {
        const auto floor = static_cast<std::int32_t>(top);
        if (joins ? refresh_joins(graph, floor) : refresh_cobound(graph, floor)) return floor;
    }
    return std::nullopt;
}

}  // namespace quorl
