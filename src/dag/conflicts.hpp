// The conflicts that stop a levelled graph from being a tree, as the rewrite
// driver finds them: cobound edges and join nodes.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

// An edge whose two ends lie on `floor`.
struct CoboundPair {
    EdgeIndex edge = kNoIndex;
    std::int32_t floor = 0;
};

// A node with two or more edges to neighbours on lower floors: the inbound
// edges in the node's adjacency order.
struct JoinEntry {
    std::vector<EdgeIndex> inbound_edges;
    std::int32_t floor = 0;
    NodeIndex node = kNoIndex;
};

}  // namespace quorl
