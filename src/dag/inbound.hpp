// Inbound selection: which join node of a floor is resolved next.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dag/cobound.hpp"
#include "dag/conflicts.hpp"
#include "dag/edge_key.hpp"
#include "dag/rewrite_context.hpp"
#include "dag/trace.hpp"
#include "error/quorl_error.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// A score reads the join's magnet where the node's cache keeps it (see
// cached_magnet) and its edge keys' ids where the nodes keep them: it lasts
// while no node is added to or removed from the graph.
struct InboundScore {
    std::string_view magnet;
    std::vector<Digest> parent_digests;  // ascending
    std::string node_id;
    std::vector<EdgeKey> edge_keys;  // ascending
    std::uint64_t inbound_count = 0;
    std::optional<Digest> magnet_digest;
};

// A join entry's score; its inbound edges stay with the entry.
struct InboundEntry {
    InboundScore score;
    std::int32_t floor = 0;
    NodeIndex node = kNoIndex;
};

// The join node to resolve, with its inbound edges in the order of its entry.
// The join's inbound edges are viewed where the caller keeps them (its
// conflict buckets), which stay as they are while the join is resolved.
struct InboundChoice {
    std::span<const EdgeIndex> edges;
    std::int32_t floor = 0;
    NodeIndex node = kNoIndex;
};

// Scores every join entry by its inbound count, magnet, parents' magnet
// digests and id, and returns the best (nothing for no entries). The choice
// depends only on labels, modalities, ids and structure, not on storage
// order. Changes only magnet caches and parent digests. With QUORL_TRACE on,
// reports the five best ("dag_inbound_scores") and the choice ("dag_choice").
// Fails with "inbound endpoints missing" for an entry naming a dead edge.
Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, RewriteContext& context);
// The same with a context of its own (the trace switches read now, no stop).
Result<std::optional<InboundChoice>> select_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                                                    std::int32_t floor, bool allow_hashes);

// Fills `order` with the order in which select_inbound, called again after
// each resolution with the entries still left, would choose the entries
// (their positions, best first), while the entries and what their scores
// read stay as they are.
// `cobound_above` and `joins_above` are the conflicts of the floor above the
// joins', which the rewrite resolves next: of the parents' magnets only those
// that they read, or that the ranking needs, are made and cached. Fails as
// select_inbound would, except where the magnets not made would have
// exceeded the memory budget.
Result<void> rank_inbound(GraphWrap& graph, std::span<const JoinEntry> joins,
                          std::span<const CoboundPair> cobound_above, std::span<const JoinEntry> joins_above,
                          RewriteContext& context, std::vector<std::size_t>& order);

// Less means preferred: more inbound edges, then the greater magnet, then the
// greater parent digests, then the smaller id, then the smaller edge keys.
std::strong_ordering cmp_inbound_entry(const InboundEntry& a, const InboundEntry& b);

// [inbound count, magnet, parent digests in hex separated by blanks].
JsonValue inbound_score_value(const InboundEntry& entry);
// [floor, node id, [[first id, second id], ...]].
JsonValue inbound_repr_from_keys(std::int32_t floor, const InboundEntry& entry);

}  // namespace quorl
