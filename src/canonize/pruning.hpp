// Which nodes the candidate roots of a graph share.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "canonize/packed_incidences.hpp"
#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// Floods the graph breadth-first from each candidate in the given order, never
// entering a candidate's node, and records on every node the candidates that
// reached it (`prune_source`, `prune_sources`; cleared first on every live
// node, so no claim of an earlier call survives). Returns the ids of the nodes
// reached by two or more candidates. Candidate ids that name no node are
// ignored. Only the claim fields are written.
IdSet prune_graph(GraphWrap& graph, const std::vector<std::string>& candidate_ids);

// Flags, by node index, the nodes that prune_graph would return for these
// candidates (distinct live nodes) on the graph of `incidences`, without
// flooding once per candidate and without the claim fields.
std::vector<bool> shared_nodes(const PackedIncidences& incidences, std::span<const NodeIndex> candidates);

}  // namespace quorl
