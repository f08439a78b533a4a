// Cobound selection and repair: which edge between two nodes of one floor is
// resolved next, and its replacement by two virtual nodes one floor deeper.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dag/conflicts.hpp"
#include "dag/edge_key.hpp"
#include "dag/rewrite_context.hpp"
#include "dag/generated_ids.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// A score reads the ends' magnets where their caches keep them (see
// cached_magnet), the edge's modality where the edge keeps it and the key's
// ids where the nodes keep them: it lasts while no node or edge is added to
// or removed from the graph.
struct CoboundScore {
    std::string_view magnet_lo;
    std::string_view magnet_hi;
    std::string_view modality;
    EdgeKey key;
    std::optional<Digest> digest_lo;
    std::optional<Digest> digest_hi;
};

struct CoboundEntry {
    CoboundScore score;
    EdgeIndex edge = kNoIndex;
    std::int32_t floor = 0;
};

struct CoboundChoice {
    EdgeIndex edge = kNoIndex;
    std::int32_t floor = 0;
};

// Scores every cobound edge by its ends' magnets and its modality and returns
// the best (nothing for no pairs). Changes only magnet caches. With
// QUORL_TRACE on, reports the five best ("dag_cobound_scores") and the choice
// ("dag_choice"). Fails with "cobound endpoints missing" for a dead edge.
Result<std::optional<CoboundChoice>> select_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs,
                                                    std::int32_t floor, RewriteContext& context);
// The same with a context of its own (the trace switches read now, no stop).
Result<std::optional<CoboundChoice>> select_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs,
                                                    std::int32_t floor, bool allow_hashes);

// Scores every cobound pair as select_cobound does (the same magnets computed
// and cached, the same first failure) and fills `order` with the pairs'
// positions best first, equal scores in their order. While the pairs and
// what their scores read stay as they are, this is the order in which
// select_cobound, called again after each repair with the pairs still left,
// would choose them.
Result<void> rank_cobound(GraphWrap& graph, std::span<const CoboundPair> pairs, RewriteContext& context,
                          std::vector<std::size_t>& order);

// Less means preferred: the greater smaller magnet, then the greater
// modality, then the greater greater magnet, then the smaller edge key.
std::strong_ordering cmp_cobound_entry(const CoboundEntry& a, const CoboundEntry& b);

// Replaces the edge by virtual nodes "*v{n}" and "*v{n+1}" (n the virtual
// counter of `ids`) on floor + 1, one below each end, joined by edges
// "*{id}_a" and "*{id}_b" that keep the modality; both carry
// "{smaller magnet}-{modality}-{greater magnet}" as origin. Advances the
// counter by two. Fails, changing nothing, with "cobound endpoints missing"
// for a dead edge or with a magnet's failure.
Result<void> fix_cobound(GraphWrap& graph, EdgeIndex edge, std::int32_t floor, GeneratedIds& ids,
                         RewriteContext& context);
Result<void> fix_cobound(GraphWrap& graph, EdgeIndex edge, std::int32_t floor, GeneratedIds& ids,
                         bool allow_hashes);

}  // namespace quorl
