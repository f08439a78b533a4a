// The conflicts that stop a levelled graph from being a tree, by floor:
// cobound edges (both ends on one floor) and join nodes (two or more edges to
// lower floors).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "dag/cobound.hpp"
#include "dag/inbound.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// How the rewrite finds each pass's conflicts. Both give every pass the same
// buckets for the floors it reads.
enum class ConflictSearch : std::uint8_t {
    // Buckets carried from pass to pass; a pass looks again only at the edges
    // the previous step added and at the deepest floors' entries.
    Incremental,
    // Every pass rescans the whole working copy: the straightforward
    // procedure, kept as the reference the incremental one is tested against.
    FullScan,
};

// Inner vectors and scratch arrays keep their capacity between passes.
class CandidateBuckets {
public:
    // Cobound pairs in edge index order, join entries in node index order
    // with their inbound edges in adjacency order; only floors not below 0.
    // One pass over the nodes and one over the edges.
    void rebuild(const GraphWrap& graph);

    // Brings the buckets from the graph as the last rebuild or update saw it
    // to the graph as it is now, given every edge added in between (as the
    // store lists them, see GraphWrap::list_added_edges). Afterwards the
    // deepest floors and the buckets of those floors are exactly what
    // rebuild would give; the buckets of other floors are not to be read.
    void update(const GraphWrap& graph, std::span<const EdgeIndex> added_edges);

    std::optional<std::int32_t> deepest_cobound() const { return deepest_cobound_; }
    std::optional<std::int32_t> deepest_join() const { return deepest_join_; }
    bool empty() const { return !deepest_cobound_ && !deepest_join_; }
    const std::vector<CoboundPair>& cobound_on(std::int32_t floor) const { return cobound_[index_of(floor)]; }
    const std::vector<JoinEntry>& joins_on(std::int32_t floor) const { return joins_[index_of(floor)]; }

private:
    // Below every signed 32-bit floor.
    static constexpr std::int64_t kNoFloor = std::numeric_limits<std::int64_t>::min();

    static std::size_t index_of(std::int32_t floor) { return static_cast<std::size_t>(floor); }

    template <class Item>
    static std::vector<Item>& bucket_at(std::vector<std::vector<Item>>& buckets, std::int32_t floor) {
        if (index_of(floor) >= buckets.size()) buckets.resize(index_of(floor) + 1);
        return buckets[index_of(floor)];
    }

    void note_added_edge(const GraphWrap& graph, EdgeIndex edge);
    bool refresh_cobound(const GraphWrap& graph, std::int32_t floor);
    bool refresh_joins(const GraphWrap& graph, std::int32_t floor);
    // Walks the floors that may hold entries from the top down, refreshing
    // each, to the first that still holds one.
    std::optional<std::int32_t> refreshed_deepest(const GraphWrap& graph, std::int64_t& top, bool joins);

    std::vector<std::vector<CoboundPair>> cobound_;
    std::vector<std::vector<JoinEntry>> joins_;
    std::optional<std::int32_t> deepest_cobound_;
    std::optional<std::int32_t> deepest_join_;
    std::vector<std::int64_t> floors_;
    std::vector<std::uint32_t> inbound_counts_;

    // Incremental upkeep: what may have become a conflict since a floor's
    // bucket was last refreshed (edges, and nodes that gained an inbound
    // edge), and the highest floor whose bucket may hold anything.
    std::vector<std::vector<CoboundPair>> cobound_added_;
    std::vector<std::vector<NodeIndex>> joins_added_;
    std::int64_t top_cobound_ = -1;
    std::int64_t top_join_ = -1;
    std::vector<NodeIndex> join_nodes_;
};

}  // namespace quorl
