// The conflicts that stop a levelled graph from being a tree, by floor:
// cobound edges (both ends on one floor) and join nodes (two or more edges to
// lower floors).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "dag/cobound.hpp"
#include "dag/inbound.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// Rebuilt by one pass over the nodes and one over the edges. Inner vectors
// and scratch arrays keep their capacity between rebuilds.
class CandidateBuckets {
public:
    // Cobound pairs in edge index order, join entries in node index order
    // with their inbound edges in adjacency order; only floors not below 0.
    void rebuild(const GraphWrap& graph);

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

    std::vector<std::vector<CoboundPair>> cobound_;
    std::vector<std::vector<JoinEntry>> joins_;
    std::optional<std::int32_t> deepest_cobound_;
    std::optional<std::int32_t> deepest_join_;
    std::vector<std::int64_t> floors_;
    std::vector<std::uint32_t> inbound_counts_;
};

}  // namespace quorl
