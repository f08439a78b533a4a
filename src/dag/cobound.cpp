#include "dag/cobound.hpp"

#include <utility>

#include "dag/magnet.hpp"
#include "dag/selection.hpp"
#include "dag/trace.hpp"

namespace quorl {

namespace {

std::string cobound_text(std::string_view magnet_lo, std::string_view modality, std::string_view magnet_hi) {
    std::string text;
    text.reserve(magnet_lo.size() + modality.size() + magnet_hi.size() + 2);
    text.append(magnet_lo).append("-").append(modality).append("-").append(magnet_hi);
    return text;
}

std::string cobound_text(const CoboundEntry& entry) {
    return cobound_text(entry.score.magnet_lo, entry.score.modality, entry.score.magnet_hi);
}

// Orders two magnets by their digests when both have one, else by text.
std::strong_ordering cmp_magnets(const std::optional<Digest>& digest_a, std::string_view magnet_a,
                                 const std::optional<Digest>& digest_b, std::string_view magnet_b) {
    if (digest_a && digest_b) return *digest_a <=> *digest_b;
    return magnet_a <=> magnet_b;
}

Result<CoboundEntry> score_cobound(GraphWrap& graph, const CoboundPair& pair, RewriteContext& context) {
    if (!graph.has_edge(pair.edge)) return parse_error("cobound endpoints missing");
    const std::string_view modality = graph.edge_at(pair.edge).modality;
    const auto [first, second] = graph.endpoints(pair.edge);
    EdgeKey key = edge_key(graph, first, second);

    Result<std::string_view> first_magnet = cached_magnet(graph, first, context);
    if (!first_magnet) return std::unexpected(std::move(first_magnet.error()));
    Result<std::string_view> second_magnet = cached_magnet(graph, second, context);
    if (!second_magnet) return std::unexpected(std::move(second_magnet.error()));
    std::optional<Digest> first_digest = graph.node_at(first).meta.magnet_digest;
    std::optional<Digest> second_digest = graph.node_at(second).meta.magnet_digest;

    // On a tie the first endpoint counts as the smaller.
    if (cmp_magnets(second_digest, *second_magnet, first_digest, *first_magnet) == std::strong_ordering::less) {
        std::swap(first_magnet, second_magnet);
        std::swap(first_digest, second_digest);
    }
    return CoboundEntry{CoboundScore{*first_magnet, *second_magnet, modality, std::move(key), first_digest,
                                     second_digest},
                        pair.edge, pair.floor};
}

}  // namespace

std::strong_ordering cmp_cobound_entry(const CoboundEntry& a, const CoboundEntry& b) {
    const CoboundScore& x = a.score;
    const CoboundScore& y = b.score;
    if (const auto order = cmp_magnets(y.digest_lo, y.magnet_lo, x.digest_lo, x.magnet_lo); order != 0) return order;
    if (const auto order = y.modality <=> x.modality; order != 0) return order;
    if (const auto order = cmp_magnets(y.digest_hi, y.magnet_hi, x.digest_hi, x.magnet_hi); order != 0) return order;
    if (const auto order = x.key.first <=> y.key.first; order != 0) return order;
    return x.key.second <=> y.key.second;
}

Result<std::optional<CoboundChoice>> select_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs,
                                                    std::int32_t floor, RewriteContext& context) {
    if (pairs.empty()) return std::nullopt;
    const bool tracing = context.trace.events;

    std::optional<CoboundEntry> best;
    std::vector<CoboundEntry> traced;
    for (const CoboundPair& pair : pairs) {
        Result<CoboundEntry> entry = score_cobound(graph, pair, context);
        if (!entry) return std::unexpected(std::move(entry.error()));
        if (tracing) keep_among_best(traced, *entry, cmp_cobound_entry);
        if (!best || cmp_cobound_entry(*entry, *best) == std::strong_ordering::less) best = std::move(*entry);
    }

    if (tracing) {
        JsonArray scores;
        for (const CoboundEntry& entry : traced) {
            scores.push_back({JsonArray{{cobound_text(entry)}, edge_repr(graph, entry.edge)}});
        }
        emit(context.trace, "dag_cobound_scores", {{"floor", floor_field(floor)}, {"scores", {std::move(scores)}}});
        emit(context.trace, "dag_choice", {{"floor", floor_field(floor)},
                            {"type", {std::string("cobound")}},
                            {"score", {cobound_text(*best)}},
                            {"choice", edge_repr(graph, best->edge)}});
    }
    return CoboundChoice{best->edge, best->floor};
}

Result<void> rank_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs, RewriteContext& context,
                          std::vector<std::size_t>& order) {
    return rank_by_score(
        pairs, [&](const CoboundPair& pair) { return score_cobound(graph, pair, context); }, cmp_cobound_entry,
        order);
}

Result<std::optional<CoboundChoice>> select_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs,
                                                    std::int32_t floor, bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{}, TraceSwitches::from_environment());
    return select_cobound(graph, pairs, floor, context);
}

Result<void> fix_cobound(GraphWrap& graph, EdgeIndex edge, std::int32_t floor, GeneratedIds& ids,
                         RewriteContext& context) {
    if (!graph.has_edge(edge)) return parse_error("cobound endpoints missing");
    const EdgeData removed = graph.edge_at(edge);
    const auto [first, second] = graph.endpoints(edge);

    // Both views are read before the graph changes.
    Result<std::string_view> first_magnet = cached_magnet(graph, first, context);
    if (!first_magnet) return std::unexpected(std::move(first_magnet.error()));
    Result<std::string_view> second_magnet = cached_magnet(graph, second, context);
    if (!second_magnet) return std::unexpected(std::move(second_magnet.error()));
    // Ordered by text here, the first end's magnet first on a tie.
    const bool swapped = *second_magnet < *first_magnet;
    const std::string origin = swapped ? cobound_text(*second_magnet, removed.modality, *first_magnet)
                                       : cobound_text(*first_magnet, removed.modality, *second_magnet);

    graph.remove_edge(edge);

    const auto virtual_node = [&](NodeData& data) {
        data.meta.is_virtual = true;
        data.meta.floor = floor + 1;
        data.meta.origin = origin;
    };
    const NodeIndex first_virtual = ids.add_node(graph, "*v" + std::to_string(ids.virtual_counter), virtual_node);
    ++ids.virtual_counter;
    const NodeIndex second_virtual = ids.add_node(graph, "*v" + std::to_string(ids.virtual_counter), virtual_node);
    ++ids.virtual_counter;

    graph.add_edge_custom(first, first_virtual, EdgeData{"*" + removed.id + "_a", removed.modality});
    graph.add_edge_custom(second, second_virtual, EdgeData{"*" + removed.id + "_b", removed.modality});
    return {};
}

Result<void> fix_cobound(GraphWrap& graph, EdgeIndex edge, std::int32_t floor, GeneratedIds& ids,
                         bool allow_hashes) {
    RewriteContext context(allow_hashes, StopCheck{}, TraceSwitches::from_environment());
    return fix_cobound(graph, edge, floor, ids, context);
}

}  // namespace quorl
