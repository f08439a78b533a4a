#include "dag/join.hpp"

#include <string>
#include <utility>

#include "graph/exclusion.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

struct ReattachedEdge {
    NodeIndex parent;
    NodeIndex mirror;
};

NodeMeta mirror_meta(const InboundChoice& join, std::string_view magnet) {
    NodeMeta meta;
    meta.mirror_seq = join.edges.size();
    meta.origin = std::string(magnet);
    meta.floor = join.floor;
    meta.is_mirror = true;
    return meta;
}

std::string mirror_id(std::uint64_t group, std::size_t position) {
    return "#m" + std::to_string(group) + "_" + std::to_string(position);
}

// Moves inbound edge `position` of the join from the join node to a new
// mirror, keeping the edge's modality and renaming it "#{id}_{position}".
Result<ReattachedEdge> reattach_to_mirror(GraphWrap& graph, const InboundChoice& join, std::size_t position,
                                          std::string_view label, const NodeMeta& meta, std::uint64_t group) {
    const EdgeIndex edge = join.edges[position];
    if (!graph.has_edge(edge)) return parse_error("inbound edge missing");
    EdgeData data = graph.edge_at(edge);
    const auto [first, second] = graph.endpoints(edge);
    const NodeIndex parent = first == join.node ? second : first;

    const NodeIndex mirror = graph.add_node_with_meta(mirror_id(group, position), label, meta);
    graph.remove_edge(edge);
    data.id = "#" + data.id + "_" + std::to_string(position);
    graph.add_edge_custom(parent, mirror, std::move(data));
    return ReattachedEdge{parent, mirror};
}

// The nodes above the join's floor, which walks from below must not enter.
Exclusion upper_floors(std::int32_t join_floor) { return Exclusion::floor_at_most(join_floor - 1, kNoIndex); }

// The present node of lowest floor (an absent floor counting as 0), lowest index first.
std::optional<NodeIndex> sub_root_of(const GraphWrap& sub_form) {
    std::optional<NodeIndex> root;
    std::int32_t root_floor = 0;
    for (NodeIndex n = 0; n < sub_form.node_bound(); ++n) {
        if (!sub_form.has_node(n)) continue;
        const std::int32_t floor = sub_form.node_at(n).meta.floor.value_or(0);
        if (!root || floor < root_floor) {
            root = n;
            root_floor = floor;
        }
    }
    return root;
}

}  // namespace

Result<void> resolve_join_compact(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                  std::uint64_t& mirror_group) {
    const Exclusion upper = upper_floors(join.floor);
    if (join.edges.empty()) return parse_error("no inbound candidates");
    const std::string label = graph.node_at(join.node).label;
    const NodeMeta meta = mirror_meta(join, magnet);

    // The kept mirror is the one whose parent's tree string, written right
    // after the mirror was attached, is smallest; the first listed on a tie.
    NodeIndex kept = kNoIndex;
    std::string kept_text;
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, label, meta, mirror_group);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        Failable<TreeText> tree = to_tree_string_with_depth_order(graph, graph.node_at(reattached->parent).id, upper,
                                                                  /*modality_order=*/true);
        std::string text = tree ? std::move(tree->text) : std::string();
        if (kept == kNoIndex || text < kept_text) {
            kept = reattached->mirror;
            kept_text = std::move(text);
        }
    }

    std::vector<EdgeIndex> lower_edges;
    graph.for_each_incident(join.node, [&](EdgeIndex edge, NodeIndex other) {
        const auto& floor = graph.node_at(other).meta.floor;
        if (floor && *floor > join.floor) lower_edges.push_back(edge);
    });
    // Each lower edge is removed and re-added alone, so the listed ones stay live.
    for (const EdgeIndex edge : lower_edges) {
        EdgeData data = graph.edge_at(edge);
        const auto [first, second] = graph.endpoints(edge);
        const NodeIndex child = first == join.node ? second : first;
        graph.remove_edge(edge);
        data.id += "_main";
        graph.add_edge_custom(child, kept, std::move(data));
    }

    graph.remove_node(std::string(graph.node_at(join.node).id));
    ++mirror_group;
    return {};
}

std::vector<bool> outside_join_region(const GraphWrap& graph, NodeIndex join, std::int32_t floor) {
    const Exclusion upper = upper_floors(floor);
    std::vector<bool> outside(graph.node_bound(), true);
    std::vector<NodeIndex> queue{join};
    outside[join] = false;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        graph.for_each_incident(queue[head], [&](EdgeIndex, NodeIndex neighbour) {
            if (!outside[neighbour] || upper.excludes(graph, neighbour)) return;
            outside[neighbour] = false;
            queue.push_back(neighbour);
        });
    }
    return outside;
}

Result<void> attach_region_copies(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                  const GraphWrap& sub_form, std::uint64_t& mirror_group) {
    const std::string join_id = graph.node_at(join.node).id;
    const NodeMeta meta = mirror_meta(join, magnet);
    const std::optional<NodeIndex> sub_root = sub_root_of(sub_form);
    const std::int32_t floor_offset = join.floor + 1;

    std::vector<NodeIndex> copy_of(sub_form.node_bound(), kNoIndex);
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, ".", meta, mirror_group);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        if (!sub_root) return parse_error("empty subgraph");
        const std::string suffix = "@" + mirror_id(mirror_group, position);

        for (NodeIndex node = 0; node < sub_form.node_bound(); ++node) {
            const NodeData* data = sub_form.node(node);
            if (data == nullptr) continue;
            NodeMeta copied = data->meta;
            if (copied.floor) *copied.floor += floor_offset;
            copy_of[node] = graph.add_node_with_meta(data->id + suffix, data->label, std::move(copied));
        }
        for (EdgeIndex edge = 0; edge < sub_form.edge_bound(); ++edge) {
            if (!sub_form.has_edge(edge)) continue;
            const auto [first, second] = sub_form.endpoints(edge);
            graph.add_edge_custom(copy_of[first], copy_of[second], sub_form.edge_at(edge));
        }
        graph.add_edge_custom(reattached->mirror, copy_of[*sub_root],
                              EdgeData{join_id + "_link_" + std::to_string(position), "1"});
    }
    ++mirror_group;
    return {};
}

}  // namespace quorl
