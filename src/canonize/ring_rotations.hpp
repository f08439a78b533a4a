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
    // candidates' degree is not 2.
    RingRotations(const GraphWrap& graph, std::span<const NodeIndex> candidates);

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

    std::vector<std::uint32_t> class_of_candidate_;
    std::uint32_t class_count_ = 0;
};

}  // namespace quorl
