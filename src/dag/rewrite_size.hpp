// The size of a rewrite counted ahead, on the levelled graph, before any of
// it is built.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "graph/floors.hpp"
#include "graph/graph_wrap.hpp"

namespace quorl {

// Every count saturates at UINT64_MAX.
struct RewriteSize {
    // Live nodes and edges of the working copy when expanded resolution ends.
    // Each join node's region is copied once per inbound edge, so the counts
    // grow with the number of paths from the root through the region; the
    // region itself stays behind, cut off.
    std::uint64_t expanded_nodes = 0;
    std::uint64_t expanded_edges = 0;
    // Bytes of the text written from the root of the expanded form, counting
    // each mirror's and virtual node's origin as a digest (with hashes) or
    // as its two underscores only (without): at least the text's length.
    std::uint64_t expanded_text_bytes = 0;
    // The same for compact resolution: the graph plus one mirror per inbound
    // edge of a join and two virtual nodes per cobound edge, and about the
    // length of its text (with hashes; without, origins grow with the graph).
    std::uint64_t compact_nodes = 0;
    std::uint64_t compact_text_bytes = 0;
    // Cobound edges plus join nodes: the rewrite resolves one per pass.
    std::uint64_t conflicts = 0;
};

// Counts what rewriting `graph` would make. Precondition: every live node
// is levelled and listed in `levelled` in visit order (as the rewrite leaves
// its working copy after dropping what the root does not reach); the root
// comes first. Linear in the graph's size; changes nothing.
RewriteSize count_rewrite(const GraphWrap& graph, std::span<const LevelledNode> levelled, bool allow_hashes);

// Upper bounds on count_rewrite's expanded_nodes, expanded_edges and
// expanded_text_bytes (the other fields are left zero) from the graph's
// sizes alone, in one pass over its records; none for a graph too large or
// too cyclic for the bound to be of use. Same precondition.
std::optional<RewriteSize> expanded_size_bound(const GraphWrap& graph, std::span<const LevelledNode> levelled,
                                               bool allow_hashes);

}  // namespace quorl
