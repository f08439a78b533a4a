// A graph's incidences packed by node, for the searches a call makes before
// any rewrite (candidate degrees, shared nodes, depth bounds): they read a few
// flat arrays instead of the store's much larger slots and linked lists.
// Packed with their walk data, they also serve the walks of the graph itself.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

class PackedIncidences {
public:
    // The incidences of a graph without nodes (and no memory held).
    PackedIncidences() = default;
    // Whether a refill also packs what a walk of the graph reads of the
    // store: each incidence's edge modality and each node's bare label.
    enum class WalkData : bool { Leave, Pack };

    // One pass over the store; a copy of its incidences as they are now.
    explicit PackedIncidences(const GraphWrap& graph, WalkData walk_data = WalkData::Leave) {
        refill(graph, walk_data);
    }
    // The same into this instance's buffers, which keep their memory.
    void refill(const GraphWrap& graph, WalkData walk_data = WalkData::Leave);

    // Whether the walk data describe `graph`, as it was when packed: the
    // caller vouches that it has not changed since.
    bool has_walk_data_of(const GraphWrap& graph) const { return walk_graph_ == &graph; }

    NodeIndex node_bound() const { return begin_.empty() ? 0 : static_cast<NodeIndex>(begin_.size() - 1); }
    std::uint32_t node_count() const { return node_count_; }

    // The node's incidences, as for_each_incident counts them (a self-loop
    // once); none for a vacant slot.
    std::uint32_t degree(NodeIndex node) const { return begin_[node + 1] - begin_[node]; }

    // Calls visit(neighbour, first_end) for a node's neighbours in the
    // store's neighbour order; first_end tells whether the node is the edge's
    // first endpoint (a self-loop is listed once, as a first end).
    template <class Visit>
    void for_each_neighbour(NodeIndex node, Visit&& visit) const {
        // Local bounds: the visitors' stores cannot move them.
        const std::uint32_t begin = begin_[node];
        const std::uint32_t end = begin_[node + 1];
        const NodeIndex* const neighbours = neighbours_.data();
        const std::uint8_t* const first_ends = first_end_.data();
        for (std::uint32_t at = begin; at < end; ++at) visit(neighbours[at], first_ends[at] != 0);
    }

    // Calls visit(neighbour, modality) for a node's neighbours in the store's
    // neighbour order, with the modality of the edge each is reached by. The
    // modality's bytes are the edge's own, though they may lie in another
    // edge's record (see refill). Needs walk data.
    template <class Visit>
    void for_each_walk_neighbour(NodeIndex node, Visit&& visit) const {
        const std::uint32_t begin = begin_[node];
        const std::uint32_t end = begin_[node + 1];
        const NodeIndex* const neighbours = neighbours_.data();
        const std::uint32_t* const modalities = modality_of_.data();
        const std::string_view* const table = modalities_.data();
        for (std::uint32_t at = begin; at < end; ++at) visit(neighbours[at], table[modalities[at]]);
    }
    // A live node's label when it is written bare (writes_bare_label), else a
    // view without data. Needs walk data.
    std::string_view bare_label(NodeIndex node) const { return labels_[label_of_[node]]; }

private:
    class SharedViews;
    // The two ways to fill the incidences of refill: following each node's
    // lists, or passing over the edges in index order when the lists follow
    // it, with `modalities` their places too. The number of incidences filled.
    std::uint32_t fill_by_lists(const GraphWrap& graph);
    std::uint32_t fill_by_edge_order(const GraphWrap& graph, SharedViews* modalities);
    // The rest of the walk data: each incidence's modality, following the
    // lists as fill_by_lists does, and each node's bare label.
    void pack_modalities_by_lists(const GraphWrap& graph, SharedViews& modalities);
    void pack_bare_labels(const GraphWrap& graph);

    std::vector<std::uint32_t> begin_;  // by node index, one more at the end
    std::vector<NodeIndex> neighbours_;
    std::vector<std::uint8_t> first_end_;  // bytes: filled once, read on every search
    std::uint32_t node_count_ = 0;
    // Walk data, for walk_graph_ only: by incidence, where its modality
    // stands in modalities_; by node, where its bare label stands in labels_
    // (at 0, a view without data, for nodes without one). Places, not views,
    // keep the tables a quarter of the size.
    const GraphWrap* walk_graph_ = nullptr;
    std::vector<std::uint32_t> modality_of_;
    std::vector<std::string_view> modalities_;
    std::vector<std::uint32_t> label_of_;
    std::vector<std::string_view> labels_;
};

}  // namespace quorl
