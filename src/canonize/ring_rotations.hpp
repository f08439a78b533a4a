// Candidate roots on a ring that rotations of the ring map onto each other.
//
// On a component that is a simple cycle, every node a candidate (all have the
// greatest degree, 2) and none shared, the levelling from any root makes two
// paths that meet at the far node (one join) or the far edge (one cobound
// edge); the rewrite resolves that one conflict, and it and the writers read
// labels, modalities and the shape, never ids, except to order equal texts.
// A rotation that maps the ring's labels and modalities onto themselves thus
// maps the rewrite and the texts rooted at one node onto those rooted at its
// image: both have the same scoring entry and the same final text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/graph_wrap.hpp"

namespace quorl {

class RingRotations {
public:
    // Costs one walk round each ring that holds candidates; nothing when the
    // candidates' degree is not 2. `single_cycle(i)` says whether candidate
    // i's component has exactly one independent cycle (as many edges as
    // nodes); no walk starts from a candidate where it does not. Such a
    // component is no simple cycle, since on a simple cycle every node has
    // its two edges to its two ring neighbours, so the cycle is the whole
    // component; a walk there would find no ring and give no class.
    template <class SingleCycle>
    RingRotations(const GraphWrap& graph, std::span<const NodeIndex> candidates, SingleCycle&& single_cycle);
    RingRotations(const GraphWrap& graph, std::span<const NodeIndex> candidates)
        : RingRotations(graph, candidates, [](std::size_t) { return true; }) {}

    // Candidates of one class are images of each other under rotations of
    // their ring; nothing for a candidate on no such ring.
    std::optional<std::uint32_t> class_of(std::size_t candidate) const {
        if (class_of_candidate_.empty() || class_of_candidate_[candidate] == kNoClass) return std::nullopt;
        return class_of_candidate_[candidate];
    }
    std::uint32_t class_count() const { return class_count_; }

private:
    static constexpr std::uint32_t kNoClass = UINT32_MAX;
    // Numbers the classes of the ring through `start` into class_by_node,
    // when its component is a simple cycle of bare-labelled nodes.
    void classify_ring(const GraphWrap& graph, NodeIndex start, std::vector<std::uint32_t>& class_by_node,
                       std::vector<bool>& walked);

    // Whether all candidates share a degree of 2.
    static bool degree_two(const GraphWrap& graph, std::span<const NodeIndex> candidates);

    std::vector<std::uint32_t> class_of_candidate_;
    std::uint32_t class_count_ = 0;
};

template <class SingleCycle>
RingRotations::RingRotations(const GraphWrap& graph, std::span<const NodeIndex> candidates,
                             SingleCycle&& single_cycle) {
    if (!degree_two(graph, candidates)) return;
    std::size_t first = 0;
    while (first < candidates.size() && !single_cycle(first)) ++first;
    if (first == candidates.size()) return;
    std::vector<std::uint32_t> class_by_node(graph.node_bound(), kNoClass);
    std::vector<bool> walked(graph.node_bound(), false);
    class_of_candidate_.assign(candidates.size(), kNoClass);
    for (std::size_t i = first; i < candidates.size(); ++i) {
        if (!walked[candidates[i]] && single_cycle(i)) classify_ring(graph, candidates[i], class_by_node, walked);
        class_of_candidate_[i] = class_by_node[candidates[i]];
    }
}

}  // namespace quorl
