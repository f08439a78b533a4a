#include "canonize/ring_rotations.hpp"

#include <string_view>

#include "tree/tree_string.hpp"

namespace quorl {

namespace {

std::uint32_t incidence_count(const GraphWrap& graph, NodeIndex node) {
    std::uint32_t count = 0;
    graph.for_each_incident(node, [&](EdgeIndex, NodeIndex) { ++count; });
    return count;
}

// One node of a ring walked round: its label and the modality of the edge
// on to the next node.
struct RingStep {
    NodeIndex node;
    std::string_view label;
    std::string_view modality;
    bool operator==(const RingStep& other) const { return label == other.label && modality == other.modality; }
};

// The smallest p > 0 with ring[k] == ring[(k + p) mod n] for every k: the
// smallest period of the sequence that divides its length, else its length.
std::size_t smallest_rotation(const std::vector<RingStep>& ring) {
    const std::size_t n = ring.size();
    std::vector<std::size_t> border(n, 0);  // longest proper border of each prefix
    for (std::size_t i = 1; i < n; ++i) {
        std::size_t k = border[i - 1];
        while (k > 0 && !(ring[i] == ring[k])) k = border[k - 1];
        if (ring[i] == ring[k]) ++k;
        border[i] = k;
    }
    const std::size_t period = n - border[n - 1];
    return n % period == 0 ? period : n;
}

}  // namespace

bool RingRotations::degree_two(const GraphWrap& graph, std::span<const NodeIndex> candidates) {
    // All candidates have the greatest degree: unless it is 2, none is on a ring.
    return !candidates.empty() && incidence_count(graph, candidates.front()) == 2;
}

void RingRotations::classify_ring(const GraphWrap& graph, NodeIndex start, std::vector<std::uint32_t>& class_by_node,
                                  std::vector<bool>& walked) {
    // Walks on from the start's first edge, each node left by the edge it was
    // not entered by. Every node is walked at most once over all calls: a
    // walk that meets a walked node other than its start, or a node with other
    // than two edges to two other nodes, is not on a simple cycle and stops.
    std::vector<RingStep> ring;
    NodeIndex previous = kNoIndex;
    NodeIndex node = start;
    do {
        if (walked[node]) return;
        walked[node] = true;
        const NodeData& data = graph.node_at(node);
        if (!writes_bare_label(data)) return;
        EdgeIndex edges[2] = {kNoIndex, kNoIndex};
        NodeIndex others[2] = {kNoIndex, kNoIndex};
        std::uint32_t count = 0;
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            if (count < 2) {
                edges[count] = edge;
                others[count] = other;
            }
            ++count;
        });
        if (count != 2 || others[0] == others[1] || others[0] == node || others[1] == node) return;
        const int next = previous == kNoIndex || others[0] != previous ? 0 : 1;
        ring.push_back({node, data.label, graph.edge_at(edges[next]).modality});
        previous = node;
        node = others[next];
    } while (node != start);

    const std::size_t period = smallest_rotation(ring);
    for (std::size_t k = 0; k < ring.size(); ++k) {
        class_by_node[ring[k].node] = class_count_ + static_cast<std::uint32_t>(k % period);
    }
    class_count_ += static_cast<std::uint32_t>(period);
}

}  // namespace quorl
