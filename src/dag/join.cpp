#include "dag/join.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "dag/candidate_buckets.hpp"
#include "graph/exclusion.hpp"
#include "graph/floors.hpp"
#include "tree/tree_string.hpp"

namespace quorl {

namespace {

struct ReattachedEdge {
    NodeIndex parent;
    NodeIndex mirror;
};

// The input node that `node` of the working copy is or stands for.
NodeIndex input_node_of(const GraphWrap& graph, NodeIndex node) {
    const NodeIndex stands_for = graph.node_at(node).meta.stands_for;
    return stands_for == kNoIndex ? node : stands_for;
}

NodeMeta mirror_meta(const GraphWrap& graph, const InboundChoice& join, std::string_view magnet) {
    NodeMeta meta;
    meta.stands_for = input_node_of(graph, join.node);
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
                                          std::string_view label, const NodeMeta& meta, GeneratedIds& ids) {
    const EdgeIndex edge = join.edges[position];
    if (!graph.has_edge(edge)) return parse_error("inbound edge missing");
    EdgeData data = graph.edge_at(edge);
    const auto [first, second] = graph.endpoints(edge);
    const NodeIndex parent = first == join.node ? second : first;

    const NodeIndex mirror = ids.add_node(graph, mirror_id(ids.mirror_group, position), label, meta);
    graph.remove_edge(edge);
    data.id = "#" + data.id + "_" + std::to_string(position);
    graph.add_edge_custom(parent, mirror, std::move(data));
    return ReattachedEdge{parent, mirror};
}

// The nodes above the join's floor, which walks from below must not enter.
Exclusion upper_floors(std::int32_t join_floor) { return Exclusion::floor_at_most(join_floor - 1, kNoIndex); }

// The join's region as the driver, called on the working copy with the join
// as root and every node outside the region excluded, would return it: the
// region's nodes and edges in index order, levelled from the join, with
// their magnet caches cleared. That call would resolve nothing. The driver
// resolves a join only when no join lies deeper and no cobound edge lies on
// the join's floor or deeper; the deepest node of a cycle in the region (a
// self-loop and parallel edges included) would be one or the other, so the
// region is a tree, which levelled from the join has neither. Building it
// directly costs the region's size, not a copy of the whole working copy.
Result<GraphWrap> rewritten_region(const GraphWrap& graph, const InboundChoice& join, StopPoll& stop) {
    const Exclusion upper = upper_floors(join.floor);
    std::vector<bool> in_region(graph.node_bound(), false);
    std::vector<NodeIndex> region_nodes{join.node};
    in_region[join.node] = true;
    for (std::size_t head = 0; head < region_nodes.size(); ++head) {
        if (stop.poll()) return interrupted_error();
        graph.for_each_incident(region_nodes[head], [&](EdgeIndex, NodeIndex neighbour) {
            if (in_region[neighbour] || upper.excludes(graph, neighbour)) return;
            in_region[neighbour] = true;
            region_nodes.push_back(neighbour);
        });
    }

    std::vector<EdgeIndex> region_edges;
    for (const NodeIndex node : region_nodes) {
        if (stop.poll()) return interrupted_error();
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex neighbour) {
            if (in_region[neighbour]) region_edges.push_back(edge);
        });
    }
    std::sort(region_nodes.begin(), region_nodes.end());
    std::sort(region_edges.begin(), region_edges.end());
    region_edges.erase(std::unique(region_edges.begin(), region_edges.end()), region_edges.end());

    // Each node keeps the record of the input node it stands for, which its
    // copies below the mirrors take over.
    GraphWrap region;
    for (const NodeIndex node : region_nodes) {
        if (stop.poll()) return interrupted_error();
        const NodeData& data = graph.node_at(node);
        NodeMeta meta = data.meta;
        if (!meta.is_virtual) meta.stands_for = input_node_of(graph, node);
        region.add_node_with_meta(data.id, data.label, std::move(meta));
    }
    auto region_index = [&](NodeIndex node) {
        return static_cast<NodeIndex>(std::lower_bound(region_nodes.begin(), region_nodes.end(), node) -
                                      region_nodes.begin());
    };
    for (const EdgeIndex edge : region_edges) {
        if (stop.poll()) return interrupted_error();
        const auto [first, second] = graph.endpoints(edge);
        region.add_edge_custom(region_index(first), region_index(second), graph.edge_at(edge));
    }

    const Failable<std::vector<LevelledNode>> levelled = level_nodes(region, graph.node_at(join.node).id, Exclusion{});
    QUORL_ASSERT(levelled.has_value());
    CandidateBuckets conflicts;
    conflicts.rebuild(region);
    QUORL_ASSERT(conflicts.empty());
    return region;
}

// What the copies of the rewritten region add to the working copy: per copy,
// the region's records and strings (ids with their suffix), a mirror and
// two edges. Records count twice, for the spare capacity of growing vectors.
std::uint64_t region_copies_bytes(const GraphWrap& sub_form, std::size_t copies, std::size_t suffix_size) {
    std::uint64_t one_copy = 2 * GraphWrap::node_record_bytes() + 2 * 2 * GraphWrap::edge_record_bytes() + 64;
    for (NodeIndex node = 0; node < sub_form.node_bound(); ++node) {
        const NodeData& data = sub_form.node_at(node);
        one_copy += 2 * GraphWrap::node_record_bytes() + heap_bytes(data) - heap_bytes(data.id) +
                    heap_bytes_of_size(data.id.size() + suffix_size);
    }
    for (EdgeIndex edge = 0; edge < sub_form.edge_bound(); ++edge) {
        one_copy += 2 * GraphWrap::edge_record_bytes() + heap_bytes(sub_form.edge_at(edge));
    }
    return one_copy * copies;
}

}  // namespace

Result<void> resolve_join_compact(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                  GeneratedIds& ids, RewriteContext& context) {
    const Exclusion upper = upper_floors(join.floor);
    if (join.edges.empty()) return parse_error("no inbound candidates");
    const std::string label = graph.node_at(join.node).label;
    // Every mirror carries the magnet as its origin: without hashes a text
    // that can be as large as the join's region written out.
    const std::uint64_t origins = join.edges.size() * heap_bytes_of_size(magnet.size());
    if (Result<void> held = take_or_fail(context.held, origins, "resolving a join node of this graph"); !held) {
        return std::unexpected(std::move(held.error()));
    }
    const NodeMeta meta = mirror_meta(graph, join, magnet);

    // The kept mirror is the one whose parent's tree string, written right
    // after the mirror was attached, is smallest; the first listed on a tie.
    NodeIndex kept = kNoIndex;
    std::string kept_text;
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, label, meta, ids);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        Failable<TreeText> tree = to_tree_string_with_depth_order(graph, graph.node_at(reattached->parent).id, upper,
                                                                  /*modality_order=*/true, &context.tree_scratch,
                                                                  &context.stop);
        if (!tree && context.stop.stopped()) return std::unexpected(context.stop.stop_error());
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

    ids.remove_node(graph, join.node);
    ++ids.mirror_group;
    return {};
}

Result<void> resolve_join_expanded(GraphWrap& graph, const InboundChoice& join, std::string_view magnet,
                                   GeneratedIds& ids, RewriteContext& context) {
    MemoryHold& held = context.held;
    const std::string join_id = graph.node_at(join.node).id;
    const NodeMeta meta = mirror_meta(graph, join, magnet);
    Result<GraphWrap> rewritten = rewritten_region(graph, join, context.stop);
    if (!rewritten) return std::unexpected(std::move(rewritten.error()));
    const GraphWrap& sub_form = *rewritten;
    if (held.budget() != nullptr) {
        const std::size_t suffix_size = 1 + mirror_id(ids.mirror_group, join.edges.size()).size();
        const std::uint64_t bytes = region_copies_bytes(sub_form, join.edges.size(), suffix_size);
        // Growing the working copy's vectors holds their old slots beside the new ones for a
        // moment, and the region's rewritten form is held until the copies are made.
        if (!held.fits(bytes + graph.slot_bytes() + sub_form.held_bytes()) || !held.try_take(bytes)) {
            return out_of_memory_error(
                beyond_budget_message("expanding a join node of this graph", bytes, *held.budget()));
        }
    }
    const NodeIndex sub_root = *sub_form.find_node(join_id);  // alone on the lowest floor, 0
    const std::int32_t floor_offset = join.floor + 1;

    std::vector<NodeIndex> copy_of(sub_form.node_bound(), kNoIndex);
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, ".", meta, ids);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        const std::string suffix = "@" + mirror_id(ids.mirror_group, position);

        for (NodeIndex node = 0; node < sub_form.node_bound(); ++node) {
            if (context.stop.poll()) return interrupted_error();
            const NodeData& data = sub_form.node_at(node);
            NodeMeta copied = data.meta;
            if (copied.floor) *copied.floor += floor_offset;
            copy_of[node] = ids.add_node(graph, data.id + suffix, data.label, std::move(copied));
        }
        for (EdgeIndex edge = 0; edge < sub_form.edge_bound(); ++edge) {
            if (context.stop.poll()) return interrupted_error();
            const auto [first, second] = sub_form.endpoints(edge);
            graph.add_edge_custom(copy_of[first], copy_of[second], sub_form.edge_at(edge));
        }
        graph.add_edge_custom(reattached->mirror, copy_of[sub_root],
                              EdgeData{join_id + "_link_" + std::to_string(position), "1"});
    }
    ++ids.mirror_group;
    return {};
}

}  // namespace quorl
