#include "dag/inbound.hpp"

#include <algorithm>
#include <numeric>

#include "dag/digest.hpp"
#include "dag/magnet.hpp"
#include "dag/selection.hpp"

namespace quorl {

namespace {

// The MD5 of a node's magnet text whatever the hashing setting, computed once
// per magnet and kept on the node.
Result<Digest> parent_digest(GraphWrap& graph, NodeIndex parent, RewriteContext& context) {
    if (const auto& stored = graph.node_at(parent).meta.magnet_digest_alt) return *stored;
    Result<std::string_view> magnet = cached_magnet(graph, parent, context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    const std::optional<Digest> digest = md5_digest(*magnet, &context.stop);
    if (!digest) return std::unexpected(context.stop.stop_error());
    graph.node_at(parent).meta.magnet_digest_alt = digest;
    return *digest;
}

NodeIndex parent_of(const GraphWrap& graph, const JoinEntry& join, EdgeIndex edge) {
    const auto [first, second] = graph.endpoints(edge);
    return first == join.node ? second : first;
}

// What scoring a join makes and checks before it builds the score: the
// join's magnet, and that its inbound edges are there.
Result<std::string_view> join_magnet_checked(GraphWrap& graph, const JoinEntry& join, RewriteContext& context) {
    Result<std::string_view> magnet = cached_magnet(graph, join.node, context);
    if (!magnet) return magnet;
    for (const EdgeIndex edge : join.inbound_edges) {
        if (!graph.has_edge(edge)) return parse_error("inbound endpoints missing");
    }
    return magnet;
}

// The entry's score up to its parent digests, which are left empty.
Result<InboundEntry> score_join_without_parents(GraphWrap& graph, const JoinEntry& join, RewriteContext& context) {
    Result<std::string_view> magnet = join_magnet_checked(graph, join, context);
    if (!magnet) return std::unexpected(std::move(magnet.error()));
    std::vector<EdgeKey> edge_keys;
    edge_keys.reserve(join.inbound_edges.size());
    for (const EdgeIndex edge : join.inbound_edges) {
        const auto [first, second] = graph.endpoints(edge);
        edge_keys.push_back(edge_key(graph, first, second));
    }
    std::sort(edge_keys.begin(), edge_keys.end());

    const NodeData& node = graph.node_at(join.node);
    return InboundEntry{
        InboundScore{*magnet, {}, node.id, std::move(edge_keys), join.inbound_edges.size(),
                     node.meta.magnet_digest},
        join.floor, join.node};
}

Result<void> add_parent_digests(GraphWrap& graph, const JoinEntry& join, InboundEntry& entry,
                                RewriteContext& context) {
    std::vector<Digest>& digests = entry.score.parent_digests;
    digests.reserve(join.inbound_edges.size());
    for (const EdgeIndex edge : join.inbound_edges) {
        Result<Digest> digest = parent_digest(graph, parent_of(graph, join, edge), context);
        if (!digest) return std::unexpected(std::move(digest.error()));
        digests.push_back(*digest);
    }
    std::sort(digests.begin(), digests.end());
    return {};
}

Result<InboundEntry> score_join(GraphWrap& graph, const JoinEntry& join, RewriteContext& context) {
    Result<InboundEntry> entry = score_join_without_parents(graph, join, context);
    if (!entry) return entry;
    if (Result<void> added = add_parent_digests(graph, join, *entry, context); !added) {
        return std::unexpected(std::move(added.error()));
    }
    return entry;
}

// Whether two entries tie on the keys before the parent digests.
bool tie_before_parents(const InboundScore& x, const InboundScore& y) {
    if (x.inbound_count != y.inbound_count) return false;
    if (x.magnet_digest && y.magnet_digest) return *x.magnet_digest == *y.magnet_digest;
    return x.magnet == y.magnet;
}

// The nodes of the floor above the joins whose magnets a later step reads:
// the ends of its cobound pairs and its joins, sorted.
std::vector<NodeIndex> magnets_read_above(const GraphWrap& graph, std::span<const CoboundPair> cobound_above,
                                          std::span<const JoinEntry> joins_above) {
    std::vector<NodeIndex> nodes;
    nodes.reserve(2 * cobound_above.size() + joins_above.size());
    for (const CoboundPair& pair : cobound_above) {
        const auto [first, second] = graph.endpoints(pair.edge);
        nodes.push_back(first);
        nodes.push_back(second);
    }
    for (const JoinEntry& join : joins_above) nodes.push_back(join.node);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
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
    return {JsonArray{{entry.score.inbound_count}, {std::string(entry.score.magnet)}, {std::move(digests)}}};
}

JsonValue inbound_repr_from_keys(std::int32_t floor, const InboundEntry& entry) {
    JsonArray keys;
    keys.reserve(entry.score.edge_keys.size());
    for (const auto& [first, second] : entry.score.edge_keys) {
        keys.push_back({JsonArray{{std::string(first)}, {std::string(second)}}});
    }
    return {JsonArray{{std::int64_t{floor}}, {entry.score.node_id}, {std::move(keys)}}};
}

Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, RewriteContext& context) {
    if (joins.empty()) return std::nullopt;
    const bool tracing = context.trace.events;

    std::optional<InboundEntry> best;
    const JoinEntry* best_join = nullptr;
    std::vector<InboundEntry> traced;
    for (const JoinEntry& join : joins) {
        Result<InboundEntry> entry = score_join(graph, join, context);
        if (!entry) return std::unexpected(std::move(entry.error()));
        if (tracing) keep_among_best(traced, *entry, cmp_inbound_entry);
        if (!best || cmp_inbound_entry(*entry, *best) == std::strong_ordering::less) {
            best = std::move(*entry);
            best_join = &join;
        }
    }

    if (tracing) {
        JsonArray scores;
        for (const InboundEntry& entry : traced) {
            scores.push_back({JsonArray{inbound_score_value(entry), inbound_repr_from_keys(entry.floor, entry)}});
        }
        emit(context.trace, "dag_inbound_scores", {{"floor", floor_field(floor)}, {"scores", {std::move(scores)}}});
        emit(context.trace, "dag_choice", {{"floor", floor_field(floor)},
                            {"type", {std::string("inbound")}},
                            {"score", inbound_score_value(*best)},
                            {"choice", inbound_repr_from_keys(best->floor, *best)}});
    }
    return InboundChoice{best_join->inbound_edges, best->floor, best->node};
}

// Ranks as rank_by_score would with every entry scored in full, but makes a
// parent's magnet and digest only where something reads them. The ranking
// reads an entry's parent digests only against an entry that ties with it on
// the keys before them, so the others' digests cannot change the order. What
// a later step of the rewrite reads of a parent (on the floor above: as a
// cobound end or a join) is its cached magnet, made here now as the full
// scan would make it, before this floor's joins are resolved below it;
// nothing else reads a parent's magnet or digest again. Traced magnets are
// all reported, so then every entry is scored in full.
Result<void> rank_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                          std::span<const CoboundPair> cobound_above, std::span<const JoinEntry> joins_above,
                          RewriteContext& context, std::vector<std::size_t>& order) {
    order.clear();
    if (joins.empty()) return {};
    if (context.trace.magnets) {
        return rank_by_score(
            joins, [&](const JoinEntry& join) { return score_join(graph, join, context); }, cmp_inbound_entry,
            order);
    }
    const std::vector<NodeIndex> read_later = magnets_read_above(graph, cobound_above, joins_above);
    // The parents' magnets that a later step reads, made now for the join at `at`.
    const auto make_magnets_read_later = [&](std::size_t at) -> Result<void> {
        for (const EdgeIndex edge : joins[at].inbound_edges) {
            const NodeIndex parent = parent_of(graph, joins[at], edge);
            if (!std::binary_search(read_later.begin(), read_later.end(), parent)) continue;
            if (Result<std::string_view> magnet = cached_magnet(graph, parent, context); !magnet) {
                return std::unexpected(std::move(magnet.error()));
            }
        }
        return {};
    };
    // A lone join ranks first whatever its score, which nothing else reads:
    // only what scoring it makes and checks, in the same order, is done.
    if (joins.size() == 1) {
        if (Result<std::string_view> magnet = join_magnet_checked(graph, joins[0], context); !magnet) {
            return std::unexpected(std::move(magnet.error()));
        }
        if (Result<void> made = make_magnets_read_later(0); !made) return std::unexpected(std::move(made.error()));
        order.push_back(0);
        return {};
    }
    std::vector<InboundEntry> entries;
    entries.reserve(joins.size());
    for (const JoinEntry& join : joins) {
        Result<InboundEntry> entry = score_join_without_parents(graph, join, context);
        if (!entry) return std::unexpected(std::move(entry.error()));
        entries.push_back(std::move(*entry));
    }
    std::vector<bool> tied(entries.size(), false);
    std::vector<std::size_t> by_leading_keys(entries.size());
    std::iota(by_leading_keys.begin(), by_leading_keys.end(), std::size_t{0});
    std::sort(by_leading_keys.begin(), by_leading_keys.end(), [&](std::size_t a, std::size_t b) {
        const InboundScore& x = entries[a].score;
        const InboundScore& y = entries[b].score;
        if (x.inbound_count != y.inbound_count) return x.inbound_count > y.inbound_count;
        if (x.magnet_digest && y.magnet_digest) return *x.magnet_digest > *y.magnet_digest;
        return x.magnet > y.magnet;
    });
    for (std::size_t i = 1; i < by_leading_keys.size(); ++i) {
        const std::size_t a = by_leading_keys[i - 1];
        const std::size_t b = by_leading_keys[i];
        if (tie_before_parents(entries[a].score, entries[b].score)) tied[a] = tied[b] = true;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (tied[i]) {
            if (Result<void> added = add_parent_digests(graph, joins[i], entries[i], context); !added) {
                return std::unexpected(std::move(added.error()));
            }
            continue;
        }
        if (Result<void> made = make_magnets_read_later(i); !made) return std::unexpected(std::move(made.error()));
    }
    stable_ranking(entries, cmp_inbound_entry, order);
    return {};
}

Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{}, TraceSwitches::from_environment());
    return select_inbound(graph, joins, floor, context);
}

}  // namespace quorl
