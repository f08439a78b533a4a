#include "dag/join.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <utility>
#include <vector>

#include "graph/exclusion.hpp"
#include "graph/polled_buffers.hpp"
#include "tree/tree_string.hpp"
#include "tree/tree_traversal.hpp"

namespace quorl {

namespace {

struct ReattachedEdge {
    NodeIndex parent;
    NodeIndex mirror;
};

// The input node that `node` of the working copy, whose record is `data`, is
// or stands for.
NodeIndex input_node_of(const NodeData& data, NodeIndex node) {
    const NodeIndex stands_for = data.meta.stands_for;
    return stands_for == kNoIndex ? node : stands_for;
}

NodeMeta mirror_meta(const GraphWrap& graph, const InboundChoice& join, std::string_view magnet) {
    NodeMeta meta;
    meta.stands_for = input_node_of(graph.node_at(join.node), join.node);
    meta.mirror_seq = join.edges.size();
    meta.origin = std::string(magnet);
    meta.floor = join.floor;
    meta.is_mirror = true;
    return meta;
}

std::string mirror_id(std::uint64_t group, std::size_t position) {
    // "#m", "_" and two numbers of at most 20 digits each.
    constexpr std::size_t kDigits = 20;
    std::array<char, 3 + 2 * kDigits> text{'#', 'm'};
    char* end = std::to_chars(text.data() + 2, text.data() + 2 + kDigits, group).ptr;
    *end++ = '_';
    end = std::to_chars(end, end + kDigits, position).ptr;
    return std::string(text.data(), end);
}

// Moves inbound edge `position` of the join from the join node to a new
// mirror, keeping the edge's modality and renaming it "#{id}_{position}".
// Every mirror of the join gets `meta`; the last one takes it over, which
// gives it the very record a copy would (the origin, made from a view, has
// room for exactly its bytes, as a copy has).
Result<ReattachedEdge> reattach_to_mirror(GraphWrap& graph, const InboundChoice& join, std::size_t position,
                                          std::string_view label, NodeMeta& meta, GeneratedIds& ids) {
    const EdgeIndex edge = join.edges[position];
    if (!graph.has_edge(edge)) return parse_error("inbound edge missing");
    EdgeData data = graph.edge_at(edge);
    const auto [first, second] = graph.endpoints(edge);
    const NodeIndex parent = first == join.node ? second : first;

    const NodeIndex mirror = ids.add_node(graph, mirror_id(ids.mirror_group, position), [&](NodeData& data) {
        if (position + 1 == join.edges.size()) {
            data.meta = std::move(meta);
        } else {
            data.meta = meta;
        }
        data.label = std::string(label);
    });
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
// region is a tree, which levelled from the join has neither. So the region
// is listed where it lies, not copied out and rewritten: its nodes, edges and
// each node's distance from the join are all the copies below the mirrors
// need, and listing them costs the region's size, not the working copy's
// (which the joins before it have grown).
//
// One breadth-first search lists them: a node's edge to a region node not
// visited yet (queued, or itself) is taken when the node is visited, so each
// edge once, from the end visited first.
Result<void> list_region(const GraphWrap& graph, const InboundChoice& join, JoinRegion& region, StopPoll& stop) {
    const Exclusion upper = upper_floors(join.floor);
    std::vector<std::int32_t>& position = region.position;
    if (!grow_polled(position, graph.node_bound(), -1, &stop)) return interrupted_error();
    std::vector<NodeIndex>& reached = region.nodes;
    reached.assign(1, join.node);
    region.distance.assign(1, 0);
    region.edges.clear();
    const auto forget_positions = [&] {
        for (const NodeIndex node : reached) position[node] = -1;
    };
    position[join.node] = 0;
    for (std::size_t head = 0; head < reached.size(); ++head) {
        if (stop.poll()) {
            forget_positions();
            return interrupted_error();
        }
        const NodeIndex node = reached[head];
        const std::int32_t below = region.distance[head] + 1;
        // Inlined: once per edge end of every region node.
        graph.for_each_incident(node, [&](EdgeIndex edge, NodeIndex neighbour) __attribute__((always_inline)) {
            const std::int32_t at = position[neighbour];
            if (at < 0) {
                if (upper.excludes(graph, neighbour)) return;
                position[neighbour] = static_cast<std::int32_t>(reached.size());
                reached.push_back(neighbour);
                region.distance.push_back(below);
            } else if (static_cast<std::size_t>(at) < head) {
                return;
            }
            region.edges.push_back(edge);
        });
    }

    // Ascending node indices, and each node's distance by its position among them.
    if (!sort_indices_polled(reached, region.sorting, &stop)) {
        forget_positions();
        return interrupted_error();
    }
    region.floors.clear();
    for (const NodeIndex node : reached) {
        region.floors.push_back(region.distance[static_cast<std::size_t>(position[node])]);
    }
    for (std::size_t at = 0; at < reached.size(); ++at) position[reached[at]] = static_cast<std::int32_t>(at);
    if (!sort_indices_polled(region.edges, region.sorting, &stop)) {
        forget_positions();
        return interrupted_error();
    }
    region.ends.clear();
    for (const EdgeIndex edge : region.edges) {
        const auto [first, second] = graph.endpoints(edge);
        region.ends.push_back({static_cast<std::uint32_t>(position[first]), static_cast<std::uint32_t>(position[second])});
    }
    region.join_position = static_cast<std::size_t>(position[join.node]);
    forget_positions();
    return {};
}

// Gives an empty string what a copy of `text` holds. A longer text is copied
// and moved in: assigned, it would take a block rounded up from the empty
// string's room. A short one, which as a copy holds no heap block, lives
// inside the string either way and is assigned without the copy in between.
void assign_as_copy(std::string& to, const std::string& text) {
    if (heap_bytes_of_size(text.size()) == 0) {
        to.assign(text);
    } else {
        to = std::string(text);
    }
}

// Writes a region node's record into the empty record of its copy below a
// mirror: levelled from the join (floors from the join's mirror on), magnet
// caches cleared, and naming the input node it stands for. The strings hold
// what a copy holds.
void copy_record(const GraphWrap& graph, NodeIndex node, std::int32_t floor, NodeData& copy) {
    const NodeData& source = graph.node_at(node);
    const NodeMeta& meta = source.meta;
    NodeMeta& copied = copy.meta;
    assign_as_copy(copy.label, source.label);
    copied.mirror_seq = meta.mirror_seq;
    // Most records hold none of these; an assignment would cost a call each.
    if (!meta.prune_sources.empty()) copied.prune_sources = meta.prune_sources;
    if (meta.origin) copied.origin.emplace(*meta.origin);
    if (meta.prune_source) copied.prune_source.emplace(*meta.prune_source);
    copied.floor = floor;
    copied.stands_for = meta.is_virtual ? meta.stands_for : input_node_of(source, node);
    copied.is_mirror = meta.is_mirror;
    copied.is_virtual = meta.is_virtual;
}

// What the copies of the region add to the working copy: per copy, the
// region's records and strings (ids with their suffix, no magnet caches), a
// mirror and two edges. Records count twice, for the spare capacity of
// growing vectors.
std::uint64_t region_copies_bytes(const GraphWrap& graph, const JoinRegion& region, std::size_t copies,
                                  std::size_t suffix_size) {
    std::uint64_t one_copy = 2 * GraphWrap::node_record_bytes() + 2 * 2 * GraphWrap::edge_record_bytes() + 64;
    for (const NodeIndex node : region.nodes) {
        const NodeData& data = graph.node_at(node);
        const std::uint64_t magnet_bytes = data.meta.magnet ? heap_bytes(*data.meta.magnet) : 0;
        one_copy += 2 * GraphWrap::node_record_bytes() + heap_bytes(data) - magnet_bytes - heap_bytes(data.id) +
                    heap_bytes_of_size(data.id.size() + suffix_size);
    }
    for (const EdgeIndex edge : region.edges) {
        one_copy += 2 * GraphWrap::edge_record_bytes() + heap_bytes(graph.edge_at(edge));
    }
    return one_copy * copies;
}

// A parent's tree text as a compact join compares it: its id in the walks'
// texts while they keep them from one walk to the next, where two texts
// compare in the length of their common prefix, else written out. Neither for
// a tree that could not be written, which counts as the empty text.
struct ParentText {
    TextId id = kNoText;
    std::string bytes;
};

// The tree string of the parent with modality order, walked now.
Result<ParentText> parent_text(const GraphWrap& graph, NodeIndex parent, const Exclusion& upper,
                               RewriteContext& context) {
    TreeScratch& scratch = context.tree_scratch;
    const bool walked = traverse_tree(graph, graph.node_at(parent).id, upper, /*modality_order=*/true,
                                      /*record_child_lists=*/false, scratch, &context.stop)
                            .has_value();
    const TextId root = walked ? scratch.traversal.finished[scratch.traversal.root].text : kNoText;
    if (root == kNoText) {
        if (context.stop.stopped()) return std::unexpected(context.stop.stop_error());
        return ParentText{};
    }
    const SubtreeTexts& texts = scratch.traversal.texts;
    if (scratch.keeps_texts()) {
        // Checked as writing it would be, so that a text fails here where writing it would.
        if (!texts.fits_written(root, context.stop)) return std::unexpected(context.stop.stop_error());
        return ParentText{root, {}};
    }
    std::optional<std::string> text = texts.write(root, nullptr, context.stop);
    if (!text) return std::unexpected(context.stop.stop_error());
    return ParentText{kNoText, std::move(*text)};
}

// Bytewise, a proper prefix first. All of one join's texts are of one kind,
// ids or bytes, but for the empty text of a tree that could not be written.
bool is_smaller(const ParentText& a, const ParentText& b, const SubtreeTexts& texts) {
    if (a.id != kNoText && b.id != kNoText) return texts.compare(a.id, b.id) < 0;
    if (a.id != kNoText || b.id != kNoText) return b.id != kNoText;  // the other is empty: a written text is not
    return a.bytes < b.bytes;
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
    NodeMeta meta = mirror_meta(graph, join, magnet);

    // The kept mirror is the one whose parent's tree string, written right
    // after the mirror was attached, is smallest; the first listed on a tie.
    NodeIndex kept = kNoIndex;
    ParentText kept_text;
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, label, meta, ids);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        Result<ParentText> text = parent_text(graph, reattached->parent, upper, context);
        if (!text) return std::unexpected(std::move(text.error()));
        if (kept == kNoIndex || is_smaller(*text, kept_text, context.tree_scratch.traversal.texts)) {
            kept = reattached->mirror;
            kept_text = std::move(*text);
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
    NodeMeta meta = mirror_meta(graph, join, magnet);
    JoinRegion& region = context.region;
    if (Result<void> listed = list_region(graph, join, region, context.stop); !listed) {
        return std::unexpected(std::move(listed.error()));
    }
    if (held.budget() != nullptr) {
        const std::size_t suffix_size = 1 + mirror_id(ids.mirror_group, join.edges.size()).size();
        const std::uint64_t bytes = region_copies_bytes(graph, region, join.edges.size(), suffix_size);
        // Growing the working copy's vectors holds their old slots beside the new ones for a moment.
        if (!held.fits(bytes + graph.slot_bytes()) || !held.try_take(bytes)) {
            return out_of_memory_error(
                beyond_budget_message("expanding a join node of this graph", bytes, *held.budget()));
        }
    }
    const std::int32_t floor_offset = join.floor + 1;
    // Per inbound edge: a mirror, a copy of the region, the re-attached edge and the link.
    const std::size_t copies = join.edges.size();
    if (!graph.reserve(copies * (1 + region.nodes.size()), copies * (2 + region.edges.size()), context.stop)) {
        return interrupted_error();
    }

    std::vector<NodeIndex>& copy_of = region.copy_of;
    copy_of.assign(region.nodes.size(), kNoIndex);
    for (std::size_t position = 0; position < join.edges.size(); ++position) {
        Result<ReattachedEdge> reattached = reattach_to_mirror(graph, join, position, ".", meta, ids);
        if (!reattached) return std::unexpected(std::move(reattached.error()));
        const std::string suffix = "@" + mirror_id(ids.mirror_group, position);

        for (std::size_t k = 0; k < region.nodes.size(); ++k) {
            if (context.stop.poll()) return interrupted_error();
            const std::string& source_id = graph.node_at(region.nodes[k]).id;
            std::string id;
            id.reserve(source_id.size() + suffix.size());
            id.append(source_id).append(suffix);
            copy_of[k] = ids.add_node(graph, std::move(id), [&](NodeData& copy) {
                copy_record(graph, region.nodes[k], region.floors[k] + floor_offset, copy);
            });
        }
        for (std::size_t k = 0; k < region.edges.size(); ++k) {
            if (context.stop.poll()) return interrupted_error();
            graph.add_edge_copy(copy_of[region.ends[k].first], copy_of[region.ends[k].second], region.edges[k]);
        }
        graph.add_edge_custom(reattached->mirror, copy_of[region.join_position],
                              EdgeData{join_id + "_link_" + std::to_string(position), "1"});
    }
    ++ids.mirror_group;
    return {};
}

}  // namespace quorl
