#include "canonize/pruning.hpp"

#include <algorithm>

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

}  // namespace

IdSet prune_graph(GraphWrap& graph, const std::vector<std::string>& candidate_ids) {
    for (NodeIndex n = 0; n < graph.node_bound(); ++n) {
        if (NodeData* data = graph.node(n)) {
            data->meta.prune_source.reset();
            data->meta.prune_sources.clear();
        }
    }

    // Candidate membership by node: an id that names no node matches no node,
    // so this answers exactly what a set of the candidate ids would.
    std::vector<bool> is_candidate(graph.node_bound(), false);
    for (const std::string& id : candidate_ids) {
        if (const auto node = graph.find_node(id)) is_candidate[*node] = true;
    }

    // Each flood enqueues a node at most once, so the queue never outgrows the
    // node count; it is read from `front` and reused by every flood.
    std::vector<FloodStep> queue;
    queue.reserve(graph.node_count());
    for (const std::string& candidate : candidate_ids) {
        const auto start = graph.find_node(candidate);
        if (!start) continue;
        queue.clear();
        queue.push_back(FloodStep{kNoIndex, *start});
        for (std::size_t front = 0; front < queue.size(); ++front) {
            const FloodStep step = queue[front];
            graph.for_each_incident(step.node, [&](EdgeIndex, NodeIndex neighbour) {
                if (neighbour == step.parent || is_candidate[neighbour]) return;
                if (claim(graph.node_at(neighbour).meta, candidate)) {
                    queue.push_back(FloodStep{step.node, neighbour});
                }
            });
        }
    }

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

}  // namespace quorl
