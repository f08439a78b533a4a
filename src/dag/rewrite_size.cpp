#include "dag/rewrite_size.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace quorl {

namespace {

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::uint64_t times(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// A region below one node once resolved: nodes, edges, and its text's length.
struct Region {
    std::uint64_t nodes = 1;
    std::uint64_t edges = 0;
    std::uint64_t text = 0;
};

// What the count keeps by node: its floor, its edges up and its region.
struct Counted {
    std::int32_t floor = std::numeric_limits<std::int32_t>::min();  // no node is levelled there
    std::uint32_t inbound = 0;
    Region region;
};

std::uint64_t decimal_digits(std::uint64_t value) {
    std::uint64_t digits = 1;
    for (; value >= 10; value /= 10) ++digits;
    return digits;
}

// "_" + 32 hex digits + "_"; without hashes the region's own text sits between the underscores.
std::uint64_t magnet_bytes(bool allow_hashes) { return allow_hashes ? 34 : 2; }

}  // namespace

RewriteSize count_rewrite(const GraphWrap& graph, std::span<const LevelledNode> levelled, bool allow_hashes) {
    const std::uint64_t magnet = magnet_bytes(allow_hashes);
    // The floors as a table of their own, read for every incidence; every
    // live node is levelled, so they are the nodes' floors.
    std::vector<Counted> counted(graph.node_bound());
    for (const auto [node, floor] : levelled) counted[node].floor = floor;

    RewriteSize size;
    // Deepest first: every child's region and edges up are known before its
    // parent's, which one pass over a node's incidences counts.
    for (auto at = levelled.rbegin(); at != levelled.rend(); ++at) {
        const auto [node, floor] = *at;
        const NodeData& data = graph.node_at(node);
        Region& own = counted[node].region;
        std::uint32_t& inbound = counted[node].inbound;
        own.text = data.label.size();
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            const std::int32_t other_floor = counted[other].floor;
            if (other_floor == floor - 1) {
                ++inbound;
                return;
            }
            const std::uint64_t modality = graph.edge_at(edge).modality.size();
            // A child is written as its text, ":", its modality and ", ",
            // the last one's separator counting for the two parentheses.
            const std::uint64_t link = 1 + modality + 2;
            if (other_floor == floor) {
                // A cobound edge (a self-loop twice): a virtual node "*{lo-mod-hi}" below each end.
                const std::uint64_t ends = other == node ? 2 : 1;
                const std::uint64_t virtual_text = 3 + magnet + 1 + modality + 1 + magnet;
                own.nodes = add(own.nodes, ends);
                own.edges = add(own.edges, ends);
                own.text = add(own.text, times(ends, add(virtual_text, link)));
                // Each cobound edge is met from both ends (a self-loop once).
                if (other >= node) {
                    ++size.conflicts;
                    size.compact_nodes = add(size.compact_nodes, 2);
                    size.compact_text_bytes = add(size.compact_text_bytes, 2 * (virtual_text + link));
                }
                return;
            }
            if (other_floor != floor + 1) return;
            const Region& child = counted[other].region;
            const std::uint32_t child_inbound = counted[other].inbound;
            if (child_inbound < 2) {
                own.nodes = add(own.nodes, child.nodes);
                own.edges = add(own.edges, add(child.edges, 1));
                own.text = add(own.text, add(child.text, link));
                return;
            }
            // A mirror ".#k{magnet}" linked to its own copy of the join's region.
            const std::uint64_t mirror_text = 1 + 1 + decimal_digits(child_inbound) + 2 + magnet;
            own.nodes = add(own.nodes, add(child.nodes, 1));
            own.edges = add(own.edges, add(child.edges, 2));
            own.text = add(own.text, add(add(child.text, mirror_text + 2 + 2), link));
        });

        // Compact: the node once (a join as one mirror per inbound edge, each
        // carrying the label, its count and the magnet), plus its own links.
        const std::uint64_t copies = inbound < 2 ? 1 : inbound;
        const std::uint64_t written =
            inbound < 2 ? data.label.size() : data.label.size() + 1 + decimal_digits(copies) + 2 + magnet;
        size.compact_nodes = add(size.compact_nodes, copies);
        size.compact_text_bytes = add(size.compact_text_bytes, times(copies, written + 6));

        if (inbound >= 2) {
            ++size.conflicts;
            size.expanded_nodes = add(size.expanded_nodes, own.nodes);
            size.expanded_edges = add(size.expanded_edges, own.edges);
        }
    }
    if (!levelled.empty()) {
        const Region& root = counted[levelled.front().node].region;
        size.expanded_nodes = add(size.expanded_nodes, root.nodes);
        size.expanded_edges = add(size.expanded_edges, root.edges);
        size.expanded_text_bytes = root.text;
    }
    return size;
}

// Why the bounds hold. Let n and m be the live nodes and edges, all levelled
// from one root by a breadth-first search, so the graph is connected and
// every edge joins two floors next to each other (an edge between floors) or
// lies within one (a cobound edge, C of them, self-loops included); every node
// but the root has an edge up. Let J be the edges between floors beyond n - 1:
// J + C = m - n + 1 = r. Choosing one edge up per node as its tree edge, a
// downward path between two nodes is fixed by the set of other edges it takes
// (walking it back up from its end, each node is left by the chosen edge
// unless the set holds one into it), so at most 2^J paths run from any node.
// count_rewrite's region of a node v is, unrolled, a sum over the downward
// paths from v of a weight of the path's last node:
// - nodes: 1, plus 1 per cobound edge end (a self-loop, met once, has two),
//   plus 1 per edge down into a join; summed over all nodes at most
//   n + 2C + m;
// - edges: 1 per cobound end, 1 per edge down, 1 more per edge down into a
//   join; summed at most 2C + 2m;
// - text: the label, then per cobound end a virtual node and its link, per
//   edge down its link and, into a join, a mirror; summed at most the labels'
//   bytes + 2C(8 + 2 magnet + 2 M) + m(3 + M) + m(8 + digits(m) + magnet),
//   with M the longest modality.
// The expanded counts add the root's region and every join's (at most J
// joins, each with two edges up or more), the text the root's alone. A
// region a node reads before its own is counted stands at its initial size,
// which is smaller, so the bounds also hold then.
std::optional<RewriteSize> expanded_size_bound(const GraphWrap& graph, std::span<const LevelledNode> levelled,
                                               bool allow_hashes) {
    // Small enough that no product below reaches 2^62.
    constexpr std::uint64_t kMostRecords = std::uint64_t{1} << 20;
    constexpr std::uint64_t kMostCycles = 20;
    constexpr std::uint64_t kMostLabelBytes = std::uint64_t{1} << 30;
    constexpr std::uint64_t kMostModalityBytes = std::uint64_t{1} << 10;
    const std::uint64_t n = graph.node_count();
    const std::uint64_t m = graph.edge_count();
    if (n == 0 || n != levelled.size() || n > kMostRecords || m > kMostRecords || m + 1 < n ||
        m + 1 - n > kMostCycles) {
        return std::nullopt;
    }
    std::uint64_t label_bytes = 0;
    for (NodeIndex node = 0; node < graph.node_bound(); ++node) {
        if (const NodeData* data = graph.node(node)) label_bytes += data->label.size();
        if (label_bytes > kMostLabelBytes) return std::nullopt;
    }
    std::size_t longest_modality = 0;
    for (EdgeIndex edge = 0; edge < graph.edge_bound(); ++edge) {
        if (const EdgeData* data = graph.edge(edge)) longest_modality = std::max(longest_modality, data->modality.size());
    }
    if (longest_modality > kMostModalityBytes) return std::nullopt;

    const std::uint64_t cycles = m + 1 - n;  // r, which bounds both J and C
    const std::uint64_t paths = std::uint64_t{1} << cycles;
    const std::uint64_t regions = 1 + cycles;  // the root's and the joins'
    const std::uint64_t magnet = magnet_bytes(allow_hashes);
    const std::uint64_t node_weights = n + 2 * cycles + m;
    const std::uint64_t edge_weights = 2 * cycles + 2 * m;
    const std::uint64_t text_weights = label_bytes + 2 * cycles * (8 + 2 * magnet + 2 * longest_modality) +
                                       m * (3 + longest_modality) + m * (8 + decimal_digits(m) + magnet);
    RewriteSize bound;
    bound.expanded_nodes = regions * paths * node_weights;
    bound.expanded_edges = regions * paths * edge_weights;
    bound.expanded_text_bytes = paths * text_weights;
    return bound;
}

}  // namespace quorl
