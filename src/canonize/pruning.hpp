// Which nodes the candidate roots of a graph share.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "graph/exclusion.hpp"
#include "graph/graph_wrap.hpp"
#include "graph/packed_incidences.hpp"

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

// What the search for shared nodes works in, kept from one search to the next.
struct SharedNodeSearch {
    // By region of the graph without the candidates: the last candidate seen
    // touching it, and whether another did before.
    struct Region {
        NodeIndex toucher;
        bool touched_twice = false;
    };
    std::vector<std::uint32_t> region_of;  // by node index
    std::vector<Region> regions;
    std::vector<NodeIndex> queue;
};

// The same flags into `shared`, searching in `search`; both keep their memory.
void shared_nodes(const PackedIncidences& incidences, std::span<const NodeIndex> candidates,
                  SharedNodeSearch& search, std::vector<bool>& shared);

}  // namespace quorl
