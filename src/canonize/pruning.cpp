#include "canonize/pruning.hpp"

#include <algorithm>
#include <cstdint>

namespace quorl {

namespace {

// One step of a candidate's flood: the node reached and the node it was
// reached from (kNoIndex for the candidate itself).
struct FloodStep {
    NodeIndex parent;
    NodeIndex node;
};

// Applies the claim rules to a neighbour reached by `candidate`; true when the
// flood goes on through it.
bool claim(NodeMeta& meta, const std::string& candidate) {
    if (meta.prune_source.has_value()) {
        if (*meta.prune_source == candidate) return false;
        meta.prune_source.reset();  // a second candidate arrives: the node becomes shared
        meta.prune_sources.push_back(candidate);
        return true;
    }
    if (meta.prune_sources.empty()) {
        meta.prune_source = candidate;
        meta.prune_sources.push_back(candidate);
        return true;
    }
    if (std::ranges::find(meta.prune_sources, candidate) != meta.prune_sources.end()) return false;
    meta.prune_sources.push_back(candidate);
    return true;
}

// Floods the graph breadth-first from each candidate in turn, never entering
// a candidate's node; `claim(neighbour, position)` says whether the flood of
// the candidate at `position` goes on through a neighbour it reaches.
template <class Claim>
void flood_from_candidates(const GraphWrap& graph, std::span<const NodeIndex> candidates, Claim&& claim) {
    std::vector<bool> is_candidate(graph.node_bound(), false);
    for (const NodeIndex node : candidates) is_candidate[node] = true;
    // Each flood enqueues a node at most once, so the queue never outgrows the
    // node count; it is read from `front` and reused by every flood.
    std::vector<FloodStep> queue;
    queue.reserve(graph.node_count());
    for (std::size_t position = 0; position < candidates.size(); ++position) {
        queue.clear();
        queue.push_back(FloodStep{kNoIndex, candidates[position]});
        for (std::size_t front = 0; front < queue.size(); ++front) {
            const FloodStep step = queue[front];
            graph.for_each_incident(step.node, [&](EdgeIndex, NodeIndex neighbour) {
                if (neighbour == step.parent || is_candidate[neighbour]) return;
                if (claim(neighbour, position)) queue.push_back(FloodStep{step.node, neighbour});
            });
        }
    }
}

}  // namespace

IdSet prune_graph(GraphWrap& graph, const std::vector<std::string>& candidate_ids) {
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (NodeData* data = graph.node(n)) {
            data->meta.prune_source.reset();
            data->meta.prune_sources.clear();
        }
    }

    // An id that names no node floods nothing and blocks no flood, so the
    // candidates that name nodes flood exactly as the ids would.
    std::vector<NodeIndex> nodes;
    std::vector<const std::string*> ids;
    for (const std::string& id : candidate_ids) {
        if (const auto node = graph.find_node(id)) {
            nodes.push_back(*node);
            ids.push_back(&id);
        }
    }
    flood_from_candidates(graph, nodes, [&](NodeIndex neighbour, std::size_t position) {
        return claim(graph.node_at(neighbour).meta, *ids[position]);
    });

    IdSet shared;
    shared.reserve(graph.node_count());
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        const NodeData* data = graph.node(n);
        if (data != nullptr && !data->meta.prune_source.has_value() && !data->meta.prune_sources.empty()) {
            shared.insert(data->id);
        }
    }
    return shared;
}

std::vector<bool> shared_nodes(const PackedIncidences& incidences, std::span<const NodeIndex> candidates) {
    SharedNodeSearch search;
    std::vector<bool> shared;
    shared_nodes(incidences, candidates, search, shared);
    return shared;
}

void shared_nodes(const PackedIncidences& incidences, std::span<const NodeIndex> candidates,
                  SharedNodeSearch& search, std::vector<bool>& shared) {
    // A flood never enters a candidate's node and goes on through every other
    // node it reaches, so a candidate's flood reaches exactly the regions of
    // the graph without the candidates that touch it. A node is shared when
    // its region touches two candidates or more: one search over the regions
    // instead of a flood per candidate.
    constexpr std::uint32_t kNoRegion = kNoIndex;
    constexpr std::uint32_t kCandidate = kNoIndex - 1;
    std::vector<std::uint32_t>& region_of = search.region_of;
    region_of.assign(incidences.node_bound(), kNoRegion);
    for (const NodeIndex node : candidates) region_of[node] = kCandidate;
    // A region is found from a candidate's neighbour: at most one per incidence of a candidate.
    std::size_t candidate_incidences = 0;
    for (const NodeIndex node : candidates) candidate_incidences += incidences.degree(node);
    std::vector<SharedNodeSearch::Region>& regions = search.regions;
    regions.clear();
    regions.reserve(candidate_incidences);
    std::vector<NodeIndex>& queue = search.queue;
    queue.reserve(incidences.node_count());
    for (const NodeIndex candidate : candidates) {
        incidences.for_each_neighbour(candidate, [&](NodeIndex neighbour, bool) {
            const std::uint32_t region = region_of[neighbour];
            if (region == kCandidate) return;
            if (region != kNoRegion) {
                regions[region].touched_twice |= regions[region].toucher != candidate;
                regions[region].toucher = candidate;
                return;
            }
            const auto found = static_cast<std::uint32_t>(regions.size());
            regions.push_back({candidate});
            queue.assign(1, neighbour);
            region_of[neighbour] = found;
            for (std::size_t front = 0; front < queue.size(); ++front) {
                incidences.for_each_neighbour(queue[front], [&](NodeIndex next, bool) {
                    if (region_of[next] != kNoRegion) return;
                    region_of[next] = found;
                    queue.push_back(next);
                });
            }
        });
    }
    shared.assign(incidences.node_bound(), false);
    for (NodeIndex node = 0; node < incidences.node_bound(); ++node) {
        const std::uint32_t region = region_of[node];
        if (region < regions.size() && regions[region].touched_twice) shared[node] = true;
    }
}

}  // namespace quorl
