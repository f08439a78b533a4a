// The connected components of a graph store.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

// The component of every live node, listed in ascending node index order:
// components are numbered from 0 in the order of their lowest node index, so
// the result depends only on the store's indices and edges. Self-loops and
// parallel edges join nothing new; vacant slots are skipped.
std::vector<std::uint32_t> component_numbers(const GraphWrap& graph);

}  // namespace quorl
