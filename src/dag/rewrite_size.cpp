#include "dag/rewrite_size.hpp"

#include <string>
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

// "_" + 32 hex digits + "_"; without hashes the region's own text sits between the underscores.
std::uint64_t magnet_bytes(bool allow_hashes) { return allow_hashes ? 34 : 2; }

}  // namespace

RewriteSize count_rewrite(const GraphWrap& graph, std::span<const LevelledNode> levelled, bool allow_hashes) {
    const std::uint64_t magnet = magnet_bytes(allow_hashes);
    auto floor_of = [&](NodeIndex node) { return *graph.node_at(node).meta.floor; };

    std::vector<std::uint32_t> inbound(graph.node_bound(), 0);
    for (const auto [node, floor] : levelled) {
        graph.for_each_incident(node, [&](EdgeIndex, NodeIndex other) {
            if (floor_of(other) == floor - 1) ++inbound[node];
        });
    }

    RewriteSize size;
    std::vector<Region> region(graph.node_bound());
    // Deepest first: every child's region is known before its parent's.
    for (auto at = levelled.rbegin(); at != levelled.rend(); ++at) {
        const auto [node, floor] = *at;
        const NodeData& data = graph.node_at(node);
        Region& own = region[node];
        own.text = data.label.size();
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex other) {
            const std::uint64_t modality = graph.edge_at(edge).modality.size();
            // A child is written as its text, ":", its modality and ", ",
            // the last one's separator counting for the two parentheses.
            const std::uint64_t link = 1 + modality + 2;
            const std::int32_t other_floor = floor_of(other);
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
            const Region& child = region[other];
            if (inbound[other] < 2) {
                own.nodes = add(own.nodes, child.nodes);
                own.edges = add(own.edges, add(child.edges, 1));
                own.text = add(own.text, add(child.text, link));
                return;
            }
            // A mirror ".#k{magnet}" linked to its own copy of the join's region.
            const std::uint64_t mirror_text = 1 + 1 + std::to_string(inbound[other]).size() + 2 + magnet;
            own.nodes = add(own.nodes, add(child.nodes, 1));
            own.edges = add(own.edges, add(child.edges, 2));
            own.text = add(own.text, add(add(child.text, mirror_text + 2 + 2), link));
        });

        // Compact: the node once (a join as one mirror per inbound edge, each
        // carrying the label, its count and the magnet), plus its own links.
        const std::uint64_t copies = inbound[node] < 2 ? 1 : inbound[node];
        const std::uint64_t written = inbound[node] < 2 ? data.label.size()
                                                        : data.label.size() + 1 + std::to_string(copies).size() +
                                                              2 + magnet;
        size.compact_nodes = add(size.compact_nodes, copies);
        size.compact_text_bytes = add(size.compact_text_bytes, times(copies, written + 6));

        if (inbound[node] >= 2) {
            ++size.conflicts;
            size.expanded_nodes = add(size.expanded_nodes, own.nodes);
            size.expanded_edges = add(size.expanded_edges, own.edges);
        }
    }
    if (!levelled.empty()) {
        const Region& root = region[levelled.front().node];
        size.expanded_nodes = add(size.expanded_nodes, root.nodes);
        size.expanded_edges = add(size.expanded_edges, root.edges);
        size.expanded_text_bytes = root.text;
    }
    return size;
}

}  // namespace quorl
