// Levelling a graph breadth-first from a root into floors.
#pragma once

#include <string_view>
#include <vector>

#include "error/quorl_error.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// Floor f's node indices in visit order, for every floor from 0 to the deepest.
using FloorTable = std::vector<std::vector<NodeIndex>>;

// Writes each reachable node's floor (hop distance from the root over
// non-excluded nodes) and clears every node's floor and magnet cache first.
// Fails with "unknown root id '{}'" and changes nothing when the root is absent.
Failable<FloorTable> compute_floors(GraphWrap& graph, std::string_view root_id, const Exclusion& excluded);

}  // namespace quorl
