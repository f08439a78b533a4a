// The conflicts that stop a levelled graph from being a tree, by floor:
// cobound edges (both ends on one floor) and join nodes (two or more edges to
// lower floors).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "dag/conflicts.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// How the rewrite finds the conflict each pass resolves. Both resolve the
// same conflicts in the same order and give the same result, trace lines and
// errors.
enum class ConflictSearch : std::uint8_t {
    // The conflicts are found once, after the levelling, and the entries of
    // each floor are scored once, when the rewrite first turns to that floor,
    // then taken best first (see the driver for why that is exact).
    Incremental,
    // Every pass rescans the whole working copy and scores every entry of the
    // floor it resolves again: the straightforward procedure, kept as the
    // reference the incremental one is tested against.
    FullScan,
};

// True when `edge` is live and both its ends lie on `floor`.
bool is_cobound_on(const GraphWrap& graph, EdgeIndex edge, std::int32_t floor);
// Writes the node's edges to nodes on lower floors into `edges`, in adjacency
// order; true when the node lies on `floor` and has two or more of them.
bool collect_join_edges(const GraphWrap& graph, NodeIndex node, std::int32_t floor, std::vector<EdgeIndex>& edges);

// The cobound pairs and join entries of a graph, by floor. Inner vectors and
// scratch arrays keep their capacity between rebuilds.
class CandidateBuckets {
public:
    // Cobound pairs in edge index order, join entries in node index order
    // with their inbound edges in adjacency order; only floors not below 0.
    // One pass over the nodes and one over the edges.
    void rebuild(const GraphWrap& graph);

    std::optional<std::int32_t> deepest_cobound() const { return deepest_cobound_; }
    std::optional<std::int32_t> deepest_join() const { return deepest_join_; }
    bool empty() const { return !deepest_cobound_ && !deepest_join_; }
    // Empty for a floor that holds nothing.
    std::span<const CoboundPair> cobound_on(std::int32_t floor) const { return bucket_of(cobound_, floor); }
    std::span<const JoinEntry> joins_on(std::int32_t floor) const { return bucket_of(joins_, floor); }

private:
    // Below every signed 32-bit floor.
    static constexpr std::int64_t kNoFloor = std::numeric_limits<std::int64_t>::min();

    static std::size_t index_of(std::int32_t floor) { return static_cast<std::size_t>(floor); }

    template <class Item>
    static std::span<const Item> bucket_of(const std::vector<std::vector<Item>>& buckets, std::int32_t floor) {
        if (floor < 0 || index_of(floor) >= buckets.size()) return {};
        return buckets[index_of(floor)];
    }

    template <class Item>
    static std::vector<Item>& bucket_at(std::vector<std::vector<Item>>& buckets, std::int32_t floor) {
        if (index_of(floor) >= buckets.size()) buckets.resize(index_of(floor) + 1);
        return buckets[index_of(floor)];
    }

    std::vector<std::vector<CoboundPair>> cobound_;
    std::vector<std::vector<JoinEntry>> joins_;
    std::optional<std::int32_t> deepest_cobound_;
    std::optional<std::int32_t> deepest_join_;
    std::vector<std::int64_t> floors_;
    std::vector<std::uint32_t> inbound_counts_;
};

}  // namespace quorl
