// A graph's incidences packed by node, for the searches a call makes before
// any rewrite (candidate degrees, shared nodes, depth bounds): they read a few
// flat arrays instead of the store's much larger slots and linked lists.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

class PackedIncidences {
public:
    // The incidences of a graph without nodes (and no memory held).
    PackedIncidences() = default;
    // One pass over the store; a copy of its incidences as they are now.
    explicit PackedIncidences(const GraphWrap& graph) { refill(graph); }
    // The same into this instance's buffers, which keep their memory.
    void refill(const GraphWrap& graph);

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

private:
    std::vector<std::uint32_t> begin_;  // by node index, one more at the end
    std::vector<NodeIndex> neighbours_;
    std::vector<std::uint8_t> first_end_;  // bytes: filled once, read on every search
    std::uint32_t node_count_ = 0;
};

}  // namespace quorl
