// The order-independent name of an edge: its two end ids.
#pragma once

#include <string_view>
#include <utility>

#include "dag/trace.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

using EdgeKey = std::pair<std::string_view, std::string_view>;

// The two end ids, the smaller first by bytes; equal ids keep `first` first.
// The ids are read where the nodes keep them: the key lasts while no node is
// added to or removed from the graph. Precondition: both nodes are live.
EdgeKey edge_key(const GraphWrap& graph, NodeIndex first, NodeIndex second);

// [smaller end id, greater end id] of a live edge, [] for any other index.
JsonValue edge_repr(const GraphWrap& graph, EdgeIndex edge);

}  // namespace quorl
