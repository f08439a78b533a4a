// Levelling a graph breadth-first from a root into floors.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// Floor f's node indices in visit order, for every floor from 0 to the deepest.
using FloorTable = std::vector<std::vector<NodeIndex>>;

struct LevelledNode {
    NodeIndex node;
    std::int32_t floor;
};

// Writes each reachable node's floor (hop distance from the root over
// non-excluded nodes) and clears every node's floor and magnet cache first.
// Fails with "unknown root id '{}'" and changes nothing when the root is absent.
Failable<FloorTable> compute_floors(GraphWrap& graph, std::string_view root_id, const Exclusion& excluded);

// The same levelling as compute_floors, with the same effect on the graph,
// returned as the reached nodes in visit order: one list instead of one per
// floor, for callers that do not need the floors apart.
Failable<std::vector<LevelledNode>> level_nodes(GraphWrap& graph, std::string_view root_id,
                                                const Exclusion& excluded);

}  // namespace quorl
