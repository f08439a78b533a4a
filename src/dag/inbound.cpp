#include "dag/inbound.hpp"

#include <algorithm>

#include "dag/digest.hpp"
#include "dag/magnet.hpp"
#include "dag/selection.hpp"

namespace quorl {

namespace {

// The MD5 of a node's magnet text whatever the hashing setting, computed once
// per magnet and kept on the node.
Result<Digest> parent_digest(GraphWrap& graph, NodeIndex parent, RewriteContext& context) {
    if (const auto& stored = graph.node_at(parent).meta.magnet_digest_alt) return *stored;
    Result<std::string> magnet = get_magnet(graph, parent, context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    const Digest digest = md5_digest(*magnet);
    graph.node_at(parent).meta.magnet_digest_alt = digest;
    return digest;
}

Result<InboundEntry> score_join(GraphWrap& graph, const JoinEntry& join, RewriteContext& context) {
    Result<std::string> magnet = get_magnet(graph, join.node, context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));

    std::vector<Digest> parent_digests;
    parent_digests.reserve(join.inbound_edges.size());
    for (const EdgeIndex edge : join.inbound_edges) {
        if (!graph.has_edge(edge)) return parse_error("inbound endpoints missing");
        const auto [first, second] = graph.endpoints(edge);
        const NodeIndex parent = first == join.node ? second : first;
        Result<Digest> digest = parent_digest(graph, parent, context);
        if (!digest) return std::unexpected(std::move(digest.error()));
        parent_digests.push_back(*digest);
    }
    std::sort(parent_digests.begin(), parent_digests.end());

    std::vector<EdgeKey> edge_keys;
    edge_keys.reserve(join.inbound_edges.size());
    for (const EdgeIndex edge : join.inbound_edges) {
        const auto [first, second] = graph.endpoints(edge);
        edge_keys.push_back(edge_key(graph, first, second));
    }
    std::sort(edge_keys.begin(), edge_keys.end());

    const NodeData& node = graph.node_at(join.node);
    return InboundEntry{
        InboundScore{std::move(*magnet), std::move(parent_digests), node.id, std::move(edge_keys),
                     join.inbound_edges.size(), node.meta.magnet_digest},
        join.inbound_edges, join.floor, join.node};
}

}  // namespace

std::strong_ordering cmp_inbound_entry(const InboundEntry& a, const InboundEntry& b) {
    const InboundScore& x = a.score;
    const InboundScore& y = b.score;
    if (const auto order = y.inbound_count <=> x.inbound_count; order != 0) return order;
    if (x.magnet_digest && y.magnet_digest) {
        if (const auto order = *y.magnet_digest <=> *x.magnet_digest; order != 0) return order;
    } else if (const auto order = y.magnet <=> x.magnet; order != 0) {
        return order;
    }
    if (const auto order = y.parent_digests <=> x.parent_digests; order != 0) return order;
    if (const auto order = x.node_id <=> y.node_id; order != 0) return order;
    return x.edge_keys <=> y.edge_keys;
}

JsonValue inbound_score_value(const InboundEntry& entry) {
    std::string digests;
    for (const Digest& digest : entry.score.parent_digests) {
        if (!digests.empty()) digests += ' ';
        digests += to_lower_hex(digest);
    }
    return {JsonArray{{entry.score.inbound_count}, {entry.score.magnet}, {std::move(digests)}}};
}

JsonValue inbound_repr_from_keys(std::int32_t floor, const InboundEntry& entry) {
    JsonArray keys;
    keys.reserve(entry.score.edge_keys.size());
    for (const auto& [first, second] : entry.score.edge_keys) {
        keys.push_back({JsonArray{{first}, {second}}});
    }
    return {JsonArray{{std::int64_t{floor}}, {entry.score.node_id}, {std::move(keys)}}};
}

Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, RewriteContext& context) {
    if (joins.empty()) return std::nullopt;
    const bool tracing = context.trace.events;

    std::optional<InboundEntry> best;
    std::vector<InboundEntry> traced;
    for (const JoinEntry& join : joins) {
        Result<InboundEntry> entry = score_join(graph, join, context);
        if (!entry) return std::unexpected(std::move(entry.error()));
        if (tracing) keep_among_best(traced, *entry, cmp_inbound_entry);
        if (!best || cmp_inbound_entry(*entry, *best) == std::strong_ordering::less) best = std::move(*entry);
    }

    if (tracing) {
        JsonArray scores;
        for (const InboundEntry& entry : traced) {
            scores.push_back({JsonArray{inbound_score_value(entry), inbound_repr_from_keys(entry.floor, entry)}});
        }
        emit("dag_inbound_scores", {{"floor", floor_field(floor)}, {"scores", {std::move(scores)}}});
        emit("dag_choice", {{"floor", floor_field(floor)},
                            {"type", {std::string("inbound")}},
                            {"score", inbound_score_value(*best)},
                            {"choice", inbound_repr_from_keys(best->floor, *best)}});
    }
    return InboundChoice{std::move(best->edges), best->floor, best->node};
}

Result<std::vector<std::size_t>> rank_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                              RewriteContext& context) {
    return rank_by_score(
        joins, [&](const JoinEntry& join) { return score_join(graph, join, context); }, cmp_inbound_entry);
}

Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{});
    return select_inbound(graph, joins, floor, context);
}

}  // namespace quorl
